#include "platform/media_gstreamer/gstreamer_media.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/gstreamer/media_pipeline.h"

namespace platform::media {
namespace {

namespace gst = platform::gstreamer;

constexpr std::int32_t kNanosecondTimescale = 1000000000;
constexpr const char* kErrorDomain = "LumoraMediaErrorDomain";

MediaTime fromStreamTime(gst::StreamTime ns) {
  return MediaTime::make(ns, kNanosecondTimescale);
}

// Nanoseconds of a numeric media time (0 for any other), saturated.
gst::StreamTime toStreamTime(MediaTime time) {
  if (!time.isNumeric()) return 0;
  __int128 ns = static_cast<__int128>(time.value) * kNanosecondTimescale / time.timescale;
  if (ns > INT64_MAX) return INT64_MAX;
  if (ns < 0) return 0;
  return static_cast<gst::StreamTime>(ns);
}

// A decoded frame as the media layer's pixel buffer: the decoder's memory, no copy.
class FramePixelBuffer : public PixelBuffer {
 public:
  explicit FramePixelBuffer(gst::VideoFramePtr frame) : frame_(std::move(frame)) {}
  int width() const override { return frame_->width(); }
  int height() const override { return frame_->height(); }
  std::size_t bytesPerRow() const override { return frame_->bytesPerRow(); }
  const std::uint8_t* baseAddress() const override { return frame_->bytes(); }

 private:
  gst::VideoFramePtr frame_;
};

enum class Notice { Status, LoadedRanges, KeepUp, End };

class AudioOption : public MediaSelectionOption {
 public:
  AudioOption(int index, gst::AudioStream stream) : index(index), stream_(std::move(stream)) {}
  std::optional<std::string> displayName() const override {
    if (stream_.title) return stream_.title;
    if (stream_.languageCode) return stream_.languageCode;
    return "Track " + std::to_string(index + 1);
  }
  std::optional<std::string> localeLanguageCode() const override { return stream_.languageCode; }
  std::optional<std::string> commonMetadataTitle() const override { return stream_.title; }
  const int index;

 private:
  gst::AudioStream stream_;
};

class Medium;

class Track : public AssetTrack {
 public:
  Track(std::shared_ptr<Medium> medium, std::int32_t id, MediaType type)
      : medium_(std::move(medium)), id_(id), type_(type) {}
  std::int32_t trackID() const override { return id_; }
  MediaType mediaType() const override { return type_; }
  KeyValueStatus statusOfValueForKey(const std::string&, ErrorPtr*) const override {
    return KeyValueStatus::Loaded;  // a track exists only once its medium is ready
  }
  void loadValuesAsynchronouslyForKeys(const std::vector<std::string>&,
                                       std::function<void()> completion) override {
    if (completion) mainQueue()->async(std::move(completion));
  }
  AffineTransform preferredTransform() const override;
  Size naturalSize() const override;
  MediaTime minFrameDuration() const override;

 private:
  std::shared_ptr<Medium> medium_;
  std::int32_t id_;
  MediaType type_;
};

// What the asset and its items share: the pipeline, its observers and pending loads. Main thread.
class Medium : public std::enable_shared_from_this<Medium> {
 public:
  static std::shared_ptr<Medium> make(const std::string& url, const ValueMap& options) {
    auto medium = std::shared_ptr<Medium>(new Medium(url));
    gst::MediaPipelineOptions pipelineOptions;
    pipelineOptions.uri = url;
    if (auto headers = options.find(Value(kURLAssetHTTPHeaderFieldsKey));
        headers != options.end() && headers->second.isMap()) {
      for (const auto& [name, value] : headers->second.asMap())
        if (name.isString() && value.isString())
          pipelineOptions.httpHeaders[name.asString()] = value.asString();
    }
    std::weak_ptr<Medium> weak = medium;
    gst::MediaPipeline::Listener listener;
    listener.statusChanged = [weak] {
      if (auto m = weak.lock()) m->statusChanged();
    };
    listener.bufferingChanged = [weak] {
      if (auto m = weak.lock()) {
        m->notify(Notice::LoadedRanges);
        m->notify(Notice::KeepUp);
      }
    };
    listener.endOfStream = [weak] {
      if (auto m = weak.lock()) m->notify(Notice::End);
    };
    listener.tracksChanged = [weak] {
      if (auto m = weak.lock()) m->audible_.reset();
    };
    medium->pipeline_ = gst::MediaPipeline::create(std::move(pipelineOptions), std::move(listener));
    // A pipeline that could not even be made fails at once; its notice comes as the others do.
    if (medium->pipeline_->status() == gst::MediaPipeline::Status::Failed) {
      mainQueue()->async([weak] {
        if (auto m = weak.lock()) m->statusChanged();
      });
    }
    return medium;
  }

