#include "platform/media/scripted_media.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace platform::media {

namespace {

constexpr const char* kErrorDomain = "ScriptedMediaErrorDomain";

double uptimeNow() {
  return Clock::current().uptime();
}

MediaTime millisecondsTime(std::int64_t ms) {
  return MediaTime::make(ms, 1000);
}

std::int64_t toMilliseconds(MediaTime t) {
  if (!t.isNumeric()) return 0;
  return static_cast<std::int64_t>(std::llround(t.seconds() * 1000.0));
}

Value transformValue(const AffineTransform& t) {
  return Value::list({t.a, t.b, t.c, t.d, t.tx, t.ty});
}

// The item's clock: where it is, how fast it moves, what its frames look like. Shared with the
// video output, which reads it on the engine's thread.
struct Timeline {
  std::mutex mutex;
  bool ready = false;
  double anchorItem = 0;  // item seconds at anchorHost
  double anchorHost = 0;
  double rate = 0;
  double end = std::numeric_limits<double>::infinity();
  Size size;
  double frameRate = 30;
  std::uint8_t color[3] = {0, 0, 255};

  double timeAtLocked(double host) const {
    double t = anchorItem;
    if (ready && rate != 0) t += (host - anchorHost) * rate;
    return std::clamp(t, 0.0, end);
  }
  void reanchorLocked(double host) {
    anchorItem = timeAtLocked(host);
    anchorHost = host;
  }
};

struct UriRecord {
  ScriptedMedium medium;
  int assets = 0;
  ValueMap assetOptions;
  ValueList rates, volumes, seeks, itemSeeks, compositions, audioSelections, peakBitRates;
  int outputsAttached = 0;
  ValueMap outputSettings;
  std::string actionAtItemEnd;
  int itemsReleased = 0;
};

class ScriptedTrack : public AssetTrack {
 public:
  ScriptedTrack(const ScriptedMedium& m, std::int32_t id) : medium_(m), id_(id) {}
  std::int32_t trackID() const override { return id_; }
  MediaType mediaType() const override { return MediaType::Video; }
  KeyValueStatus statusOfValueForKey(const std::string& key, ErrorPtr*) const override {
    return loaded_.count(key) ? KeyValueStatus::Loaded : KeyValueStatus::Unknown;
  }
  void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                       std::function<void()> completion) override {
    for (const auto& k : keys)
      loaded_.insert(k);
    if (completion) mainQueue()->async(std::move(completion));
  }
  AffineTransform preferredTransform() const override { return medium_.preferredTransform; }
  Size naturalSize() const override {
    return medium_.naturalSize.value_or(medium_.presentationSize);
  }
  MediaTime minFrameDuration() const override {
    if (!medium_.minFrameDurationValid || medium_.frameRate <= 0) return MediaTime::invalid();
    return MediaTime::make(1000, static_cast<std::int32_t>(std::lround(medium_.frameRate * 1000)));
  }

 private:
  ScriptedMedium medium_;
  std::int32_t id_;
  std::set<std::string> loaded_;
};

class ScriptedOption : public MediaSelectionOption {
 public:
  explicit ScriptedOption(ScriptedMedium::AudioOption o) : o_(std::move(o)) {}
  std::optional<std::string> displayName() const override { return o_.displayName; }
  std::optional<std::string> localeLanguageCode() const override { return o_.languageCode; }
  std::optional<std::string> commonMetadataTitle() const override { return o_.title; }

 private:
  ScriptedMedium::AudioOption o_;
};

