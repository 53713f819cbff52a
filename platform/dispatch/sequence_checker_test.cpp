#include "platform/dispatch/sequence_checker.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"

namespace platform {
namespace {

// Where a check runs, as seen by a checker bound in different ways.
struct Places {
  bool main = false;
  bool onQueue = false;
  bool onOtherQueue = false;
  bool onGlobal = false;
  bool onThread = false;
};

Places probe(const SequenceChecker& checker, const QueuePtr& queue) {
  Places seen;
  seen.main = checker.calledOnValidSequence();
  queue->sync([&] { seen.onQueue = checker.calledOnValidSequence(); });
  makeSerialQueue("test.other")->sync([&] { seen.onOtherQueue = checker.calledOnValidSequence(); });
  globalQueue()->sync([&] { seen.onGlobal = checker.calledOnValidSequence(); });
  std::thread([&] { seen.onThread = checker.calledOnValidSequence(); }).join();
  return seen;
}

TEST(SequenceCheckerTest, BoundCheckerAcceptsOnlyItsSequence) {
  auto queue = makeSerialQueue("test.bound");
  {
    SequenceChecker checker(queue);
    Places seen = probe(checker, queue);
    EXPECT_FALSE(seen.main);
    EXPECT_TRUE(seen.onQueue);
    EXPECT_FALSE(seen.onOtherQueue);
    EXPECT_FALSE(seen.onGlobal);
    EXPECT_FALSE(seen.onThread);
  }
  {
    // A sync from the main thread runs on the main thread, and so counts as on it.
    SequenceChecker checker(SequenceChecker::kMainThread);
    Places seen = probe(checker, queue);
    EXPECT_TRUE(seen.main);
    EXPECT_TRUE(seen.onQueue);
    EXPECT_TRUE(seen.onOtherQueue);
    EXPECT_TRUE(seen.onGlobal);
    EXPECT_FALSE(seen.onThread);
  }
  {
    // Asynchronous tasks of the queue run on its own threads, not the main thread.
    SequenceChecker onQueue(queue);
    SequenceChecker onMain(SequenceChecker::kMainThread);
    bool queueSeen = false, mainSeen = true;
    queue->async([&] {
      queueSeen = onQueue.calledOnValidSequence();
      mainSeen = onMain.calledOnValidSequence();
    });
    queue->sync([] {});
    EXPECT_TRUE(queueSeen);
    EXPECT_FALSE(mainSeen);
  }
}

TEST(SequenceCheckerTest, UnboundCheckerBindsToTheFirstCallersSequence) {
  auto queue = makeSerialQueue("test.first");
  SequenceChecker checker;
  queue->async([&] { EXPECT_TRUE(checker.calledOnValidSequence()); });
  queue->sync([] {});
  EXPECT_EQ(checker.describe(), "queue 'test.first'");
  EXPECT_FALSE(checker.calledOnValidSequence());
  queue->async([&] { EXPECT_TRUE(checker.calledOnValidSequence()); });
  queue->sync([] {});

  // Detached, it binds again: here to the main thread.
  checker.detach();
  EXPECT_TRUE(checker.calledOnValidSequence());
  EXPECT_EQ(checker.describe(), "the main thread");
  bool onQueue = true;
  queue->async([&] { onQueue = checker.calledOnValidSequence(); });
  queue->sync([] {});
  EXPECT_FALSE(onQueue);

  // A thread of its own, and a task of a concurrent queue, bind to their thread.
  checker.detach();
  std::thread([&] { EXPECT_TRUE(checker.calledOnValidSequence()); }).join();
  EXPECT_FALSE(checker.calledOnValidSequence());
  checker.detach();
  globalQueue()->sync([&] { EXPECT_TRUE(checker.calledOnValidSequence()); });
  EXPECT_TRUE(checker.calledOnValidSequence());  // the global sync ran on this thread
  std::thread([&] { EXPECT_FALSE(checker.calledOnValidSequence()); }).join();

  checker.bindTo(queue);
  EXPECT_FALSE(checker.calledOnValidSequence());
  checker.bindToMainThread();
  EXPECT_TRUE(checker.calledOnValidSequence());
}

TEST(SequenceCheckerTest, CallOffTheSequenceIsReportedWithBothPlaces) {
  ScopedAssertionCapture capture;
  auto queue = makeSerialQueue("test.owner");
  SequenceChecker checker(queue);
  LUMORA_CHECK_SEQUENCE(checker);
  queue->sync([&] { LUMORA_CHECK_SEQUENCE(checker); });
  makeSerialQueue("test.intruder")->sync([&] { LUMORA_CHECK_SEQUENCE(checker); });
  ASSERT_EQ(capture.count(), 2u);
  const std::string first = capture.failures()[0].message;
  EXPECT_NE(first.find("queue 'test.owner'"), std::string::npos) << first;
  EXPECT_NE(first.find("com.lumora.main-thread"), std::string::npos) << first;
  EXPECT_NE(capture.failures()[1].message.find("queue 'test.intruder'"), std::string::npos);
}

TEST(SequenceCheckerTest, CheckerOfAGoneQueueAcceptsNoCall) {
  auto queue = makeSerialQueue("test.gone");
  SequenceChecker checker(queue);
  queue.reset();
  // Another queue may now live where the old one did; it is not the bound one.
  auto next = makeSerialQueue("test.next");
  bool valid = true;
  next->sync([&] { valid = checker.calledOnValidSequence(); });
  EXPECT_FALSE(valid);
  EXPECT_EQ(checker.describe(), "queue 'test.gone'");
}

}  // namespace
}  // namespace platform
