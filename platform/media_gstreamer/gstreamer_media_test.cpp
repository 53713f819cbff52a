#include "platform/media_gstreamer/gstreamer_media.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop.h"
#include "platform/gstreamer/testing/media_fixtures.h"

namespace platform::media {
namespace {

namespace fs = std::filesystem;

// Runs the main loop (the pipelines' bus messages among its work) until `done` or ten seconds.
bool pumpUntil(const std::function<bool()>& done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (MainLoop::instance().drain() == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class GStreamerMediaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() /
                        ("lumora-media-layer-" + std::to_string(::getpid())));
    fs::create_directories(*dir_);
    ASSERT_EQ(gstreamer::testing::makeRedBlueClip(path("red-blue.webm")), "");
    ASSERT_EQ(gstreamer::testing::makeTwoAudioClip(path("two-audio.webm")), "");
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(*dir_, ignored);
    delete dir_;
  }
  static std::string path(const std::string& name) { return (*dir_ / name).string(); }
  static std::string uri(const std::string& name) { return "file://" + path(name); }

  struct Opened {
    AssetPtr asset;
    PlayerItemPtr item;
    PlayerPtr player;
    PixelBufferSourcePtr output;
    int statusNotices = 0;
  };

  // Asset, item, player and output as the video player makes them; waits for the status notice.
  std::unique_ptr<Opened> open(const std::string& url) {
    auto o = std::make_unique<Opened>();
    o->asset = factory_.URLAssetWithURL(url, {});
    o->item = factory_.playerItemWithAsset(o->asset);
    o->player = factory_.playerWithPlayerItem(o->item);
    o->output = factory_.videoOutputWithOutputSettings({});
    auto* raw = o.get();
    o->item->addObserver(ItemObservation::Status, [raw] { ++raw->statusNotices; });
    EXPECT_TRUE(pumpUntil([&] { return raw->statusNotices > 0; }));
    return o;
  }

  // The first pixel (b, g, r) of the newest frame due at `seconds`.
  std::array<int, 3> pixelAt(Opened& o, double seconds) {
    PixelBufferPtr buffer;
    pumpUntil(
        [&] {
          buffer = o.output->copyPixelBufferForItemTime(MediaTime::fromSeconds(seconds), nullptr);
          return buffer != nullptr;
        },
        5);
    if (!buffer) return {-1, -1, -1};
    EXPECT_EQ(buffer->width(), 640);
    EXPECT_EQ(buffer->height(), 360);
    const std::uint8_t* p = buffer->baseAddress();
    return {p[0], p[1], p[2]};
  }

  GStreamerMediaFactory factory_;
  static inline fs::path* dir_ = nullptr;
};

void expectNear(std::array<int, 3> got, std::array<int, 3> want, const char* what) {
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(got[i], want[i], 16) << what << " channel " << i;
}

TEST_F(GStreamerMediaTest, ReadyClipReportsItsFactsAndSeeksShowTheNewFrame) {
  auto o = open(uri("red-blue.webm"));
  ASSERT_EQ(o->item->status(), ItemStatus::ReadyToPlay);
  EXPECT_EQ(o->item->presentationSize(), (Size{640, 360}));
  EXPECT_NEAR(o->asset->duration().seconds(), 2.0, 1.0 / 30);
  EXPECT_EQ(o->asset->statusOfValueForKey("tracks", nullptr), KeyValueStatus::Loaded);
  EXPECT_TRUE(o->asset->variants().empty());

  // Tracks as the player reads them once "tracks" has loaded.
  std::vector<AssetTrackPtr> video;
  bool loaded = false;
  o->asset->loadTracksWithMediaType(MediaType::Video,
                                    [&](std::vector<AssetTrackPtr> tracks, ErrorPtr error) {
                                      EXPECT_FALSE(error);
                                      video = std::move(tracks);
                                      loaded = true;
                                    });
  ASSERT_TRUE(pumpUntil([&] { return loaded; }));
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0]->naturalSize(), (Size{640, 360}));
  EXPECT_TRUE(video[0]->preferredTransform().isIdentity());
  EXPECT_EQ(video[0]->minFrameDuration().value, 1);
  EXPECT_EQ(video[0]->minFrameDuration().timescale, 30);

  // Nothing reaches a frame before the output is attached; after, the prerolled frame is red.
  EXPECT_EQ(o->output->copyPixelBufferForItemTime(MediaTime::zero(), nullptr), nullptr);
  o->item->addOutput(o->output);
  expectNear(pixelAt(*o, 0), {0, 0, 255}, "first frame");

  // A paused seek finishes once the new position shows.
  struct Case {
    double seconds;
    std::array<int, 3> color;
  } cases[] = {{1.5, {255, 0, 0}}, {0.5, {0, 0, 255}}};
  for (const auto& c : cases) {
    int finished = -1;
    o->player->seekToTime(MediaTime::fromSeconds(c.seconds), MediaTime::zero(), MediaTime::zero(),
                          [&](bool done) { finished = done; });
    ASSERT_TRUE(pumpUntil([&] { return finished != -1; }));
    EXPECT_EQ(finished, 1);
    EXPECT_NEAR(o->player->currentTime().seconds(), c.seconds, 0.05);
    expectNear(pixelAt(*o, c.seconds), c.color, "after seek");
  }
}