class ScriptedAsset : public Asset {
 public:
  ScriptedAsset(std::string url, std::shared_ptr<UriRecord> record)
      : url_(std::move(url)), record_(std::move(record)), medium_(record_->medium) {
    if (medium_.hasVideoTrack) track_ = std::make_shared<ScriptedTrack>(medium_, 1);
    if (!medium_.audioOptions.empty()) {
      auto group = std::make_shared<MediaSelectionGroup>();
      for (const auto& o : medium_.audioOptions)
        group->options.push_back(std::make_shared<ScriptedOption>(o));
      group_ = group;
    }
  }
  bool isURLAsset() const override { return true; }
  std::string url() const override { return url_; }
  KeyValueStatus statusOfValueForKey(const std::string& key, ErrorPtr* error) const override {
    auto it = status_.find(key);
    if (it == status_.end()) return KeyValueStatus::Unknown;
    if (it->second == KeyValueStatus::Failed && error) {
      std::string text = key == "tracks" ? medium_.tracksError.value_or("") : "cannot load";
      *error = Error::withDescription(kErrorDomain, 1, text);
    }
    return it->second;
  }
  void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                       std::function<void()> completion) override {
    for (const auto& k : keys) {
      bool failed =
          (k == "tracks" && medium_.tracksError) || (k == "variants" && medium_.variantsFail);
      status_[k] = failed ? KeyValueStatus::Failed : KeyValueStatus::Loaded;
    }
    if (completion) mainQueue()->async(std::move(completion));
  }
  void loadTracksWithMediaType(
      MediaType type,
      std::function<void(std::vector<AssetTrackPtr>, ErrorPtr)> completion) override {
    auto tracks = tracksWithMediaType(type);
    ErrorPtr error;
    if (medium_.tracksError) error = Error::withDescription(kErrorDomain, 2, *medium_.tracksError);
    mainQueue()->async([completion = std::move(completion), tracks, error] {
      if (completion) completion(error ? std::vector<AssetTrackPtr>{} : tracks, error);
    });
  }
  std::vector<AssetTrackPtr> tracksWithMediaType(MediaType type) const override {
    if (type == MediaType::Video && track_) return {track_};
    return {};
  }
  MediaTime duration() const override {
    if (medium_.indefinite) return MediaTime::indefinite();
    return millisecondsTime(medium_.durationMs);
  }
  MediaSelectionGroupPtr
  mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic characteristic) const override {
    return characteristic == MediaCharacteristic::Audible ? group_ : nullptr;
  }
  std::vector<AssetVariant> variants() const override { return medium_.variants; }

  const ScriptedMedium& medium() const { return medium_; }
  const std::shared_ptr<UriRecord>& record() const { return record_; }

 private:
  std::string url_;
  std::shared_ptr<UriRecord> record_;
  ScriptedMedium medium_;
  AssetTrackPtr track_;
  MediaSelectionGroupPtr group_;
  std::map<std::string, KeyValueStatus> status_;
};

class ScriptedOutput : public PixelBufferSource {
 public:
  ScriptedOutput(ValueMap settings, std::shared_ptr<std::atomic<double>> lastHostAsked)
      : settings_(std::move(settings)), lastHostAsked_(std::move(lastHostAsked)) {}
  const ValueMap& settings() const { return settings_; }
  void attach(std::shared_ptr<Timeline> timeline) {
    std::lock_guard lock(mutex_);
    timeline_ = std::move(timeline);
  }
  MediaTime itemTimeForHostTime(double hostTime) const override {
    lastHostAsked_->store(hostTime);
    std::shared_ptr<Timeline> timeline;
    {
      std::lock_guard lock(mutex_);
      timeline = timeline_;
    }
    if (!timeline) return MediaTime::zero();
    std::lock_guard lock(timeline->mutex);
    return MediaTime::fromSeconds(timeline->timeAtLocked(hostTime));
  }
  bool hasNewPixelBufferForItemTime(MediaTime itemTime) override {
    std::lock_guard lock(mutex_);
    return frameIndexLocked(itemTime) >= 0 && frameIndexLocked(itemTime) != lastIndex_;
  }
  PixelBufferPtr copyPixelBufferForItemTime(MediaTime itemTime,
                                            MediaTime* itemTimeForDisplay) override {
    std::lock_guard lock(mutex_);
    std::int64_t index = frameIndexLocked(itemTime);
    if (index < 0 || index == lastIndex_) return nullptr;
    lastIndex_ = index;
    Size size;
    std::uint8_t c[3];
    double rate;
    {
      std::lock_guard tl(timeline_->mutex);
      size = timeline_->size;
      std::copy(std::begin(timeline_->color), std::end(timeline_->color), c);
      rate = timeline_->frameRate;
    }
    if (itemTimeForDisplay) *itemTimeForDisplay = MediaTime::fromSeconds(index / rate);
    return std::make_shared<OwnedPixelBuffer>(static_cast<int>(size.width),
                                              static_cast<int>(size.height), c[0], c[1], c[2]);
  }

