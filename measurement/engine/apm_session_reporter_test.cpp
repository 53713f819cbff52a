// Sessions and engagement, and screen views, through the real facade, core and database under
// the mock clock: application notifications are posted as the application object posts them,
// and what reaches the raw_events table is read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_value.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/notification_center.h"

namespace {

using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

struct StoredEvent {
  std::string name;
  ValueMap parameters;
  double timestamp;

  bool has(const char* key) const { return parameters.count(Value(key)) != 0; }
  Value at(const char* key) const {
    const auto it = parameters.find(Value(key));
    return it == parameters.end() ? Value() : it->second;
  }
  std::int64_t integer(const char* key) const {
    const auto value = at(key);
    return value.isInt() ? value.asInt() : std::numeric_limits<std::int64_t>::min();
  }
};

struct PropertyHandOver {
  Value value;
  std::string name;
  std::string origin;
};

class SessionAndScreenTest : public engine_testing::EngineTest {
 protected:
  SessionAndScreenTest() {
    APMSessionReporter::setInternalUserPropertySinkForTesting(
        [this](const Value& value, const std::string& name, const std::string& origin) {
          std::lock_guard lock(mutex_);
          handedOver_.push_back({value, name, origin});
        });
  }
  ~SessionAndScreenTest() override {
    APMSessionReporter::setInternalUserPropertySinkForTesting(nullptr);
    if (listenerToken_ != 0) APMAnalytics::removeLogEventListener(listenerToken_);
    auto& center = platform::NotificationCenter::defaultCenter();
    for (const auto& token : observers_)
      center.removeObserver(token);
  }

  void start(const std::vector<std::pair<APMSetting, std::string>>& settingValues = {}) {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    ASSERT_TRUE(core()->sessionReporter());
    dropLaunchEvents();
    // An upload a moment ago puts the next one an hour away, so the stored events these tests
    // read stay raw events while the clock moves by minutes.
    onWorker([&] { core()->persistedConfig()->setLastSuccessfulUploadTimestamp(env_.now()); });
    if (!settingValues.empty()) settings(settingValues);
  }

  void settings(const std::vector<std::pair<APMSetting, std::string>>& pairs) {
    std::vector<std::pair<std::string, std::string>> named;
    for (const auto& [setting, value] : pairs)
      named.emplace_back(APMRemoteConfigSetting(setting).key, value);
    auto config = measurementConfigWithSettings(kAppID, 1, named);
    bool updated = false;
    onWorker([&] { updated = core()->remoteConfigInstance()->updateMeasurementConfig(config); });
    ASSERT_TRUE(updated);
  }

  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }

  void post(const std::string& name) {
    platform::NotificationCenter::defaultCenter().postNotificationName(name);
    env_.runUntilIdle();
  }
  void becomeActive() { post(APMApplicationDidBecomeActiveNotification()); }
  void resignActive() { post(APMApplicationWillResignActiveNotification()); }

  void screenView(const ValueMap& parameters) {
    APMAnalytics::logEventWithName("screen_view", parameters);
    env_.runUntilIdle();
  }

  std::vector<StoredEvent> stored(const std::string& name = {}) {
    std::vector<StoredEvent> out;
    onWorker([&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      ASSERT_TRUE(rows);
      for (const auto& raw : *rows) {
        auto event = APMEvent::initWithEventProto(*raw->rawEvent());
        ASSERT_TRUE(event);
        if (name.empty() || event->name() == name) {
          out.push_back({event->name(), event->parameters(), event->timestamp()});
        }
      }
    });
    return out;
  }

  std::vector<PropertyHandOver> handedOver() {
    std::lock_guard lock(mutex_);
    return handedOver_;
  }