  ~Medium() {
    if (pipeline_) pipeline_->shutdown();
  }

  const std::string& url() const { return url_; }
  const gst::MediaPipelinePtr& pipeline() const { return pipeline_; }
  gst::MediaPipeline::Status status() const { return pipeline_->status(); }
  ErrorPtr error() const {
    if (status() != gst::MediaPipeline::Status::Failed) return nullptr;
    return Error::withDescription(kErrorDomain, -11800, pipeline_->errorDescription());
  }

  // Runs `completion` on the main loop once the medium is ready or failed.
  void whenLoaded(std::function<void()> completion) {
    if (!completion) return;
    if (status() != gst::MediaPipeline::Status::Unknown)
      mainQueue()->async(std::move(completion));
    else
      pendingLoads_.push_back(std::move(completion));
  }

  ObserverToken addObserver(Notice notice, std::function<void()> callback) {
    ObserverToken token = nextToken_++;
    observers_.emplace(token, std::make_pair(notice, std::move(callback)));
    return token;
  }
  void removeObserver(ObserverToken token) { observers_.erase(token); }

  std::vector<AssetTrackPtr> tracks(MediaType type) {
    if (status() != gst::MediaPipeline::Status::Ready) return {};
    if (type == MediaType::Video) {
      if (!pipeline_->hasVideo()) return {};
      if (!videoTrack_) videoTrack_ = std::make_shared<Track>(shared_from_this(), 1, type);
      return {videoTrack_};
    }
    std::vector<AssetTrackPtr> out;
    const auto count = static_cast<std::int32_t>(pipeline_->audioStreams().size());
    for (std::int32_t i = 0; i < count; ++i)
      out.push_back(std::make_shared<Track>(shared_from_this(), 2 + i, type));
    return out;
  }

  MediaSelectionGroupPtr audibleGroup() {
    if (status() != gst::MediaPipeline::Status::Ready) return nullptr;
    if (!audible_) {
      auto streams = pipeline_->audioStreams();
      if (streams.empty()) return nullptr;
      auto group = std::make_shared<MediaSelectionGroup>();
      for (std::size_t i = 0; i < streams.size(); ++i)
        group->options.push_back(std::make_shared<AudioOption>(static_cast<int>(i), streams[i]));
      audible_ = std::move(group);
    }
    return audible_;
  }

 private:
  explicit Medium(std::string url) : url_(std::move(url)) {}

  void statusChanged() {
    auto loads = std::move(pendingLoads_);
    pendingLoads_.clear();
    for (auto& load : loads)
      load();
    notify(Notice::Status);
  }

  // Calls the observers of `notice` in the order they came; one removed meanwhile is skipped.
  void notify(Notice notice) {
    std::vector<ObserverToken> tokens;
    for (const auto& [token, entry] : observers_)
      if (entry.first == notice) tokens.push_back(token);
    auto self = shared_from_this();
    for (ObserverToken token : tokens) {
      auto it = observers_.find(token);
      if (it == observers_.end()) continue;
      auto callback = it->second.second;
      if (callback) callback();
    }
  }

  std::string url_;
  gst::MediaPipelinePtr pipeline_;
  std::vector<std::function<void()>> pendingLoads_;
  std::map<ObserverToken, std::pair<Notice, std::function<void()>>> observers_;
  ObserverToken nextToken_ = 1;
  AssetTrackPtr videoTrack_;
  MediaSelectionGroupPtr audible_;
};

AffineTransform Track::preferredTransform() const {
  if (type_ != MediaType::Video) return {};
  auto facts = medium_->pipeline()->videoFacts();
  return {facts.transform[0], facts.transform[1], facts.transform[2],
          facts.transform[3], facts.transform[4], facts.transform[5]};
}

Size Track::naturalSize() const {
  if (type_ != MediaType::Video) return {};
  auto facts = medium_->pipeline()->videoFacts();
  return {static_cast<double>(facts.width), static_cast<double>(facts.height)};
}

MediaTime Track::minFrameDuration() const {
  if (type_ != MediaType::Video) return MediaTime::invalid();
  auto facts = medium_->pipeline()->videoFacts();
  if (facts.frameRateNumerator <= 0 || facts.frameRateDenominator <= 0) return MediaTime::invalid();
  return MediaTime::make(facts.frameRateDenominator, facts.frameRateNumerator);
}

class GstAsset : public Asset {
 public:
  explicit GstAsset(std::shared_ptr<Medium> medium) : medium_(std::move(medium)) {}
  const std::shared_ptr<Medium>& medium() const { return medium_; }

