#include "plugins/video_player/fvp_video_player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"

namespace video_player {

namespace media = platform::media;

namespace {

const std::shared_ptr<platform::Log>& playerLog() {
  static const auto log = platform::Log::cached("com.lumora.video_player", "player");
  return log;
}

bool atLeastMacOS12() {
  return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({12, 0, 0});
}

platform::ValueMap outputSettings() {
  using platform::Value;
  platform::ValueMap color{
      {Value(media::kVideoColorPrimariesKey), Value(media::kITU_R_709_2)},
      {Value(media::kVideoTransferFunctionKey), Value(media::kITU_R_709_2)},
      {Value(media::kVideoYCbCrMatrixKey), Value(media::kITU_R_709_2)},
  };
  return {
      {Value(media::kVideoColorPropertiesKey), Value(std::move(color))},
      {Value(media::kPixelBufferPixelFormatTypeKey), Value(media::kPixelFormat32BGRA)},
      {Value(media::kPixelBufferIOSurfacePropertiesKey), Value::emptyMap()},
  };
}

using VoidCompletion = std::function<void(const std::optional<flutter::Error>&)>;

void succeed(const VoidCompletion& completion) {
  if (completion) completion(std::nullopt);
}

}  // namespace

std::int64_t FVPCMTimeToMillis(const media::MediaTime& time) {
  if ((time.flags & media::MediaTime::kValid) && (time.flags & media::MediaTime::kIndefinite))
    return std::numeric_limits<std::int64_t>::min() + 1;
  if (time.timescale == 0) return 0;
  // value × 1000 cannot overflow 128 bits; the quotient is saturated into 64 bits.
  __int128 scaled = static_cast<__int128>(time.value) * 1000 / time.timescale;
  if (scaled > std::numeric_limits<std::int64_t>::max())
    return std::numeric_limits<std::int64_t>::max();
  if (scaled < std::numeric_limits<std::int64_t>::min())
    return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(scaled);
}

media::AffineTransform FVPGetStandardizedTrackTransform(const media::AffineTransform& t,
                                                        const media::Size& size) {
  media::AffineTransform out = t;
  const double w = size.width, h = size.height;
  auto is = [&](double a, double b, double c, double d) {
    return t.a == a && t.b == b && t.c == c && t.d == d;
  };
  auto set = [&](double tx, double ty) {
    out.tx = tx;
    out.ty = ty;
  };
  if (is(1, 0, 0, 1)) {
    set(0, 0);
  } else if (is(-1, 0, 0, -1)) {
    set(w, h);
  } else if (is(0, -1, 1, 0)) {
    set(0, w);
  } else if (is(0, 1, -1, 0)) {
    set(h, 0);
  } else if (is(-1, 0, 0, 1)) {
    set(w, 0);
  } else if (is(1, 0, 0, -1)) {
    set(0, h);
  } else if (is(0, -1, -1, 0)) {
    set(h, w);
  } else if (is(0, 1, 1, 0)) {
    set(0, 0);
  }
  return out;
}

int FVPRotationDegrees(const media::AffineTransform& t) {
  float radians = static_cast<float>(std::atan2(t.b, t.a));
  float degrees = static_cast<float>(radians * 57.29577951308232);
  if (degrees < 0) degrees += 360;
  return static_cast<int>(std::lround(degrees));
}

std::optional<std::string> FVPCodecStringFromFourCharCode(std::uint32_t code) {
  auto fourCC = [](const char* s) {
    return (static_cast<std::uint32_t>(s[0]) << 24) | (static_cast<std::uint32_t>(s[1]) << 16) |
           (static_cast<std::uint32_t>(s[2]) << 8) | static_cast<std::uint32_t>(s[3]);
  };
  if (code == fourCC("avc1")) return "avc1";
  if (code == fourCC("hvc1")) return "hevc";
  if (code == fourCC("vp09")) return "vp9";
  return std::nullopt;
}

std::optional<std::int64_t> FVPPositiveInteger(double value) {
  // 2^63 is the first double outside the range; NaN fails every comparison.
  if (!(value > 0) || !(value < 9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

media::VideoCompositionPtr FVPVideoCompositionWithTransform(const media::AffineTransform& transform,
                                                            const media::AssetPtr& asset,
                                                            const media::AssetTrackPtr& track) {
  auto composition = std::make_shared<media::VideoComposition>();
  composition->instructionTimeRange = {media::MediaTime::zero(),
                                       asset ? asset->duration() : media::MediaTime::zero()};
  composition->layerTrackID = track->trackID();
  composition->layerTransform = transform;
  composition->layerTransformTime = media::MediaTime::zero();
  int rotation = FVPRotationDegrees(transform);
  media::Size natural = track->naturalSize();
  composition->renderSize = (rotation == 90 || rotation == 270)
                                ? media::Size{natural.height, natural.width}
                                : media::Size{natural.width, natural.height};
  composition->sourceTrackIDForFrameTiming = track->trackID();
  media::MediaTime minFrameDuration = track->minFrameDuration();
  if (minFrameDuration.isValid()) {
    composition->frameDuration = minFrameDuration;
  } else {
    playerLog()->notice(
        "Warning: videoTrack.minFrameDuration for input video is invalid, please report this to "
        "the Lumora issue tracker with input video attached.");
    composition->frameDuration = media::MediaTime::make(1, 30);
  }
  return composition;
}

std::shared_ptr<FVPVideoPlayer>
FVPVideoPlayer::initWithPlayerItem(const media::PlayerItemPtr& item,
                                   const std::shared_ptr<media::MediaFactory>& avFactory,
                                   std::shared_ptr<FVPViewProvider> viewProvider) {
  std::shared_ptr<FVPVideoPlayer> player(
      new FVPVideoPlayer(item, avFactory, std::move(viewProvider)));
  player->start();
  return player;
}

FVPVideoPlayer::FVPVideoPlayer(const media::PlayerItemPtr& item,
                               const std::shared_ptr<media::MediaFactory>& avFactory,
                               std::shared_ptr<FVPViewProvider> viewProvider)
    : viewProvider_(std::move(viewProvider)) {
  player_ = avFactory->playerWithPlayerItem(item);
  LUMORA_ASSERT(player_ != nullptr, "super init cannot be nil");
  if (player_) player_->setActionAtItemEnd(media::ActionAtItemEnd::None);
  pixelBufferSource_ = avFactory->videoOutputWithOutputSettings(outputSettings());
}

void FVPVideoPlayer::start() {
  auto item = player_ ? player_->currentItem() : nullptr;
  auto asset = item ? item->asset() : nullptr;
  if (!asset) return;
  std::weak_ptr<FVPVideoPlayer> weak = weak_from_this();
  asset->loadValuesAsynchronouslyForKeys({"tracks"}, [weak, asset] {
    auto self = weak.lock();
    if (!self) return;
    if (asset->statusOfValueForKey("tracks", nullptr) != media::KeyValueStatus::Loaded) return;
    auto withTracks = [weak](const std::vector<media::AssetTrackPtr>& tracks) {
      auto self = weak.lock();
      if (!self || tracks.empty()) return;
      self->applyPreferredTransform(tracks.front());
    };
    if (atLeastMacOS12()) {
      asset->loadTracksWithMediaType(
          media::MediaType::Video,
          [withTracks](std::vector<media::AssetTrackPtr> tracks, platform::ErrorPtr error) {
            if (error) {
              playerLog()->error("Error loading tracks: " + error->localizedDescription());
              return;
            }
            withTracks(tracks);
          });
    } else {
      withTracks(asset->tracksWithMediaType(media::MediaType::Video));
    }
  });
}

void FVPVideoPlayer::applyPreferredTransform(const media::AssetTrackPtr& track) {
  std::weak_ptr<FVPVideoPlayer> weak = weak_from_this();
  track->loadValuesAsynchronouslyForKeys({"preferredTransform"}, [weak, track] {
    auto self = weak.lock();
    if (!self || self->disposed_) return;
    if (track->statusOfValueForKey("preferredTransform", nullptr) != media::KeyValueStatus::Loaded)
      return;
    self->preferredTransform_ =
        FVPGetStandardizedTrackTransform(track->preferredTransform(), track->naturalSize());
    if (self->preferredTransform_.isIdentity()) return;
    auto item = self->player_->currentItem();
    if (!item) return;
    item->setVideoComposition(
        FVPVideoCompositionWithTransform(self->preferredTransform_, item->asset(), track));
  });
}

FVPVideoPlayer::~FVPVideoPlayer() {
  // A player released without dispose still leaves its item and player unobserved.
  if (listenersRegistered_ && !disposed_) removeObservers();
}

void FVPVideoPlayer::setEventListener(std::shared_ptr<FVPVideoEventListener> listener) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  eventListener_ = std::move(listener);
  if (eventListener_ && !listenersRegistered_ && !disposed_) registerObservers();
}

void FVPVideoPlayer::registerObservers() {
  auto item = player_->currentItem();
  reportStatusForPlayerItem(item);
  std::weak_ptr<FVPVideoPlayer> weak = weak_from_this();
  if (item) {
    observedItem_ = item;
    itemTokens_.push_back(item->addObserver(media::ItemObservation::LoadedTimeRanges, [weak] {
      if (auto self = weak.lock()) self->onLoadedTimeRanges();
    }));
    std::weak_ptr<media::PlayerItem> weakItem = item;
    itemTokens_.push_back(item->addObserver(media::ItemObservation::Status, [weak, weakItem] {
      auto self = weak.lock();
      auto observed = weakItem.lock();
      if (self && observed) self->reportStatusForPlayerItem(observed);
    }));
    itemTokens_.push_back(item->addObserver(media::ItemObservation::PlaybackLikelyToKeepUp, [weak] {
      if (auto self = weak.lock()) self->onLikelyToKeepUp();
    }));
    itemTokens_.push_back(item->addDidPlayToEndTimeObserver([weak] {
      if (auto self = weak.lock()) self->itemDidPlayToEndTime();
    }));
  }
  playerToken_ = player_->addObserver(media::PlayerObservation::Rate, [weak] {
    if (auto self = weak.lock()) self->onRate();
  });
  listenersRegistered_ = true;
}

void FVPVideoPlayer::removeObservers() {
  if (observedItem_) {
    for (auto token : itemTokens_)
      observedItem_->removeObserver(token);
  }
  itemTokens_.clear();
  observedItem_.reset();
  if (playerToken_) player_->removeObserver(playerToken_);
  playerToken_ = 0;
}

void FVPVideoPlayer::onLoadedTimeRanges() {
  auto item = player_->currentItem();
  if (!item || !eventListener_) return;
  std::vector<std::pair<std::int64_t, std::int64_t>> regions;
  for (const auto& range : item->loadedTimeRanges())
    regions.emplace_back(FVPCMTimeToMillis(range.start), FVPCMTimeToMillis(range.duration));
  eventListener_->videoPlayerDidUpdateBufferRegions(regions);
}

void FVPVideoPlayer::onLikelyToKeepUp() {
  updatePlayingState();
  auto item = player_->currentItem();
  if (!eventListener_) return;
  if (item && item->isPlaybackLikelyToKeepUp()) {
    eventListener_->videoPlayerDidEndBuffering();
  } else {
    eventListener_->videoPlayerDidStartBuffering();
  }
}

void FVPVideoPlayer::onRate() {
  if (eventListener_) eventListener_->videoPlayerDidSetPlaying(player_->rate() > 0);
}

void FVPVideoPlayer::reportStatusForPlayerItem(const media::PlayerItemPtr& item) {
  LUMORA_ASSERT(eventListener_ != nullptr,
                "reportStatusForPlayerItem was called when the event listener was not set.");
  if (!item || !eventListener_) return;
  switch (item->status()) {
  case media::ItemStatus::Failed:
    sendFailedToLoadVideoEvent();
    break;
  case media::ItemStatus::ReadyToPlay:
    if (isInitialized_) break;
    item->addOutput(pixelBufferSource_);
    reportInitialized();
    updatePlayingState();
    break;
  case media::ItemStatus::Unknown:
    break;
  }
}

void FVPVideoPlayer::reportInitialized() {
  auto item = player_->currentItem();
  LUMORA_ASSERT(item && item->status() == media::ItemStatus::ReadyToPlay,
                "reportInitializedIfReadyToPlay was called when the item wasn't ready to play.");
  LUMORA_ASSERT(!isInitialized_, "reportInitializedIfReadyToPlay should only be called once.");
  isInitialized_ = true;
  media::Size size = item ? item->presentationSize() : media::Size{};
  if (eventListener_)
    eventListener_->videoPlayerDidInitializeWithDuration(duration(), size.width, size.height);
}

void FVPVideoPlayer::sendFailedToLoadVideoEvent() {
  auto item = player_->currentItem();
  platform::ErrorPtr error;
  if (item && item->asset()) {
    platform::ErrorPtr tracksError;
    if (item->asset()->statusOfValueForKey("tracks", &tracksError) == media::KeyValueStatus::Failed)
      error = tracksError;
  }
  if (!error && item) error = item->error();

  std::vector<std::string> parts{"Failed to load video"};
  auto add = [&parts](const std::optional<std::string>& part) {
    if (part && std::find(parts.begin(), parts.end(), *part) == parts.end()) parts.push_back(*part);
  };
  auto reasonOf = [](const platform::Error& e) -> std::optional<std::string> {
    auto it = e.userInfo.find(platform::Value(platform::kLocalizedFailureReasonKey));
    if (it != e.userInfo.end() && it->second.isString()) return it->second.asString();
    return std::nullopt;
  };
  if (error) {
    add(error->localizedDescription());
    add(reasonOf(*error));
    auto it = error->userInfo.find(platform::Value(platform::kUnderlyingErrorKey));
    if (it != error->userInfo.end() && it->second.isError() && *it->second.ifError()) {
      const auto& underlying = **it->second.ifError();
      add(underlying.localizedDescription());
      add(reasonOf(underlying));
    }
  }
  std::string message;
  for (const auto& part : parts)
    message += (message.empty() ? "" : ": ") + part;
  if (eventListener_) eventListener_->videoPlayerDidErrorWithMessage(message);
}

void FVPVideoPlayer::updatePlayingState() {
  if (!isInitialized_ || !player_) return;
  if (!isPlaying_) {
    player_->pause();
  } else if (targetPlaybackSpeed_) {
    updateRate();
  } else {
    player_->play();
  }
}

void FVPVideoPlayer::updateRate() {
  float speed = static_cast<float>(*targetPlaybackSpeed_);
  auto item = player_->currentItem();
  if (!item) return;
  bool ready = item->status() == media::ItemStatus::ReadyToPlay;
  if (speed > 2.0f) {
    if (!item->canPlayFastForward()) {
      if (!ready) return;
      speed = 2.0f;
    }
  }
  if (speed < 1.0f) {
    if (!item->canPlaySlowForward()) {
      if (!ready) return;
      speed = 1.0f;
    }
  }
  player_->setRate(speed);
}

void FVPVideoPlayer::itemDidPlayToEndTime() {
  if (isLooping_) {
    if (auto item = player_->currentItem()) item->seekToTime(media::MediaTime::zero(), nullptr);
    return;
  }
  if (eventListener_) eventListener_->videoPlayerDidComplete();
}

void FVPVideoPlayer::disposeWithError() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (disposed_) return;
  disposed_ = true;
  if (listenersRegistered_) removeObservers();
  if (player_) player_->replaceCurrentItemWithPlayerItem(nullptr);
  // Run once: the action may release the last owners of this player.
  auto self = shared_from_this();
  auto onDisposed = std::move(onDisposed_);
  onDisposed_ = nullptr;
  if (onDisposed) onDisposed();
  if (eventListener_) eventListener_->videoPlayerWasDisposed();
}

void FVPVideoPlayer::playWithError() {
  isPlaying_ = true;
  updatePlayingState();
}

void FVPVideoPlayer::pauseWithError() {
  isPlaying_ = false;
  updatePlayingState();
}

std::int64_t FVPVideoPlayer::positionMs() const {
  return player_ ? FVPCMTimeToMillis(player_->currentTime()) : 0;
}

std::int64_t FVPVideoPlayer::duration() const {
  auto item = player_ ? player_->currentItem() : nullptr;
  auto asset = item ? item->asset() : nullptr;
  return asset ? FVPCMTimeToMillis(asset->duration()) : 0;
}

void FVPVideoPlayer::seekToPosition(std::int64_t positionMs, std::function<void()> completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto target = media::MediaTime::make(positionMs, 1000);
  auto tolerance =
      positionMs == duration() ? media::MediaTime::make(1, 1000) : media::MediaTime::make(0, 1000);
  player_->seekToTime(target, tolerance, tolerance,
                      [completion = std::move(completion)](bool /*finished*/) {
                        if (!completion) return;
                        // Replies leave from the main queue, whatever thread the seek ended on.
                        platform::mainQueue()->async(completion);
                      });
}

void FVPVideoPlayer::setVolumeValue(double volume) {
  double clamped = volume < 0 ? 0.0 : std::min(volume, 1.0);
  player_->setVolume(static_cast<float>(clamped));
}

void FVPVideoPlayer::setPlaybackSpeedValue(double speed) {
  targetPlaybackSpeed_ = speed;
  updatePlayingState();
}

std::vector<std::shared_ptr<FVPMediaSelectionAudioTrackData>> FVPVideoPlayer::audioTracks() const {
  std::vector<std::shared_ptr<FVPMediaSelectionAudioTrackData>> out;
  auto item = player_->currentItem();
  if (!item || !item->asset()) return out;
  auto group =
      item->asset()->mediaSelectionGroupForMediaCharacteristic(media::MediaCharacteristic::Audible);
  if (!group || group->options.empty()) return out;
  auto selected = item->selectedMediaOptionInMediaSelectionGroup(group);
  for (std::size_t i = 0; i < group->options.size(); ++i) {
    const auto& option = group->options[i];
    out.push_back(FVPMediaSelectionAudioTrackData::makeWithIndex(
        static_cast<std::int64_t>(i), option->displayName(), option->localeLanguageCode(),
        selected == option, option->commonMetadataTitle()));
  }
  return out;
}

void FVPVideoPlayer::selectAudioTrackIndex(std::int64_t index) {
  auto item = player_->currentItem();
  if (!item || !item->asset()) return;
  auto group =
      item->asset()->mediaSelectionGroupForMediaCharacteristic(media::MediaCharacteristic::Audible);
  if (index < 0 || !group || static_cast<std::size_t>(index) >= group->options.size()) return;
  item->selectMediaOption(group->options[static_cast<std::size_t>(index)], group);
}

void FVPVideoPlayer::loadVideoTracks(
    std::function<void(std::shared_ptr<FVPNativeVideoTrackData>)> completion) {
  auto item = player_->currentItem();
  auto asset = item ? item->asset() : nullptr;
  if (!item || !asset || !asset->isURLAsset() || !atLeastMacOS12()) {
    completion(nullptr);
    return;
  }
  asset->loadValuesAsynchronouslyForKeys(
      {"variants"}, [item, asset, completion = std::move(completion)] {
        // Continue on the main queue, whichever thread the load finished on.
        platform::mainQueue()->async([item, asset, completion] {
          std::vector<std::shared_ptr<FVPMediaSelectionVideoTrackData>> tracks;
          if (asset->statusOfValueForKey("variants", nullptr) == media::KeyValueStatus::Loaded) {
            double preferred = std::max(item->preferredPeakBitRate(), 0.0);
            const auto variants = asset->variants();
            for (std::size_t i = 0; i < variants.size(); ++i) {
              const auto& variant = variants[i];
              double peak = variant.peakBitRate;
              media::Size size;
              double rate = 0;
              std::optional<std::string> codec;
              if (variant.videoAttributes) {
                size = variant.videoAttributes->presentationSize;
                rate = variant.videoAttributes->nominalFrameRate;
                if (!variant.videoAttributes->codecTypes.empty())
                  codec = FVPCodecStringFromFourCharCode(variant.videoAttributes->codecTypes[0]);
              }
              bool selected = preferred > 0 && std::fabs(peak - preferred) < peak * 0.1;
              std::optional<std::string> label;
              auto height = FVPPositiveInteger(size.height);
              if (size.height > 0 && std::isfinite(size.height)) {
                char text[64];
                std::snprintf(text, sizeof text, "%.0fp", size.height);
                label = text;
              }
              std::optional<double> frameRate;
              if (rate > 0 && std::isfinite(rate)) frameRate = rate;
              tracks.push_back(FVPMediaSelectionVideoTrackData::makeWithVariantIndex(
                  static_cast<std::int64_t>(i), label, FVPPositiveInteger(peak),
                  FVPPositiveInteger(size.width), height, frameRate, codec, selected));
            }
          }
          completion(FVPNativeVideoTrackData::makeWithAssetTracks(std::nullopt, tracks));
        });
      });
}

void FVPVideoPlayer::selectVideoTrackBitrate(std::int64_t bitrate) {
  if (auto item = player_->currentItem())
    item->setPreferredPeakBitRate(static_cast<double>(bitrate));
}

// VideoPlayerInstanceApi: no operation reports an error.

void FVPVideoPlayer::setLooping(bool looping, VoidCompletion completion) {
  setIsLooping(looping);
  succeed(completion);
}

void FVPVideoPlayer::setVolume(double volume, VoidCompletion completion) {
  setVolumeValue(volume);
  succeed(completion);
}

void FVPVideoPlayer::setPlaybackSpeed(double speed, VoidCompletion completion) {
  setPlaybackSpeedValue(speed);
  succeed(completion);
}

void FVPVideoPlayer::play(VoidCompletion completion) {
  playWithError();
  succeed(completion);
}

void FVPVideoPlayer::position(
    std::function<void(std::int64_t, const std::optional<flutter::Error>&)> completion) {
  completion(positionMs(), std::nullopt);
}

void FVPVideoPlayer::seekTo(std::int64_t position, VoidCompletion completion) {
  seekToPosition(position, [completion] { succeed(completion); });
}

void FVPVideoPlayer::pause(VoidCompletion completion) {
  pauseWithError();
  succeed(completion);
}

void FVPVideoPlayer::dispose(VoidCompletion completion) {
  disposeWithError();
  succeed(completion);
}

void FVPVideoPlayer::getAudioTracks(
    std::function<void(std::vector<std::shared_ptr<FVPMediaSelectionAudioTrackData>>,
                       const std::optional<flutter::Error>&)>
        completion) {
  completion(audioTracks(), std::nullopt);
}

void FVPVideoPlayer::selectAudioTrackAtIndex(std::int64_t trackIndex, VoidCompletion completion) {
  selectAudioTrackIndex(trackIndex);
  succeed(completion);
}

void FVPVideoPlayer::getVideoTracks(std::function<void(std::shared_ptr<FVPNativeVideoTrackData>,
                                                       const std::optional<flutter::Error>&)>
                                        completion) {
  loadVideoTracks([completion](std::shared_ptr<FVPNativeVideoTrackData> tracks) {
    completion(std::move(tracks), std::nullopt);
  });
}

void FVPVideoPlayer::selectVideoTrackWithBitrate(std::int64_t bitrate, VoidCompletion completion) {
  selectVideoTrackBitrate(bitrate);
  succeed(completion);
}

}  // namespace video_player
