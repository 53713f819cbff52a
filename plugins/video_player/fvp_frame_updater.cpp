#include "plugins/video_player/fvp_frame_updater.h"

namespace video_player {

void FVPFrameUpdater::displayLinkFired() {
  if (displayLink_) frameDuration_.store(displayLink_->duration());
  if (auto registry = registry_.lock()) registry->textureFrameAvailable(textureIdentifier_.load());
}

}  // namespace video_player
