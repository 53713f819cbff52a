#include "measurement/storage/apm_alarm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"

namespace {

// One step of a script run against one alarm named "Measurement timer".
struct Step {
  enum Kind { Arm, ArmEmpty, ArmRearming, Cancel, Advance, Idle } kind;
  double seconds = 0;      // delay for Arm*, time for Advance
  std::string block = "";  // the block's name for Arm (its run is recorded)
};

struct AlarmCase {
  std::string name;
  std::vector<Step> steps;
  std::vector<std::int64_t> codes;  // every report of the alarm, in order
  std::vector<std::string> ran;     // blocks that ran, in order
  bool armedAtEnd = false;
};

class APMAlarmTest : public apm_testing::StorageTest {};

TEST_F(APMAlarmTest, ScriptsOfArmingCancellingAndFiringReportInOrder) {
  const double day = 86400;
  const std::vector<AlarmCase> cases = {
      {"zero delay fires once the queue is free",
       {{Step::Arm, 0, "a"}, {Step::Idle}},
       {2002, 2001, 2003},
       {"a"}},
      {"negative delay fires at once",
       {{Step::Arm, -30, "a"}, {Step::Idle}},
       {2002, 2001, 2003},
       {"a"}},
      {"NaN delay fires at once",
       {{Step::Arm, std::numeric_limits<double>::quiet_NaN(), "a"}, {Step::Idle}},
       {2002, 2001, 2003},
       {"a"}},
      {"fires at its time, not before",
       {{Step::Arm, 10, "a"}, {Step::Advance, 9.5}, {Step::Advance, 0.5}},
       {2002, 2001, 2003},
       {"a"}},
      {"re-arming cancels the first firing",
       {{Step::Arm, 10, "a"}, {Step::Arm, 5, "b"}, {Step::Advance, 20}},
       {2002, 2003, 2002, 2001, 2003},
       {"b"}},
      {"cancel on an idle alarm and a second cancel log nothing",
       {{Step::Cancel}, {Step::Arm, 10, "a"}, {Step::Cancel}, {Step::Cancel}, {Step::Advance, 20}},
       {2002, 2003},
       {}},
      {"an empty block while armed leaves the earlier firing",
       {{Step::Arm, 10, "a"}, {Step::ArmEmpty, 1}, {Step::Advance, 10}},
       {2002, 2000, 2001, 2003},
       {"a"}},
      {"a block that re-arms leaves the alarm armed for the new delay",
       {{Step::ArmRearming, 1, "a"}, {Step::Advance, 1}},
       {2002, 2001, 2003, 2002},
       {"a"},
       true},
      {"a day doubled twenty-four times is clamped, not overflowed",
       {{Step::Arm, day * 16777216.0, "a"}, {Step::Advance, 10 * day}},
       {2002},
       {},
       true},
      {"an infinite delay never fires",
       {{Step::Arm, std::numeric_limits<double>::infinity(), "a"}, {Step::Advance, 10 * day}},
       {2002},
       {},
       true},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::TestEnvironment env;
    monitor()->setDebugModeEnabled(true);
    auto queue = platform::makeSerialQueue("com.ziriza.fira.worker");
    auto alarm = APMAlarm::initWithDispatchQueue(queue, "Measurement timer");
    std::vector<std::string> ran;  // written on `queue` only, read after it is idle
    clearReports();
    for (const auto& step : c.steps) {
      switch (step.kind) {
      case Step::Arm:
        queue->sync([&] {
          alarm->runAfterDelay(step.seconds, [&ran, &step] { ran.push_back(step.block); });
        });
        break;
      case Step::ArmEmpty:
        queue->sync([&] { alarm->runAfterDelay(step.seconds, nullptr); });
        break;
      case Step::ArmRearming:
        queue->sync([&] {
          alarm->runAfterDelay(step.seconds, [&ran, &step, alarm] {
            ran.push_back(step.block);
            alarm->runAfterDelay(60, [&ran] { ran.push_back("again"); });
          });
        });
        break;
      case Step::Cancel:
        queue->sync([&] { alarm->cancel(); });
        break;
      case Step::Advance:
        env.advance(step.seconds);
        break;
      case Step::Idle:
        env.runUntilIdle();
        break;
      }
    }
    env.runUntilIdle();
    std::vector<std::int64_t> codes;
    for (const auto& report : reports()) {
      if (report.code >= 2000 && report.code <= 2004) codes.push_back(report.code);
    }
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(ran, c.ran);
    bool armed = false;
    queue->sync([&] { armed = alarm->hasActiveTimer() && alarm->scheduledTimestamp(); });
    EXPECT_EQ(armed, c.armedAtEnd);
    queue->sync([&] { alarm.reset(); });
  }
}

TEST_F(APMAlarmTest, ReportsCarryTheNameAndTheDelayAndPrintInDebugMode) {
  platform::TestEnvironment env(1000);
  monitor()->setDebugModeEnabled(true);
  auto queue = platform::makeSerialQueue("alarm.test");
  auto alarm = APMAlarm::initWithDispatchQueue(queue, "");
  std::optional<double> scheduled;
  queue->sync([&] {
    alarm->runAfterDelay(2.5, [] {});
    scheduled = alarm->scheduledTimestamp();
  });
  EXPECT_EQ(scheduled, 1002.5);
  env.advance(2.5);
  queue->sync([&] {
    alarm->runAfterDelay(1, nullptr);
    scheduled = alarm->scheduledTimestamp();
  });
  EXPECT_FALSE(scheduled);

  std::vector<std::string> messages;
  for (const auto& report : reports()) {
    if (report.code >= 2000 && report.code <= 2004) {
      messages.push_back(std::to_string(report.level) + " " + report.message);
    }
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"7 Timer scheduled to fire in approx. (s)",
                                                "7 Timer fired", "7 Timer canceled",
                                                "1 Timer tried to schedule an empty block"}));
  for (const auto& report : reports()) {
    if (report.code != 2002) continue;
    ASSERT_EQ(report.contexts.size(), 1u);
    EXPECT_EQ(report.contexts[0], platform::Value(2.5));
  }
  // In debug mode the level-7 lines reach the platform log.
  monitor()->waitForMonitorQueue();
  EXPECT_EQ(linesWithCode("I-ACS002001").size(), 1u);
  EXPECT_EQ(linesWithCode("I-ACS002003").size(), 1u);
  queue->sync([&] { alarm.reset(); });
}

TEST(APMAlarmDelayTest, DelaysBecomeWholeNanosecondsWithinTheTimersRange) {
  const struct {
    double delay;
    double expected;
  } cases[] = {
      {0, 0},
      {-1, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {1.5, 1.5},
      {1e-10, 0},  // below a nanosecond
      {86400.0 * 16777216.0, APMAlarm::kMaximumDelaySeconds},
      {std::numeric_limits<double>::infinity(), APMAlarm::kMaximumDelaySeconds},
      {std::numeric_limits<double>::max(), APMAlarm::kMaximumDelaySeconds},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    EXPECT_EQ(APMAlarm::timerDelayFromDelay(c.delay), c.expected);
  }
  // The largest delay still fits a signed 64-bit nanosecond count.
  EXPECT_LE(APMAlarm::kMaximumDelaySeconds * 1e9,
            static_cast<double>(std::numeric_limits<std::int64_t>::max()));
}

}  // namespace