  bool isURLAsset() const override { return true; }
  std::string url() const override { return medium_->url(); }
  KeyValueStatus statusOfValueForKey(const std::string&, ErrorPtr* error) const override {
    switch (medium_->status()) {
    case gst::MediaPipeline::Status::Ready:
      return KeyValueStatus::Loaded;
    case gst::MediaPipeline::Status::Failed:
      if (error) *error = medium_->error();
      return KeyValueStatus::Failed;
    case gst::MediaPipeline::Status::Unknown:
      break;
    }
    return KeyValueStatus::Loading;
  }
  void loadValuesAsynchronouslyForKeys(const std::vector<std::string>&,
                                       std::function<void()> completion) override {
    medium_->whenLoaded(std::move(completion));
  }
  void loadTracksWithMediaType(
      MediaType type,
      std::function<void(std::vector<AssetTrackPtr>, ErrorPtr)> completion) override {
    if (!completion) return;
    medium_->whenLoaded([medium = medium_, type, completion = std::move(completion)] {
      completion(medium->tracks(type), medium->error());
    });
  }
  std::vector<AssetTrackPtr> tracksWithMediaType(MediaType type) const override {
    return medium_->tracks(type);
  }
  MediaTime duration() const override {
    if (medium_->status() != gst::MediaPipeline::Status::Ready) return MediaTime::invalid();
    auto duration = medium_->pipeline()->duration();
    return duration ? fromStreamTime(*duration) : MediaTime::indefinite();
  }
  MediaSelectionGroupPtr
  mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic characteristic) const override {
    if (characteristic != MediaCharacteristic::Audible) return nullptr;
    return medium_->audibleGroup();
  }
  // Listing an adaptive stream's variants is not built: every asset has none.
  std::vector<AssetVariant> variants() const override { return {}; }

 private:
  std::shared_ptr<Medium> medium_;
};

class GstVideoOutput : public PixelBufferSource {
 public:
  void attach(const gst::MediaPipelinePtr& pipeline) {
    std::lock_guard lock(mutex_);
    pipeline_ = pipeline;
  }
  MediaTime itemTimeForHostTime(double hostTime) const override {
    auto pipeline = current();
    if (!pipeline) return MediaTime::zero();
    return fromStreamTime(pipeline->itemTimeForHostTime(hostTime));
  }
  bool hasNewPixelBufferForItemTime(MediaTime itemTime) override {
    auto pipeline = current();
    return pipeline && itemTime.isNumeric() && pipeline->hasNewFrame(toStreamTime(itemTime));
  }
  PixelBufferPtr copyPixelBufferForItemTime(MediaTime itemTime,
                                            MediaTime* itemTimeForDisplay) override {
    auto pipeline = current();
    if (!pipeline || !itemTime.isNumeric()) return nullptr;
    auto frame = pipeline->takeNewFrame(toStreamTime(itemTime));
    if (!frame) return nullptr;
    if (itemTimeForDisplay) *itemTimeForDisplay = fromStreamTime(frame->streamTime());
    return std::make_shared<FramePixelBuffer>(std::move(frame));
  }

 private:
  gst::MediaPipelinePtr current() const {
    std::lock_guard lock(mutex_);
    return pipeline_.lock();
  }
  mutable std::mutex mutex_;
  // Weak: the output does not keep a released item's pipeline running.
  std::weak_ptr<gst::MediaPipeline> pipeline_;
};

class GstPlayerItem : public PlayerItem {
 public:
  explicit GstPlayerItem(std::shared_ptr<GstAsset> asset)
      : asset_(std::move(asset)), medium_(asset_->medium()) {}
  ~GstPlayerItem() override {
    for (auto token : tokens_)
      medium_->removeObserver(token);
  }
  const std::shared_ptr<Medium>& medium() const { return medium_; }