 private:
  // The frame due at `itemTime`, or -1 when none can be shown (not attached, not ready).
  std::int64_t frameIndexLocked(MediaTime itemTime) const {
    if (!timeline_ || !itemTime.isNumeric()) return -1;
    std::lock_guard tl(timeline_->mutex);
    if (!timeline_->ready || timeline_->frameRate <= 0) return -1;
    double t = std::clamp(itemTime.seconds(), 0.0, timeline_->end);
    double last = std::isinf(timeline_->end) ? t : std::max(0.0, timeline_->end - 1e-9);
    return static_cast<std::int64_t>(std::floor(std::min(t, last) * timeline_->frameRate));
  }

  const ValueMap settings_;
  const std::shared_ptr<std::atomic<double>> lastHostAsked_;
  mutable std::mutex mutex_;
  std::shared_ptr<Timeline> timeline_;
  std::int64_t lastIndex_ = -1;
};

class ScriptedItem : public PlayerItem, public std::enable_shared_from_this<ScriptedItem> {
 public:
  explicit ScriptedItem(std::shared_ptr<ScriptedAsset> asset)
      : asset_(std::move(asset)), timeline_(std::make_shared<Timeline>()) {
    const auto& m = asset_->medium();
    likelyToKeepUp_ = m.likelyToKeepUp;
    rangesMs_ = m.loadedRangesMs;
    timeline_->size = m.presentationSize;
    timeline_->frameRate = m.frameRate;
    std::copy(std::begin(m.color), std::end(m.color), timeline_->color);
    timeline_->end = m.indefinite ? std::numeric_limits<double>::infinity() : m.durationMs / 1000.0;
    timeline_->anchorHost = uptimeNow();
    if (m.selectedAudioOption >= 0 &&
        asset_->mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic::Audible)) {
      auto group = asset_->mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic::Audible);
      if (static_cast<std::size_t>(m.selectedAudioOption) < group->options.size())
        selected_ = group->options[m.selectedAudioOption];
    }
  }

  // After construction: the first status change, unless held.
  void start() {
    const auto& m = asset_->medium();
    if (m.holdStatus || m.initialStatus == ItemStatus::Unknown) return;
    std::weak_ptr<ScriptedItem> weak = weak_from_this();
    ItemStatus status = m.initialStatus;
    mainQueue()->async([weak, status] {
      if (auto self = weak.lock()) self->changeStatus(status);
    });
  }

  void changeStatus(ItemStatus status) {
    if (status_ == status) return;
    status_ = status;
    if (status == ItemStatus::Failed) error_ = scriptedError();
    {
      std::lock_guard lock(timeline_->mutex);
      timeline_->reanchorLocked(uptimeNow());
      timeline_->ready = status == ItemStatus::ReadyToPlay;
    }
    notify(ItemObservation::Status);
  }

  ErrorPtr scriptedError() const {
    const auto& m = asset_->medium();
    if (!m.errorDescription && !m.errorReason && !m.underlyingDescription && !m.underlyingReason)
      return nullptr;
    ValueMap info;
    if (m.errorDescription) info[Value(kLocalizedDescriptionKey)] = *m.errorDescription;
    if (m.errorReason) info[Value(kLocalizedFailureReasonKey)] = *m.errorReason;
    if (m.underlyingDescription || m.underlyingReason) {
      ValueMap under;
      if (m.underlyingDescription)
        under[Value(kLocalizedDescriptionKey)] = *m.underlyingDescription;
      if (m.underlyingReason) under[Value(kLocalizedFailureReasonKey)] = *m.underlyingReason;
      info[Value(kUnderlyingErrorKey)] = Value(Error::make(kErrorDomain, 3, std::move(under)));
    }
    return Error::make(kErrorDomain, 4, std::move(info));
  }

  void reachEnd() {
    {
      std::lock_guard lock(timeline_->mutex);
      timeline_->anchorItem =
          std::isinf(timeline_->end) ? timeline_->timeAtLocked(uptimeNow()) : timeline_->end;
      timeline_->anchorHost = uptimeNow();
    }
    post(kEnd);
  }

  void setBuffering(bool likely, std::vector<std::pair<std::int64_t, std::int64_t>> ranges) {
    bool likelyChanged = likely != likelyToKeepUp_;
    likelyToKeepUp_ = likely;
    rangesMs_ = std::move(ranges);
    notify(ItemObservation::LoadedTimeRanges);
    if (likelyChanged) notify(ItemObservation::PlaybackLikelyToKeepUp);
  }

  // Player side.
  void setRate(double rate) {
    std::lock_guard lock(timeline_->mutex);
    timeline_->reanchorLocked(uptimeNow());
    timeline_->rate = rate;
  }
  double timeNow() const {
    std::lock_guard lock(timeline_->mutex);
    return timeline_->timeAtLocked(uptimeNow());
  }
  void moveTo(double seconds) {
    std::lock_guard lock(timeline_->mutex);
    timeline_->anchorItem = std::clamp(seconds, 0.0, timeline_->end);
    timeline_->anchorHost = uptimeNow();
  }
  const std::shared_ptr<UriRecord>& record() const { return asset_->record(); }

  // PlayerItem.
  AssetPtr asset() const override { return asset_; }
  ItemStatus status() const override { return status_; }
  ErrorPtr error() const override { return error_; }
  Size presentationSize() const override {
    return status_ == ItemStatus::ReadyToPlay ? asset_->medium().presentationSize : Size{};
  }
  std::vector<TimeRange> loadedTimeRanges() const override {
    std::vector<TimeRange> out;
    for (const auto& [start, duration] : rangesMs_)
      out.push_back({millisecondsTime(start), millisecondsTime(duration)});
    return out;
  }
  bool isPlaybackLikelyToKeepUp() const override { return likelyToKeepUp_; }
  bool canPlayFastForward() const override { return asset_->medium().canPlayFastForward; }
  bool canPlaySlowForward() const override { return asset_->medium().canPlaySlowForward; }
  MediaTime currentTime() const override { return MediaTime::fromSeconds(timeNow()); }
  VideoCompositionPtr videoComposition() const override { return composition_; }
  void setVideoComposition(VideoCompositionPtr composition) override {
    composition_ = composition;
    if (!composition) return;
    record()->compositions.push_back(Value::map({
        {"renderWidth", composition->renderSize.width},
        {"renderHeight", composition->renderSize.height},
        {"transform", transformValue(composition->layerTransform)},
        {"frameDurationValue", composition->frameDuration.value},
        {"frameDurationTimescale", static_cast<std::int64_t>(composition->frameDuration.timescale)},
        {"sourceTrackID", static_cast<std::int64_t>(composition->sourceTrackIDForFrameTiming)},
    }));
  }
  void addOutput(PixelBufferSourcePtr output) override {
    if (auto scripted = std::dynamic_pointer_cast<ScriptedOutput>(output)) {
      scripted->attach(timeline_);
      ++record()->outputsAttached;
      record()->outputSettings = scripted->settings();
    }
  }
  void seekToTime(MediaTime time, std::function<void(bool)> completion) override {
    record()->itemSeeks.push_back(toMilliseconds(time));
    moveTo(time.seconds());
    if (completion) mainQueue()->async([completion = std::move(completion)] { completion(true); });
  }
  double preferredPeakBitRate() const override { return peakBitRate_; }
  void setPreferredPeakBitRate(double bitRate) override {
    peakBitRate_ = bitRate;
    record()->peakBitRates.push_back(bitRate);
  }
  MediaSelectionOptionPtr
  selectedMediaOptionInMediaSelectionGroup(const MediaSelectionGroupPtr& group) const override {
    return group ? selected_ : nullptr;
  }
  void selectMediaOption(const MediaSelectionOptionPtr& option,
                         const MediaSelectionGroupPtr& group) override {
    if (!group) return;
    auto it = std::find(group->options.begin(), group->options.end(), option);
    if (it == group->options.end()) return;
    selected_ = option;
    record()->audioSelections.push_back(static_cast<std::int64_t>(it - group->options.begin()));
  }
  ObserverToken addObserver(ItemObservation key, std::function<void()> callback) override {
    ObserverToken token = ++nextToken_;
    observers_[token] = {static_cast<int>(key), std::move(callback)};
    return token;
  }
  ObserverToken addDidPlayToEndTimeObserver(std::function<void()> callback) override {
    ObserverToken token = ++nextToken_;
    observers_[token] = {kEnd, std::move(callback)};
    return token;
  }
  void removeObserver(ObserverToken token) override { observers_.erase(token); }

 private:
  static constexpr int kEnd = 100;

  void notify(ItemObservation key) { post(static_cast<int>(key)); }
  // Observers run on the main loop; one removed meanwhile is skipped.
  void post(int key) {
    std::weak_ptr<ScriptedItem> weak = weak_from_this();
    mainQueue()->async([weak, key] {
      auto self = weak.lock();
      if (!self) return;
      std::vector<ObserverToken> tokens;
      for (const auto& [token, entry] : self->observers_)
        if (entry.first == key) tokens.push_back(token);
      for (auto token : tokens) {
        auto it = self->observers_.find(token);
        if (it == self->observers_.end()) continue;
        auto callback = it->second.second;
        callback();
      }
    });
  }

  std::shared_ptr<ScriptedAsset> asset_;
  std::shared_ptr<Timeline> timeline_;
  ItemStatus status_ = ItemStatus::Unknown;
  ErrorPtr error_;
  bool likelyToKeepUp_ = true;
  std::vector<std::pair<std::int64_t, std::int64_t>> rangesMs_;
  VideoCompositionPtr composition_;
  double peakBitRate_ = 0;
  MediaSelectionOptionPtr selected_;
  ObserverToken nextToken_ = 0;
  std::map<ObserverToken, std::pair<int, std::function<void()>>> observers_;
};

