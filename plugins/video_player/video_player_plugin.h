// The video plugin's entry object: owns every live player (texture players included) under its
// player identifier (from 1, shared by both kinds, never reused), answers the plugin-level
// interface "dev.flutter.pigeon.video_player_avfoundation.AVFoundationVideoPlayerApi.<method>",
// and wires each new player to its per-player channels (suffix: the identifier) and its event
// channel "flutter.dev/videoPlayer/videoEvents<identifier>". Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/dispatch/sequence_checker.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/plugin_registrar.h"
#include "platform/engine/texture_registry.h"
#include "platform/media/media.h"
#include "plugins/video_player/fvp_display_link.h"
#include "plugins/video_player/fvp_video_player.h"
#include "plugins/video_player/fvp_view_provider.h"
#include "plugins/video_player/messages.h"

namespace video_player {

class VideoPlayerPlugin : public AVFoundationVideoPlayerApi,
                          public platform::Object,
                          public std::enable_shared_from_this<VideoPlayerPlugin> {
 public:
  // Builds the plugin over the process's media backend (platform::media::defaultMediaFactory),
  // publishes it and sets up its interface. Without a media backend nothing is registered (an
  // error line says so).
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  VideoPlayerPlugin(std::shared_ptr<platform::media::MediaFactory> avFactory,
                    std::shared_ptr<DisplayLinkFactory> displayLinkFactory,
                    std::shared_ptr<flutter::BinaryMessenger> binaryMessenger,
                    flutter::TextureRegistryPtr textureRegistry,
                    std::shared_ptr<FVPViewProvider> viewProvider,
                    std::shared_ptr<FVPAssetProvider> assetProvider);
  std::string className() const override { return "VideoPlayerPlugin"; }

  // AVFoundationVideoPlayerApi.
  void initialize() override;
  std::int64_t createForPlatformView(const CreationOptions& options) override;
  std::shared_ptr<TexturePlayerIds> createForTextureView(const CreationOptions& options) override;
  void setMixWithOthers(bool mixWithOthers) override;
  std::optional<std::string> fileURLForAsset(const std::string& asset,
                                             const std::optional<std::string>& package) override;

  // The live player under `playerId`, or null.
  std::shared_ptr<FVPVideoPlayer> playerWithIdentifier(std::int64_t playerId) const;
  const std::map<std::int64_t, std::shared_ptr<FVPVideoPlayer>>& playersByIdentifier() const {
    return playersByIdentifier_;
  }

 private:
  platform::media::PlayerItemPtr playerItemWithOptions(const CreationOptions& options);
  std::int64_t configurePlayer(const std::shared_ptr<FVPVideoPlayer>& player,
                               std::function<void()> extraDisposeHandler);

  std::shared_ptr<platform::media::MediaFactory> avFactory_;
  std::shared_ptr<DisplayLinkFactory> displayLinkFactory_;
  std::shared_ptr<flutter::BinaryMessenger> binaryMessenger_;
  flutter::TextureRegistryPtr textureRegistry_;
  std::shared_ptr<FVPViewProvider> viewProvider_;
  std::shared_ptr<FVPAssetProvider> assetProvider_;
  std::int64_t nextPlayerIdentifier_ = 1;
  std::map<std::int64_t, std::shared_ptr<FVPVideoPlayer>> playersByIdentifier_;
  platform::SequenceChecker mainThread_{platform::SequenceChecker::kMainThread};
};

}  // namespace video_player
