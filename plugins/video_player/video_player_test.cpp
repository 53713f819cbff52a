#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/appkit/display_link.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/test_environment.h"
#include "platform/engine/engine.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"
#include "platform/media/scripted_media.h"
#include "plugins/video_player/fvp_event_bridge.h"
#include "plugins/video_player/fvp_texture_based_video_player.h"
#include "plugins/video_player/video_player_plugin.h"

namespace video_player {
namespace {

namespace media = platform::media;
using media::MediaTime;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(FVPCMTimeToMillisTest, RulesAndSaturation) {
  struct Case {
    MediaTime time;
    std::int64_t expected;
  } cases[] = {
      {MediaTime::make(1500, 1000), 1500},
      {MediaTime::make(1, 3), 333},
      {MediaTime::make(-1999, 1000000), -1},  // toward zero
      {MediaTime::indefinite(), kMin + 1},
      {{5, 0, MediaTime::kValid}, 0},
      {MediaTime::invalid(), 0},
      // value × 1000 does not fit 64 bits: the quotient still does, or saturates.
      {MediaTime::make(kMax, 1000000), kMax / 1000},
      {MediaTime::make(kMax, 1), kMax},
      {MediaTime::make(kMin, 1), kMin},
      {MediaTime::make(kMax / 10, 1), kMax},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.time.value) + "/" + std::to_string(c.time.timescale));
    EXPECT_EQ(FVPCMTimeToMillis(c.time), c.expected);
  }
}

TEST(FVPPositiveIntegerTest, NaNAndOutOfRangeReadAsAbsent) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {nan, std::nullopt},   {inf, std::nullopt},
      {-inf, std::nullopt},  {9.3e18, std::nullopt},
      {1e300, std::nullopt}, {0, std::nullopt},
      {-5, std::nullopt},    {2.9, 2},
      {1850000.0, 1850000},  {9.2e18, static_cast<std::int64_t>(9.2e18)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(FVPPositiveInteger(c.value), c.expected);
  }
}

TEST(FVPTransformTest, StandardizedTranslationRotationAndCodecNames) {
  const media::Size size{1920, 1080};
  struct Case {
    media::AffineTransform in;
    double tx, ty;
    int rotation;
  } cases[] = {
      {{1, 0, 0, 1, 5, 5}, 0, 0, 0},           {{-1, 0, 0, -1, 0, 0}, 1920, 1080, 180},
      {{0, -1, 1, 0, 0, 0}, 0, 1920, 270},     {{0, 1, -1, 0, 0, 0}, 1080, 0, 90},
      {{-1, 0, 0, 1, 0, 0}, 1920, 0, 180},     {{1, 0, 0, -1, 0, 0}, 0, 1080, 0},
      {{0, -1, -1, 0, 0, 0}, 1080, 1920, 270}, {{0, 1, 1, 0, 0, 0}, 0, 0, 90},
      {{0.5, 0, 0, 1, 7, 8}, 7, 8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.in.a) + "," + std::to_string(c.in.b));
    auto out = FVPGetStandardizedTrackTransform(c.in, size);
    EXPECT_EQ(out.a, c.in.a);
    EXPECT_EQ(out.d, c.in.d);
    EXPECT_EQ(out.tx, c.tx);
    EXPECT_EQ(out.ty, c.ty);
    EXPECT_EQ(FVPRotationDegrees(out), c.rotation);
  }
  EXPECT_EQ(FVPCodecStringFromFourCharCode(0x61766331), "avc1");
  EXPECT_EQ(FVPCodecStringFromFourCharCode(0x68766331), "hevc");
  EXPECT_EQ(FVPCodecStringFromFourCharCode(0x76703039), "vp9");
  EXPECT_EQ(FVPCodecStringFromFourCharCode(0x6d703476), std::nullopt);
}

// Records notices instead of pulling: the tests pull themselves.
class NoticeRegistry : public flutter::TextureRegistry {
 public:
  std::int64_t registerTexture(std::shared_ptr<flutter::Texture> texture) override {
    textures[++lastId] = std::move(texture);
    return lastId;
  }
  void textureFrameAvailable(std::int64_t id) override { notices.push_back(id); }
  void unregisterTexture(std::int64_t id) override {
    unregistered.push_back(id);
    textures.erase(id);
  }
  std::map<std::int64_t, std::shared_ptr<flutter::Texture>> textures;
  std::vector<std::int64_t> notices, unregistered;
  std::int64_t lastId = 0;
};