class ScriptedPlayer : public Player, public std::enable_shared_from_this<ScriptedPlayer> {
 public:
  explicit ScriptedPlayer(std::shared_ptr<ScriptedItem> item)
      : item_(std::move(item)), record_(item_->record()) {}

  struct PendingSeek {
    double seconds;
    std::function<void(bool)> completion;
  };

  PlayerItemPtr currentItem() const override { return item_; }
  void replaceCurrentItemWithPlayerItem(PlayerItemPtr item) override {
    if (item_ && !item) ++record_->itemsReleased;
    item_ = std::dynamic_pointer_cast<ScriptedItem>(item);
  }
  void setActionAtItemEnd(ActionAtItemEnd action) override {
    record_->actionAtItemEnd = action == ActionAtItemEnd::None    ? "none"
                               : action == ActionAtItemEnd::Pause ? "pause"
                                                                  : "advance";
  }
  void play() override { setRate(1.0f); }
  void pause() override { setRate(0.0f); }
  float rate() const override { return rate_; }
  void setRate(float rate) override {
    record_->rates.push_back(static_cast<double>(rate));
    if (item_) item_->setRate(rate);
    if (rate == rate_) return;
    rate_ = rate;
    postRate();
  }
  float volume() const override { return volume_; }
  void setVolume(float volume) override {
    volume_ = volume;
    record_->volumes.push_back(static_cast<double>(volume));
  }
  MediaTime currentTime() const override {
    return item_ ? item_->currentTime() : MediaTime::zero();
  }
  void seekToTime(MediaTime time, MediaTime before, MediaTime after,
                  std::function<void(bool)> completion) override {
    record_->seeks.push_back(Value::map({{"timeMs", toMilliseconds(time)},
                                         {"toleranceBeforeMs", toMilliseconds(before)},
                                         {"toleranceAfterMs", toMilliseconds(after)}}));
    pending_.push_back({time.seconds(), std::move(completion)});
    if (!record_->medium.holdSeeks) {
      std::weak_ptr<ScriptedPlayer> weak = weak_from_this();
      mainQueue()->async([weak] {
        if (auto self = weak.lock()) self->completeSeeks();
      });
    }
  }
  void completeSeeks() {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& seek : pending) {
      if (item_) item_->moveTo(seek.seconds);
      if (seek.completion) seek.completion(true);
    }
  }
  ObserverToken addObserver(PlayerObservation, std::function<void()> callback) override {
    ObserverToken token = ++nextToken_;
    observers_[token] = std::move(callback);
    return token;
  }
  void removeObserver(ObserverToken token) override { observers_.erase(token); }
  std::shared_ptr<ScriptedItem> scriptedItem() const { return item_; }

 private:
  void postRate() {
    std::weak_ptr<ScriptedPlayer> weak = weak_from_this();
    mainQueue()->async([weak] {
      auto self = weak.lock();
      if (!self) return;
      std::vector<ObserverToken> tokens;
      for (const auto& entry : self->observers_)
        tokens.push_back(entry.first);
      for (auto token : tokens) {
        auto it = self->observers_.find(token);
        if (it == self->observers_.end()) continue;
        auto callback = it->second;
        callback();
      }
    });
  }

  std::shared_ptr<ScriptedItem> item_;
  std::shared_ptr<UriRecord> record_;
  float rate_ = 0;
  float volume_ = 1;
  std::vector<PendingSeek> pending_;
  ObserverToken nextToken_ = 0;
  std::map<ObserverToken, std::function<void()>> observers_;
};

