#include "platform/dispatch/test_environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/pending_work.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

namespace platform {
namespace {

// Records (name, mock wall time) from any queue.
struct Log {
  std::mutex mutex;
  std::vector<std::pair<std::string, double>> entries;
  void add(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex);
    entries.emplace_back(name, Clock::current().now());
  }
};

TEST(TestEnvironmentTest, LongDelayFiresOnlyWhenTheMockClockReachesIt) {
  TestEnvironment env(1000);
  EXPECT_EQ(Clock::current().now(), 1000);
  auto queue = makeSerialQueue("test.retry");
  std::atomic<int> fired{0};
  queue->asyncAfter(1800, [&] { fired.fetch_add(1); });
  env.runUntilIdle();
  env.advance(1799.5);
  EXPECT_EQ(fired.load(), 0);
  env.advance(0.5);
  EXPECT_EQ(fired.load(), 1);
  EXPECT_EQ(env.now(), 2800);
}

TEST(TestEnvironmentTest, TimersFireInDueOrderAcrossQueuesEachAtItsOwnTime) {
  TestEnvironment env(0);
  auto a = makeSerialQueue("test.a");
  auto b = makeSerialQueue("test.b");
  Log log;
  // Scheduled out of order, on three queues, two with the same due time.
  b->asyncAfter(30, [&] { log.add("b30"); });
  mainQueue()->asyncAfter(10, [&] { log.add("main10"); });
  a->asyncAfter(20, [&] { log.add("a20"); });
  a->asyncAfter(10, [&] { log.add("a10"); });
  // A timer set by a firing task still fires within the same advance, in order.
  b->asyncAfter(5, [&] {
    log.add("b5");
    mainQueue()->asyncAfter(20, [&] { log.add("main25"); });
  });
  env.advance(100);
  std::vector<std::pair<std::string, double>> expected = {{"b5", 5},   {"main10", 10}, {"a10", 10},
                                                          {"a20", 20}, {"main25", 25}, {"b30", 30}};
  EXPECT_EQ(log.entries, expected);
  EXPECT_EQ(env.now(), 100);
}

TEST(TestEnvironmentTest, RepeatingTimerTicksAtEachIntervalUntilCancelled) {
  TestEnvironment env(0);
  auto queue = makeSerialQueue("test.timer");
  Log log;
  auto timer = std::make_unique<Timer>(queue, 10, 5, [&] { log.add("tick"); });
  env.advance(27);
  ASSERT_EQ(log.entries.size(), 4u);
  EXPECT_EQ(log.entries[0].second, 10);
  EXPECT_EQ(log.entries[3].second, 25);
  timer->cancel();
  EXPECT_TRUE(timer->cancelled());
  env.advance(100);
  EXPECT_EQ(log.entries.size(), 4u);
  timer.reset();  // destroying a cancelled timer is fine

  // One-shot timer; destroying it before it is due cancels it.
  int once = 0;
  {
    Timer gone(mainQueue(), 1, 0, [&] { ++once; });
  }
  Timer oneShot(mainQueue(), 1, 0, [&] { ++once; });
  env.advance(50);
  EXPECT_EQ(once, 1);
}

TEST(TestEnvironmentTest, TimerHandlerMayCancelItsOwnTimer) {
  TestEnvironment env(0);
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = std::make_unique<Timer>(mainQueue(), 1, 1, [&] {
    if (++ticks == 3) timer->cancel();
  });
  env.advance(10);
  EXPECT_EQ(ticks, 3);
}

TEST(TestEnvironmentTest, CancelFromAnotherThreadWaitsForARunningHandler) {
  TestEnvironment env(0);
  std::atomic<bool> started{false}, cancelling{false}, finished{false};
  std::atomic<bool> finishedWhenCancelReturned{false};
  auto timer = std::make_unique<Timer>(makeSerialQueue("test.cancel"), 1, 0, [&] {
    started = true;
    while (!cancelling.load())
      std::this_thread::yield();
    for (int i = 0; i < 1000; ++i)
      std::this_thread::yield();  // still busy as cancel() starts
    finished = true;
  });
  std::thread canceller([&] {
    while (!started.load())
      std::this_thread::yield();
    cancelling = true;
    timer->cancel();
    finishedWhenCancelReturned = finished.load();
  });
  env.advance(1);
  canceller.join();
  EXPECT_TRUE(finishedWhenCancelReturned.load());
}

TEST(TestEnvironmentTest, RunUntilIdleWaitsForWorkHoppingBetweenQueues) {
  TestEnvironment env;
  auto a = makeSerialQueue("test.hop.a");
  auto b = makeSerialQueue("test.hop.b");
  std::vector<std::string> steps;  // each step runs after the previous one finished
  a->async([&] {
    steps.push_back("a");
    mainQueue()->async([&] {
      steps.push_back("main");
      globalQueue()->async([&] {
        steps.push_back("global");
        b->asyncAfter(0, [&] {
          steps.push_back("b");
          mainQueue()->async([&] { steps.push_back("main-again"); });
        });
      });
    });
  });
  env.runUntilIdle();
  EXPECT_EQ(steps, (std::vector<std::string>{"a", "main", "global", "b", "main-again"}));
}

TEST(TestEnvironmentTest, RunUntilIdleWaitsForWorkMarkedPendingOnAThreadOfItsOwn) {
  TestEnvironment env;
  std::atomic<bool> release{false};
  bool delivered = false;
  PendingWork work;
  std::thread worker([&, work = std::move(work)]() mutable {
    while (!release.load())
      std::this_thread::yield();
    mainQueue()->async([&] { delivered = true; });
    work.done();
  });
  std::thread([&] { release = true; }).detach();
  env.runUntilIdle();
  EXPECT_TRUE(delivered);
  worker.join();
}

TEST(TestEnvironmentTest, WallClockChangeFiresNothingAndTimersDieWithTheEnvironment) {
  std::atomic<int> fired{0};
  auto queue = makeSerialQueue("test.wall");
  {
    TestEnvironment env(500);
    queue->asyncAfter(60, [&] { fired.fetch_add(1); });
    const double uptime = env.uptime();
    env.setWallClock(10000);
    env.runUntilIdle();
    EXPECT_EQ(fired.load(), 0);
    EXPECT_EQ(env.now(), 10000);
    EXPECT_EQ(env.uptime(), uptime);
    env.advance(1);
    EXPECT_EQ(env.now(), 10001);
  }
  // Real time again: the clock is the system one and the left-over timer is gone.
  EXPECT_GT(Clock::current().now(), 1.6e9);
  TestEnvironment next;
  next.advance(3600);
  EXPECT_EQ(fired.load(), 0);
}

TEST(TestEnvironmentTest, SecondEnvironmentIsRefusedAndLeavesTheFirstInCharge) {
  TestEnvironment env(100);
  int fired = 0;
  mainQueue()->asyncAfter(10, [&] { ++fired; });
  {
    ScopedAssertionCapture capture;
    TestEnvironment second(5);
    EXPECT_EQ(capture.count(), 1u);
  }
  EXPECT_EQ(Clock::current().now(), 100);
  env.advance(10);
  EXPECT_EQ(fired, 1);
}

TEST(TestEnvironmentTest, SleepOnAnyThreadPassesMockTimeAtOnceAndDueTimersFireNext) {
  TestEnvironment env(1000);
  auto queue = makeSerialQueue("test.sleeper");
  std::atomic<bool> fired{false};
  mainQueue()->asyncAfter(1.5, [&] { fired = true; });
  const auto realStart = std::chrono::steady_clock::now();
  // Two seconds of sleeps in small steps on another thread, as a busy wait does.
  queue->sync([] {
    for (int i = 0; i < 32; ++i)
      Clock::current().sleep(0.0625);
  });
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));
  EXPECT_DOUBLE_EQ(env.uptime(), 1002.0);
  EXPECT_DOUBLE_EQ(env.now(), 1002.0);
  EXPECT_FALSE(fired);
  env.runUntilIdle();
  EXPECT_TRUE(fired);
}

