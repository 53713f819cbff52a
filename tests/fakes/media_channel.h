// The media channels of lumora-test-host.
//
// Method channel "lumora_test/media" plays the media backend when the host runs over the scripted
// media double (LUMORA_TEST_MEDIA=scripted); otherwise every method answers the error
// "no-scripted-media":
//   "script" {"uri", ...the medium, see ScriptedMedium::fromValue}   -> true
//   "setStatus" {"uri", "status": "ready" | "failed"}               -> items reached
//   "playToEnd" {"uri"}                                              -> items reached
//   "setBuffering" {"uri", "likelyToKeepUp", "loadedRanges"}        -> items reached
//   "completeSeeks" {"uri"}                                          -> players reached
//   "asked" {"uri"}            -> what the players of the URI asked (ScriptedMediaFactory::asked)
//
// Method channel "lumora_test/engine":
//   "textureStats" {"textureId"} -> {"registered", "framesPulled", "width", "height",
//                                   "firstPixel" [b, g, r, a]} (size and pixel null before the
//                                   first frame)
//   "describePlatformView" {"id"} -> {"viewClass", "layerClass", "uri"} (the URI its player
//                                   layer shows; null for none)
// Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

// The environment variable that makes the test host install the scripted media double.
inline constexpr const char* kTestMediaVariable = "LUMORA_TEST_MEDIA";

// Installs the scripted media double as the process's media backend when kTestMediaVariable is
// "scripted". Call before plugin registration.
void installTestMediaBackend();

void registerMediaChannels(const flutter::PluginRegistrarPtr& registrar,
                           flutter::PluginRegistry& registry);

}  // namespace lumora::testing
