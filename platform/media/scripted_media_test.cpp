#include "platform/media/scripted_media.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/test_environment.h"

namespace platform::media {
namespace {

TEST(MediaTimeTest, SecondsRoundTripAndNonFiniteIsInvalid) {
  EXPECT_EQ(MediaTime::fromSeconds(1.5).seconds(), 1.5);
  EXPECT_FALSE(MediaTime::fromSeconds(std::nan("")).isValid());
  EXPECT_FALSE(MediaTime::fromSeconds(1e300).isValid());
  EXPECT_TRUE(MediaTime::indefinite().isIndefinite());
  EXPECT_EQ(MediaTime::indefinite().seconds(), 0);
}

TEST(ScriptedMediumTest, ReadsTheChannelFormAndRefusesOtherKinds) {
  auto m = ScriptedMedium::fromValue(
      {{Value("status"), Value("pending")},
       {Value("durationMs"), Value(2000)},
       {Value("transform"), Value::list({0, 1, -1, 0, 0, 0})},
       {Value("variants"),
        Value::list({Value::map({{"peakBitRate", 5}, {"codecs", Value::list({"hvc1"})}}),
                     Value::map({{"peakBitRate", 7}})})}});
  EXPECT_TRUE(m.holdStatus);
  EXPECT_EQ(m.durationMs, 2000);
  EXPECT_EQ(m.preferredTransform.b, 1);
  ASSERT_EQ(m.variants.size(), 2u);
  ASSERT_TRUE(m.variants[0].videoAttributes);
  EXPECT_EQ(m.variants[0].videoAttributes->codecTypes, std::vector<std::uint32_t>{0x68766331});
  EXPECT_FALSE(m.variants[1].videoAttributes);
  for (auto [key, value] :
       std::vector<std::pair<const char*, Value>>{{"status", Value("soon")},
                                                  {"durationMs", Value(1.5)},
                                                  {"width", Value("wide")},
                                                  {"transform", Value::list({1, 0})},
                                                  {"loadedRanges", Value::list({1})}}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(ScriptedMedium::fromValue({{Value(key), value}}), std::invalid_argument);
  }
}

TEST(ScriptedMediaTest, FramesFollowThePlayerTimeAndObserversStopWhenRemoved) {
  TestEnvironment env;
  ScriptedMediaFactory factory;
  ScriptedMedium m;
  m.frameRate = 10;
  m.durationMs = 1000;
  factory.script("file:///a", m);
  auto item = factory.playerItemWithAsset(factory.URLAssetWithURL("file:///a", {}));
  auto player = factory.playerWithPlayerItem(item);
  auto output = factory.videoOutputWithOutputSettings({});
  int statusCalls = 0, rateCalls = 0;
  auto statusToken = item->addObserver(ItemObservation::Status, [&] { ++statusCalls; });
  player->addObserver(PlayerObservation::Rate, [&] { ++rateCalls; });
  env.runUntilIdle();
  EXPECT_EQ(statusCalls, 1);
  EXPECT_EQ(item->status(), ItemStatus::ReadyToPlay);
  item->addOutput(output);

  double host = Clock::current().uptime();
  auto t0 = output->itemTimeForHostTime(host);
  ASSERT_TRUE(output->hasNewPixelBufferForItemTime(t0));
  auto first = output->copyPixelBufferForItemTime(t0, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->width(), 64);
  EXPECT_FALSE(output->hasNewPixelBufferForItemTime(t0)) << "the same frame is not new";

  player->play();
  env.advance(0.25);
  EXPECT_EQ(rateCalls, 1);
  auto t1 = output->itemTimeForHostTime(Clock::current().uptime());
  EXPECT_NEAR(t1.seconds(), 0.25, 1e-6);
  EXPECT_TRUE(output->hasNewPixelBufferForItemTime(t1));
  env.advance(5);
  EXPECT_NEAR(player->currentTime().seconds(), 1.0, 1e-6) << "stops at the duration";

  item->removeObserver(statusToken);
  factory.setStatus("file:///a", ItemStatus::Failed);
  env.runUntilIdle();
  EXPECT_EQ(statusCalls, 1);
}

}  // namespace
}  // namespace platform::media
