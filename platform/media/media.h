// The media layer: assets, player items, players and video outputs. Stands in for the
// platform's media framework. A backend (the GStreamer one in production, the scripted double in
// tests) implements these interfaces; the video player reaches media only through them.
//
// Threads: everything here is called on the main thread, except the video output's frame calls
// (itemTimeForHostTime, hasNewPixelBufferForItemTime, copyPixelBufferForItemTime), which the
// engine's frame thread makes. Observations (token-based), end-of-item notices and completions
// reach their callbacks on the main loop, in the order the backend raised them; a callback never
// runs after its token was removed. Backends hold no lock while calling out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace platform::media {

// Loading state of a lazily loaded property ("tracks", "variants", "preferredTransform").
enum class KeyValueStatus { Unknown, Loading, Loaded, Failed, Cancelled };

enum class MediaType { Video, Audio };

// Width and height in points.
struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// An affine transform (a, b, c, d, tx, ty): x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool isIdentity() const { return *this == AffineTransform{}; }
  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// A video composition: one instruction over a time range whose one layer instruction sets a
// transform from a time on, rendered at a size with a frame duration.
struct VideoComposition {
  TimeRange instructionTimeRange;
  std::int32_t layerTrackID = 0;
  AffineTransform layerTransform;
  MediaTime layerTransformTime;
  Size renderSize;
  std::int32_t sourceTrackIDForFrameTiming = 0;
  MediaTime frameDuration;
  friend bool operator==(const VideoComposition&, const VideoComposition&) = default;
};
using VideoCompositionPtr = std::shared_ptr<const VideoComposition>;

// Observation keys of items and players.
enum class ItemObservation { LoadedTimeRanges, Status, PlaybackLikelyToKeepUp };
enum class PlayerObservation { Rate };

// What addObserver hands back; removing it stops the callback. 0 is never a token.
using ObserverToken = std::uint64_t;

// A track of an asset.
class AssetTrack {
 public:
  virtual ~AssetTrack() = default;
  virtual std::int32_t trackID() const = 0;
  virtual MediaType mediaType() const = 0;
  virtual KeyValueStatus statusOfValueForKey(const std::string& key, ErrorPtr* error) const = 0;
  // `completion` runs on the main loop once every key has loaded or failed.
  virtual void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                               std::function<void()> completion) = 0;
  virtual AffineTransform preferredTransform() const = 0;
  virtual Size naturalSize() const = 0;
  // Invalid when the track does not know it.
  virtual MediaTime minFrameDuration() const = 0;
};
using AssetTrackPtr = std::shared_ptr<AssetTrack>;

// One choice of a media selection group (an audio language, say).
class MediaSelectionOption {
 public:
  virtual ~MediaSelectionOption() = default;
  virtual std::optional<std::string> displayName() const = 0;
  // The language code of the option's locale; none without a locale.
  virtual std::optional<std::string> localeLanguageCode() const = 0;
  // The string value of the first common-metadata title item; none without one.
  virtual std::optional<std::string> commonMetadataTitle() const = 0;
};
using MediaSelectionOptionPtr = std::shared_ptr<MediaSelectionOption>;

// Alternatives of which one plays at a time (options compare by identity).
struct MediaSelectionGroup {
  std::vector<MediaSelectionOptionPtr> options;
};
using MediaSelectionGroupPtr = std::shared_ptr<const MediaSelectionGroup>;

enum class MediaCharacteristic { Audible, Visual };

// One variant of an adaptive stream.
struct AssetVariant {
  double peakBitRate = 0;
  struct VideoAttributes {
    Size presentationSize;
    double nominalFrameRate = 0;
    // Four-character codes, most significant byte first ('avc1' is 0x61766331).
    std::vector<std::uint32_t> codecTypes;
  };
  std::optional<VideoAttributes> videoAttributes;
};

class Asset {
 public:
  virtual ~Asset() = default;
  // Whether the asset was made from a URL (all assets of the factory are).
  virtual bool isURLAsset() const = 0;
  virtual std::string url() const = 0;
  virtual KeyValueStatus statusOfValueForKey(const std::string& key, ErrorPtr* error) const = 0;
  // Keys "tracks", "duration", "variants"; `completion` runs on the main loop.
  virtual void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                               std::function<void()> completion) = 0;
  virtual void loadTracksWithMediaType(
      MediaType type,
      std::function<void(std::vector<AssetTrackPtr> tracks, ErrorPtr error)> completion) = 0;
  virtual std::vector<AssetTrackPtr> tracksWithMediaType(MediaType type) const = 0;
  // Indefinite for a live stream; invalid until known.
  virtual MediaTime duration() const = 0;
  // Null when the asset has no such group.
  virtual MediaSelectionGroupPtr
  mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic characteristic) const = 0;
  // Meaningful once "variants" has loaded.
  virtual std::vector<AssetVariant> variants() const = 0;
};
using AssetPtr = std::shared_ptr<Asset>;

// A video output: hands out BGRA frames of its item by item time. Frame calls from any thread.
class PixelBufferSource : public std::enable_shared_from_this<PixelBufferSource> {
 public:
  virtual ~PixelBufferSource() = default;
  // The item time shown at `hostTime` (seconds of platform::Clock's uptime); zero before the
  // output is attached.
  virtual MediaTime itemTimeForHostTime(double hostTime) const = 0;
  virtual bool hasNewPixelBufferForItemTime(MediaTime itemTime) = 0;
  // The newest frame due at `itemTime` not handed out yet (one reference for the caller), or
  // null; `itemTimeForDisplay`, when given, receives that frame's time.
  virtual PixelBufferPtr copyPixelBufferForItemTime(MediaTime itemTime,
                                                    MediaTime* itemTimeForDisplay) = 0;
};
using PixelBufferSourcePtr = std::shared_ptr<PixelBufferSource>;

