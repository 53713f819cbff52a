// video-frame-harness: replays the frame delivery of texture players under the mock clock, with
// the engine's texture registry and the scripted media double, and prints each display-link tick,
// frame-available notice, pull and warning.
//
//   video-frame-harness [scenario...]     all scenarios when none is named
//
// Scenarios: short-intervals, steady-intervals, period-change, no-period, link-13.6, link-14.0,
// paused-seek, engine-unregisters. Lines read "[+seconds] what", times relative to the
// scenario's start. Exit status 0, or 2 for an unknown scenario.
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/appkit/display_link.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"
#include "platform/engine/engine.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"
#include "platform/media/scripted_media.h"
#include "plugins/video_player/fvp_texture_based_video_player.h"
#include "plugins/video_player/video_player_plugin.h"

namespace {

namespace media = platform::media;
using video_player::FVPTextureBasedVideoPlayer;

double gStart = 0;
// The log lines of the scenario running now, and how many of them were shown (pulls happen on the
// engine's frame thread too).
platform::ScopedLogCapture* gCapture = nullptr;
std::mutex gWarningsMutex;
std::size_t gWarningsShown = 0;

void say(const std::string& what) {
  std::printf("[+%.4f] %s\n", platform::Clock::current().uptime() - gStart, what.c_str());
  std::fflush(stdout);
}

void printWarnings() {
  std::lock_guard lock(gWarningsMutex);
  if (!gCapture) return;
  auto lines = gCapture->messages();
  for (; gWarningsShown < lines.size(); ++gWarningsShown) {
    if (lines[gWarningsShown].rfind("Warning", 0) == 0) say("log: " + lines[gWarningsShown]);
  }
}

std::string fixed(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", v);
  return text;
}

// A texture as the engine sees it: prints each pull.
class LoggingTexture : public flutter::Texture {
 public:
  LoggingTexture(std::shared_ptr<flutter::Texture> inner, std::int64_t* id,
                 media::ScriptedMediaFactory* f)
      : inner_(std::move(inner)), id_(id), factory_(f) {}
  flutter::PixelBufferPtr copyPixelBuffer() override {
    double now = platform::Clock::current().uptime();
    auto buffer = inner_->copyPixelBuffer();
    auto pixels = std::dynamic_pointer_cast<media::PixelBuffer>(buffer);
    std::string frame = pixels ? std::to_string(pixels->width()) + "x" +
                                     std::to_string(pixels->height()) +
                                     (pixels != last_ ? " (new)" : " (again)")
                               : "none";
    last_ = pixels;
    double asked = factory_->lastHostTimeAsked() - now;
    say("pull texture " + std::to_string(*id_) + ": frame " + frame + ", asked now+" +
        fixed(asked));
    printWarnings();
    return buffer;
  }
  void onTextureUnregistered(flutter::Texture& t) override {
    say("texture " + std::to_string(*id_) + " unregistered by the engine");
    inner_->onTextureUnregistered(t);
  }

 private:
  std::shared_ptr<flutter::Texture> inner_;
  std::int64_t* id_;
  media::ScriptedMediaFactory* factory_;
  media::PixelBufferPtr last_;
};

// The engine's registry, printing notices; `forward` off keeps pulls to the harness itself.
class LoggingRegistry : public flutter::TextureRegistry {
 public:
  LoggingRegistry(flutter::TextureRegistryPtr engine, media::ScriptedMediaFactory* f)
      : engine_(std::move(engine)), factory_(f) {}
  std::int64_t registerTexture(std::shared_ptr<flutter::Texture> texture) override {
    id_ = engine_->registerTexture(std::make_shared<LoggingTexture>(texture, &id_, factory_));
    return id_;
  }
  void textureFrameAvailable(std::int64_t id) override {
    say("notice texture " + std::to_string(id));
    if (forward) engine_->textureFrameAvailable(id);
  }
  void unregisterTexture(std::int64_t id) override {
    say("unregister texture " + std::to_string(id));
    engine_->unregisterTexture(id);
  }
  bool forward = true;