class NoView : public FVPViewProvider {
 public:
  platform::ViewPtr view() const override { return view_; }
  platform::ViewPtr view_ = std::make_shared<platform::View>();
};

class NoAssets : public FVPAssetProvider {
 public:
  std::optional<std::string> lookupKeyForAsset(const std::string&) const override { return {}; }
  std::optional<std::string> lookupKeyForAsset(const std::string&,
                                               const std::string&) const override {
    return {};
  }
};

class CountingListener : public FVPVideoEventListener {
 public:
  void videoPlayerDidInitializeWithDuration(std::int64_t d, double, double) override {
    events.push_back("initialized " + std::to_string(d));
  }
  void videoPlayerDidErrorWithMessage(const std::string& m) override { events.push_back(m); }
  void videoPlayerDidComplete() override { events.push_back("completed"); }
  void videoPlayerDidStartBuffering() override { events.push_back("bufferingStart"); }
  void videoPlayerDidEndBuffering() override { events.push_back("bufferingEnd"); }
  void videoPlayerDidUpdateBufferRegions(
      const std::vector<std::pair<std::int64_t, std::int64_t>>&) override {
    events.push_back("bufferingUpdate");
  }
  void videoPlayerDidSetPlaying(bool p) override { events.push_back(p ? "playing" : "paused"); }
  void videoPlayerWasDisposed() override { events.push_back("disposed"); }
  std::vector<std::string> events;
};

class TexturePlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SimulatedDisplay::setRefreshPeriod(1.0 / 60);
    engine_ = flutter::Engine::create();
    plugin_ = std::make_shared<VideoPlayerPlugin>(
        factory_, std::make_shared<DefaultDisplayLinkFactory>(), engine_, registry_, view_,
        std::make_shared<NoAssets>());
  }
  void TearDown() override {
    plugin_->initialize();
    env_.runUntilIdle();
    engine_->shutDown();
  }
  std::shared_ptr<FVPTextureBasedVideoPlayer> create(media::ScriptedMedium medium = {}) {
    factory_->script("file:///t.mp4", std::move(medium));
    auto ids = plugin_->createForTextureView(CreationOptions("file:///t.mp4", {}));
    env_.runUntilIdle();
    auto player = std::static_pointer_cast<FVPTextureBasedVideoPlayer>(
        plugin_->playerWithIdentifier(ids->playerId));
    listener_ = std::make_shared<CountingListener>();
    player->setEventListener(listener_);
    return player;
  }
  // Pulls every `spacing` seconds; returns how many warnings were logged meanwhile.
  std::size_t pullEvery(const std::shared_ptr<FVPTextureBasedVideoPlayer>& player, double spacing,
                        int pulls) {
    platform::ScopedLogCapture capture;
    for (int i = 0; i < pulls; ++i) {
      player->copyPixelBuffer();
      env_.advance(spacing);
    }
    return capture.count("measured average duration between frames");
  }

  platform::TestEnvironment env_;
  platform::ScopedEnvironmentForTesting os_{platform::kOperatingSystemVersionVariable, "14.0"};
  std::shared_ptr<media::ScriptedMediaFactory> factory_ =
      std::make_shared<media::ScriptedMediaFactory>();
  std::shared_ptr<NoticeRegistry> registry_ = std::make_shared<NoticeRegistry>();
  std::shared_ptr<NoView> view_ = std::make_shared<NoView>();
  flutter::EnginePtr engine_;
  std::shared_ptr<VideoPlayerPlugin> plugin_;
  std::shared_ptr<CountingListener> listener_;
};

TEST_F(TexturePlayerTest, TenShortIntervalsTurnSelfRefreshOffOnceAndSteadyOnesKeepIt) {
  auto fast = create();
  fast->playWithError();   // self-refresh runs while the display link does
  env_.advance(1.0 / 60);  // a tick: the frame duration is known
  ASSERT_NEAR(fast->frameUpdater()->frameDuration(), 1.0 / 60, 1e-9);
  EXPECT_EQ(pullEvery(fast, 0.005, 10), 0u) << "the check runs on the eleventh pull";
  EXPECT_TRUE(fast->selfRefresh());
  EXPECT_EQ(pullEvery(fast, 0.005, 12), 1u);
  EXPECT_FALSE(fast->selfRefresh());
  fast->disposeWithError();

  auto steady = create();
  steady->playWithError();
  env_.advance(1.0 / 60);
  EXPECT_EQ(pullEvery(steady, 1.0 / 60, 25), 0u);
  EXPECT_TRUE(steady->selfRefresh());
}

