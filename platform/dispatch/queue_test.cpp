#include "platform/dispatch/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/group.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

TEST(SerialQueueTest, RunsTasksInSubmissionOrderOneAtATime) {
  auto queue = makeSerialQueue("test.order");
  std::vector<int> seen;  // touched only by queue tasks: a race here is a TSan failure
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 2000; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
    if (i % 500 == 0) queue->sync([&] { seen.push_back(-i - 1); });
  }
  queue->sync([] {});
  ASSERT_FALSE(overlapped);
  std::vector<int> expected;
  for (int i = 0; i < 2000; ++i) {
    expected.push_back(i);
    if (i % 500 == 0) expected.push_back(-i - 1);
  }
  EXPECT_EQ(seen, expected);
}

TEST(SerialQueueTest, SyncOntoOwnQueueRunsInPlaceAndIsReported) {
  ScopedAssertionCapture capture;
  auto a = makeSerialQueue("test.a");
  auto b = makeSerialQueue("test.b");
  std::vector<std::string> steps;
  a->sync([&] {
    steps.push_back("a");
    a->sync([&] { steps.push_back("a-in-a"); });
    // A sync from a onto b and back onto a would deadlock: a is held by the caller.
    b->sync([&] {
      steps.push_back("b");
      EXPECT_TRUE(a->isCurrent());
      EXPECT_TRUE(b->isCurrent());
      a->sync([&] { steps.push_back("a-in-b"); });
    });
  });
  EXPECT_EQ(steps, (std::vector<std::string>{"a", "a-in-a", "b", "a-in-b"}));
  ASSERT_EQ(capture.count(), 2u);
  EXPECT_NE(capture.failures()[0].message.find("test.a"), std::string::npos);
  // The queue is still usable afterwards.
  bool ran = false;
  a->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(SerialQueueTest, SyncWaitsForEarlierAsyncTasks) {
  auto queue = makeSerialQueue("test.sync");
  std::atomic<bool> release{false};
  std::vector<int> seen;
  queue->async([&] {
    while (!release.load())
      std::this_thread::yield();
    seen.push_back(1);
  });
  std::thread releaser([&] { release = true; });
  queue->sync([&] { seen.push_back(2); });
  releaser.join();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(QueueTest, IsCurrentAndLabelFollowTheRunningTask) {
  auto a = makeSerialQueue("test.label.a");
  auto b = makeSerialQueue("test.label.b");
  EXPECT_TRUE(mainQueue()->isCurrent());
  EXPECT_FALSE(a->isCurrent());
  EXPECT_EQ(currentQueueLabel(), mainQueue()->label());

  auto global = globalQueue(QueuePriority::Utility);
  struct Seen {
    bool a = false, b = false, global = false, main = true;
    std::string label;
  };
  auto look = [&] {
    return Seen{a->isCurrent(), b->isCurrent(), global->isCurrent(), mainQueue()->isCurrent(),
                currentQueueLabel()};
  };
  Seen inA, inGlobal, inSyncFromMain;
  auto group = Group::make();
  group->async(a, [&] { inA = look(); });
  group->async(global, [&] { inGlobal = look(); });
  // A sync from the main thread runs on the main thread, so both queues answer yes.
  a->sync([&] { inSyncFromMain = look(); });
  EXPECT_TRUE(inSyncFromMain.a && inSyncFromMain.main);
  EXPECT_EQ(inSyncFromMain.label, "test.label.a");
  ASSERT_TRUE(group->wait(10));
  EXPECT_TRUE(inA.a);
  EXPECT_FALSE(inA.b || inA.global || inA.main);
  EXPECT_EQ(inA.label, "test.label.a");
  EXPECT_TRUE(inGlobal.global);
  EXPECT_FALSE(inGlobal.a || inGlobal.b || inGlobal.main);
  EXPECT_EQ(inGlobal.label, global->label());

  std::string fromThread = "unset";
  std::thread([&] { fromThread = currentQueueLabel(); }).join();
  EXPECT_EQ(fromThread, "");
}

TEST(QueueTest, ThrowingTaskIsReportedAndQueueCarriesOn) {
  std::mutex m;
  std::vector<std::string> reports;
  setTaskExceptionSink([&](const std::string& label, const std::string& what) {
    std::lock_guard<std::mutex> g(m);
    reports.push_back(label + ": " + what);
  });
  auto queue = makeSerialQueue("test.throw");
  bool after = false;
  queue->async([] { throw std::runtime_error("boom"); });
  queue->async([] { throw 42; });
  queue->sync([&] { after = true; });
  setTaskExceptionSink(nullptr);
  EXPECT_TRUE(after);
  EXPECT_EQ(reports,
            (std::vector<std::string>{"test.throw: boom", "test.throw: unknown exception"}));
}

TEST(QueueTest, DroppedQueueStillRunsItsPendingTasks) {
  std::atomic<int> ran{0};
  auto group = Group::make();
  {
    auto queue = makeSerialQueue("test.dropped");
    for (int i = 0; i < 100; ++i)
      group->async(queue, [&] { ran.fetch_add(1); });
  }
  ASSERT_TRUE(group->wait(10));
  EXPECT_EQ(ran.load(), 100);
}

TEST(QueueTest, BlockingTasksOnGlobalQueuesDoNotStarveEachOther) {
  // More tasks than the pool starts with, each waiting for the last one: only a pool that
  // grows when its threads are blocked can finish this.
  constexpr int kTasks = 64;
  auto global = globalQueue();
  auto gate = Group::make();
  gate->enter();
  auto done = Group::make();
  for (int i = 0; i < kTasks - 1; ++i)
    done->async(global, [&] { gate->wait(); });
  done->async(global, [&] { gate->leave(); });
  EXPECT_TRUE(done->wait(30));
}

TEST(QueueTest, ManyShortLivedQueuesShareThreads) {
  auto countThreads = [] {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         it != std::filesystem::directory_iterator(); ++it) {
      ++n;
    }
    return n;
  };
  const int before = countThreads();
  auto group = Group::make();
  for (int i = 0; i < 300; ++i) {
    auto queue = makeSerialQueue("test.short." + std::to_string(i));
    group->async(queue, [] {});
    queue->sync([] {});
  }
  ASSERT_TRUE(group->wait(10));
  EXPECT_LT(countThreads() - before, 100);
}

TEST(MainQueueTest, SyncFromAnotherThreadRunsOnTheMainThread) {
  TestEnvironment env;
  auto queue = makeSerialQueue("test.to-main");
  bool onMain = false;
  queue->async([&] { mainQueue()->sync([&] { onMain = MainLoop::isMainThread(); }); });
  env.runUntilIdle();
  EXPECT_TRUE(onMain);

  ScopedAssertionCapture capture;
  bool inPlace = false;
  mainQueue()->sync([&] { inPlace = true; });
  EXPECT_TRUE(inPlace);
  EXPECT_EQ(capture.count(), 1u);
}

TEST(MainLoopTest, RunReturnsAfterQuitAndRunsWhatWasPosted) {
  std::vector<int> seen;
  auto queue = makeSerialQueue("test.poster");
  queue->async([&] {
    MainLoop::instance().post([&] { seen.push_back(1); });
    mainQueue()->async([&] {
      seen.push_back(2);
      MainLoop::instance().quit();
    });
  });
  MainLoop::instance().run();
  EXPECT_TRUE(MainLoop::instance().quitRequested());
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  std::thread([&] { EXPECT_FALSE(MainLoop::isMainThread()); }).join();
  EXPECT_TRUE(MainLoop::isMainThread());
}

}  // namespace
}  // namespace platform
