#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"
#include "platform/testing/assertion_guard.h"

namespace platform {
namespace {

TEST(LogCaptureTest, RecordsLinesInOrderWithTheirHandleAndType) {
  ScopedLogCapture capture;
  auto core = Log::cached("com.example.app", "[Core]");
  auto net = Log::create("com.example.app", "net");
  core->notice("first");
  net->error("second");
  core->debug("third");
  net->write(LogType::Fault, "fourth");
  const std::vector<LogLine> expected = {
      {"com.example.app", "[Core]", LogType::Default, "first"},
      {"com.example.app", "net", LogType::Error, "second"},
      {"com.example.app", "[Core]", LogType::Debug, "third"},
      {"com.example.app", "net", LogType::Fault, "fourth"},
  };
  EXPECT_EQ(capture.lines(), expected);
  EXPECT_EQ(capture.count("th"), 2u);
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(LogCaptureTest, KeepsEachThreadsOrderAndLosesNothing) {
  ScopedLogCapture capture;
  auto log = Log::cached("com.example.app", "threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        log->info(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& th : threads)
    th.join();
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 800u);
  int next[4] = {0, 0, 0, 0};
  for (const std::string& m : messages) {
    const int t = m[0] - '0';
    ASSERT_EQ(m, std::to_string(t) + ":" + std::to_string(next[t]));
    ++next[t];
  }
}

TEST(LogCaptureTest, NestedCapturesRecordInTheInnermost) {
  auto log = Log::cached("com.example.app", "nest");
  ScopedLogCapture outer;
  log->info("a");
  {
    ScopedLogCapture inner;
    log->info("b");
    EXPECT_EQ(inner.messages(), std::vector<std::string>{"b"});
  }
  log->info("c");
  EXPECT_EQ(outer.messages(), (std::vector<std::string>{"a", "c"}));
}

TEST(LogHandleTest, CachedHandlesAreMadeOncePerPair) {
  // Fresh names on every run, so repeated runs start from an empty cache too.
  static int run = 0;
  const std::string subsystem = "com.example.cache" + std::to_string(++run);
  const std::size_t before = Log::handlesCreated();
  auto a = Log::cached(subsystem, "one");
  auto again = Log::cached(subsystem, "one");
  auto otherCategory = Log::cached(subsystem, "two");
  auto otherSubsystem = Log::cached(subsystem + ".other", "one");
  EXPECT_EQ(a, again);
  EXPECT_NE(a, otherCategory);
  EXPECT_NE(a, otherSubsystem);
  EXPECT_EQ(Log::handlesCreated() - before, 3u);
  EXPECT_NE(Log::create(subsystem, "one"), a);
  EXPECT_EQ(Log::handlesCreated() - before, 4u);
}

TEST(LogHandleTest, MinimumTypeDropsLesserLines) {
  ScopedLogCapture capture;
  auto log = Log::cached("com.example.app", "minimum");
  setMinimumLogType(LogType::Error);
  EXPECT_FALSE(log->isEnabled(LogType::Default));
  EXPECT_TRUE(log->isEnabled(LogType::Error));
  log->info("dropped");
  log->notice("dropped too");
  log->error("kept");
  log->fault("kept too");
  setMinimumLogType(LogType::Debug);
  EXPECT_TRUE(log->isEnabled(LogType::Debug));
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"kept", "kept too"}));
}

TEST(LogOutputTest, StderrLineCarriesTypeSubsystemCategoryAndTextVerbatim) {
  ::testing::internal::CaptureStderr();
  // A '%' in the text must come out as written, not be taken as a format.
  Log::cached("com.example.app", "[Core]")->error("100% done %s %n");
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("<Error> com.example.app [Core]: 100% done %s %n\n"), std::string::npos)
      << out;
}

TEST(LogSinksTest, ExceptionsEscapingTasksAreLogged) {
  ScopedLogCapture capture;
  auto queue = makeSerialQueue("test.log.throw");
  queue->async([] { throw std::runtime_error("disk on fire"); });
  queue->sync([] {});
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].subsystem, "com.lumora.platform");
  EXPECT_EQ(lines[0].type, LogType::Error);
  EXPECT_NE(lines[0].message.find("test.log.throw"), std::string::npos);
  EXPECT_NE(lines[0].message.find("disk on fire"), std::string::npos);
}

#ifndef NDEBUG
TEST(LogSinksDeathTest, AssertionFailuresAreLoggedAsFaultsBeforeAborting) {
  EXPECT_DEATH(assertionFailure("widget.cpp", 12, "widget count negative"),
               "<Fault> com.lumora.platform assertion: widget.cpp:12: widget count negative");
}
#else
TEST(LogSinksTest, AssertionFailuresAreLoggedAsFaults) {
  ScopedLogCapture capture;
  platform::testing::expectUncapturedAssertionFailures(1);
  assertionFailure("widget.cpp", 12, "widget count negative");
  EXPECT_EQ(capture.lines(),
            (std::vector<LogLine>{{"com.lumora.platform", "assertion", LogType::Fault,
                                   "widget.cpp:12: widget count negative"}}));
}
#endif

}  // namespace
}  // namespace platform