TEST_F(TexturePlayerTest, AFrameDurationChangeRestartsTheMeasurement) {
  auto player = create();
  player->playWithError();
  env_.advance(1.0 / 60);
  // Six short pulls at 1/60, then the display changes: counting starts again there.
  EXPECT_EQ(pullEvery(player, 0.004, 6), 0u);
  platform::SimulatedDisplay::setRefreshPeriod(1.0 / 120);
  env_.advance(1.0 / 60);
  ASSERT_NEAR(player->frameUpdater()->frameDuration(), 1.0 / 120, 1e-9);
  EXPECT_EQ(pullEvery(player, 0.004, 10), 0u);
  EXPECT_TRUE(player->selfRefresh());
  // 0.004 s against half of 1/120 s (0.00417): still short.
  EXPECT_EQ(pullEvery(player, 0.004, 1), 1u);
  EXPECT_FALSE(player->selfRefresh());
}

TEST_F(TexturePlayerTest, PullsBeforeAFrameGiveNoneAndPausedSeeksShowTheNewFrame) {
  media::ScriptedMedium held;
  held.holdStatus = true;
  auto player = create(held);
  EXPECT_EQ(player->copyPixelBuffer(), nullptr) << "nothing decoded yet";
  EXPECT_TRUE(player->displayLinkRunning()) << "waiting for the first frame";
  factory_->setStatus("file:///t.mp4", media::ItemStatus::ReadyToPlay);
  env_.runUntilIdle();
  auto first = player->copyPixelBuffer();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(player->waitingForFrame());
  EXPECT_FALSE(player->displayLinkRunning()) << "paused and the frame is in";
  EXPECT_EQ(player->copyPixelBuffer(), first) << "the last good frame again";

  bool answered = false;
  player->seekToPosition(2500, [&] { answered = true; });
  env_.runUntilIdle();
  EXPECT_TRUE(answered);
  EXPECT_TRUE(player->displayLinkRunning()) << "a seek that moved the time waits for a frame";
  auto after = player->copyPixelBuffer();
  EXPECT_NE(after, first);
  EXPECT_FALSE(player->displayLinkRunning());
}

TEST_F(TexturePlayerTest, EngineSideUnregistrationDisposesOnce) {
  auto player = create();
  auto texture = registry_->textures.begin()->second;
  texture->onTextureUnregistered(*texture);
  env_.runUntilIdle();
  EXPECT_TRUE(player->disposed());
  EXPECT_EQ(registry_->unregistered.size(), 1u);
  // The notice of the unregistration that dispose itself asked for finds the player disposed.
  texture->onTextureUnregistered(*texture);
  env_.runUntilIdle();
  EXPECT_EQ(std::count(listener_->events.begin(), listener_->events.end(), "disposed"), 1);
  EXPECT_EQ(registry_->unregistered.size(), 1u);
  EXPECT_FALSE(player->displayLinkRunning());
  EXPECT_EQ(plugin_->playersByIdentifier().count(1), 0u);
  EXPECT_EQ(view_->view()->layer()->sublayers().size(), 0u) << "the player layer left the view";
}

TEST_F(TexturePlayerTest, DisplayLinksTickBelowAndFrom14) {
  for (const char* version : {"13.6", "14.0"}) {
    SCOPED_TRACE(version);
    platform::ScopedEnvironmentForTesting os(platform::kOperatingSystemVersionVariable, version);
    auto player = create();
    player->playWithError();
    registry_->notices.clear();
    env_.advance(0.1);
    // Six ticks of 1/60 s in 0.1 s, each one notice.
    EXPECT_GE(registry_->notices.size(), 3u);
    EXPECT_LE(registry_->notices.size(), 7u);
    player->pauseWithError();
    player->copyPixelBuffer();  // takes the waiting frame, if any
    env_.runUntilIdle();
    registry_->notices.clear();
    env_.advance(0.1);
    EXPECT_TRUE(registry_->notices.empty()) << "an idle player costs no ticks";
    player->disposeWithError();
  }
}

TEST_F(TexturePlayerTest, ReleasedPlayersLeaveNothingBehind) {
  std::weak_ptr<FVPTextureBasedVideoPlayer> weak;
  {
    auto player = create();
    player->playWithError();
    env_.advance(0.05);
    weak = player;
    plugin_->initialize();
  }
  listener_.reset();
  env_.runUntilIdle();
  registry_->textures.clear();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(factory_->livePlayers(), 0);
  EXPECT_EQ(factory_->liveItems(), 0);
}

}  // namespace
}  // namespace video_player
