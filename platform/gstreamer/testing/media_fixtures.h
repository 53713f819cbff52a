// Media files made at test time with GStreamer's own sources and encoders (nothing is
// downloaded). Each function writes the file at `path` and returns an empty string, or the
// reason it could not.
#pragma once

#include <string>

namespace platform::gstreamer::testing {

// 640x360 at 30 fps, 2 seconds of VP8 in WebM with a Vorbis track: red for the first second,
// blue for the second.
std::string makeRedBlueClip(const std::string& path);
// 320x180 VP8 for one second with two Vorbis streams tagged "en" ("English") and "fr"
// ("French"), in that order.
std::string makeTwoAudioClip(const std::string& path);
// 640x360 at 30 fps of VP8 in WebM, video only, `seconds` long (a moving test pattern).
std::string makeVideoOnlyClip(const std::string& path, int seconds);

}  // namespace platform::gstreamer::testing
