// A player shown as an engine texture: the engine pulls its frames with copyPixelBuffer on the
// engine's frame thread after each frame-available notice; the display link ticks while the
// player plays or waits for a frame, and while it runs each pull also asks for the next frame
// (self-refresh), unless ten pulls came faster than half a refresh period each.
//
// Threads: the player's methods are main-thread only, except copyPixelBuffer and
// onTextureUnregistered (engine's frame thread). latestPixelBuffer, targetTime, startTime,
// framesCount, latestDuration and selfRefresh belong to the frame thread; waitingForFrame is
// atomic; the display link is reached under displayLinkMutex_ (never held while calling out).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/appkit/layer.h"
#include "platform/engine/texture_registry.h"
#include "plugins/video_player/fvp_display_link.h"
#include "plugins/video_player/fvp_frame_updater.h"
#include "plugins/video_player/fvp_video_player.h"

namespace video_player {

class FVPTextureBasedVideoPlayer : public FVPVideoPlayer, public flutter::Texture {
 public:
  static std::shared_ptr<FVPTextureBasedVideoPlayer>
  initWithPlayerItem(const platform::media::PlayerItemPtr& item,
                     std::shared_ptr<FVPFrameUpdater> frameUpdater,
                     std::shared_ptr<FVPDisplayLink> displayLink,
                     const std::shared_ptr<platform::media::MediaFactory>& avFactory,
                     std::shared_ptr<FVPViewProvider> viewProvider);
  ~FVPTextureBasedVideoPlayer() override;

  // Stores the texture's identifier, then waits for the first frame.
  void setTextureIdentifier(std::int64_t textureId);
  // A frame must be shown even while paused: starts the display link.
  void expectFrame();

  void seekToPosition(std::int64_t positionMs, std::function<void()> completion) override;
  void disposeWithError() override;

  // flutter::Texture (engine's frame thread).
  flutter::PixelBufferPtr copyPixelBuffer() override;
  void onTextureUnregistered(flutter::Texture& texture) override;

  const std::shared_ptr<FVPFrameUpdater>& frameUpdater() const { return frameUpdater_; }
  const std::shared_ptr<platform::PlayerLayer>& playerLayer() const { return playerLayer_; }
  // Whether the display link runs now (false once disposed). Any thread.
  bool displayLinkRunning() const;
  bool waitingForFrame() const { return waitingForFrame_.load(); }
  // Frame thread (or after it is idle): whether pulls still ask for the next frame.
  bool selfRefresh() const { return selfRefresh_; }

 protected:
  void updatePlayingState() override;

 private:
  FVPTextureBasedVideoPlayer(const platform::media::PlayerItemPtr& item,
                             std::shared_ptr<FVPFrameUpdater> frameUpdater,
                             std::shared_ptr<FVPDisplayLink> displayLink,
                             const std::shared_ptr<platform::media::MediaFactory>& avFactory,
                             std::shared_ptr<FVPViewProvider> viewProvider);
  void setDisplayLinkRunning(bool running);

  std::shared_ptr<FVPFrameUpdater> frameUpdater_;
  mutable std::mutex displayLinkMutex_;
  std::shared_ptr<FVPDisplayLink> displayLink_;
  platform::media::PixelBufferPtr latestPixelBuffer_;
  double targetTime_ = 0;
  bool selfRefresh_ = true;
  double startTime_ = 0;
  std::int32_t framesCount_ = 0;
  double latestDuration_ = 0;
  std::atomic<bool> waitingForFrame_{false};
  std::shared_ptr<platform::PlayerLayer> playerLayer_;
};

}  // namespace video_player
