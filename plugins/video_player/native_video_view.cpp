#include "plugins/video_player/native_video_view.h"

#include <utility>

#include "platform/appkit/layer.h"
#include "platform/log/log.h"
#include "plugins/video_player/fvp_video_player.h"
#include "plugins/video_player/messages.h"

namespace video_player {

FVPNativeVideoView::FVPNativeVideoView(platform::media::PlayerPtr player)
    : player_(std::move(player)) {}

platform::LayerPtr FVPNativeVideoView::makeBackingLayer() {
  return platform::PlayerLayer::playerLayerWithPlayer(player_);
}

NativeVideoViewFactory::NativeVideoViewFactory(std::shared_ptr<flutter::BinaryMessenger> messenger,
                                               PlayerLookup playerByIdentifierProvider)
    : messenger_(std::move(messenger)),
      playerByIdentifierProvider_(std::move(playerByIdentifierProvider)) {}

flutter::MessageCodecPtr NativeVideoViewFactory::createArgsCodec() const {
  return VideoPlayerPluginMessagesPigeonCodec::shared();
}

platform::ViewPtr
NativeVideoViewFactory::createWithViewIdentifier(std::int64_t, const platform::Value& arguments) {
  auto log = [] { return platform::Log::cached("com.lumora.video_player", "view"); };
  auto params = arguments.asObjectOf<PlatformVideoViewCreationParams>();
  platform::media::PlayerPtr player;
  if (!params) {
    log()->error("Native video view: the creation parameters name no player; the view is empty");
  } else if (auto videoPlayer = playerByIdentifierProvider_
                                    ? playerByIdentifierProvider_(params->playerId)
                                    : nullptr) {
    player = videoPlayer->player();
  } else {
    log()->error("Native video view: no player " + std::to_string(params->playerId) +
                 "; the view is empty");
  }
  auto view = std::make_shared<FVPNativeVideoView>(std::move(player));
  view->layer();  // layer-backed from the start
  return view;
}

}  // namespace video_player
