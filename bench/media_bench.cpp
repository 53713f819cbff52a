// Video decoding and delivery: a 20-second, video-only 640x360 clip decoded with the clock off,
// every frame pulled through the media backend into the engine's texture registry, against
// GStreamer's own command-line player decoding the same clip to BGRA in the same run; and what a
// copy of one frame would cost, against which "no copy" is measured.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/gstreamer/media_pipeline.h"
#include "platform/gstreamer/testing/media_fixtures.h"

namespace {

namespace fs = std::filesystem;
using platform::gstreamer::MediaPipeline;
constexpr int kClipSeconds = 20;
constexpr int kClipFrames = kClipSeconds * 30;

const std::string& clipPath() {
  static const std::string path = [] {
    const fs::path file =
        fs::temp_directory_path() / ("lumora-media-bench-" + std::to_string(::getpid()) + ".webm");
    const std::string why =
        platform::gstreamer::testing::makeVideoOnlyClip(file.string(), kClipSeconds);
    if (!why.empty()) {
      std::fprintf(stderr, "cannot make the clip: %s\n", why.c_str());
      std::exit(1);
    }
    std::atexit([] {
      std::error_code ignored;
      fs::remove(clipPath(), ignored);
    });
    return file.string();
  }();
  return path;
}

// Pulls the pipeline's frames for the engine and asks for the next pull right away, as a playing
// texture player does; each new frame is one delivered.
class PipelineTexture : public flutter::Texture {
 public:
  PipelineTexture(std::shared_ptr<MediaPipeline> pipeline, flutter::TextureRegistryPtr registry)
      : pipeline_(std::move(pipeline)), registry_(std::move(registry)) {}

  flutter::PixelBufferPtr copyPixelBuffer() override {
    if (auto frame = pipeline_->takeNewFrame(std::numeric_limits<std::int64_t>::max())) {
      latest_ = frame;
      delivered_.fetch_add(1);
    }
    if (!pipeline_->framesEnded() || pipeline_->hasNewFrame(0))
      registry_->textureFrameAvailable(id);
    else
      ended_ = true;
    return latest_;
  }

  std::int64_t id = 0;
  std::atomic<int> delivered_{0};
  std::atomic<bool> ended_{false};

 private:
  std::shared_ptr<MediaPipeline> pipeline_;
  flutter::TextureRegistryPtr registry_;
  flutter::PixelBufferPtr latest_;
};

void BM_DecodeAndDeliverFrames(benchmark::State& state) {
  const std::string uri = "file://" + clipPath();
  auto engine = flutter::Engine::create(flutter::DartProject(std::vector<std::string>{}));
  auto& loop = platform::MainLoop::instance();
  std::int64_t frames = 0;
  for (auto _ : state) {
    auto pipeline = MediaPipeline::create({uri, {}, false}, {});
    while (pipeline->status() == MediaPipeline::Status::Unknown)
      loop.drain();
    if (pipeline->status() != MediaPipeline::Status::Ready) {
      state.SkipWithError(pipeline->errorDescription().c_str());
      return;
    }
    auto texture = std::make_shared<PipelineTexture>(pipeline, engine->textures());
    texture->id = engine->textures()->registerTexture(texture);
    pipeline->setRate(1.0);
    engine->textures()->textureFrameAvailable(texture->id);
    while (!texture->ended_.load())
      loop.drain();
    frames += texture->delivered_.load();
    if (texture->delivered_.load() < kClipFrames) state.SkipWithError("frames were lost");
    engine->textures()->unregisterTexture(texture->id);
    pipeline->shutdown();
  }
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  engine->shutDown();
}
BENCHMARK(BM_DecodeAndDeliverFrames)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The reference: GStreamer's own player decoding the same clip to BGRA as fast as it can.
void BM_ReferenceCommandLinePlayer(benchmark::State& state) {
  const std::string command = "gst-launch-1.0 -q filesrc location=\"" + clipPath() +
                              "\" ! decodebin ! videoconvert ! video/x-raw,format=BGRA ! "
                              "fakesink sync=false";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("gst-launch-1.0 failed");
      return;
    }
  }
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(kClipFrames) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferenceCommandLinePlayer)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// What one copy of a 640x360 BGRA frame (921,600 bytes) would cost, had the backend made one.
void BM_CopyOneFrame(benchmark::State& state) {
  std::vector<unsigned char> from(640 * 360 * 4, 7), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(from.size()) * state.iterations());
}
BENCHMARK(BM_CopyOneFrame);

}  // namespace

BENCHMARK_MAIN();
