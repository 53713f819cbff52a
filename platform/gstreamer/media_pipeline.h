// One medium decoded by GStreamer: a playback pipeline for a file or HTTP(S) URL whose video ends
// in BGRA frames that are handed out without a copy, and whose audio goes to the desktop's output
// (or, where none opens, to a sink that only keeps time). The media layer's item, player and video
// output sit on top of it.
//
// Main thread: creation, control (rate, seek, volume, audio selection), the facts it reports and
// its listener's calls, which arrive from the pipeline's bus as ordinary main-loop work.
// Any thread: the frame calls (the engine pulls frames on its own thread). The pipeline is torn
// down by shutdown() or when the last reference goes (on the main loop, wherever it goes).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

namespace platform::gstreamer {

// Nanoseconds of stream time.
using StreamTime = std::int64_t;

// One decoded BGRA frame. Holds the decoder's buffer mapped for reading; the pixels stay valid
// while the frame lives. Immutable, thread-safe.
class VideoFrame : public Object {
 public:
  ~VideoFrame() override;
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;

  std::string className() const override { return "VideoFrame"; }
  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return stride_; }
  // The first pixel row; rows follow each other bytesPerRow() apart, 4 bytes per pixel (B, G, R,
  // A).
  const std::uint8_t* bytes() const { return data_; }
  // Where the frame sits in the stream.
  StreamTime streamTime() const { return streamTime_; }

  struct Mapping;  // the mapped buffer (private to the backend)
  explicit VideoFrame(std::unique_ptr<Mapping> mapping);

 private:
  std::unique_ptr<Mapping> mapping_;
  int width_ = 0;
  int height_ = 0;
  std::size_t stride_ = 0;
  const std::uint8_t* data_ = nullptr;
  StreamTime streamTime_ = 0;
};
using VideoFramePtr = std::shared_ptr<VideoFrame>;

struct TimeRange {
  StreamTime start = 0;
  StreamTime duration = 0;
  friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

struct AudioStream {
  std::optional<std::string> languageCode;  // two letters where the language has them
  std::optional<std::string> title;
};

struct VideoStreamFacts {
  int width = 0;
  int height = 0;
  // Frames per second as a fraction; 0/1 (a variable rate) means no known frame duration.
  int frameRateNumerator = 0;
  int frameRateDenominator = 1;
  // The affine transform (a, b, c, d, tx, ty) the stream's orientation tag asks for; identity
  // without one.
  double transform[6] = {1, 0, 0, 1, 0, 0};
};

struct MediaPipelineOptions {
  std::string uri;
  // Sent with every request of an HTTP source.
  std::map<std::string, std::string> httpHeaders;
  // Off: frames are decoded as fast as they are taken, each one (the benchmark's mode).
  bool clockSync = true;
};

class MediaPipeline : public std::enable_shared_from_this<MediaPipeline> {
 public:
  enum class Status { Unknown, Ready, Failed };

  // Main-loop notices. Any may be empty.
  struct Listener {
    std::function<void()> statusChanged;     // Ready at the first preroll, or Failed
    std::function<void()> bufferingChanged;  // loaded ranges or keep-up changed
    std::function<void()> endOfStream;
    std::function<void()> tracksChanged;  // audio streams or their tags changed
  };

  // Starts prerolling at once. Needs the GLib main context on the main loop (integrated here).
  static std::shared_ptr<MediaPipeline> create(MediaPipelineOptions options, Listener listener);
  ~MediaPipeline();
  MediaPipeline(const MediaPipeline&) = delete;
  MediaPipeline& operator=(const MediaPipeline&) = delete;

  // Stops the pipeline and frees it; no listener call follows. Idempotent.
  void shutdown();

  const std::string& uri() const;
  Status status() const;
  // The error message's text once Failed.
  const std::string& errorDescription() const;

  // None until known, and for a live stream (indefinite).
  std::optional<StreamTime> duration() const;
  StreamTime position() const;
  // The size frames are decoded at (0 x 0 until ready).
  int width() const;
  int height() const;
  VideoStreamFacts videoFacts() const;
  bool hasVideo() const;

  // 0 pauses; any other rate plays at it. A rate the pipeline refuses leaves playback as it was
  // and returns false.
  bool setRate(double rate);
  double rate() const;
  bool canPlayAtRate(double rate) const;
  void setVolume(double volume);

  // Seeks to `position` (accurately); `completion` runs on the main loop once the pipeline
  // shows the new position (true) or when the seek was refused or overtaken (false).
  void seek(StreamTime position, std::function<void(bool finished)> completion);

  // Frames come out turned as the transform (a, b, c, d) of a y-down plane asks: one of the eight
  // that map the frame onto its axes (quarter turns and mirrorings). Any other is refused (false)
  // and frames stay as they were. Frames decoded from then on are turned.
  bool setVideoTransform(double a, double b, double c, double d);

  std::vector<TimeRange> loadedRanges() const;
  bool likelyToKeepUp() const;

  std::vector<AudioStream> audioStreams() const;
  int currentAudioStream() const;  // -1 with none
  bool selectAudioStream(int index);

  // Any thread: the stream time shown at `hostSeconds` of platform::Clock's uptime (the position
  // now, moved on at the rate while the stream plays).
  StreamTime itemTimeForHostTime(double hostSeconds) const;

  // Frames, any thread. The newest frame due at `time` not handed out yet (a paused pipeline's
  // prerolled frame counts); none when nothing new is due.
  bool hasNewFrame(StreamTime time);
  VideoFramePtr takeNewFrame(StreamTime time);
  // Whether the app sink reached the end of the stream (frames will not come any more).
  bool framesEnded() const;

  struct Impl;

 private:
  explicit MediaPipeline(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
using MediaPipelinePtr = std::shared_ptr<MediaPipeline>;

}  // namespace platform::gstreamer
