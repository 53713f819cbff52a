#include "platform/gstreamer/media_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/tag/tag.h>
#include <gst/video/video.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/core/assertion.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/glib/glib_main_context.h"
#include "platform/log/log.h"

namespace platform::gstreamer {

namespace {

// How many decoded frames wait at most while the clock is off.
constexpr std::size_t kFramesAhead = 4;

const LogPtr& mediaLog() {
  static const LogPtr log = Log::cached("com.lumora.platform", "media");
  return log;
}

bool ensureGStreamer() {
  static const bool initialised = [] {
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
      mediaLog()->error(std::string("GStreamer does not start: ") +
                        (error ? error->message : "unknown reason"));
      g_clear_error(&error);
      return false;
    }
    return true;
  }();
  return initialised;
}

// The desktop's audio output; where none opens (no sound server, a headless machine), a sink
// that only keeps time, so playback still runs at real time and the stream's clock stays the
// audio clock's stand-in.
GstElement* makeAudioSink() {
  GstElement* sink = gst_element_factory_make("autoaudiosink", nullptr);
  if (sink && gst_element_set_state(sink, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) {
    // The automatic sink falls back to a fake sink of its own; ours is configured explicitly.
    bool realOutput = false;
    GstIterator* children = gst_bin_iterate_sinks(GST_BIN(sink));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(children, &item) == GST_ITERATOR_OK) {
      auto* child = GST_ELEMENT(g_value_get_object(&item));
      GstElementFactory* factory = gst_element_get_factory(child);
      const gchar* name = factory ? gst_plugin_feature_get_name(factory) : "";
      if (g_strcmp0(name, "fakesink") != 0 && g_strcmp0(name, "fakeaudiosink") != 0)
        realOutput = true;
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(children);
    gst_element_set_state(sink, GST_STATE_NULL);
    if (realOutput) return sink;
  }
  if (sink) gst_object_unref(sink);
  static bool told = false;
  if (!told) {
    told = true;
    mediaLog()->notice("no desktop audio output opens: audio is decoded and timed, not heard");
  }
  GstElement* fake = gst_element_factory_make("fakesink", "audio-clock-sink");
  g_object_set(fake, "sync", TRUE, nullptr);
  return fake;
}

// The transform a stream's orientation tag asks for, in the (a, b, c, d) of a y-down plane.
void orientationTransform(const gchar* orientation, double out[6]) {
  struct Entry {
    const char* tag;
    double a, b, c, d;
  };
  static constexpr Entry kEntries[] = {
      {"rotate-0", 1, 0, 0, 1},         {"rotate-90", 0, 1, -1, 0},
      {"rotate-180", -1, 0, 0, -1},     {"rotate-270", 0, -1, 1, 0},
      {"flip-rotate-0", -1, 0, 0, 1},   {"flip-rotate-90", 0, -1, -1, 0},
      {"flip-rotate-180", 1, 0, 0, -1}, {"flip-rotate-270", 0, 1, 1, 0},
  };
  for (const Entry& e : kEntries) {
    if (g_strcmp0(orientation, e.tag) == 0) {
      out[0] = e.a;
      out[1] = e.b;
      out[2] = e.c;
      out[3] = e.d;
      out[4] = out[5] = 0;
      return;
    }
  }
}

// A URI as it may be logged: without credentials, query or fragment (they may carry secrets).
std::string uriForLog(const std::string& uri) {
  std::string out = uri.substr(0, uri.find_first_of("?#"));
  const auto scheme = out.find("://");
  if (scheme != std::string::npos) {
    const auto hostStart = scheme + 3;
    const auto at = out.find('@', hostStart);
    if (at != std::string::npos && at < out.find('/', hostStart))
      out.erase(hostStart, at + 1 - hostStart);
  }
  return out;
}

std::optional<std::string> tagString(const GstTagList* tags, const char* name) {
  gchar* value = nullptr;
  if (!tags || !gst_tag_list_get_string(tags, name, &value) || !value) return std::nullopt;
  std::string text(value);
  g_free(value);
  return text;
}

}  // namespace

struct VideoFrame::Mapping {
  GstSample* sample = nullptr;
  GstVideoFrame frame{};
  StreamTime streamTime = 0;
  ~Mapping() {
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
  }
};

VideoFrame::VideoFrame(std::unique_ptr<Mapping> mapping) : mapping_(std::move(mapping)) {
  width_ = GST_VIDEO_FRAME_WIDTH(&mapping_->frame);
  height_ = GST_VIDEO_FRAME_HEIGHT(&mapping_->frame);
  stride_ = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&mapping_->frame, 0));
  data_ = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapping_->frame, 0));
  streamTime_ = mapping_->streamTime;
}