  // "fire" for each engagement timer notification, the name of each event that reaches the
  // listeners, in the order they happen.
  void recordTimeline() {
    observers_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
        kAPMSessionReporterEngagementTimerDidFire, nullptr, [this](const platform::Notification&) {
          std::lock_guard lock(mutex_);
          timeline_.push_back("fire");
        }));
    listenerToken_ = APMAnalytics::addLogEventListener([this](const std::shared_ptr<APMEvent>& e) {
      std::lock_guard lock(mutex_);
      timeline_.push_back(e->name());
    });
  }
  std::vector<std::string> timeline() {
    std::lock_guard lock(mutex_);
    return timeline_;
  }

  std::shared_ptr<APMPersistedConfig> persisted() { return core()->persistedConfig(); }

 private:
  std::mutex mutex_;
  std::vector<PropertyHandOver> handedOver_;
  std::vector<std::string> timeline_;
  std::vector<platform::NotificationToken> observers_;
  std::int64_t listenerToken_ = 0;
};

// ---- Sessions ----

TEST_F(SessionAndScreenTest, TheFirstActivationStartsSessionOneAndHandsOverItsProperties) {
  start();
  const double activatedAt = env_.now();
  becomeActive();

  const auto starts = stored("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].integer("_sid"), static_cast<std::int64_t>(activatedAt));
  EXPECT_EQ(starts[0].integer("_sno"), 1);
  EXPECT_EQ(starts[0].at("_o"), Value("auto"));
  EXPECT_EQ(persisted()->sessionNumber(), 1);

  // The old session's properties are removed first, then "_sid" and "_sno" are set, in that
  // order, as the library's own ("auto").
  const auto properties = handedOver();
  ASSERT_EQ(properties.size(), 4u);
  EXPECT_EQ(properties[0].name, "_sid");
  EXPECT_TRUE(properties[0].value.isNull());
  EXPECT_EQ(properties[1].name, "_sno");
  EXPECT_TRUE(properties[1].value.isNull());
  EXPECT_EQ(properties[2].name, "_sid");
  EXPECT_EQ(properties[2].value, Value(static_cast<std::int64_t>(activatedAt)));
  EXPECT_EQ(properties[3].name, "_sno");
  EXPECT_EQ(properties[3].value, Value(std::int64_t{1}));
  for (const auto& property : properties)
    EXPECT_EQ(property.origin, "auto");
}

TEST_F(SessionAndScreenTest, OnlyAGapLongerThanTheTimeoutStartsANewSession) {
  struct Case {
    double gap;
    std::int64_t expectedSessions;
  };
  for (const Case& c : {Case{1800.0, 1}, Case{1800.5, 2}}) {
    SCOPED_TRACE(c.gap);
    resetEngineState();
    start();
    becomeActive();
    env_.advance(10);
    resignActive();
    env_.advance(c.gap);
    becomeActive();
    const auto starts = stored("_s");
    ASSERT_EQ(static_cast<std::int64_t>(starts.size()), c.expectedSessions);
    EXPECT_EQ(starts.back().integer("_sno"), c.expectedSessions);
    EXPECT_EQ(persisted()->sessionNumber(), c.expectedSessions);
    // Resigning reported the ten seconds in front of the user.
    const auto engagement = stored("_e");
    ASSERT_FALSE(engagement.empty());
    EXPECT_EQ(engagement.front().integer("_et"), 10000);
  }
}

TEST_F(SessionAndScreenTest, TwoActiveHoursGiveTwoEngagementEventsEachAfterTheTimer) {
  start();
  recordTimeline();
  becomeActive();
  env_.advance(7200);

  const auto engagement = stored("_e");
  ASSERT_EQ(engagement.size(), 2u);
  for (const auto& e : engagement) {
    EXPECT_EQ(e.integer("_et"), 3600000);
    EXPECT_EQ(e.at("_o"), Value("auto"));
  }
  std::vector<std::string> order;
  for (const auto& entry : timeline())
    if (entry == "fire" || entry == "_e") order.push_back(entry);
  EXPECT_EQ(order, (std::vector<std::string>{"fire", "_e", "fire", "_e"}));
  EXPECT_TRUE(core()->sessionReporter()->hasScheduledEngagementTimer());
}

TEST_F(SessionAndScreenTest, OneEngagementEventCarriesAtMostAnHour) {
  // Timer period 10000 s (configured in milliseconds), so 5000 s pass without a timer run and
  // resigning reports them, cut to one hour.
  start({{APMSetting::SessionEventUserEngagementInterval, "10000000"}});
  becomeActive();
  env_.advance(5000);
  resignActive();
  const auto engagement = stored("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(engagement[0].integer("_et"), 3600000);
  EXPECT_FALSE(core()->sessionReporter()->hasScheduledEngagementTimer());
}

TEST_F(SessionAndScreenTest, AWallClockStepChangesNoEngagementTime) {
  // Engagement is measured on the monotonic clock: the wall clock moving an hour back or forward
  // while the application is in front neither makes it negative nor adds the hour.
  for (const double step : {-3600.0, 3600.0}) {
    SCOPED_TRACE(step);
    resetEngineState();
    start();
    becomeActive();
    env_.advance(10);
    env_.setWallClock(env_.now() + step);
    env_.advance(5);
    resignActive();
    const auto engagement = stored("_e");
    ASSERT_EQ(engagement.size(), 1u);
    EXPECT_EQ(engagement[0].integer("_et"), 15000);
    EXPECT_FALSE(reported(33004));
  }
}

TEST_F(SessionAndScreenTest, SessionExpiryComparesTheAbsoluteGapStrictly) {
  start();
  const auto reporter = core()->sessionReporter();
  EXPECT_EQ(reporter->timeoutSessionInterval(), 1800);
  struct Case {
    std::optional<double> lastActivityOffset;  // none: never stored
    bool expired;
  };
  for (const Case& c : {Case{std::nullopt, true}, Case{-1800.0, false}, Case{-1800.5, true},
                        Case{1800.0, false}, Case{1801.0, true}}) {
    if (c.lastActivityOffset) {
      persisted()->setLastSessionActivityClockTime(env_.now() + *c.lastActivityOffset);
    } else {
      persisted()->clearValues();
    }
    EXPECT_EQ(reporter->isSessionExpired(), c.expired)
        << (c.lastActivityOffset ? *c.lastActivityOffset : -1);
  }
  // extendSession moves the last activity only while the session lives.
  persisted()->setLastSessionActivityClockTime(env_.now() - 100);
  EXPECT_TRUE(reporter->extendSession());
  EXPECT_EQ(persisted()->lastSessionActivityClockTime(), env_.now());
  persisted()->setLastSessionActivityClockTime(env_.now() - 5000);
  EXPECT_FALSE(reporter->extendSession());
  EXPECT_EQ(persisted()->lastSessionActivityClockTime(), env_.now() - 5000);

  reporter->setTimeoutSessionInterval(-5);
  EXPECT_TRUE(reported(33001));
  EXPECT_EQ(reporter->timeoutSessionInterval(), 0);
  persisted()->setLastSessionActivityClockTime(env_.now() - 0.5);
  EXPECT_TRUE(reporter->isSessionExpired());
}

TEST_F(SessionAndScreenTest, ATimeoutHandedOverBeforeStartIsUsedOnce) {
  APMPersistedConfig::sharedInstance()->setSessionTimeoutValue(Value(60.0));
  start();
  EXPECT_EQ(core()->sessionReporter()->timeoutSessionInterval(), 60);
  EXPECT_TRUE(persisted()->sessionTimeoutValue().isNull());
  // Set after start, through the facade, it reaches the running reporter.
  APMAnalytics::setSessionTimeoutInterval(120);
  env_.runUntilIdle();
  EXPECT_EQ(core()->sessionReporter()->timeoutSessionInterval(), 120);
}

TEST_F(SessionAndScreenTest, NothingIsLoggedBeforeTheApplicationIsActiveOrWhileReportingIsOff) {
  start();
  const auto reporter = core()->sessionReporter();
  reporter->logSessionStartEvent();
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  env_.runUntilIdle();
  EXPECT_TRUE(reported(33005));
  EXPECT_TRUE(reported(33006));
  EXPECT_EQ(persisted()->sessionNumber(), 0);

  // Collection off: the reporter stays quiet even when the application becomes active.
  APMAnalytics::setAnalyticsEnabled(false);
  env_.runUntilIdle();
  EXPECT_FALSE(reporter->isReportingEnabled());
  becomeActive();
  env_.advance(7200);
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(persisted()->sessionNumber(), 0);
}

TEST_F(SessionAndScreenTest, ScreenChangesReportEngagementOnlyAfterASecond) {
  struct Case {
    const char* name;
    bool efficient;
    bool redundantRemoval;
    double engaged;
    std::int64_t expectedEvents;
    bool freeRide;
  };
  for (const Case& c :
       {Case{"short", false, false, 0.5, 0, false}, Case{"plain", false, false, 3, 1, false},
        Case{"efficient", true, false, 3, 1, true},
        Case{"efficient, redundant removed", true, true, 3, 0, false}}) {
    SCOPED_TRACE(c.name);
    resetEngineState();
    start({{APMSetting::EfficientEngagementReportingEnabled, c.efficient ? "1" : "0"},
           {APMSetting::RedundantEngagementRemovalEnabled, c.redundantRemoval ? "1" : "0"}});
    becomeActive();
    screenView({{Value("screen_name"), Value("A")}, {Value("screen_class"), Value("CA")}});
    env_.advance(c.engaged);
    screenView({{Value("screen_name"), Value("B")}, {Value("screen_class"), Value("CB")}});
    const auto engagement = stored("_e");
    ASSERT_EQ(static_cast<std::int64_t>(engagement.size()), c.expectedEvents);
    if (c.expectedEvents == 0) continue;
    // The event describes the screen left behind.
    EXPECT_EQ(engagement[0].at("_sn"), Value("A"));
    EXPECT_EQ(engagement[0].at("_sc"), Value("CA"));
    EXPECT_EQ(engagement[0].integer("_et"), static_cast<std::int64_t>(c.engaged * 1000));
    EXPECT_EQ(engagement[0].has("_fr"), c.freeRide);
    if (c.freeRide) {
      // The free ride was left alone, so B's "_vs" still covers those seconds.
      const auto views = stored("_vs");
      ASSERT_EQ(views.size(), 2u);
      EXPECT_EQ(views[1].integer("_et"), static_cast<std::int64_t>(c.engaged * 1000));
    }
  }
}

TEST_F(SessionAndScreenTest, ABackgroundEventWithExtendSessionStartsOrExtendsTheSession) {
  start({{APMSetting::AppInBackgroundParameterEnabled, "1"}});
  // Never active, no session yet: the event starts one, marked as in the background.
  APMAnalytics::logEventWithName("sync", {{Value("extend_session"), Value(std::int64_t{1})}});
  env_.runUntilIdle();
  auto starts = stored("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].integer("_sno"), 1);
  EXPECT_EQ(starts[0].integer("_aib"), 1);
  EXPECT_EQ(persisted()->lastSessionActivityClockTime(), env_.now());

  // Within the timeout the same parameter extends it instead.
  // The upload the event scheduled would bundle away the rows read below.
  core()->alarm()->cancel();
  env_.advance(600);
  APMAnalytics::logEventWithName("sync", {{Value("extend_session"), Value(std::int64_t{1})}});
  env_.runUntilIdle();
  EXPECT_EQ(stored("_s").size(), 1u);
  EXPECT_EQ(persisted()->lastSessionActivityClockTime(), env_.now());
  EXPECT_EQ(stored("sync").size(), 2u);
}

TEST_F(SessionAndScreenTest, AnExpiredSessionTakesItsPropertiesOutOfTheDatabase) {
  start();
  // Each round stores some properties and logs a background event; every session property must
  // be gone after it, also when stored alone and when stored again after an earlier removal.
  const std::vector<std::vector<const char*>> rounds = {
      {"_sid", "_sno", "_se", "_fot"}, {"_se"}, {"_sno"}, {"_sid", "_fot"}, {}};
  std::size_t logged = 0;
  for (const auto& round : rounds) {
    onWorker([&] {
      platform::ErrorPtr error;
      for (const char* name : round) {
        auto attribute =
            APMUserAttribute::initWithOrigin("auto", name, APMValue(std::int64_t{7}), env_.now());
        ASSERT_TRUE(attribute);
        ASSERT_TRUE(core()->database()->updateUserAttribute(attribute.get(), &error)) << name;
      }
    });
    APMAnalytics::logEventWithName("level_up", {});
    env_.runUntilIdle();
    ++logged;
    std::vector<std::string> left;
    onWorker([&] {
      platform::ErrorPtr error;
      for (const char* name : {"_sid", "_sno", "_se", "_fot"}) {
        if (core()->database()->userAttributeWithName(name, &error)) left.push_back(name);
      }
    });
    EXPECT_EQ(left, std::vector<std::string>{"_fot"}) << "round " << logged;
    EXPECT_EQ(stored("level_up").size(), logged) << "round " << logged;
  }
}

// ---- Screen views ----

TEST_F(SessionAndScreenTest, ASecondScreenViewCarriesTheFirstAsPreviousScreen) {
  start();
  becomeActive();
  const double loggedAt = env_.now();
  screenView({{Value("screen_name"), Value("A")},
              {Value("screen_class"), Value("CA")},
              {Value("level"), Value(std::int64_t{3})}});
  screenView({{Value("screen_name"), Value("B")}, {Value("screen_class"), Value("CB")}});

  const auto views = stored("_vs");
  ASSERT_EQ(views.size(), 2u);
  const auto& a = views[0];
  const auto& b = views[1];
  EXPECT_EQ(a.at("_sn"), Value("A"));
  EXPECT_EQ(a.at("_sc"), Value("CA"));
  EXPECT_EQ(a.integer("level"), 3);  // the application's own parameters stay
  EXPECT_FALSE(a.has("screen_name"));
  EXPECT_FALSE(a.has("_pi"));
  EXPECT_FALSE(a.has("_et"));
  EXPECT_EQ(a.timestamp, loggedAt);
  EXPECT_EQ(b.at("_pi"), a.at("_si"));
  EXPECT_EQ(b.at("_pn"), Value("A"));
  EXPECT_EQ(b.at("_pc"), Value("CA"));
  EXPECT_EQ(b.integer("_si"), a.integer("_si") + 1);
  for (const auto& view : views) {
    EXPECT_EQ(view.integer("_mst"), 1);
    EXPECT_EQ(view.at("_o"), Value("app"));
  }
  EXPECT_TRUE(stored("screen_view").empty());

  // Other events carry the current screen.
  APMAnalytics::logEventWithName("level_up", {});
  env_.runUntilIdle();
  const auto others = stored("level_up");
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0].at("_si"), b.at("_si"));
  EXPECT_EQ(others[0].at("_sn"), Value("B"));
  EXPECT_EQ(others[0].at("_sc"), Value("CB"));
}

TEST_F(SessionAndScreenTest, AnInvalidScreenIsRefusedAndTheCurrentScreenStays) {
  start();
  becomeActive();
  screenView({{Value("screen_name"), Value("A")}});
  const std::string tooLong(1000, 'x');
  struct Case {
    const char* key;
    Value value;
    std::int64_t code;
  };
  for (const Case& c : {Case{"screen_name", Value(tooLong), 31027},
                        Case{"screen_name", Value(std::int64_t{5}), 31027},
                        Case{"screen_class", Value(""), 31028}}) {
    SCOPED_TRACE(c.key);
    clearReports();
    screenView({{Value(c.key), c.value}});
    EXPECT_TRUE(reported(c.code));
  }
  EXPECT_EQ(stored("_vs").size(), 1u);
  std::optional<std::string> name, screenClass;
  ASSERT_TRUE(APMScreenViewReporter::sharedInstance()->getScreenName(&name, &screenClass));
  EXPECT_EQ(name, "A");
  EXPECT_EQ(screenClass, std::nullopt);
}

TEST_F(SessionAndScreenTest, ScreenViewsAreReportedBeforeActivationAndAfterResigning) {
  start();
  screenView({{Value("screen_class"), Value("Only")}});
  becomeActive();
  resignActive();
  screenView({{Value("screen_name"), Value("Later")}});
  const auto views = stored("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(views[0].at("_sc"), Value("Only"));
  EXPECT_FALSE(views[0].has("_sn"));
  EXPECT_EQ(views[1].at("_sn"), Value("Later"));
}

TEST_F(SessionAndScreenTest, EfficientEngagementGivesTheSecondScreenViewItsTime) {
  start({{APMSetting::EfficientEngagementReportingEnabled, "1"},
         {APMSetting::RedundantEngagementRemovalEnabled, "1"}});
  becomeActive();
  screenView({{Value("screen_name"), Value("A")}});
  env_.advance(2.5);
  screenView({{Value("screen_name"), Value("B")}});
  const auto views = stored("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_FALSE(views[0].has("_et"));
  EXPECT_EQ(views[1].integer("_et"), 2500);
}

TEST(ScreenParametersTest, InvalidOrEmptyClassesAreLeftOutWithTheirCode) {
  const std::string tooLong(1000, 'x');
  struct Case {
    std::optional<std::string> name;
    std::optional<std::string> screenClass;
    std::vector<std::string> keys;
    std::vector<std::string> previousKeys;
  };
  for (const Case& c :
       {Case{"N", "C", {"_sc", "_si", "_sn"}, {"_pc", "_pi", "_pn"}},
        Case{"N", std::nullopt, {"_si", "_sn"}, {"_pi", "_pn"}},
        Case{"N", "", {"_si", "_sn"}, {"_pi", "_pn"}}, Case{"N", tooLong, {"_si"}, {"_pi", "_pn"}},
        Case{tooLong, "C", {"_sc", "_si"}, {"_pc", "_pi"}}}) {
    const auto screen = APMScreen::initWithName(c.name, c.screenClass, 42);
    std::vector<std::string> keys, previousKeys;
    for (const auto& [key, value] : APMScreenParameters(screen))
      keys.push_back(key.asString());
    for (const auto& [key, value] : APMPreviousScreenParameters(screen))
      previousKeys.push_back(key.asString());
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(previousKeys, c.previousKeys);
  }
  EXPECT_FALSE(APMIsScreenReportingEnabled());
}

// A registered ad exposure reporter hears activation, resignation and screen changes.
class RecordingAdExposure : public APMAdExposureReporterClass {
 public:
  void handleAppDidBecomeActive() override { calls.push_back("active"); }
  void handleAppWillResignActiveWithScreen(const APMScreen*) override { calls.push_back("resign"); }
  void handleScreenDidChangeFromScreen(const APMScreen* previous, const APMScreen* next) override {
    calls.push_back(std::string("change ") + (previous ? *previous->name : "-") + ">" +
                    (next && next->name ? *next->name : "-"));
  }
  std::vector<std::string> calls;
};

TEST_F(SessionAndScreenTest, TheAdExposureReporterIsReachedThroughTheClassRegistry) {
  start();
  // The start registered the commerce reporters' ad exposure reporter; a recorder takes its place.
  EXPECT_TRUE(platform::ClassRegistry::shared().contains(APMAdExposureReporterClassName));
  platform::ClassRegistry::shared().unregisterClass(APMAdExposureReporterClassName);
  becomeActive();  // nothing registered: the relay is skipped
  auto recorder = std::make_shared<RecordingAdExposure>();
  platform::ClassRegistry::shared().registerClass<APMAdExposureReporterClass>(
      APMAdExposureReporterClassName, recorder);
  becomeActive();
  screenView({{Value("screen_name"), Value("A")}});
  screenView({{Value("screen_name"), Value("B")}});
  resignActive();
  EXPECT_EQ(recorder->calls,
            (std::vector<std::string>{"active", "change ->A", "change A>B", "resign"}));
}

TEST(ScreenInstanceTest, TheInstanceCounterWrapsAtTheLargestValue) {
  APMScreenViewReporter reporter;
  reporter.setScreenInstanceIDForTesting(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(reporter.incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(reporter.incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min() + 1);
}

}  // namespace