 private:
  flutter::TextureRegistryPtr engine_;
  media::ScriptedMediaFactory* factory_;
  std::int64_t id_ = 0;
};

class LoggingLinks : public video_player::DisplayLinkFactory {
 public:
  std::shared_ptr<video_player::FVPDisplayLink>
  displayLink(const std::shared_ptr<video_player::FVPViewProvider>& provider,
              std::function<void()> callback) override {
    auto link = video_player::DefaultDisplayLinkFactory().displayLink(provider, [callback] {
      say("tick");
      callback();
    });
    say(std::dynamic_pointer_cast<video_player::FVPCADisplayLink>(link)
            ? "display link: main-loop link"
            : "display link: display-thread link merged into the main loop");
    return link;
  }
};

class NoView : public video_player::FVPViewProvider {
 public:
  platform::ViewPtr view() const override { return nullptr; }
};
class NoAssets : public video_player::FVPAssetProvider {
 public:
  std::optional<std::string> lookupKeyForAsset(const std::string&) const override {
    return std::nullopt;
  }
  std::optional<std::string> lookupKeyForAsset(const std::string&,
                                               const std::string&) const override {
    return std::nullopt;
  }
};

// One scenario's world: mock clock, engine, plugin with one texture player.
class World {
 public:
  explicit World(const std::string& osVersion)
      : os_(platform::kOperatingSystemVersionVariable, osVersion),
        scripted_(std::make_shared<media::ScriptedMediaFactory>()),
        engine_(flutter::Engine::create()),
        registry_(std::make_shared<LoggingRegistry>(engine_->textures(), scripted_.get())) {
    gStart = env_.uptime();
    {
      std::lock_guard lock(gWarningsMutex);
      gCapture = &capture_;
      gWarningsShown = 0;
    }
    platform::SimulatedDisplay::setRefreshPeriod(1.0 / 60);
    plugin_ = std::make_shared<video_player::VideoPlayerPlugin>(
        scripted_, std::make_shared<LoggingLinks>(), engine_, registry_, std::make_shared<NoView>(),
        std::make_shared<NoAssets>());
  }
  ~World() {
    plugin_->initialize();
    env_.runUntilIdle();
    printWarnings();
    engine_->shutDown();
    std::lock_guard lock(gWarningsMutex);
    gCapture = nullptr;
  }

  std::shared_ptr<FVPTextureBasedVideoPlayer> create(media::ScriptedMedium medium) {
    scripted_->script("file:///harness.mp4", std::move(medium));
    auto ids = plugin_->createForTextureView(
        video_player::CreationOptions("file:///harness.mp4", platform::ValueMap{}));
    say("created player " + std::to_string(ids->playerId) + " texture " +
        std::to_string(ids->textureId));
    textureId = ids->textureId;
    auto player = std::static_pointer_cast<FVPTextureBasedVideoPlayer>(
        plugin_->playerWithIdentifier(ids->playerId));
    harnessTexture_ = std::make_unique<LoggingTexture>(player, &textureId, scripted_.get());
    return std::static_pointer_cast<FVPTextureBasedVideoPlayer>(
        plugin_->playerWithIdentifier(ids->playerId));
  }
  void advance(double seconds) {
    env_.advance(seconds);
    printWarnings();
  }
  void idle() {
    env_.runUntilIdle();
    printWarnings();
  }
  // A pull made by the harness itself (the engine's frame thread in the product).
  void pull(const std::shared_ptr<FVPTextureBasedVideoPlayer>& player) {
    harnessTexture_->copyPixelBuffer();
    say(std::string("  self-refresh ") + (player->selfRefresh() ? "on" : "off") + ", link " +
        (player->displayLinkRunning() ? "running" : "stopped"));
  }

  LoggingRegistry& registry() { return *registry_; }
  flutter::Engine& engine() { return *engine_; }
  std::shared_ptr<media::ScriptedMediaFactory> scripted() { return scripted_; }
  std::int64_t textureId = 0;