// Typed reads of the script map; a key of another kind is refused.
class ScriptReader {
 public:
  explicit ScriptReader(const ValueMap& map) : map_(map) {}
  const Value* find(const char* key) const {
    auto it = map_.find(Value(key));
    return it == map_.end() || it->second.isNull() ? nullptr : &it->second;
  }
  [[noreturn]] static void refuse(const char* key, const char* expected) {
    throw std::invalid_argument(std::string("script key \"") + key + "\" must be " + expected);
  }
  void read(const char* key, bool& out) const {
    if (auto v = find(key)) {
      if (!v->isBool()) refuse(key, "a boolean");
      out = v->asBool();
    }
  }
  void read(const char* key, std::int64_t& out) const {
    if (auto v = find(key)) {
      if (!v->isInt()) refuse(key, "an integer");
      out = v->asInt();
    }
  }
  void read(const char* key, double& out) const {
    if (auto v = find(key)) {
      if (!v->isNumber()) refuse(key, "a number");
      out = v->isInt() ? static_cast<double>(v->asInt()) : v->asDouble();
    }
  }
  void read(const char* key, std::optional<std::string>& out) const {
    if (auto v = find(key)) {
      if (!v->isString()) refuse(key, "a string");
      out = v->asString();
    }
  }
  std::vector<double> numbers(const char* key, std::size_t count) const {
    std::vector<double> out;
    auto v = find(key);
    if (!v) return out;
    if (!v->isList() || v->asList().size() != count) refuse(key, "a list of numbers");
    for (const auto& e : v->asList()) {
      if (!e.isNumber()) refuse(key, "a list of numbers");
      out.push_back(e.isInt() ? static_cast<double>(e.asInt()) : e.asDouble());
    }
    return out;
  }
  const ValueList* list(const char* key) const {
    auto v = find(key);
    if (!v) return nullptr;
    if (!v->isList()) refuse(key, "a list");
    return &v->asList();
  }

