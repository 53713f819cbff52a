// The media layer's GStreamer backend: assets, items, players and video outputs over one
// platform::gstreamer::MediaPipeline per asset. The host installs it as the process's media
// backend. Main thread, except the video output's frame calls (any thread).
#pragma once

#include "platform/media/media.h"

namespace platform::media {

class GStreamerMediaFactory : public MediaFactory {
 public:
  AssetPtr URLAssetWithURL(const std::string& url, const ValueMap& options) override;
  PlayerItemPtr playerItemWithAsset(const AssetPtr& asset) override;
  PlayerPtr playerWithPlayerItem(const PlayerItemPtr& item) override;
  PixelBufferSourcePtr videoOutputWithOutputSettings(const ValueMap& settings) override;
};

}  // namespace platform::media