 private:
  platform::TestEnvironment env_;
  platform::ScopedEnvironmentForTesting os_;
  platform::ScopedLogCapture capture_;
  std::unique_ptr<LoggingTexture> harnessTexture_;
  std::shared_ptr<media::ScriptedMediaFactory> scripted_;
  flutter::EnginePtr engine_;
  std::shared_ptr<LoggingRegistry> registry_;
  std::shared_ptr<video_player::VideoPlayerPlugin> plugin_;
};

// Ten intervals between eleven pulls, `spacing` apart, with the display at `period`.
void intervals(double spacing) {
  World world("14.0");
  world.registry().forward = false;
  auto player = world.create({});
  player->playWithError();  // self-refresh runs while the display link does
  world.idle();
  world.advance(1.0 / 60);  // one tick: the frame duration is known
  for (int i = 0; i < 12; ++i) {
    world.pull(player);
    world.advance(spacing);
  }
}

void periodChange() {
  World world("14.0");
  world.registry().forward = false;
  auto player = world.create({});
  player->playWithError();
  world.idle();
  world.advance(1.0 / 60);
  for (int i = 0; i < 6; ++i) {
    world.pull(player);
    world.advance(0.004);
  }
  say("display period 1/60 -> 1/120 s");
  platform::SimulatedDisplay::setRefreshPeriod(1.0 / 120);
  world.advance(1.0 / 60);  // a tick records the new frame duration
  for (int i = 0; i < 12; ++i) {
    world.pull(player);
    world.advance(0.004);
  }
}

void noPeriod() {
  World world("14.0");
  world.registry().forward = false;
  auto player = world.create({});
  player->playWithError();
  world.idle();
  say("before the first tick: frame duration 0");
  for (int i = 0; i < 3; ++i) {
    world.pull(player);
    world.advance(0.001);
  }
}

void linkKind(const char* version) {
  World world(version);
  auto player = world.create({});
  world.idle();
  player->playWithError();
  say("play");
  world.advance(0.05);
  player->pauseWithError();
  say("pause");
  world.advance(0.05);
}

void pausedSeek() {
  World world("14.0");
  auto player = world.create({});
  world.idle();
  world.advance(0.05);
  say(std::string("paused, link ") + (player->displayLinkRunning() ? "running" : "stopped"));
  player->seekToPosition(2500, [] { say("seek answered"); });
  world.advance(0.05);
  say(std::string("link ") + (player->displayLinkRunning() ? "running" : "stopped"));
}

class DisposeCounter : public video_player::FVPVideoEventListener {
 public:
  void videoPlayerDidInitializeWithDuration(std::int64_t, double, double) override {}
  void videoPlayerDidErrorWithMessage(const std::string&) override {}
  void videoPlayerDidComplete() override {}
  void videoPlayerDidStartBuffering() override {}
  void videoPlayerDidEndBuffering() override {}
  void videoPlayerDidUpdateBufferRegions(
      const std::vector<std::pair<std::int64_t, std::int64_t>>&) override {}
  void videoPlayerDidSetPlaying(bool) override {}
  void videoPlayerWasDisposed() override {
    say("player disposed (" + std::to_string(++count) + ")");
  }
  int count = 0;
};

void engineUnregisters() {
  World world("14.0");
  auto player = world.create({});
  world.idle();
  auto counter = std::make_shared<DisposeCounter>();
  player->setEventListener(counter);
  say("the engine unregisters the texture");
  world.engine().textures()->unregisterTexture(world.textureId);
  world.idle();
  say("player " + std::string(player->disposed() ? "disposed" : "alive") + ", disposed " +
      std::to_string(counter->count) + " time(s)");
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<void()>> scenarios{
      {"short-intervals", [] { intervals(0.005); }},
      {"steady-intervals", [] { intervals(1.0 / 60); }},
      {"period-change", periodChange},
      {"no-period", noPeriod},
      {"link-13.6", [] { linkKind("13.6"); }},
      {"link-14.0", [] { linkKind("14.0"); }},
      {"paused-seek", pausedSeek},
      {"engine-unregisters", engineUnregisters},
  };
  const std::vector<std::string> order{"short-intervals", "steady-intervals",  "period-change",
                                       "no-period",       "link-13.6",         "link-14.0",
                                       "paused-seek",     "engine-unregisters"};
  std::vector<std::string> chosen(argv + 1, argv + argc);
  if (chosen.empty()) chosen = order;
  for (const auto& name : chosen) {
    auto it = scenarios.find(name);
    if (it == scenarios.end()) {
      std::fprintf(stderr, "video-frame-harness: unknown scenario \"%s\"\n", name.c_str());
      return 2;
    }
    std::printf("== %s\n", name.c_str());
    it->second();
  }
  return 0;
}
