#include "platform/dispatch/group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/data_add_source.h"
#include "platform/dispatch/once.h"
#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

TEST(GroupTest, WaitReturnsOnceEveryTaskHasRun) {
  auto group = Group::make();
  std::atomic<int> done{0};
  auto a = makeSerialQueue("test.group.a");
  for (int i = 0; i < 50; ++i) {
    group->async(i % 2 ? a : globalQueue(), [&] { done.fetch_add(1); });
  }
  ASSERT_TRUE(group->wait(10));
  EXPECT_EQ(done.load(), 50);
  EXPECT_EQ(group->count(), 0);
}

TEST(GroupTest, WaitTimesOutWhileWorkIsOutstanding) {
  auto group = Group::make();
  group->enter();
  EXPECT_FALSE(group->wait(0.01));
  std::thread leaver([&] { group->leave(); });
  EXPECT_TRUE(group->wait());
  leaver.join();
}

TEST(GroupTest, NotifyRunsOnTheQueueOnceTheGroupEmpties) {
  TestEnvironment env;
  auto group = Group::make();
  std::vector<std::string> steps;
  group->notify(mainQueue(), [&] { steps.push_back("empty-at-once"); });
  env.runUntilIdle();
  group->enter();
  group->enter();
  group->notify(mainQueue(), [&] { steps.push_back("notified"); });
  group->leave();
  env.runUntilIdle();
  steps.push_back("one-left");
  group->leave();
  env.runUntilIdle();
  EXPECT_EQ(steps, (std::vector<std::string>{"empty-at-once", "one-left", "notified"}));
}

TEST(GroupTest, UnbalancedLeaveIsReportedAndCountStaysAtZero) {
  ScopedAssertionCapture capture;
  auto group = Group::make();
  group->leave();
  EXPECT_EQ(capture.count(), 1u);
  EXPECT_EQ(group->count(), 0);
  group->enter();
  EXPECT_EQ(group->count(), 1);
  EXPECT_FALSE(group->wait(0));
}

TEST(GroupTest, ThrowingTaskStillLeaves) {
  setTaskExceptionSink([](const std::string&, const std::string&) {});
  auto group = Group::make();
  group->async(makeSerialQueue("test.group.throw"), [] { throw std::runtime_error("x"); });
  EXPECT_TRUE(group->wait(10));
  setTaskExceptionSink(nullptr);
}

TEST(OnceGuardTest, RunsOnceAcrossThreadsAndAgainAfterReset) {
  OnceGuard guard;
  std::atomic<int> runs{0};
  std::atomic<int> ranHere{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (guard.run([&] { runs.fetch_add(1); })) ranHere.fetch_add(1);
      // Every caller returns only once the first run has finished.
      EXPECT_EQ(runs.load(), 1);
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(ranHere.load(), 1);
  EXPECT_TRUE(guard.done());

  guard.reset();
  EXPECT_FALSE(guard.done());
  EXPECT_TRUE(guard.run([&] { runs.fetch_add(1); }));
  EXPECT_FALSE(guard.run([&] { runs.fetch_add(1); }));
  EXPECT_EQ(runs.load(), 2);
}

TEST(OnceGuardTest, ReentrantCallDoesNotRunTwiceAndAThrowLeavesItUndone) {
  OnceGuard guard;
  int runs = 0;
  bool inner = true;
  guard.run([&] {
    ++runs;
    inner = guard.run([&] { ++runs; });
  });
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(inner);

  OnceGuard failing;
  EXPECT_THROW(failing.run([] { throw std::runtime_error("not yet"); }), std::runtime_error);
  EXPECT_FALSE(failing.done());
  EXPECT_TRUE(failing.run([] {}));
}

TEST(DataAddSourceTest, AddsMadeWhileTheQueueIsBusyCoalesceIntoOneCall) {
  TestEnvironment env;
  std::vector<std::uint64_t> calls;
  DataAddSource source(mainQueue(), [&](std::uint64_t n) { calls.push_back(n); });
  // The main queue is not pumped between these adds: one delivery with the sum.
  source.add(1);
  source.add(2);
  source.add(0);
  source.add(39);
  env.runUntilIdle();
  source.add(5);
  env.runUntilIdle();
  EXPECT_EQ(calls, (std::vector<std::uint64_t>{42, 5}));
}

TEST(DataAddSourceTest, AddsFromManyThreadsAreNeitherLostNorDoubled) {
  auto queue = makeSerialQueue("test.data-add");
  std::atomic<std::uint64_t> total{0};
  std::atomic<int> calls{0};
  DataAddSource source(queue, [&](std::uint64_t n) {
    total.fetch_add(n);
    calls.fetch_add(1);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i)
        source.add(1);
    });
  }
  for (auto& t : threads)
    t.join();
  queue->sync([] {});
  EXPECT_EQ(total.load(), 4000u);
  EXPECT_LE(calls.load(), 4000);
}

TEST(DataAddSourceTest, NothingIsDeliveredAfterCancel) {
  TestEnvironment env;
  int calls = 0;
  {
    DataAddSource source(mainQueue(), [&](std::uint64_t) { ++calls; });
    source.add(3);
    source.cancel();
    source.add(4);
    env.runUntilIdle();
    EXPECT_EQ(calls, 0);
    auto gone = std::make_unique<DataAddSource>(mainQueue(), [&](std::uint64_t) { ++calls; });
    gone->add(1);
    gone.reset();  // destroyed with a delivery queued
  }
  env.runUntilIdle();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace platform
