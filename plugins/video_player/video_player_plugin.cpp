#include "plugins/video_player/video_player_plugin.h"

#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/url.h"
#include "platform/log/log.h"
#include "plugins/video_player/fvp_event_bridge.h"
#include "plugins/video_player/fvp_frame_updater.h"
#include "plugins/video_player/fvp_texture_based_video_player.h"
#include "plugins/video_player/native_video_view.h"

namespace video_player {

namespace media = platform::media;

namespace {
constexpr const char* kEventChannelPrefix = "flutter.dev/videoPlayer/videoEvents";
}  // namespace

void VideoPlayerPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto factory = media::defaultMediaFactory();
  if (!factory) {
    platform::Log::cached("com.lumora.video_player", "plugin")
        ->error("VideoPlayerPlugin not registered: the process has no media backend");
    return;
  }
  auto plugin = std::make_shared<VideoPlayerPlugin>(
      factory, std::make_shared<DefaultDisplayLinkFactory>(), registrar->messenger(),
      registrar->textures(), std::make_shared<FVPDefaultViewProvider>(registrar),
      std::make_shared<DefaultAssetProvider>(registrar));
  registrar->publish(plugin);
  AVFoundationVideoPlayerApiSetup::setUp(registrar->messenger(), plugin);
  std::weak_ptr<VideoPlayerPlugin> weak = plugin;
  registrar->registerViewFactory(
      std::make_shared<NativeVideoViewFactory>(
          registrar->messenger(),
          [weak](std::int64_t playerId) -> std::shared_ptr<FVPVideoPlayer> {
            auto self = weak.lock();
            if (!self) return nullptr;
            auto it = self->playersByIdentifier().find(playerId);
            return it == self->playersByIdentifier().end() ? nullptr : it->second;
          }),
      "plugins.flutter.dev/video_player_ios");
}

VideoPlayerPlugin::VideoPlayerPlugin(std::shared_ptr<media::MediaFactory> avFactory,
                                     std::shared_ptr<DisplayLinkFactory> displayLinkFactory,
                                     std::shared_ptr<flutter::BinaryMessenger> binaryMessenger,
                                     flutter::TextureRegistryPtr textureRegistry,
                                     std::shared_ptr<FVPViewProvider> viewProvider,
                                     std::shared_ptr<FVPAssetProvider> assetProvider)
    : avFactory_(std::move(avFactory)), displayLinkFactory_(std::move(displayLinkFactory)),
      binaryMessenger_(std::move(binaryMessenger)), textureRegistry_(std::move(textureRegistry)),
      viewProvider_(std::move(viewProvider)), assetProvider_(std::move(assetProvider)) {}

void VideoPlayerPlugin::initialize() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  // Dispose a copy: each dispose removes its player from the registry.
  auto players = playersByIdentifier_;
  for (const auto& [id, player] : players)
    player->disposeWithError();
  playersByIdentifier_.clear();
}

media::PlayerItemPtr VideoPlayerPlugin::playerItemWithOptions(const CreationOptions& options) {
  platform::ValueMap assetOptions;
  if (!options.httpHeaders.empty())
    assetOptions[platform::Value(media::kURLAssetHTTPHeaderFieldsKey)] =
        platform::Value(options.httpHeaders);
  auto url = platform::URL::parse(options.uri);
  if (!url) throw pigeon::PigeonError("video_player", "Invalid URI");
  auto asset = avFactory_->URLAssetWithURL(url->absoluteString(), assetOptions);
  auto item = asset ? avFactory_->playerItemWithAsset(asset) : nullptr;
  if (!item) throw pigeon::PigeonError("video_player", "Invalid URI");
  return item;
}

std::int64_t VideoPlayerPlugin::createForPlatformView(const CreationOptions& options) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto item = playerItemWithOptions(options);
  auto player = FVPVideoPlayer::initWithPlayerItem(item, avFactory_, viewProvider_);
  return configurePlayer(player, nullptr);
}

std::shared_ptr<TexturePlayerIds>
VideoPlayerPlugin::createForTextureView(const CreationOptions& options) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto item = playerItemWithOptions(options);
  auto frameUpdater = std::make_shared<FVPFrameUpdater>(textureRegistry_);
  std::weak_ptr<FVPFrameUpdater> weakUpdater = frameUpdater;
  auto displayLink = displayLinkFactory_->displayLink(viewProvider_, [weakUpdater] {
    if (auto updater = weakUpdater.lock()) updater->displayLinkFired();
  });
  auto player = FVPTextureBasedVideoPlayer::initWithPlayerItem(item, frameUpdater, displayLink,
                                                               avFactory_, viewProvider_);
  std::int64_t textureId = textureRegistry_->registerTexture(player);
  player->setTextureIdentifier(textureId);
  std::weak_ptr<VideoPlayerPlugin> weak = weak_from_this();
  std::int64_t playerId = configurePlayer(player, [weak, textureId] {
    if (auto self = weak.lock()) self->textureRegistry_->unregisterTexture(textureId);
  });
  return TexturePlayerIds::makeWithPlayerId(playerId, textureId);
}

std::int64_t VideoPlayerPlugin::configurePlayer(const std::shared_ptr<FVPVideoPlayer>& player,
                                                std::function<void()> extraDisposeHandler) {
  std::int64_t id = nextPlayerIdentifier_++;
  playersByIdentifier_[id] = player;
  const std::string suffix = std::to_string(id);
  SetUpVideoPlayerInstanceApiWithSuffix(binaryMessenger_, player, suffix);
  std::weak_ptr<VideoPlayerPlugin> weak = weak_from_this();
  player->setOnDisposed([weak, suffix, id, extra = std::move(extraDisposeHandler)] {
    auto self = weak.lock();
    if (!self) return;
    SetUpVideoPlayerInstanceApiWithSuffix(self->binaryMessenger_, nullptr, suffix);
    if (extra) extra();
    self->playersByIdentifier_.erase(id);
  });
  player->setEventListener(
      FVPEventBridge::initWithMessenger(binaryMessenger_, kEventChannelPrefix + suffix));
  return id;
}

void VideoPlayerPlugin::setMixWithOthers(bool) {}

std::optional<std::string>
VideoPlayerPlugin::fileURLForAsset(const std::string& asset,
                                   const std::optional<std::string>& package) {
  std::optional<std::string> key = package ? assetProvider_->lookupKeyForAsset(asset, *package)
                                           : assetProvider_->lookupKeyForAsset(asset);
  auto bundle = platform::Bundle::main();
  std::optional<std::string> path;
  if (key) path = bundle->pathForResource(*key, "");
  if (!path) {
    if (!key) return std::nullopt;
    auto bundleURL = platform::URL::fileURLWithPath(bundle->bundlePath(), true);
    if (!bundleURL) return std::nullopt;
    auto url = platform::URL::parse(*key, *bundleURL);
    if (!url) return std::nullopt;
    path = url->path();
  }
  auto fileURL = platform::URL::fileURLWithPath(*path);
  if (!fileURL) return std::nullopt;
  return fileURL->absoluteString();
}

std::shared_ptr<FVPVideoPlayer>
VideoPlayerPlugin::playerWithIdentifier(std::int64_t playerId) const {
  auto it = playersByIdentifier_.find(playerId);
  return it == playersByIdentifier_.end() ? nullptr : it->second;
}

}  // namespace video_player