 private:
  const ValueMap& map_;
};

std::uint32_t fourCharCode(const std::string& text) {
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < 4; ++i)
    code = (code << 8) | static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
  return code;
}

}  // namespace

ScriptedMedium ScriptedMedium::fromValue(const ValueMap& map) {
  ScriptedMedium m;
  ScriptReader r(map);
  std::optional<std::string> status;
  r.read("status", status);
  if (status == "ready") {
    m.initialStatus = ItemStatus::ReadyToPlay;
  } else if (status == "failed") {
    m.initialStatus = ItemStatus::Failed;
  } else if (status == "pending") {
    m.holdStatus = true;
  } else if (status) {
    ScriptReader::refuse("status", "\"ready\", \"pending\" or \"failed\"");
  }
  r.read("durationMs", m.durationMs);
  r.read("indefinite", m.indefinite);
  r.read("width", m.presentationSize.width);
  r.read("height", m.presentationSize.height);
  r.read("frameRate", m.frameRate);
  if (auto c = r.numbers("color", 3); !c.empty()) {
    for (int i = 0; i < 3; ++i)
      m.color[i] = static_cast<std::uint8_t>(std::clamp(c[i], 0.0, 255.0));
  }
  r.read("canPlayFastForward", m.canPlayFastForward);
  r.read("canPlaySlowForward", m.canPlaySlowForward);
  r.read("likelyToKeepUp", m.likelyToKeepUp);
  if (auto ranges = r.list("loadedRanges")) {
    for (const auto& range : *ranges) {
      if (!range.isList() || range.asList().size() != 2 || !range.asList()[0].isInt() ||
          !range.asList()[1].isInt())
        ScriptReader::refuse("loadedRanges", "a list of [start, duration] integer pairs");
      m.loadedRangesMs.emplace_back(range.asList()[0].asInt(), range.asList()[1].asInt());
    }
  }
  r.read("errorDescription", m.errorDescription);
  r.read("errorReason", m.errorReason);
  r.read("underlyingDescription", m.underlyingDescription);
  r.read("underlyingReason", m.underlyingReason);
  r.read("tracksError", m.tracksError);
  r.read("hasVideoTrack", m.hasVideoTrack);
  if (auto t = r.numbers("transform", 6); !t.empty())
    m.preferredTransform = {t[0], t[1], t[2], t[3], t[4], t[5]};
  double naturalWidth = -1, naturalHeight = -1;
  r.read("naturalWidth", naturalWidth);
  r.read("naturalHeight", naturalHeight);
  if (naturalWidth >= 0 && naturalHeight >= 0) m.naturalSize = Size{naturalWidth, naturalHeight};
  r.read("minFrameDurationValid", m.minFrameDurationValid);
  if (auto options = r.list("audioOptions")) {
    for (const auto& option : *options) {
      if (!option.isMap()) ScriptReader::refuse("audioOptions", "a list of maps");
      ScriptReader o(option.asMap());
      AudioOption a;
      o.read("displayName", a.displayName);
      o.read("languageCode", a.languageCode);
      o.read("title", a.title);
      m.audioOptions.push_back(std::move(a));
    }
  }
  std::int64_t selected = m.selectedAudioOption;
  r.read("selectedAudioOption", selected);
  m.selectedAudioOption = static_cast<int>(std::clamp<std::int64_t>(selected, -1, 1 << 20));
  if (auto variants = r.list("variants")) {
    for (const auto& variant : *variants) {
      if (!variant.isMap()) ScriptReader::refuse("variants", "a list of maps");
      ScriptReader v(variant.asMap());
      AssetVariant out;
      v.read("peakBitRate", out.peakBitRate);
      if (v.find("width") || v.find("height") || v.find("frameRate") || v.find("codecs")) {
        AssetVariant::VideoAttributes attributes;
        v.read("width", attributes.presentationSize.width);
        v.read("height", attributes.presentationSize.height);
        v.read("frameRate", attributes.nominalFrameRate);
        if (auto codecs = v.list("codecs")) {
          for (const auto& codec : *codecs) {
            if (!codec.isString()) ScriptReader::refuse("codecs", "a list of strings");
            attributes.codecTypes.push_back(fourCharCode(codec.asString()));
          }
        }
        out.videoAttributes = attributes;
      }
      m.variants.push_back(std::move(out));
    }
  }
  r.read("variantsFail", m.variantsFail);
  r.read("holdSeeks", m.holdSeeks);
  return m;
}