enum class ItemStatus { Unknown, ReadyToPlay, Failed };

class PlayerItem {
 public:
  virtual ~PlayerItem() = default;
  virtual AssetPtr asset() const = 0;
  virtual ItemStatus status() const = 0;
  // Set once the item has failed.
  virtual ErrorPtr error() const = 0;
  virtual Size presentationSize() const = 0;
  virtual std::vector<TimeRange> loadedTimeRanges() const = 0;
  virtual bool isPlaybackLikelyToKeepUp() const = 0;
  virtual bool canPlayFastForward() const = 0;
  virtual bool canPlaySlowForward() const = 0;
  virtual MediaTime currentTime() const = 0;

  virtual VideoCompositionPtr videoComposition() const = 0;
  virtual void setVideoComposition(VideoCompositionPtr composition) = 0;
  virtual void addOutput(PixelBufferSourcePtr output) = 0;

  // Seeks the item (no tolerance); `completion`, when given, runs on the main loop.
  virtual void seekToTime(MediaTime time, std::function<void(bool finished)> completion) = 0;

  // Bits per second the item should keep under when choosing a variant; 0 for no limit.
  virtual double preferredPeakBitRate() const = 0;
  virtual void setPreferredPeakBitRate(double bitRate) = 0;
  virtual MediaSelectionOptionPtr
  selectedMediaOptionInMediaSelectionGroup(const MediaSelectionGroupPtr& group) const = 0;
  virtual void selectMediaOption(const MediaSelectionOptionPtr& option,
                                 const MediaSelectionGroupPtr& group) = 0;

  // `callback` runs on the main loop after each change of the observed value.
  virtual ObserverToken addObserver(ItemObservation key, std::function<void()> callback) = 0;
  // The end-of-item notice (played to its end time).
  virtual ObserverToken addDidPlayToEndTimeObserver(std::function<void()> callback) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
};
using PlayerItemPtr = std::shared_ptr<PlayerItem>;

enum class ActionAtItemEnd { Advance, Pause, None };

class Player : public Object {
 public:
  std::string className() const override { return "Player"; }
  // Null once replaced with none.
  virtual PlayerItemPtr currentItem() const = 0;
  virtual void replaceCurrentItemWithPlayerItem(PlayerItemPtr item) = 0;
  virtual void setActionAtItemEnd(ActionAtItemEnd action) = 0;
  virtual void play() = 0;
  virtual void pause() = 0;
  virtual float rate() const = 0;
  // A positive rate plays, 0 pauses.
  virtual void setRate(float rate) = 0;
  virtual float volume() const = 0;
  virtual void setVolume(float volume) = 0;
  virtual MediaTime currentTime() const = 0;
  // `completion` runs on the main loop when the seek has finished (true) or was overtaken.
  virtual void seekToTime(MediaTime time, MediaTime toleranceBefore, MediaTime toleranceAfter,
                          std::function<void(bool finished)> completion) = 0;
  virtual ObserverToken addObserver(PlayerObservation key, std::function<void()> callback) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
};
using PlayerPtr = std::shared_ptr<Player>;

// Key of the URL asset options holding the HTTP header map.
inline constexpr const char* kURLAssetHTTPHeaderFieldsKey = "AVURLAssetHTTPHeaderFieldsKey";

// Output-settings keys and values of a video output.
inline constexpr const char* kVideoColorPropertiesKey = "AVVideoColorPropertiesKey";
inline constexpr const char* kVideoColorPrimariesKey = "AVVideoColorPrimariesKey";
inline constexpr const char* kVideoTransferFunctionKey = "AVVideoTransferFunctionKey";
inline constexpr const char* kVideoYCbCrMatrixKey = "AVVideoYCbCrMatrixKey";
inline constexpr const char* kITU_R_709_2 = "ITU_R_709_2";
inline constexpr const char* kPixelBufferPixelFormatTypeKey = "PixelFormatType";
inline constexpr const char* kPixelBufferIOSurfacePropertiesKey = "IOSurfaceProperties";
inline constexpr std::int64_t kPixelFormat32BGRA = 1111970369;  // 'BGRA'

// Makes the media objects of one backend. Main thread.
class MediaFactory {
 public:
  virtual ~MediaFactory() = default;
  // `options` may hold kURLAssetHTTPHeaderFieldsKey -> {header: value}.
  virtual AssetPtr URLAssetWithURL(const std::string& url, const ValueMap& options) = 0;
  virtual PlayerItemPtr playerItemWithAsset(const AssetPtr& asset) = 0;
  virtual PlayerPtr playerWithPlayerItem(const PlayerItemPtr& item) = 0;
  virtual PixelBufferSourcePtr videoOutputWithOutputSettings(const ValueMap& settings) = 0;
};
using MediaFactoryPtr = std::shared_ptr<MediaFactory>;

// The process's media backend: none until one is installed at start-up (the host installs its
// backend before plugin registration). Thread-safe.
MediaFactoryPtr defaultMediaFactory();
void setDefaultMediaFactory(MediaFactoryPtr factory);

}  // namespace platform::media
