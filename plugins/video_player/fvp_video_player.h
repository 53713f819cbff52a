// One playing medium: a media-layer player with its single item, the item's video output and,
// for rotated or mirrored video, a video composition. It observes the item and the player and
// reports what it sees to its event listener, and implements the per-player interface.
//
// Main thread only: construction, every channel operation, observations and completions (the
// media layer delivers them on the main loop). The texture subclass adds frame delivery.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/sequence_checker.h"
#include "platform/media/media.h"
#include "plugins/video_player/fvp_view_provider.h"
#include "plugins/video_player/instance_messages/messages.h"

namespace video_player {

// Receives a player's events (the event bridge in production).
class FVPVideoEventListener {
 public:
  virtual ~FVPVideoEventListener() = default;
  virtual void videoPlayerDidInitializeWithDuration(std::int64_t durationMs, double width,
                                                    double height) = 0;
  virtual void videoPlayerDidErrorWithMessage(const std::string& message) = 0;
  virtual void videoPlayerDidComplete() = 0;
  virtual void videoPlayerDidStartBuffering() = 0;
  virtual void videoPlayerDidEndBuffering() = 0;
  // [start, duration] pairs in milliseconds.
  virtual void videoPlayerDidUpdateBufferRegions(
      const std::vector<std::pair<std::int64_t, std::int64_t>>& regions) = 0;
  virtual void videoPlayerDidSetPlaying(bool playing) = 0;
  virtual void videoPlayerWasDisposed() = 0;
};

// Milliseconds of a media time: -9223372036854775807 for an indefinite time, 0 for a zero
// timescale (or an invalid time), else value × 1000 / timescale truncated toward zero, saturated
// at the 64-bit range.
std::int64_t FVPCMTimeToMillis(const platform::media::MediaTime& time);

// The track's transform with the translation that keeps the turned picture in view, for the
// eight quarter-turn and mirror matrices; any other transform is returned unchanged.
platform::media::AffineTransform
FVPGetStandardizedTrackTransform(const platform::media::AffineTransform& transform,
                                 const platform::media::Size& naturalSize);

// Rotation of a transform in whole degrees, 0 ≤ r < 360 (single-precision steps, as the
// composition is set up).
int FVPRotationDegrees(const platform::media::AffineTransform& transform);

// The name of a four-character codec code ('avc1' -> "avc1", 'hvc1' -> "hevc", 'vp09' -> "vp9").
std::optional<std::string> FVPCodecStringFromFourCharCode(std::uint32_t code);

// A variant's bit rate, width or height as a 64-bit integer: absent unless above 0, finite and
// inside the 64-bit range (truncated toward zero).
std::optional<std::int64_t> FVPPositiveInteger(double value);

class FVPVideoPlayer : public VideoPlayerInstanceApi,
                       public std::enable_shared_from_this<FVPVideoPlayer> {
 public:
  // The only way to make a player (the observers need the shared owner).
  static std::shared_ptr<FVPVideoPlayer>
  initWithPlayerItem(const platform::media::PlayerItemPtr& item,
                     const std::shared_ptr<platform::media::MediaFactory>& avFactory,
                     std::shared_ptr<FVPViewProvider> viewProvider);
  ~FVPVideoPlayer() override;

  // The first listener also registers the observers.
  void setEventListener(std::shared_ptr<FVPVideoEventListener> listener);
  const std::shared_ptr<FVPVideoEventListener>& eventListener() const { return eventListener_; }
  void setOnDisposed(std::function<void()> onDisposed) { onDisposed_ = std::move(onDisposed); }

  virtual void disposeWithError();
  void playWithError();
  void pauseWithError();
  std::int64_t positionMs() const;
  virtual void seekToPosition(std::int64_t positionMs, std::function<void()> completion);
  void setIsLooping(bool looping) { isLooping_ = looping; }
  void setVolumeValue(double volume);
  void setPlaybackSpeedValue(double speed);
  std::vector<std::shared_ptr<FVPMediaSelectionAudioTrackData>> audioTracks() const;
  void selectAudioTrackIndex(std::int64_t index);
  void loadVideoTracks(std::function<void(std::shared_ptr<FVPNativeVideoTrackData>)> completion);
  void selectVideoTrackBitrate(std::int64_t bitrate);
  // The current item's asset duration in milliseconds (0 without an item).
  std::int64_t duration() const;

  bool disposed() const { return disposed_; }
  bool isLooping() const { return isLooping_; }
  bool isPlaying() const { return isPlaying_.load(); }
  bool isInitialized() const { return isInitialized_; }
  const platform::media::PlayerPtr& player() const { return player_; }
  const platform::media::PixelBufferSourcePtr& pixelBufferSource() const {
    return pixelBufferSource_;
  }
  const std::shared_ptr<FVPViewProvider>& viewProvider() const { return viewProvider_; }
  std::optional<double> targetPlaybackSpeed() const { return targetPlaybackSpeed_; }
  platform::media::AffineTransform preferredTransform() const { return preferredTransform_; }

  // VideoPlayerInstanceApi.
  void setLooping(bool looping,
                  std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void setVolume(double volume,
                 std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void
  setPlaybackSpeed(double speed,
                   std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void play(std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void position(
      std::function<void(std::int64_t, const std::optional<flutter::Error>&)> completion) override;
  void seekTo(std::int64_t position,
              std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void pause(std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void dispose(std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void
  getAudioTracks(std::function<void(std::vector<std::shared_ptr<FVPMediaSelectionAudioTrackData>>,
                                    const std::optional<flutter::Error>&)>
                     completion) override;
  void selectAudioTrackAtIndex(
      std::int64_t trackIndex,
      std::function<void(const std::optional<flutter::Error>&)> completion) override;
  void getVideoTracks(std::function<void(std::shared_ptr<FVPNativeVideoTrackData>,
                                         const std::optional<flutter::Error>&)>
                          completion) override;
  void selectVideoTrackWithBitrate(
      std::int64_t bitrate,
      std::function<void(const std::optional<flutter::Error>&)> completion) override;

 protected:
  FVPVideoPlayer(const platform::media::PlayerItemPtr& item,
                 const std::shared_ptr<platform::media::MediaFactory>& avFactory,
                 std::shared_ptr<FVPViewProvider> viewProvider);
  // Construction steps that need the shared owner (track loading).
  void start();
  virtual void updatePlayingState();

  platform::SequenceChecker mainThread_{platform::SequenceChecker::kMainThread};

 private:
  void registerObservers();
  void removeObservers();
  void reportStatusForPlayerItem(const platform::media::PlayerItemPtr& item);
  void reportInitialized();
  void sendFailedToLoadVideoEvent();
  void updateRate();
  void itemDidPlayToEndTime();
  void onLoadedTimeRanges();
  void onLikelyToKeepUp();
  void onRate();
  void applyPreferredTransform(const platform::media::AssetTrackPtr& track);

  bool listenersRegistered_ = false;
  bool disposed_ = false;
  bool isLooping_ = false;
  std::atomic<bool> isPlaying_{false};
  bool isInitialized_ = false;
  platform::media::PlayerPtr player_;
  std::shared_ptr<FVPVideoEventListener> eventListener_;
  std::function<void()> onDisposed_;
  platform::media::PixelBufferSourcePtr pixelBufferSource_;
  std::shared_ptr<FVPViewProvider> viewProvider_;
  std::optional<double> targetPlaybackSpeed_;
  platform::media::AffineTransform preferredTransform_;

  // Observation tokens on the item observed (kept so they leave that item).
  platform::media::PlayerItemPtr observedItem_;
  std::vector<platform::media::ObserverToken> itemTokens_;
  platform::media::ObserverToken playerToken_ = 0;
};

// The composition that turns the track by `transform` (made when the track is turned; exposed for
// tests).
platform::media::VideoCompositionPtr
FVPVideoCompositionWithTransform(const platform::media::AffineTransform& transform,
                                 const platform::media::AssetPtr& asset,
                                 const platform::media::AssetTrackPtr& track);

}  // namespace video_player