TEST_F(GStreamerMediaTest, PlayingReachesTheEndAndTheActionAtTheEndDecidesTheRate) {
  for (auto action : {ActionAtItemEnd::Pause, ActionAtItemEnd::None}) {
    auto o = open(uri("red-blue.webm"));
    ASSERT_EQ(o->item->status(), ItemStatus::ReadyToPlay);
    o->player->setActionAtItemEnd(action);
    int rateNotices = 0, ends = 0;
    o->player->addObserver(PlayerObservation::Rate, [&] { ++rateNotices; });
    auto endToken = o->item->addDidPlayToEndTimeObserver([&] { ++ends; });
    o->player->seekToTime(MediaTime::fromSeconds(1.8), MediaTime::zero(), MediaTime::zero(),
                          nullptr);
    o->player->play();
    EXPECT_EQ(o->player->rate(), 1.0f);
    ASSERT_TRUE(pumpUntil([&] { return ends > 0; }));
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(o->player->rate(), action == ActionAtItemEnd::None ? 1.0f : 0.0f);
    pumpUntil([] { return false; }, 0.05);
    EXPECT_EQ(rateNotices, action == ActionAtItemEnd::None ? 1 : 2);
    // A removed end observer hears nothing more: seeking back and playing to the end again.
    o->item->removeObserver(endToken);
    bool sought = false;
    o->item->seekToTime(MediaTime::fromSeconds(1.9), [&](bool) { sought = true; });
    o->player->play();
    ASSERT_TRUE(pumpUntil([&] { return sought; }));
    pumpUntil([] { return false; }, 0.3);
    EXPECT_EQ(ends, 1);
  }
}

TEST_F(GStreamerMediaTest, MissingFileFailsWithItsDescription) {
  auto o = open(uri("no-such-clip.webm"));
  EXPECT_EQ(o->item->status(), ItemStatus::Failed);
  ASSERT_TRUE(o->item->error());
  EXPECT_FALSE(o->item->error()->localizedDescription().empty());
  ErrorPtr keyError;
  EXPECT_EQ(o->asset->statusOfValueForKey("tracks", &keyError), KeyValueStatus::Failed);
  EXPECT_TRUE(keyError);
  bool completed = false;
  o->asset->loadTracksWithMediaType(MediaType::Video,
                                    [&](std::vector<AssetTrackPtr> tracks, ErrorPtr error) {
                                      EXPECT_TRUE(tracks.empty());
                                      EXPECT_TRUE(error);
                                      completed = true;
                                    });
  EXPECT_TRUE(pumpUntil([&] { return completed; }));
}

TEST_F(GStreamerMediaTest, AudioStreamsFormTheAudibleGroupAndSelectionMoves) {
  auto o = open(uri("two-audio.webm"));
  ASSERT_EQ(o->item->status(), ItemStatus::ReadyToPlay);
  auto group = o->asset->mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic::Audible);
  ASSERT_TRUE(group);
  ASSERT_EQ(group->options.size(), 2u);
  EXPECT_EQ(group->options[0]->localeLanguageCode(), "en");
  EXPECT_EQ(group->options[1]->localeLanguageCode(), "fr");
  EXPECT_EQ(o->asset->mediaSelectionGroupForMediaCharacteristic(MediaCharacteristic::Visual),
            nullptr);
  EXPECT_EQ(o->item->selectedMediaOptionInMediaSelectionGroup(group), group->options[0]);
  o->item->selectMediaOption(group->options[1], group);
  EXPECT_EQ(o->item->selectedMediaOptionInMediaSelectionGroup(group), group->options[1]);
}

}  // namespace
}  // namespace platform::media
