#include "plugins/video_player/fvp_texture_based_video_player.h"

#include <cmath>
#include <cstdio>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/log/log.h"

namespace video_player {

namespace media = platform::media;

std::shared_ptr<FVPTextureBasedVideoPlayer> FVPTextureBasedVideoPlayer::initWithPlayerItem(
    const media::PlayerItemPtr& item, std::shared_ptr<FVPFrameUpdater> frameUpdater,
    std::shared_ptr<FVPDisplayLink> displayLink,
    const std::shared_ptr<media::MediaFactory>& avFactory,
    std::shared_ptr<FVPViewProvider> viewProvider) {
  std::shared_ptr<FVPTextureBasedVideoPlayer> player(new FVPTextureBasedVideoPlayer(
      item, std::move(frameUpdater), std::move(displayLink), avFactory, std::move(viewProvider)));
  player->start();
  return player;
}

FVPTextureBasedVideoPlayer::FVPTextureBasedVideoPlayer(
    const media::PlayerItemPtr& item, std::shared_ptr<FVPFrameUpdater> frameUpdater,
    std::shared_ptr<FVPDisplayLink> displayLink,
    const std::shared_ptr<media::MediaFactory>& avFactory,
    std::shared_ptr<FVPViewProvider> viewProvider)
    : FVPVideoPlayer(item, avFactory, std::move(viewProvider)),
      frameUpdater_(std::move(frameUpdater)), displayLink_(std::move(displayLink)) {
  frameUpdater_->setDisplayLink(displayLink_);
  playerLayer_ = platform::PlayerLayer::playerLayerWithPlayer(player());
  auto view = this->viewProvider() ? this->viewProvider()->view() : nullptr;
  if (view) view->layer()->addSublayer(playerLayer_);
}

FVPTextureBasedVideoPlayer::~FVPTextureBasedVideoPlayer() = default;

void FVPTextureBasedVideoPlayer::setTextureIdentifier(std::int64_t textureId) {
  frameUpdater_->setTextureIdentifier(textureId);
  expectFrame();
}

void FVPTextureBasedVideoPlayer::expectFrame() {
  waitingForFrame_ = true;
  setDisplayLinkRunning(true);
}

void FVPTextureBasedVideoPlayer::setDisplayLinkRunning(bool running) {
  std::shared_ptr<FVPDisplayLink> link;
  {
    std::lock_guard lock(displayLinkMutex_);
    link = displayLink_;
  }
  if (link) link->setRunning(running);
}

bool FVPTextureBasedVideoPlayer::displayLinkRunning() const {
  std::shared_ptr<FVPDisplayLink> link;
  {
    std::lock_guard lock(displayLinkMutex_);
    link = displayLink_;
  }
  return link && link->running();
}

void FVPTextureBasedVideoPlayer::updatePlayingState() {
  FVPVideoPlayer::updatePlayingState();
  setDisplayLinkRunning(isPlaying() || waitingForFrame_);
}

void FVPTextureBasedVideoPlayer::seekToPosition(std::int64_t positionMs,
                                                std::function<void()> completion) {
  auto before = player()->currentTime();
  std::weak_ptr<FVPVideoPlayer> weak = weak_from_this();
  FVPVideoPlayer::seekToPosition(positionMs, [weak, before, completion = std::move(completion)] {
    auto self = std::static_pointer_cast<FVPTextureBasedVideoPlayer>(weak.lock());
    if (self && self->player() && !(self->player()->currentTime() == before)) self->expectFrame();
    if (completion) completion();
  });
}

void FVPTextureBasedVideoPlayer::disposeWithError() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (disposed()) return;
  // Keep this player alive until the end, whatever the dispose action releases.
  auto self = shared_from_this();
  FVPVideoPlayer::disposeWithError();
  if (playerLayer_) playerLayer_->removeFromSuperlayer();
  std::shared_ptr<FVPDisplayLink> link;
  {
    std::lock_guard lock(displayLinkMutex_);
    link = std::move(displayLink_);
  }
  if (link) link->setRunning(false);
  frameUpdater_->setDisplayLink(nullptr);
}

flutter::PixelBufferPtr FVPTextureBasedVideoPlayer::copyPixelBuffer() {
  static const auto log = platform::Log::cached("com.lumora.video_player", "frames");
  const double now = platform::Clock::current().uptime();
  const double fd = frameUpdater_->frameDuration();
  if (std::fabs(targetTime_ - now) > 0.5 * fd) targetTime_ = now;
  targetTime_ += fd;

  const auto& source = pixelBufferSource();
  bool took = false;
  if (source) {
    media::MediaTime itemTime = source->itemTimeForHostTime(targetTime_);
    if (source->hasNewPixelBufferForItemTime(itemTime)) {
      if (auto buffer = source->copyPixelBufferForItemTime(itemTime, nullptr)) {
        latestPixelBuffer_ = std::move(buffer);
        took = true;
      }
    }
  }
  if (took && waitingForFrame_.exchange(false) && !isPlaying()) setDisplayLinkRunning(false);

  if (displayLinkRunning() && selfRefresh_) {
    if (std::fabs(fd - latestDuration_) >= latestDuration_ * 0.009999999776482582) {
      startTime_ = now;
      framesCount_ = 0;
      latestDuration_ = fd;
    }
    if (framesCount_ == 10) {
      double average = (now - startTime_) / 10;
      if (0.5 * fd > average) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Warning: measured average duration between frames is unexpectedly short "
                      "(%f/%f), please report this to the Lumora issue tracker.",
                      average, fd);
        log->notice(text);
        selfRefresh_ = false;
      }
      startTime_ = now;
      framesCount_ = 0;
    }
    ++framesCount_;
    std::weak_ptr<FVPFrameUpdater> updater = frameUpdater_;
    platform::mainQueue()->async([updater] {
      auto u = updater.lock();
      if (!u) return;
      if (auto registry = u->registry()) registry->textureFrameAvailable(u->textureIdentifier());
    });
  }
  return latestPixelBuffer_;
}

void FVPTextureBasedVideoPlayer::onTextureUnregistered(flutter::Texture&) {
  std::weak_ptr<FVPVideoPlayer> weak = weak_from_this();
  platform::mainQueue()->async([weak] {
    auto self = weak.lock();
    if (self && !self->disposed()) self->disposeWithError();
  });
}

}  // namespace video_player
