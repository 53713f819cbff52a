#include "zevevidi/installations/fir_installations_backoff_controller.h"

#include <gtest/gtest.h>

#include "platform/core/random.h"
#include "platform/dispatch/test_environment.h"

namespace {

TEST(InstallationsBackoffTest, IntervalsFollowTheKindAndTheRunLength) {
  platform::TestEnvironment env;
  platform::ScopedSeededRandom random(7);
  struct Step {
    FIRInstallationsBackoffEvent event;
    double min;  // interval in [min, max)
    double max;
  } steps[] = {
      {FIRInstallationsBackoffEventRecoverableFailure, 2, 3},
      {FIRInstallationsBackoffEventRecoverableFailure, 4, 5},
      {FIRInstallationsBackoffEventRecoverableFailure, 8, 9},
      {FIRInstallationsBackoffEventUnrecoverableFailure, 86400, 86400.0001},
      {FIRInstallationsBackoffEventRecoverableFailure, 2, 3},  // a new kind starts at count 1
      {FIRInstallationsBackoffEventSuccess, 0, 0.0001},
      {FIRInstallationsBackoffEventRecoverableFailure, 2, 3},  // a success ends the run
  };
  FIRInstallationsBackoffController controller;
  EXPECT_TRUE(controller.isNextRequestAllowed());
  for (const auto& step : steps) {
    controller.registerEvent(step.event);
    auto data = controller.lastEventData();
    ASSERT_TRUE(data);
    EXPECT_GE(data->backoffTimeInterval, step.min);
    EXPECT_LT(data->backoffTimeInterval, step.max);
    EXPECT_EQ(data->lastEventDate.secondsSince1970, env.now());
  }

  for (std::int64_t count :
       {std::int64_t{11}, std::int64_t{64}, std::int64_t{1000000}, INT64_MAX}) {
    EXPECT_EQ(FIRInstallationsBackoffController::backoffTimeIntervalWithEvent(
                  FIRInstallationsBackoffEventRecoverableFailure, count),
              1800)
        << count;
  }
  EXPECT_EQ(FIRInstallationsBackoffController::backoffTimeIntervalWithEvent(
                static_cast<FIRInstallationsBackoffEvent>(9), 1),
            0);
}

TEST(InstallationsBackoffTest, AnUnrecoverableFailureBlocksExactlyOneDay) {
  platform::TestEnvironment env;
  FIRInstallationsBackoffController controller;
  controller.registerEvent(FIRInstallationsBackoffEventUnrecoverableFailure);
  EXPECT_FALSE(controller.isNextRequestAllowed());
  env.advance(86399);
  EXPECT_FALSE(controller.isNextRequestAllowed());
  env.advance(1);
  EXPECT_TRUE(controller.isNextRequestAllowed());

  // A long run of recoverable failures waits the cap, and no longer.
  for (int i = 0; i < 70; ++i) {
    controller.registerEvent(FIRInstallationsBackoffEventRecoverableFailure);
  }
  EXPECT_EQ(controller.lastEventData()->eventCount, 70);
  env.advance(1799);
  EXPECT_FALSE(controller.isNextRequestAllowed());
  env.advance(1);
  EXPECT_TRUE(controller.isNextRequestAllowed());
}

TEST(InstallationsBackoffTest, AFixedDateBlocksAfterAnyFailureOnly) {
  FIRInstallationsBackoffController controller([] { return platform::Date{1000}; });
  controller.registerEvent(FIRInstallationsBackoffEventSuccess);
  EXPECT_TRUE(controller.isNextRequestAllowed());
  controller.registerEvent(FIRInstallationsBackoffEventRecoverableFailure);
  EXPECT_FALSE(controller.isNextRequestAllowed());
  controller.registerEvent(FIRInstallationsBackoffEventUnrecoverableFailure);
  EXPECT_FALSE(controller.isNextRequestAllowed());
}

}  // namespace