VideoFrame::~VideoFrame() = default;

struct MediaPipeline::Impl {
  MediaPipelineOptions options;
  Listener listener;
  std::weak_ptr<MediaPipeline> self;

  GstElement* playbin = nullptr;
  GstElement* appsink = nullptr;
  GstElement* flip = nullptr;  // turns frames as the item's composition asks (owned by playbin)
  guint busWatch = 0;

  // Main thread.
  Status status = Status::Unknown;
  std::string errorText;
  std::optional<StreamTime> durationValue;
  VideoStreamFacts facts;
  bool videoPresent = false;
  double targetRate = 0;   // 0: paused
  double playingRate = 1;  // the rate the segment runs at
  int bufferingPercent = 100;
  bool sawBuffering = false;
  bool atEnd = false;
  std::optional<StreamTime> seekTarget;  // shown as the position until the seek completes
  std::vector<std::function<void(bool)>> seekCompletions;
  std::optional<std::pair<StreamTime, std::function<void(bool)>>> seekBeforeReady;
  StreamTime lastPosition = 0;

  // What the frame thread needs to turn a host time into a stream time, published by the main
  // thread after every change (under timeLock).
  mutable std::mutex timeLock;
  std::optional<StreamTime> fixedPosition;  // a seek under way, or the end reached
  double movingRate = 0;                    // 0 while the stream stands still
  mutable StreamTime lastKnownPosition = 0;

  void publishTimebase() {
    std::optional<StreamTime> fixed;
    if (seekTarget)
      fixed = seekTarget;
    else if (seekBeforeReady)
      fixed = seekBeforeReady->first;
    else if (atEnd && durationValue)
      fixed = durationValue;
    const bool moving =
        status == Status::Ready && targetRate != 0 && bufferingPercent >= 100 && !fixed;
    std::lock_guard<std::mutex> lock(timeLock);
    fixedPosition = fixed;
    movingRate = moving ? targetRate : 0;
  }

  // Frames: any thread, under frameLock.
  mutable std::mutex frameLock;
  std::condition_variable frameTaken;
  struct Pending {
    GstSample* sample;
    StreamTime time;
    bool preroll;
  };
  // Frames not handed out yet, oldest first. With the clock on only the newest is kept (the
  // display wants the latest); with it off a few are decoded ahead, and each one is handed out.
  std::deque<Pending> pending;
  std::uint64_t generation = 0;  // grows with every flushing seek
  std::optional<StreamTime> lastHandedTime;
  std::uint64_t lastHandedGeneration = 0;
  bool stopping = false;
  bool sinkEnded = false;

  ~Impl() { teardown(); }

  // Main thread.
  void shutdown() {
    listener = {};
    teardown();
    // Seeks under way do not reach their position; their callers still hear so.
    std::vector<std::function<void(bool)>> unfinished = std::move(seekCompletions);
    seekCompletions.clear();
    if (seekBeforeReady) unfinished.push_back(std::move(seekBeforeReady->second));
    seekBeforeReady.reset();
    seekTarget.reset();
    for (auto& completion : unfinished)
      if (completion)
        mainQueue()->async([completion = std::move(completion)] { completion(false); });
  }

