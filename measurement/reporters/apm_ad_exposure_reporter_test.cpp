// The ad exposure reporter under the mock clock, with the engine's hooks replaced by a scripted
// screen and activity, and the internal events caught at their entry.
#include "measurement/reporters/apm_ad_exposure_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;

struct Logged {
  std::string origin, name;
  platform::ValueMap parameters;
};

platform::ValueMap screen(const char* name, std::int64_t instance) {
  return {{Value("_sn"), Value(name)}, {Value("_si"), Value(instance)}};
}

class AdExposureReporterTest : public apm_testing::StorageTest {
 protected:
  AdExposureReporterTest() {
    APMSetInternalEventSink([this](const std::string& origin, const std::string& name,
                                   const platform::ValueMap& parameters) {
      std::lock_guard lock(mutex_);
      events_.push_back({origin, name, parameters});
    });
    APMAdExposureReporter::setHooks({[this] {
                                       std::lock_guard lock(mutex_);
                                       return screen_;
                                     },
                                     [this] { return active_.load(); }});
  }
  ~AdExposureReporterTest() override {
    env_.runUntilIdle();
    reporter_.reset();
    APMAdExposureReporter::setHooks({});
    APMSetInternalEventSink(nullptr);
  }

  std::vector<Logged> events() {
    env_.runUntilIdle();
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<Logged> take() {
    auto out = events();
    std::lock_guard lock(mutex_);
    events_.clear();
    return out;
  }
  std::int64_t count(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::count(codes.begin(), codes.end(), code);
  }

  platform::TestEnvironment env_{1'700'000'000};
  std::mutex mutex_;
  platform::ValueMap screen_ = screen("A", 11);
  std::atomic<bool> active_{true};
  std::vector<Logged> events_;
  std::shared_ptr<APMAdExposureReporter> reporter_ = std::make_shared<APMAdExposureReporter>();
};

platform::ValueMap with(platform::ValueMap map, const char* key, Value value) {
  map[Value(key)] = std::move(value);
  return map;
}

TEST_F(AdExposureReporterTest, ExposureOfOneUnitIsLoggedFromOneSecond) {
  struct Case {
    const char* what;
    double seconds;
    bool active;
    std::int64_t expectedMs;  // 0: nothing logged
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {"5 s", 5.0, true, 5000, {}},
      {"1 s", 1.0, true, 1000, {}},
      {"999.9 ms", 0.9999, true, 0, {1009, 1006}},
      {"inactive", 5.0, false, 0, {1011, 1010}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clearReports();
    active_ = c.active;
    reporter_->beginAdUnitExposure("u1");
    env_.advance(c.seconds);
    reporter_->endAdUnitExposure("u1");
    const auto logged = take();
    if (c.expectedMs == 0) {
      EXPECT_TRUE(logged.empty());
    } else {
      ASSERT_EQ(logged.size(), 2u);
      EXPECT_EQ(logged[0].origin, "am");
      EXPECT_EQ(logged[0].name, "_xu");
      EXPECT_EQ(logged[0].parameters,
                with(with(screen_, "_ai", Value("u1")), "_xt", Value(c.expectedMs)));
      EXPECT_EQ(logged[1].origin, "am");
      EXPECT_EQ(logged[1].name, "_xa");
      EXPECT_EQ(logged[1].parameters, with(screen_, "_xt", Value(c.expectedMs)));
    }
    for (const auto code : c.codes) {
      EXPECT_EQ(count(code), 1) << code;
    }
  }
}

TEST_F(AdExposureReporterTest, NestingAndTheUnitLimit) {
  // Two begins and one end log nothing; the second end logs the whole time.
  reporter_->beginAdUnitExposure("u1");
  env_.advance(1);
  reporter_->beginAdUnitExposure("u1");
  env_.advance(1);
  reporter_->endAdUnitExposure("u1");
  EXPECT_TRUE(take().empty());
  env_.advance(1);
  reporter_->endAdUnitExposure("u1");
  auto logged = take();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].parameters.at(Value("_xt")), Value(std::int64_t{3000}));
  EXPECT_EQ(logged[1].name, "_xa");

  // An end for a unit never begun changes nothing.
  reporter_->endAdUnitExposure("u1");
  EXPECT_EQ(count(1004), 1);

  // The 101st unit is refused, and so is a repeat of a tracked one at the limit.
  for (int i = 0; i < 100; ++i)
    reporter_->beginAdUnitExposure("unit-" + std::to_string(i));
  reporter_->beginAdUnitExposure("unit-100");
  reporter_->beginAdUnitExposure("unit-0");
  env_.runUntilIdle();
  EXPECT_EQ(count(1002), 2);
  env_.advance(2);
  reporter_->endAdUnitExposure("unit-0");
  reporter_->endAdUnitExposure("unit-100");
  logged = take();
  ASSERT_EQ(logged.size(), 1u) << "unit-0 was not nested; unit-100 is unknown";
  EXPECT_EQ(logged[0].parameters.at(Value("_ai")), Value("unit-0"));
  EXPECT_EQ(count(1004), 2);
}

TEST_F(AdExposureReporterTest, AScreenChangeReportsEverySliceWithThePreviousScreen) {
  reporter_->beginAdUnitExposure("a");
  reporter_->beginAdUnitExposure("b");
  env_.advance(2);
  const platform::ValueMap previous = screen("A", 11);
  {
    std::lock_guard lock(mutex_);
    screen_ = screen("B", 12);
  }
  reporter_->handleScreenDidChangeFromScreenParameters(&previous);
  auto logged = take();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0].parameters, with(with(previous, "_ai", Value("a")), "_xt", Value(2000)));
  EXPECT_EQ(logged[1].parameters, with(with(previous, "_ai", Value("b")), "_xt", Value(2000)));
  EXPECT_EQ(logged[2].name, "_xa");
  EXPECT_EQ(logged[2].parameters, with(previous, "_xt", Value(2000)));

  // The slices restarted at the change, and the end takes the current screen.
  env_.advance(1.5);
  reporter_->endAdUnitExposure("a");
  logged = take();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].parameters,
            with(with(screen("B", 12), "_ai", Value("a")), "_xt", Value(1500)));

  // A first screen (no previous one) reports nothing.
  env_.advance(5);
  reporter_->handleScreenDidChangeFromScreenParameters(nullptr);
  EXPECT_TRUE(take().empty());
}

