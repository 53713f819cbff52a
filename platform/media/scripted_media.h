// The scripted media double: a MediaFactory whose media behave as a script per URI says, under
// platform::Clock (so a TestEnvironment drives it deterministically), and which records what the
// player asked of them. Stands in for a media backend in tests and in the test host.
//
// Items of one URI share the URI's script and records. An item becomes ready (or fails) on the
// main loop right after it is made, or stays unknown until setStatus when the script holds it.
// The player's time runs at its rate from the moment of each change; frames are due every
// 1/frameRate s of item time, each a buffer of the presentation size filled with the script's
// colour. Main thread, except the video output's frame calls (any thread).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/media/media.h"

namespace platform::media {

struct ScriptedMedium {
  // "ready" (on the main loop after creation), "pending" (until setStatus) or "failed".
  ItemStatus initialStatus = ItemStatus::ReadyToPlay;
  bool holdStatus = false;
  // Duration in milliseconds; indefinite for a live stream.
  std::int64_t durationMs = 10000;
  bool indefinite = false;
  Size presentationSize{64, 36};
  double frameRate = 30;
  std::uint8_t color[3] = {0, 0, 255};  // B, G, R
  bool canPlayFastForward = true;
  bool canPlaySlowForward = true;
  bool likelyToKeepUp = true;
  std::vector<std::pair<std::int64_t, std::int64_t>> loadedRangesMs;  // [start, duration]
  // The item's error once failed: description, failure reason, and an underlying error's.
  std::optional<std::string> errorDescription;
  std::optional<std::string> errorReason;
  std::optional<std::string> underlyingDescription;
  std::optional<std::string> underlyingReason;
  // "tracks" fails to load with this description.
  std::optional<std::string> tracksError;
  // The video track; none for an audio-only medium.
  bool hasVideoTrack = true;
  AffineTransform preferredTransform;
  std::optional<Size> naturalSize;  // the presentation size when absent
  bool minFrameDurationValid = true;
  // The audible group's options: display name, language code, title.
  struct AudioOption {
    std::optional<std::string> displayName;
    std::optional<std::string> languageCode;
    std::optional<std::string> title;
  };
  std::vector<AudioOption> audioOptions;
  int selectedAudioOption = 0;
  std::vector<AssetVariant> variants;
  bool variantsFail = false;
  // Seeks complete on the main loop at once, or wait for completeSeeks.
  bool holdSeeks = false;

  // From the test channel's map: "status" ("ready" | "pending" | "failed"), "durationMs",
  // "indefinite", "width", "height", "frameRate", "color" [b, g, r], "canPlayFastForward",
  // "canPlaySlowForward", "likelyToKeepUp", "loadedRanges" [[start, duration]...],
  // "errorDescription", "errorReason", "underlyingDescription", "underlyingReason",
  // "tracksError", "hasVideoTrack", "transform" [a, b, c, d, tx, ty], "naturalWidth",
  // "naturalHeight", "minFrameDurationValid", "audioOptions" [{"displayName", "languageCode",
  // "title"}], "selectedAudioOption", "variants" [{"peakBitRate", "width", "height",
  // "frameRate", "codecs" ["avc1"...]} or {"peakBitRate"} without video attributes],
  // "variantsFail", "holdSeeks". Throws std::invalid_argument naming a key of the wrong kind.
  static ScriptedMedium fromValue(const ValueMap& map);
};

class ScriptedMediaFactory : public MediaFactory {
 public:
  ScriptedMediaFactory();
  ~ScriptedMediaFactory() override;

  // Applies to items made for `uri` from now on (unscripted URIs get the defaults).
  void script(const std::string& uri, ScriptedMedium medium);

  // Commands on the live items of `uri`; each returns how many items it reached.
  int setStatus(const std::string& uri, ItemStatus status);
  // The item reaches its end: the player's time stops at the duration, end notices follow.
  int playToEnd(const std::string& uri);
  int setBuffering(const std::string& uri, bool likelyToKeepUp,
                   std::vector<std::pair<std::int64_t, std::int64_t>> loadedRangesMs);
  int completeSeeks(const std::string& uri);

  // What the players of `uri` asked, as a map: "assets" (how many), "assetOptions" (the last),
  // "rates", "volumes", "seeks" [{"timeMs", "toleranceBeforeMs", "toleranceAfterMs"}],
  // "itemSeeks" [ms], "compositions" [{"renderWidth", "renderHeight", "transform",
  // "frameDurationValue", "frameDurationTimescale", "sourceTrackID"}], "audioSelections",
  // "preferredPeakBitRates", "outputsAttached", "outputSettings" (the last), "actionAtItemEnd",
  // "itemsReleased" (items replaced with none), "liveItems", "livePlayers".
  Value asked(const std::string& uri) const;
  // The host time the latest frame pull asked about (itemTimeForHostTime of any output of this
  // factory). Any thread.
  double lastHostTimeAsked() const;
  // Live objects made by this factory (a disposed and released player leaves none).
  int livePlayers() const;
  int liveItems() const;

  // MediaFactory.
  AssetPtr URLAssetWithURL(const std::string& url, const ValueMap& options) override;
  PlayerItemPtr playerItemWithAsset(const AssetPtr& asset) override;
  PlayerPtr playerWithPlayerItem(const PlayerItemPtr& item) override;
  PixelBufferSourcePtr videoOutputWithOutputSettings(const ValueMap& settings) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::media