  void teardown() {
    if (busWatch) {
      g_source_remove(busWatch);
      busWatch = 0;
    }
    {
      std::lock_guard<std::mutex> lock(frameLock);
      stopping = true;
    }
    frameTaken.notify_all();
    GstElement* bin = nullptr;
    {
      // The frame thread takes its own reference under this lock before it asks the pipeline.
      std::lock_guard<std::mutex> lock(timeLock);
      bin = playbin;
      playbin = nullptr;
      appsink = nullptr;
      flip = nullptr;
    }
    if (bin) {
      gst_element_set_state(bin, GST_STATE_NULL);
      gst_object_unref(bin);
    }
    std::lock_guard<std::mutex> lock(frameLock);
    dropPendingLocked();
  }

  void dropPendingLocked() {
    for (Pending& p : pending)
      gst_sample_unref(p.sample);
    pending.clear();
  }

  // --- frames (streaming threads) ---

  void storeSample(GstSample* sample, bool preroll) {
    if (!sample) return;
    StreamTime time = 0;
    if (GstBuffer* buffer = gst_sample_get_buffer(sample)) {
      const GstSegment* segment = gst_sample_get_segment(sample);
      const GstClockTime pts = GST_BUFFER_PTS(buffer);
      if (GST_CLOCK_TIME_IS_VALID(pts)) {
        const guint64 stream =
            segment ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts) : pts;
        time = static_cast<StreamTime>(GST_CLOCK_TIME_IS_VALID(stream) ? stream : pts);
      }
    }
    std::unique_lock<std::mutex> lock(frameLock);
    // Playing on from a preroll renders the prerolled frame a second time: it is known already.
    std::optional<StreamTime> newest;
    if (!pending.empty())
      newest = pending.back().time;
    else if (lastHandedGeneration == generation)
      newest = lastHandedTime;
    if (!preroll && newest && time <= *newest) {
      lock.unlock();
      gst_sample_unref(sample);
      return;
    }
    if (!options.clockSync && !preroll) {
      // The decoder runs a few frames ahead of the one taken last, no further.
      const std::uint64_t gen = generation;
      frameTaken.wait(
          lock, [&] { return pending.size() < kFramesAhead || stopping || generation != gen; });
    }
    if (stopping) {
      lock.unlock();
      gst_sample_unref(sample);
      return;
    }
    std::deque<Pending> replaced;
    if (options.clockSync) replaced.swap(pending);
    pending.push_back({sample, time, preroll});
    lock.unlock();
    for (Pending& p : replaced)
      gst_sample_unref(p.sample);
  }

  static GstFlowReturn onNewPreroll(GstAppSink* sink, gpointer data) {
    static_cast<Impl*>(data)->storeSample(gst_app_sink_pull_preroll(sink), true);
    return GST_FLOW_OK;
  }
  static GstFlowReturn onNewSample(GstAppSink* sink, gpointer data) {
    static_cast<Impl*>(data)->storeSample(gst_app_sink_pull_sample(sink), false);
    return GST_FLOW_OK;
  }
  static void onSinkEos(GstAppSink*, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    std::lock_guard<std::mutex> lock(impl->frameLock);
    impl->sinkEnded = true;
  }

  // A frame from the clock-synced stream was rendered at its time, so it is due; a prerolled
  // frame (or any frame while the clock is off) is due once the asked time reaches it.
  bool pendingDue(StreamTime time) const {
    if (pending.empty()) return false;
    const Pending& next = pending.front();
    if (!options.clockSync || !next.preroll) return true;
    return next.time <= time;
  }

  // --- bus (main thread) ---

  static void onSourceSetup(GstElement*, GstElement* source, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->options.httpHeaders.empty()) return;
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(source), "extra-headers")) return;
    GstStructure* headers = gst_structure_new_empty("extra-headers");
    for (const auto& [name, value] : impl->options.httpHeaders) {
      gst_structure_set(headers, name.c_str(), G_TYPE_STRING, value.c_str(), nullptr);
    }
    g_object_set(source, "extra-headers", headers, nullptr);
    gst_structure_free(headers);
  }

  static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    // A listener may let go of the pipeline; it lives until this message has been handled.
    std::shared_ptr<MediaPipeline> keep = impl->self.lock();
    if (!keep) return G_SOURCE_CONTINUE;
    impl->handle(message);
    return G_SOURCE_CONTINUE;
  }

  void handle(GstMessage* message) {
    handleMessage(message);
    publishTimebase();
  }

  void handleMessage(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ASYNC_DONE:
      onPrerolled();
      break;
    case GST_MESSAGE_ERROR: {
      GError* error = nullptr;
      // The debug detail is not logged: it may quote the URI with its credentials or query.
      gst_message_parse_error(message, &error, nullptr);
      const std::string text = error && error->message ? error->message : "unknown error";
      g_clear_error(&error);
      fail(text);
      break;
    }
    case GST_MESSAGE_EOS:
      if (status != Status::Ready) break;
      atEnd = true;
      if (listener.endOfStream) listener.endOfStream();
      break;
    case GST_MESSAGE_BUFFERING: {
      gint percent = 100;
      gst_message_parse_buffering(message, &percent);
      sawBuffering = true;
      const bool wasKeepingUp = bufferingPercent >= 100;
      bufferingPercent = percent;
      // The stream waits while its buffer fills, then goes on as asked.
      if (status == Status::Ready && targetRate != 0) {
        if (percent < 100 && wasKeepingUp)
          gst_element_set_state(playbin, GST_STATE_PAUSED);
        else if (percent >= 100 && !wasKeepingUp)
          gst_element_set_state(playbin, GST_STATE_PLAYING);
      }
      if (listener.bufferingChanged && (percent >= 100) != wasKeepingUp)
        listener.bufferingChanged();
      break;
    }
    case GST_MESSAGE_DURATION_CHANGED:
      if (status == Status::Ready) readDuration();
      break;
    default:
      break;
    }
  }

  void fail(const std::string& text) {
    if (status == Status::Failed) return;
    status = Status::Failed;
    errorText = text;
    mediaLog()->error("media failed: " + text + " (" + uriForLog(options.uri) + ")");
    completeSeeks(false);
    if (seekBeforeReady) {
      auto completion = std::move(seekBeforeReady->second);
      seekBeforeReady.reset();
      if (completion) completion(false);
    }
    if (listener.statusChanged) listener.statusChanged();
  }

  void readDuration() {
    gint64 value = 0;
    if (gst_element_query_duration(playbin, GST_FORMAT_TIME, &value) && value >= 0)
      durationValue = value;
    else
      durationValue.reset();
  }

  void readFacts() {
    readDuration();
    if (GstPad* pad = gst_element_get_static_pad(appsink, "sink")) {
      if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        GstVideoInfo info;
        if (gst_video_info_from_caps(&info, caps)) {
          videoPresent = true;
          facts.width = GST_VIDEO_INFO_WIDTH(&info);
          facts.height = GST_VIDEO_INFO_HEIGHT(&info);
          facts.frameRateNumerator = GST_VIDEO_INFO_FPS_N(&info);
          facts.frameRateDenominator = GST_VIDEO_INFO_FPS_D(&info);
        }
        gst_caps_unref(caps);
      }
      gst_object_unref(pad);
    }
    GstTagList* tags = nullptr;
    g_signal_emit_by_name(playbin, "get-video-tags", 0, &tags);
    if (tags) {
      gchar* orientation = nullptr;
      if (gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &orientation))
        orientationTransform(orientation, facts.transform);
      g_free(orientation);
      gst_tag_list_unref(tags);
    }
  }

  void onPrerolled() {
    if (status == Status::Failed) return;
    if (status == Status::Unknown) {
      readFacts();
      status = Status::Ready;
      if (listener.statusChanged) listener.statusChanged();
      if (status != Status::Ready) return;
      if (seekBeforeReady) {
        auto [position, completion] = std::move(*seekBeforeReady);
        seekBeforeReady.reset();
        startSeek(position, std::move(completion));
      } else if (playingRate != 1.0) {
        // A rate asked for before the stream was ready: its first segment runs at it.
        if (!seekSegment(playingRate, 0)) playingRate = 1.0;
      }
      applyRate();
      return;
    }
    completeSeeks(true);
  }

  void completeSeeks(bool finished) {
    seekTarget.reset();
    auto completions = std::move(seekCompletions);
    seekCompletions.clear();
    // Only the latest seek reached its position; the ones it overtook did not.
    for (std::size_t i = 0; i < completions.size(); ++i)
      if (completions[i]) completions[i](finished && i + 1 == completions.size());
  }

  // Demuxers refuse a segment that starts at (or past) the stream's end; a millisecond before it
  // is the end as far as anyone can see.
  bool seekSegment(double rate, StreamTime position) {
    position = std::max<StreamTime>(position, 0);
    if (durationValue && position >= *durationValue)
      position = std::max<StreamTime>(*durationValue - 1000000, 0);
    const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
    {
      std::lock_guard<std::mutex> lock(frameLock);
      ++generation;
      sinkEnded = false;
      // Frames from before the seek are not shown any more.
      dropPendingLocked();
    }
    frameTaken.notify_all();
    return gst_element_seek(playbin, rate, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET, position,
                            GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE);
  }

  void startSeek(StreamTime position, std::function<void(bool)> completion) {
    if (!seekSegment(playingRate, position)) {
      mainQueue()->async([completion = std::move(completion)] {
        if (completion) completion(false);
      });
      return;
    }
    atEnd = false;
    seekTarget = position;
    seekCompletions.push_back(std::move(completion));
  }

  StreamTime currentPosition() const {
    gint64 value = 0;
    if (playbin && gst_element_query_position(playbin, GST_FORMAT_TIME, &value) && value >= 0)
      return value;
    return -1;
  }

  void applyRate() {
    if (status != Status::Ready) return;
    if (targetRate == 0) {
      gst_element_set_state(playbin, GST_STATE_PAUSED);
      return;
    }
    if (bufferingPercent >= 100) gst_element_set_state(playbin, GST_STATE_PLAYING);
  }
};