TEST_F(AdExposureReporterTest, OnlyActiveTimeCountsAndTheWallClockDoesNot) {
  reporter_->beginAdUnitExposure("u1");
  env_.advance(2);
  reporter_->handleAppWillResignActiveWithScreenParameters(screen("R", 13));
  auto logged = take();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].parameters,
            with(with(screen("R", 13), "_ai", Value("u1")), "_xt", Value(2000)));

  // An hour away, then active again: only the time since counts.
  env_.advance(3600);
  reporter_->handleAppDidBecomeActive();
  env_.advance(1.5);
  // The wall clock is set an hour forward, then an hour back: the uptime clock ignores both.
  env_.setWallClock(env_.now() + 3600);
  env_.advance(1);
  env_.setWallClock(env_.now() - 7200);
  reporter_->endAdUnitExposure("u1");
  logged = take();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].parameters.at(Value("_xt")), Value(std::int64_t{2500}));
  EXPECT_EQ(logged[1].parameters.at(Value("_xt")), Value(std::int64_t{2500}));
}

TEST_F(AdExposureReporterTest, TheEngagementNotificationCutsASlice) {
  reporter_->beginAdUnitExposure("u1");
  env_.advance(3600);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      APMAdExposureEngagementNotification);
  auto logged = take();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].parameters,
            with(with(screen_, "_ai", Value("u1")), "_xt", Value(std::int64_t{3'600'000})));
  env_.advance(2);
  reporter_->endAdUnitExposure("u1");
  logged = take();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].parameters.at(Value("_xt")), Value(std::int64_t{2000}));
}

}  // namespace