TEST(ClockTest, SystemClockSleepsForReal) {
  const double start = Clock::current().uptime();
  Clock::current().sleep(0.02);
  EXPECT_GE(Clock::current().uptime() - start, 0.02);
  Clock::current().sleep(-1);  // nothing to wait for
}

TEST(ClockTest, SystemClockIsWallTimeWithFractionsAndUptimeNeverGoesBack) {
  EXPECT_NEAR(Clock::current().now(), static_cast<double>(std::time(nullptr)), 2.0);
  bool fraction = false;
  double last = Clock::current().uptime();
  for (int i = 0; i < 1000; ++i) {
    const double wall = Clock::current().now();
    if (wall != std::floor(wall)) fraction = true;
    const double u = Clock::current().uptime();
    ASSERT_GE(u, last);
    last = u;
  }
  EXPECT_TRUE(fraction);
}

TEST(RealTimeTest, AsyncAfterFiresWithoutAnEnvironment) {
  // Real time: a short delay on a serial queue and on the main loop.
  auto queue = makeSerialQueue("test.real");
  std::atomic<bool> fired{false};
  const double start = Clock::current().uptime();
  double firedAt = 0;
  queue->asyncAfter(0.02, [&] {
    firedAt = Clock::current().uptime();
    mainQueue()->async([&] {
      fired = true;
      MainLoop::instance().quit();
    });
  });
  MainLoop::instance().run();
  EXPECT_TRUE(fired.load());
  EXPECT_GE(firedAt - start, 0.02);
}

}  // namespace
}  // namespace platform