struct ScriptedMediaFactory::State {
  std::map<std::string, ScriptedMedium> scripts;
  std::map<std::string, std::shared_ptr<UriRecord>> records;
  std::vector<std::weak_ptr<ScriptedItem>> items;
  std::vector<std::weak_ptr<ScriptedPlayer>> players;
  std::shared_ptr<std::atomic<double>> lastHostAsked = std::make_shared<std::atomic<double>>(0);

  std::shared_ptr<UriRecord> recordFor(const std::string& uri) {
    auto& record = records[uri];
    if (!record) record = std::make_shared<UriRecord>();
    auto it = scripts.find(uri);
    record->medium = it == scripts.end() ? ScriptedMedium{} : it->second;
    return record;
  }
  std::vector<std::shared_ptr<ScriptedItem>> liveItemsOf(const std::string& uri) {
    std::vector<std::shared_ptr<ScriptedItem>> out;
    for (const auto& weak : items)
      if (auto item = weak.lock(); item && item->asset()->url() == uri) out.push_back(item);
    return out;
  }
};

ScriptedMediaFactory::ScriptedMediaFactory() : state_(std::make_shared<State>()) {}
ScriptedMediaFactory::~ScriptedMediaFactory() = default;

void ScriptedMediaFactory::script(const std::string& uri, ScriptedMedium medium) {
  state_->scripts[uri] = std::move(medium);
}

int ScriptedMediaFactory::setStatus(const std::string& uri, ItemStatus status) {
  auto items = state_->liveItemsOf(uri);
  for (const auto& item : items)
    item->changeStatus(status);
  return static_cast<int>(items.size());
}

