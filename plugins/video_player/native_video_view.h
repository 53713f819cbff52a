// Players shown as native views: the view factory registered under
// "plugins.flutter.dev/video_player_ios" and the view whose backing layer is a player layer on
// the player. Views live in the simulated view tree only (nothing is drawn). Main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/appkit/view.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/platform_view.h"
#include "platform/media/media.h"

namespace video_player {

class FVPVideoPlayer;

// A layer-backed view showing one media player; holds the player, not the plugin's player object.
class FVPNativeVideoView : public platform::View {
 public:
  // A null player gives a view whose player layer shows nothing.
  explicit FVPNativeVideoView(platform::media::PlayerPtr player);
  std::string className() const override { return "FVPNativeVideoView"; }

 protected:
  platform::LayerPtr makeBackingLayer() override;

 private:
  platform::media::PlayerPtr player_;
};

class NativeVideoViewFactory : public flutter::PlatformViewFactory {
 public:
  using PlayerLookup = std::function<std::shared_ptr<FVPVideoPlayer>(std::int64_t)>;

  NativeVideoViewFactory(std::shared_ptr<flutter::BinaryMessenger> messenger,
                         PlayerLookup playerByIdentifierProvider);

  // Parameters that are missing, of another type, or name no live player give an empty view
  // (and a log line).
  platform::ViewPtr createWithViewIdentifier(std::int64_t viewId,
                                             const platform::Value& arguments) override;
  flutter::MessageCodecPtr createArgsCodec() const override;

 private:
  std::shared_ptr<flutter::BinaryMessenger> messenger_;
  PlayerLookup playerByIdentifierProvider_;
};

}  // namespace video_player