std::shared_ptr<MediaPipeline> MediaPipeline::create(MediaPipelineOptions options,
                                                     Listener listener) {
  auto impl = std::make_unique<Impl>();
  impl->options = std::move(options);
  impl->listener = std::move(listener);
  std::shared_ptr<MediaPipeline> pipeline(new MediaPipeline(std::move(impl)));
  Impl& d = *pipeline->impl_;
  d.self = pipeline;
  if (!integrateGLibMainContext() || !ensureGStreamer()) {
    d.status = Status::Failed;
    d.errorText = "The media framework is not available";
    return pipeline;
  }
  d.playbin = gst_element_factory_make("playbin", nullptr);
  GstElement* sink = gst_element_factory_make("appsink", "video-output");
  if (!d.playbin || !sink) {
    if (sink) gst_object_unref(sink);
    d.status = Status::Failed;
    d.errorText = "The media framework lacks its playback elements";
    return pipeline;
  }
  gst_object_ref_sink(d.playbin);
  d.appsink = sink;
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", nullptr);
  g_object_set(sink, "caps", caps, "sync", d.options.clockSync ? TRUE : FALSE, "max-buffers", 1u,
               "drop", d.options.clockSync ? TRUE : FALSE, "enable-last-sample", FALSE, nullptr);
  gst_caps_unref(caps);
  GstAppSinkCallbacks callbacks{};
  callbacks.eos = &Impl::onSinkEos;
  callbacks.new_preroll = &Impl::onNewPreroll;
  callbacks.new_sample = &Impl::onNewSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &d, nullptr);

  GstElement* audioSink = nullptr;
  if (d.options.clockSync) {
    audioSink = makeAudioSink();
  } else {
    audioSink = gst_element_factory_make("fakesink", "audio-clock-sink");
    g_object_set(audioSink, "sync", FALSE, nullptr);
  }
  // Identity passes frames through untouched; a turn is set when a composition asks for one.
  d.flip = gst_element_factory_make("videoflip", nullptr);
  if (d.flip) g_object_set(d.playbin, "video-filter", d.flip, nullptr);
  // Subtitles are not shown anywhere, so they are not decoded.
  gst_util_set_object_arg(G_OBJECT(d.playbin), "flags", "video+audio+soft-volume");
  g_object_set(d.playbin, "uri", d.options.uri.c_str(), "video-sink", sink, "audio-sink", audioSink,
               nullptr);
  g_signal_connect(d.playbin, "source-setup", G_CALLBACK(&Impl::onSourceSetup), &d);

  GstBus* bus = gst_element_get_bus(d.playbin);
  d.busWatch = gst_bus_add_watch(bus, &Impl::onBusMessage, &d);
  gst_object_unref(bus);

  if (gst_element_set_state(d.playbin, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE &&
      d.status == Status::Unknown) {
    // The error message on the bus says why; it arrives as ordinary main-loop work.
    mediaLog()->debug("media pipeline refused to start: " + uriForLog(d.options.uri));
  }
  return pipeline;
}