  AssetPtr asset() const override { return asset_; }
  ItemStatus status() const override {
    switch (medium_->status()) {
    case gst::MediaPipeline::Status::Ready:
      return ItemStatus::ReadyToPlay;
    case gst::MediaPipeline::Status::Failed:
      return ItemStatus::Failed;
    case gst::MediaPipeline::Status::Unknown:
      break;
    }
    return ItemStatus::Unknown;
  }
  ErrorPtr error() const override { return medium_->error(); }
  Size presentationSize() const override {
    const auto& p = medium_->pipeline();
    return {static_cast<double>(p->width()), static_cast<double>(p->height())};
  }
  std::vector<TimeRange> loadedTimeRanges() const override {
    std::vector<TimeRange> out;
    for (const auto& range : medium_->pipeline()->loadedRanges())
      out.push_back({fromStreamTime(range.start), fromStreamTime(range.duration)});
    return out;
  }
  bool isPlaybackLikelyToKeepUp() const override { return medium_->pipeline()->likelyToKeepUp(); }
  bool canPlayFastForward() const override { return medium_->pipeline()->canPlayAtRate(2.0); }
  bool canPlaySlowForward() const override { return medium_->pipeline()->canPlayAtRate(0.5); }
  MediaTime currentTime() const override { return fromStreamTime(medium_->pipeline()->position()); }

  VideoCompositionPtr videoComposition() const override { return composition_; }
  void setVideoComposition(VideoCompositionPtr composition) override {
    composition_ = std::move(composition);
    const AffineTransform t = composition_ ? composition_->layerTransform : AffineTransform{};
    // Quarter turns and mirrorings turn the frames; any other transform leaves them as decoded.
    medium_->pipeline()->setVideoTransform(t.a, t.b, t.c, t.d);
  }
  void addOutput(PixelBufferSourcePtr output) override {
    if (auto gstOutput = std::dynamic_pointer_cast<GstVideoOutput>(output))
      gstOutput->attach(medium_->pipeline());
    outputs_.push_back(std::move(output));
  }

  void seekToTime(MediaTime time, std::function<void(bool)> completion) override {
    medium_->pipeline()->seek(toStreamTime(time), std::move(completion));
  }

  double preferredPeakBitRate() const override { return peakBitRate_; }
  void setPreferredPeakBitRate(double bitRate) override { peakBitRate_ = bitRate; }
  MediaSelectionOptionPtr
  selectedMediaOptionInMediaSelectionGroup(const MediaSelectionGroupPtr& group) const override {
    if (!group) return nullptr;
    int current = medium_->pipeline()->currentAudioStream();
    for (const auto& option : group->options)
      if (auto audio = std::dynamic_pointer_cast<AudioOption>(option);
          audio && audio->index == current)
        return option;
    return nullptr;
  }
  void selectMediaOption(const MediaSelectionOptionPtr& option,
                         const MediaSelectionGroupPtr&) override {
    if (auto audio = std::dynamic_pointer_cast<AudioOption>(option))
      medium_->pipeline()->selectAudioStream(audio->index);
  }

  ObserverToken addObserver(ItemObservation key, std::function<void()> callback) override {
    Notice notice = key == ItemObservation::Status             ? Notice::Status
                    : key == ItemObservation::LoadedTimeRanges ? Notice::LoadedRanges
                                                               : Notice::KeepUp;
    return remember(medium_->addObserver(notice, std::move(callback)));
  }
  ObserverToken addDidPlayToEndTimeObserver(std::function<void()> callback) override {
    return remember(medium_->addObserver(Notice::End, std::move(callback)));
  }
  void removeObserver(ObserverToken token) override {
    medium_->removeObserver(token);
    tokens_.erase(std::remove(tokens_.begin(), tokens_.end(), token), tokens_.end());
  }

 private:
  ObserverToken remember(ObserverToken token) {
    tokens_.push_back(token);
    return token;
  }
  std::shared_ptr<GstAsset> asset_;
  std::shared_ptr<Medium> medium_;
  VideoCompositionPtr composition_;
  std::vector<PixelBufferSourcePtr> outputs_;
  std::vector<ObserverToken> tokens_;
  double peakBitRate_ = 0;
};

class GstPlayer : public Player, public std::enable_shared_from_this<GstPlayer> {
 public:
  ~GstPlayer() override { detach(); }

