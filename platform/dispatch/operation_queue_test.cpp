#include "platform/dispatch/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

struct Order {
  std::mutex mutex;
  std::vector<int> seen;
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
  void run(int n) {
    const int now = ++concurrent;
    int expected = maxConcurrent.load();
    while (now > expected && !maxConcurrent.compare_exchange_weak(expected, now)) {
    }
    {
      std::lock_guard lock(mutex);
      seen.push_back(n);
    }
    std::this_thread::yield();
    --concurrent;
  }
};

TEST(OperationQueueTest, CreatedSuspendedHoldsOperationsUntilResumedThenRunsThemInOrderOneAtATime) {
  TestEnvironment env;
  OperationQueue queue("test.operations", /*suspended=*/true);
  Order order;
  for (int i = 0; i < 20; ++i)
    queue.addOperation([&order, i] { order.run(i); });
  env.runUntilIdle();
  EXPECT_TRUE(order.seen.empty());
  EXPECT_EQ(queue.operationCount(), 20u);

  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i)
    expected.push_back(i);
  EXPECT_EQ(order.seen, expected);
  EXPECT_EQ(order.maxConcurrent.load(), 1);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, SuspendingStopsTheNextOperationsButNotTheRunningOne) {
  TestEnvironment env;
  OperationQueue queue("test.operations");
  Order order;
  queue.addOperation([&] {
    order.run(1);
    queue.setSuspended(true);  // the running operation finishes; the next one waits
  });
  queue.addOperation([&] { order.run(2); });
  env.runUntilIdle();
  EXPECT_EQ(order.seen, (std::vector<int>{1}));
  EXPECT_TRUE(queue.isSuspended());
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order.seen, (std::vector<int>{1, 2}));
}

TEST(OperationQueueTest, WaitingFromInsideAnOperationIsReportedInsteadOfDeadlocking) {
  TestEnvironment env;
  OperationQueue queue("test.operations");
  ScopedAssertionCapture capture;
  std::atomic<bool> returned{false};
  queue.addOperation([&] {
    queue.waitUntilAllOperationsAreFinished();
    returned = true;
  });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(capture.count(), 1u);
}

TEST(OperationQueueTest, AnOperationThatThrowsDoesNotStopTheQueue) {
  TestEnvironment env;
  OperationQueue queue("test.operations");
  std::atomic<bool> secondRan{false};
  queue.addOperation([] { throw std::runtime_error("operation failed"); });
  queue.addOperation([&] { secondRan = true; });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(secondRan.load());
}

}  // namespace
}  // namespace platform