MediaPipeline::MediaPipeline(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MediaPipeline::~MediaPipeline() {
  if (MainLoop::isMainThread()) {
    impl_->shutdown();
    return;
  }
  // The bus watch, the listener and the seek answers belong to the main thread: a pipeline let
  // go of elsewhere (the engine's frame thread) is stopped there.
  std::shared_ptr<Impl> impl(std::move(impl_));
  mainQueue()->async([impl] { impl->shutdown(); });
}

void MediaPipeline::shutdown() {
  impl_->shutdown();
}

const std::string& MediaPipeline::uri() const {
  return impl_->options.uri;
}
MediaPipeline::Status MediaPipeline::status() const {
  return impl_->status;
}
const std::string& MediaPipeline::errorDescription() const {
  return impl_->errorText;
}
std::optional<StreamTime> MediaPipeline::duration() const {
  return impl_->durationValue;
}
int MediaPipeline::width() const {
  return impl_->facts.width;
}
int MediaPipeline::height() const {
  return impl_->facts.height;
}
VideoStreamFacts MediaPipeline::videoFacts() const {
  return impl_->facts;
}
bool MediaPipeline::hasVideo() const {
  return impl_->videoPresent;
}
double MediaPipeline::rate() const {
  return impl_->targetRate;
}

StreamTime MediaPipeline::position() const {
  Impl& d = *impl_;
  if (d.seekTarget) return *d.seekTarget;
  if (d.seekBeforeReady) return d.seekBeforeReady->first;
  if (d.atEnd && d.durationValue) return *d.durationValue;
  const StreamTime now = d.currentPosition();
  if (now >= 0) d.lastPosition = now;
  return d.lastPosition;
}

StreamTime MediaPipeline::itemTimeForHostTime(double hostSeconds) const {
  const Impl& d = *impl_;
  double rate = 0;
  GstElement* bin = nullptr;
  {
    std::lock_guard<std::mutex> lock(d.timeLock);
    if (d.fixedPosition) return *d.fixedPosition;
    rate = d.movingRate;
    if (d.playbin) bin = GST_ELEMENT(gst_object_ref(d.playbin));
  }
  gint64 position = -1;
  if (bin) {
    if (!gst_element_query_position(bin, GST_FORMAT_TIME, &position)) position = -1;
    gst_object_unref(bin);
  }
  const double now = Clock::current().uptime();
  std::lock_guard<std::mutex> lock(d.timeLock);
  if (position < 0)
    position = d.lastKnownPosition;
  else
    d.lastKnownPosition = position;
  return position + static_cast<StreamTime>((hostSeconds - now) * rate * 1e9);
}

bool MediaPipeline::canPlayAtRate(double rate) const {
  if (rate == 0) return true;
  if (!(rate > 0) || impl_->status != Status::Ready || !impl_->playbin) return false;
  if (rate == 1) return true;
  GstQuery* query = gst_query_new_seeking(GST_FORMAT_TIME);
  gboolean seekable = FALSE;
  if (gst_element_query(impl_->playbin, query))
    gst_query_parse_seeking(query, nullptr, &seekable, nullptr, nullptr);
  gst_query_unref(query);
  return seekable == TRUE;
}

bool MediaPipeline::setRate(double rate) {
  Impl& d = *impl_;
  if (!(rate >= 0) || d.status == Status::Failed || !d.playbin) return false;
  if (rate != 0 && rate != d.playingRate) {
    if (d.status != Status::Ready) {
      // Applied with the first segment once the stream is ready.
      d.playingRate = rate;
    } else if (d.atEnd) {
      // Nothing is left to play at this rate; the next seek (a loop back) starts its segment
      // with it. Seeking now would reach the end, and report it, a second time.
      if (!canPlayAtRate(rate)) return false;
      d.playingRate = rate;
    } else {
      if (!canPlayAtRate(rate)) return false;
      const StreamTime from = position();
      if (!d.seekSegment(rate, from)) return false;
      d.playingRate = rate;
    }
  }
  d.targetRate = rate;
  d.applyRate();
  d.publishTimebase();
  return true;
}

void MediaPipeline::setVolume(double volume) {
  if (impl_->playbin) g_object_set(impl_->playbin, "volume", std::clamp(volume, 0.0, 1.0), nullptr);
}

void MediaPipeline::seek(StreamTime position, std::function<void(bool)> completion) {
  Impl& d = *impl_;
  if (d.status == Status::Failed || !d.playbin) {
    mainQueue()->async([completion = std::move(completion)] {
      if (completion) completion(false);
    });
    return;
  }
  if (d.status == Status::Unknown) {
    if (d.seekBeforeReady) {
      auto overtaken = std::move(d.seekBeforeReady->second);
      if (overtaken) mainQueue()->async([overtaken] { overtaken(false); });
    }
    d.seekBeforeReady.emplace(position, std::move(completion));
    d.publishTimebase();
    return;
  }
  d.startSeek(position, std::move(completion));
  d.publishTimebase();
}

bool MediaPipeline::setVideoTransform(double a, double b, double c, double d) {
  struct Entry {
    double a, b, c, d;
    GstVideoOrientationMethod method;
  };
  static constexpr Entry kEntries[] = {
      {1, 0, 0, 1, GST_VIDEO_ORIENTATION_IDENTITY}, {0, 1, -1, 0, GST_VIDEO_ORIENTATION_90R},
      {-1, 0, 0, -1, GST_VIDEO_ORIENTATION_180},    {0, -1, 1, 0, GST_VIDEO_ORIENTATION_90L},
      {-1, 0, 0, 1, GST_VIDEO_ORIENTATION_HORIZ},   {1, 0, 0, -1, GST_VIDEO_ORIENTATION_VERT},
      {0, 1, 1, 0, GST_VIDEO_ORIENTATION_UL_LR},    {0, -1, -1, 0, GST_VIDEO_ORIENTATION_UR_LL},
  };
  if (!impl_->flip) return false;
  for (const Entry& e : kEntries) {
    if (e.a == a && e.b == b && e.c == c && e.d == d) {
      g_object_set(impl_->flip, "video-direction", e.method, nullptr);
      return true;
    }
  }
  return false;
}

std::vector<TimeRange> MediaPipeline::loadedRanges() const {
  const Impl& d = *impl_;
  std::vector<TimeRange> ranges;
  if (d.status != Status::Ready || !d.playbin) return ranges;
  GstQuery* query = gst_query_new_buffering(GST_FORMAT_TIME);
  if (gst_element_query(d.playbin, query)) {
    GstFormat format = GST_FORMAT_UNDEFINED;
    gst_query_parse_buffering_range(query, &format, nullptr, nullptr, nullptr);
    // Downloading elements answer in bytes or per cent of the stream; both scale to its length.
    double scale = format == GST_FORMAT_TIME ? 1.0 : 0.0;
    if (format == GST_FORMAT_PERCENT && d.durationValue)
      scale = static_cast<double>(*d.durationValue) / GST_FORMAT_PERCENT_MAX;
    gint64 totalBytes = 0;
    if (format == GST_FORMAT_BYTES && d.durationValue &&
        gst_element_query_duration(d.playbin, GST_FORMAT_BYTES, &totalBytes) && totalBytes > 0)
      scale = static_cast<double>(*d.durationValue) / static_cast<double>(totalBytes);
    const guint count = gst_query_get_n_buffering_ranges(query);
    for (guint i = 0; scale > 0 && i < count; ++i) {
      gint64 start = 0, stop = 0;
      if (gst_query_parse_nth_buffering_range(query, i, &start, &stop) && start >= 0 &&
          stop >= start) {
        const auto from = static_cast<StreamTime>(static_cast<double>(start) * scale);
        const auto to = static_cast<StreamTime>(static_cast<double>(stop) * scale);
        ranges.push_back({from, to - from});
      }
    }
  }
  gst_query_unref(query);
  // A stream that never buffers (a local file) has all of itself at hand. One whose queues
  // buffer without telling what they hold reports nothing rather than a guess.
  if (ranges.empty() && !d.sawBuffering && d.durationValue) ranges.push_back({0, *d.durationValue});
  return ranges;
}

bool MediaPipeline::likelyToKeepUp() const {
  return impl_->status == Status::Ready && impl_->bufferingPercent >= 100;
}

std::vector<AudioStream> MediaPipeline::audioStreams() const {
  std::vector<AudioStream> streams;
  if (!impl_->playbin || impl_->status != Status::Ready) return streams;
  gint count = 0;
  g_object_get(impl_->playbin, "n-audio", &count, nullptr);
  for (gint i = 0; i < count; ++i) {
    GstTagList* tags = nullptr;
    g_signal_emit_by_name(impl_->playbin, "get-audio-tags", i, &tags);
    AudioStream stream;
    if (auto code = tagString(tags, GST_TAG_LANGUAGE_CODE)) {
      // Containers store three-letter codes; the two-letter one is what callers know.
      const gchar* two = gst_tag_get_language_code_iso_639_1(code->c_str());
      stream.languageCode = two ? std::string(two) : *code;
    }
    stream.title = tagString(tags, GST_TAG_TITLE);
    if (tags) gst_tag_list_unref(tags);
    streams.push_back(std::move(stream));
  }
  return streams;
}

int MediaPipeline::currentAudioStream() const {
  if (!impl_->playbin || impl_->status != Status::Ready) return -1;
  gint count = 0, current = -1;
  g_object_get(impl_->playbin, "n-audio", &count, "current-audio", &current, nullptr);
  return count > 0 ? current : -1;
}

bool MediaPipeline::selectAudioStream(int index) {
  if (!impl_->playbin || impl_->status != Status::Ready) return false;
  gint count = 0;
  g_object_get(impl_->playbin, "n-audio", &count, nullptr);
  if (index < 0 || index >= count) return false;
  g_object_set(impl_->playbin, "current-audio", index, nullptr);
  return true;
}

bool MediaPipeline::hasNewFrame(StreamTime time) {
  std::lock_guard<std::mutex> lock(impl_->frameLock);
  return impl_->pendingDue(time);
}

VideoFramePtr MediaPipeline::takeNewFrame(StreamTime time) {
  Impl& d = *impl_;
  GstSample* sample = nullptr;
  StreamTime sampleTime = 0;
  {
    std::lock_guard<std::mutex> lock(d.frameLock);
    if (!d.pendingDue(time)) return nullptr;
    sample = d.pending.front().sample;
    sampleTime = d.pending.front().time;
    d.pending.pop_front();
    d.lastHandedTime = sampleTime;
    d.lastHandedGeneration = d.generation;
  }
  d.frameTaken.notify_all();
  GstVideoInfo info;
  GstVideoFrame mapped{};
  GstCaps* caps = gst_sample_get_caps(sample);
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) ||
      !gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ)) {
    gst_sample_unref(sample);
    mediaLog()->error("a decoded frame could not be read");
    return nullptr;
  }
  auto mapping = std::make_unique<VideoFrame::Mapping>();
  mapping->sample = sample;
  mapping->frame = mapped;
  mapping->streamTime = sampleTime;
  return std::make_shared<VideoFrame>(std::move(mapping));
}

bool MediaPipeline::framesEnded() const {
  std::lock_guard<std::mutex> lock(impl_->frameLock);
  return impl_->sinkEnded;
}

}  // namespace platform::gstreamer
