// The ad side of lumora-test-host: the host has no ad component, so the method channel
// "lumora_test/ads" plays one, and a scripted attribution-token provider stands in for the
// platform's.
//
//   "begin" "<ad unit id>"   the unit becomes visible -> true
//   "end"   "<ad unit id>"   the unit goes away       -> true
//
// The provider is registered under "AAAttribution" only when LUMORA_TEST_ATTRIBUTION_TOKEN is
// set: it answers that token (which may be ""), or, when LUMORA_TEST_ATTRIBUTION_ERROR is set
// too, an error with that text. Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

// Once at start-up, before plugin registration.
void installScriptedAttributionProvider();
void registerAdsChannel(const flutter::PluginRegistrarPtr& registrar);

}  // namespace lumora::testing