int ScriptedMediaFactory::playToEnd(const std::string& uri) {
  auto items = state_->liveItemsOf(uri);
  for (const auto& item : items)
    item->reachEnd();
  return static_cast<int>(items.size());
}

int ScriptedMediaFactory::setBuffering(
    const std::string& uri, bool likelyToKeepUp,
    std::vector<std::pair<std::int64_t, std::int64_t>> loadedRangesMs) {
  auto items = state_->liveItemsOf(uri);
  for (const auto& item : items)
    item->setBuffering(likelyToKeepUp, loadedRangesMs);
  return static_cast<int>(items.size());
}

int ScriptedMediaFactory::completeSeeks(const std::string& uri) {
  int reached = 0;
  for (const auto& weak : state_->players) {
    auto player = weak.lock();
    if (!player || !player->scriptedItem() || player->scriptedItem()->asset()->url() != uri)
      continue;
    player->completeSeeks();
    ++reached;
  }
  return reached;
}

Value ScriptedMediaFactory::asked(const std::string& uri) const {
  auto it = state_->records.find(uri);
  if (it == state_->records.end()) return Value::emptyMap();
  const auto& r = *it->second;
  std::int64_t liveItems = 0, livePlayers = 0;
  for (const auto& weak : state_->items)
    if (auto item = weak.lock(); item && item->asset()->url() == uri) ++liveItems;
  for (const auto& weak : state_->players) {
    auto player = weak.lock();
    if (player && player->scriptedItem() && player->scriptedItem()->asset()->url() == uri)
      ++livePlayers;
  }
  return Value::map({
      {"assets", static_cast<std::int64_t>(r.assets)},
      {"assetOptions", Value(r.assetOptions)},
      {"rates", Value(r.rates)},
      {"volumes", Value(r.volumes)},
      {"seeks", Value(r.seeks)},
      {"itemSeeks", Value(r.itemSeeks)},
      {"compositions", Value(r.compositions)},
      {"audioSelections", Value(r.audioSelections)},
      {"preferredPeakBitRates", Value(r.peakBitRates)},
      {"outputsAttached", static_cast<std::int64_t>(r.outputsAttached)},
      {"outputSettings", Value(r.outputSettings)},
      {"actionAtItemEnd", r.actionAtItemEnd},
      {"itemsReleased", static_cast<std::int64_t>(r.itemsReleased)},
      {"liveItems", liveItems},
      {"livePlayers", livePlayers},
  });
}

double ScriptedMediaFactory::lastHostTimeAsked() const {
  return state_->lastHostAsked->load();
}

int ScriptedMediaFactory::livePlayers() const {
  int n = 0;
  for (const auto& weak : state_->players)
    n += weak.expired() ? 0 : 1;
  return n;
}

int ScriptedMediaFactory::liveItems() const {
  int n = 0;
  for (const auto& weak : state_->items)
    n += weak.expired() ? 0 : 1;
  return n;
}

AssetPtr ScriptedMediaFactory::URLAssetWithURL(const std::string& url, const ValueMap& options) {
  auto record = state_->recordFor(url);
  ++record->assets;
  record->assetOptions = options;
  return std::make_shared<ScriptedAsset>(url, record);
}

PlayerItemPtr ScriptedMediaFactory::playerItemWithAsset(const AssetPtr& asset) {
  auto scripted = std::dynamic_pointer_cast<ScriptedAsset>(asset);
  if (!scripted) return nullptr;
  auto item = std::make_shared<ScriptedItem>(scripted);
  std::erase_if(state_->items, [](const auto& weak) { return weak.expired(); });
  state_->items.push_back(item);
  item->start();
  return item;
}

PlayerPtr ScriptedMediaFactory::playerWithPlayerItem(const PlayerItemPtr& item) {
  auto scripted = std::dynamic_pointer_cast<ScriptedItem>(item);
  if (!scripted) return nullptr;
  auto player = std::make_shared<ScriptedPlayer>(scripted);
  std::erase_if(state_->players, [](const auto& weak) { return weak.expired(); });
  state_->players.push_back(player);
  return player;
}

PixelBufferSourcePtr ScriptedMediaFactory::videoOutputWithOutputSettings(const ValueMap& settings) {
  // The settings are recorded on the URI of the item the output joins.
  return std::make_shared<ScriptedOutput>(settings, state_->lastHostAsked);
}

}  // namespace platform::media
