#include "platform/appkit/display_link.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/appkit/layer.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

TEST(DisplayLinkTest, LinksTickAtTheDisplayPeriodOnlyWhileRunning) {
  TestEnvironment env;
  SimulatedDisplay::setRefreshPeriod(1.0 / 60);
  std::atomic<int> displayTicks{0};
  std::atomic<bool> offMain{true};
  auto coreVideo = CoreVideoDisplayLink::createWithActiveDisplays();
  coreVideo->setOutputCallback([&] {
    ++displayTicks;
    if (MainLoop::isMainThread()) offMain = false;
  });
  int mainTicks = 0;
  MainLoopDisplayLink mainLink([&] { ++mainTicks; });
  EXPECT_FALSE(coreVideo->isRunning());
  EXPECT_TRUE(mainLink.isPaused());
  env.advance(0.1);
  EXPECT_EQ(displayTicks.load() + mainTicks, 0);

  coreVideo->start();
  mainLink.setPaused(false);
  env.advance(0.1);
  EXPECT_EQ(displayTicks.load(), 6);
  EXPECT_EQ(mainTicks, 6);
  EXPECT_TRUE(offMain.load()) << "display-thread ticks run off the main thread";

  coreVideo->stop();
  mainLink.invalidate();
  mainLink.setPaused(false);  // no effect once invalidated
  env.advance(0.1);
  EXPECT_EQ(displayTicks.load(), 6);
  EXPECT_EQ(mainTicks, 6);

  SimulatedDisplay::setRefreshPeriod(1.0 / 120);
  std::int64_t period = 0;
  std::int32_t scale = 0;
  ASSERT_TRUE(coreVideo->getCurrentTime(&period, &scale));
  EXPECT_NEAR(static_cast<double>(period) / scale, 1.0 / 120, 1e-6);
  EXPECT_EQ(mainLink.duration(), 1.0 / 120);
  SimulatedDisplay::setRefreshPeriod(0);  // ignored
  EXPECT_EQ(SimulatedDisplay::refreshPeriod(), 1.0 / 120);
  SimulatedDisplay::setRefreshPeriod(1.0 / 60);
}

TEST(LayerTest, SublayersMoveBetweenParentsAndLeave) {
  auto a = std::make_shared<Layer>();
  auto b = std::make_shared<Layer>();
  auto player = PlayerLayer::playerLayerWithPlayer(nullptr);
  a->addSublayer(player);
  b->addSublayer(player);
  EXPECT_TRUE(a->sublayers().empty());
  ASSERT_EQ(b->sublayers().size(), 1u);
  EXPECT_EQ(player->superlayer(), b);
  EXPECT_EQ(player->className(), "PlayerLayer");
  player->removeFromSuperlayer();
  player->removeFromSuperlayer();
  EXPECT_TRUE(b->sublayers().empty());
  EXPECT_EQ(player->superlayer(), nullptr);
}

}  // namespace
}  // namespace platform