  PlayerItemPtr currentItem() const override { return item_; }
  void replaceCurrentItemWithPlayerItem(PlayerItemPtr item) override {
    detach();
    item_ = std::dynamic_pointer_cast<GstPlayerItem>(item);
    if (!item_) return;
    std::weak_ptr<GstPlayer> weak = weak_from_this();
    endToken_ = item_->addDidPlayToEndTimeObserver([weak] {
      if (auto self = weak.lock()) self->reachedEnd();
    });
    item_->medium()->pipeline()->setVolume(volume_);
    if (rate_ != 0) item_->medium()->pipeline()->setRate(rate_);
  }
  void setActionAtItemEnd(ActionAtItemEnd action) override { actionAtItemEnd_ = action; }
  void play() override { setRate(1.0f); }
  void pause() override { setRate(0.0f); }
  float rate() const override { return rate_; }
  void setRate(float rate) override {
    if (rate < 0 || rate == rate_) return;
    if (item_ && !item_->medium()->pipeline()->setRate(rate)) return;  // refused: as it was
    rate_ = rate;
    rateChanged();
  }
  float volume() const override { return volume_; }
  void setVolume(float volume) override {
    volume_ = std::clamp(volume, 0.0f, 1.0f);
    if (item_) item_->medium()->pipeline()->setVolume(volume_);
  }
  MediaTime currentTime() const override {
    return item_ ? item_->currentTime() : MediaTime::zero();
  }
  void seekToTime(MediaTime time, MediaTime, MediaTime,
                  std::function<void(bool)> completion) override {
    if (!item_) {
      if (completion) mainQueue()->async([completion] { completion(false); });
      return;
    }
    item_->seekToTime(time, std::move(completion));
  }
  ObserverToken addObserver(PlayerObservation, std::function<void()> callback) override {
    ObserverToken token = nextToken_++;
    rateObservers_.emplace(token, std::move(callback));
    return token;
  }
  void removeObserver(ObserverToken token) override { rateObservers_.erase(token); }

 private:
  void detach() {
    if (item_ && endToken_) item_->removeObserver(endToken_);
    endToken_ = 0;
  }
  void reachedEnd() {
    if (actionAtItemEnd_ == ActionAtItemEnd::None) return;
    if (item_) item_->medium()->pipeline()->setRate(0);
    rate_ = 0;
    rateChanged();
  }
  // Rate observers hear of the change on the main loop, after the call that made it.
  void rateChanged() {
    std::weak_ptr<GstPlayer> weak = weak_from_this();
    mainQueue()->async([weak] {
      auto self = weak.lock();
      if (!self) return;
      std::vector<ObserverToken> tokens;
      for (const auto& [token, callback] : self->rateObservers_)
        tokens.push_back(token);
      for (ObserverToken token : tokens) {
        auto it = self->rateObservers_.find(token);
        if (it == self->rateObservers_.end()) continue;
        auto callback = it->second;
        if (callback) callback();
      }
    });
  }

  std::shared_ptr<GstPlayerItem> item_;
  ObserverToken endToken_ = 0;
  ActionAtItemEnd actionAtItemEnd_ = ActionAtItemEnd::Pause;
  float rate_ = 0;
  float volume_ = 1;
  std::map<ObserverToken, std::function<void()>> rateObservers_;
  ObserverToken nextToken_ = 1;
};

}  // namespace

AssetPtr GStreamerMediaFactory::URLAssetWithURL(const std::string& url, const ValueMap& options) {
  return std::make_shared<GstAsset>(Medium::make(url, options));
}

PlayerItemPtr GStreamerMediaFactory::playerItemWithAsset(const AssetPtr& asset) {
  auto gstAsset = std::dynamic_pointer_cast<GstAsset>(asset);
  if (!gstAsset) return nullptr;
  return std::make_shared<GstPlayerItem>(std::move(gstAsset));
}

PlayerPtr GStreamerMediaFactory::playerWithPlayerItem(const PlayerItemPtr& item) {
  auto player = std::make_shared<GstPlayer>();
  player->replaceCurrentItemWithPlayerItem(item);
  return player;
}

PixelBufferSourcePtr GStreamerMediaFactory::videoOutputWithOutputSettings(const ValueMap&) {
  return std::make_shared<GstVideoOutput>();
}

}  // namespace platform::media
