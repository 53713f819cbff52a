#include "measurement/engine/apm_analytics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "platform/foundation/file_manager.h"
#include "zevevidi/core/fir_configuration.h"

namespace {

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

class Nothing {};

class APMAnalyticsTest : public engine_testing::EngineTest {
 protected:
  void start(const platform::ValueMap& options = {}, const std::string& appID = "1:1:ios:abc",
             const std::string& origin = "fa") {
    APMAnalytics::startWithAppID(appID, origin, options);
    env_.runUntilIdle();
  }
};

TEST_F(APMAnalyticsTest, CallsQueuedBeforeStartRunAfterTheEngineIsMadeInCallOrder) {
  std::mutex mutex;
  std::vector<std::string> seen;
  for (int i = 0; i < 5; ++i) {
    APMAnalytics::queueOperationWithBlock([&, i] {
      std::lock_guard lock(mutex);
      seen.push_back(std::to_string(i) + (ZEVOveverizuru::hasSharedInstance() ? "+" : "-"));
    });
  }
  // Not held: the serial-queue operations run before start, and the session ID is refused.
  std::atomic<std::int64_t> code{0};
  std::atomic<bool> onSerialQueue{false};
  APMAnalytics::sessionIDWithCompletion(
      [&](std::int64_t, const platform::ErrorPtr& error) { code = error ? error->code : 0; });
  APMAnalytics::dispatchAsyncOnSerialQueue(
      [&] { onSerialQueue = APMAnalytics::isCurrentQueueSerialQueue(); });
  env_.runUntilIdle();
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(code.load(), 13);
  EXPECT_TRUE(onSerialQueue.load());
  EXPECT_FALSE(APMAnalytics::isCurrentQueueSerialQueue());

  start();
  EXPECT_EQ(seen, (std::vector<std::string>{"0+", "1+", "2+", "3+", "4+"}));
  // Once started, queued calls run at once.
  APMAnalytics::queueOperationWithBlock([&] {
    std::lock_guard lock(mutex);
    seen.push_back("after");
  });
  env_.runUntilIdle();
  EXPECT_EQ(seen.back(), "after");
}

TEST_F(APMAnalyticsTest, AWaitingCallHoldsTheNextQueuedCallsForHalfASecond) {
  start();
  std::atomic<int> ran{0};
  APMAnalytics::queueOperationWithBlockThenWait([&] { ran += 1; });
  APMAnalytics::queueOperationWithBlock([&] { ran += 10; });
  env_.runUntilIdle();
  EXPECT_EQ(ran.load(), 1);
  env_.advance(0.49);
  EXPECT_EQ(ran.load(), 1);
  env_.advance(0.01);
  EXPECT_EQ(ran.load(), 11);
}

TEST_F(APMAnalyticsTest, AWaitingCallBeforeStartIsHeldLikeAnyOther) {
  std::atomic<int> ran{0};
  APMAnalytics::queueOperationWithBlockThenWait([&] { ran += 1; });  // returns at once
  env_.runUntilIdle();
  EXPECT_EQ(ran.load(), 0);
  start();
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(APMAnalyticsTest, StartRefusalsLeaveNoEngineAndKeepCallsQueued) {
  struct Case {
    std::string name;
    std::vector<std::string> classes;
    std::string origin;
    std::string appID;
    std::int64_t code;  // 0: none expected
  };
  const std::vector<Case> cases = {
      {"older database class", {"FIRADatabase"}, "fa", "1:1:ios:abc", 25029},
      {"older database class beats the analytics class",
       {"FIRADatabase", "DIDErizevizo"},
       "app",
       "1:1:ios:abc",
       25029},
      {"analytics class and another origin", {"DIDErizevizo"}, "app", "1:1:ios:abc", 25026},
      {"empty app ID", {}, "fa", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetEngineState();
    for (const auto& name : c.classes)
      platform::ClassRegistry::shared().registerClass(name, std::make_shared<Nothing>());
    std::atomic<bool> queuedRan{false};
    APMAnalytics::queueOperationWithBlock([&] { queuedRan = true; });
    start({}, c.appID, c.origin);
    EXPECT_FALSE(ZEVOveverizuru::hasSharedInstance());
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    if (c.code) {
      EXPECT_TRUE(reported(c.code));
      EXPECT_FALSE(queuedRan.load());  // a refused start leaves the queue suspended
    }
    bool exists = platform::FileManager::defaultManager().fileExists(
        APMFilePathForDatabaseName(APMDatabaseFileName));
    EXPECT_FALSE(exists);
  }
}

TEST_F(APMAnalyticsTest, AnalyticsClassWithOriginFaStartsAndTheBannerAsksItsVersion) {
  struct Analytics : DIDErizevizoClass {
    void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration>,
                                FIROptionsPtr) override {}
    std::optional<std::string> topLevelVersion() const override { return "12.0.0"; }
  };
  platform::ClassRegistry::shared().registerClass<DIDErizevizoClass>("DIDErizevizo",
                                                                     std::make_shared<Analytics>());
  std::vector<std::string> banners;
  APMMonitor::setReportTap(
      [&](std::int64_t, std::int64_t code, const std::string& message, const platform::ValueList&) {
        if (code == 23007 || code == 23008) banners.push_back(message);
      });
  start();
  APMMonitor::setReportTap(nullptr);
  ASSERT_TRUE(ZEVOveverizuru::hasSharedInstance());
  ASSERT_EQ(banners.size(), 2u);
  EXPECT_EQ(banners[0], "Analytics v.12.0.0 started");
  EXPECT_NE(banners[1].find("-DIDErizevizoDebugEnabled"), std::string::npos);
}

TEST_F(APMAnalyticsTest, SafelistIsValidatedWhole) {
  struct Case {
    std::string name;
    platform::Value list;
    bool valid;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"not a list", platform::Value("purchase"), false, 25034},
      {"one name too long",
       platform::Value::list({"ok_event", platform::Value(std::string(41, 'a'))}), false, 25035},
      {"a number among names", platform::Value::list({"ok_event", std::int64_t{3}}), false, 25035},
      {"empty list", platform::Value::emptyList(), true, 0},
      {"valid names", platform::Value::list({"_s", "ok_event"}), true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetEngineState();
    start({{platform::Value(APMAnalyticsSafelistedEventsOption), c.list}});
    ASSERT_TRUE(core());
    EXPECT_EQ(core()->safelistedEvents().has_value(), c.valid);
    if (c.code) {
      EXPECT_TRUE(reported(c.code));
    }
    EXPECT_TRUE(core()->isEnabled());  // a dropped list does not stop the start
  }
}

TEST_F(APMAnalyticsTest, EnablingPersistsTheRequestEvenWhenDeactivated) {
  start({{platform::Value(APMAnalyticsCollectionDeactivatedOption), platform::Value(true)}});
  ASSERT_TRUE(core());
  EXPECT_FALSE(core()->isEnabled());
  APMAnalytics::setAnalyticsEnabled(true, true);
  env_.runUntilIdle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
  EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
  EXPECT_FALSE(core()->isEnabled());
  // Disabling while deactivated goes through.
  APMAnalytics::setAnalyticsEnabled(false, true);
  env_.runUntilIdle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
}

TEST_F(APMAnalyticsTest, DisablingWithPersistSwitchesTheEngineOffAndIsKept) {
  start();
  ASSERT_TRUE(core());
  EXPECT_TRUE(reported(23012));
  APMAnalytics::setAnalyticsEnabled(false, true);
  env_.runUntilIdle();
  EXPECT_FALSE(core()->isEnabled());
  EXPECT_TRUE(reported(23013));
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  // The start's first open consumed the launch's mark; the switch-off records its own.
  EXPECT_EQ(APMAnalytics::deferredAnalyticsCollection(), platform::Value(std::int64_t{1}));
}

TEST_F(APMAnalyticsTest, SessionTimeoutRefusesNegativeValuesAndAcceptsZero) {
  APMAnalytics::setSessionTimeoutInterval(-1);
  APMAnalytics::setSessionTimeoutInterval(0);
  env_.runUntilIdle();
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25060, 25059}));
  // Before the engine's components exist, the value waits in the persisted configuration.
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->sessionTimeoutValue(), platform::Value(0.0));
}

TEST_F(APMAnalyticsTest, ConsentIsStoredUnderItsSourcesKeyAndInvalidValuesAreDropped) {
  APMAnalytics::setConsent({{platform::Value("analytics_storage"), platform::Value("maybe")},
                            {platform::Value("ad_storage"), platform::Value("yes")}});
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25042, 25042, 25041}));
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);

  APMAnalytics::setConsent({{platform::Value("analytics_storage"), platform::Value("denied")}},
                           "consent_settings_3p");
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 10);
  ASSERT_TRUE(APMAnalytics::consentSettings3P());
  EXPECT_FALSE(APMAnalytics::consentSettingsTCF());
  EXPECT_FALSE(APMAnalytics::appInstanceID());  // analytics storage denied

  APMAnalytics::setConsent({{platform::Value("ad_storage"), platform::Value("granted")}},
                           "consent_settings_tcf");
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 5);
  EXPECT_TRUE(APMAnalytics::consentSettingsTCF());

  APMAnalytics::clearConsent();
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);
  EXPECT_FALSE(APMAnalytics::consentSettings3P());
}

TEST_F(APMAnalyticsTest, ConfigurationNotificationSwitchesCollectionWithoutPersisting) {
  static int configuration;
  start();
  APMAnalytics::observeNotificationsForAnalyticsConfiguration(&configuration);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      APMAnalyticsSetEnabledNotification, &configuration,
      {{platform::Value(APMAnalyticsSetEnabledNotification), platform::Value(false)}});
  env_.runUntilIdle();
  EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      APMAnalyticsSetEnabledNotification, &configuration,
      {{platform::Value(APMAnalyticsSetEnabledNotification), platform::Value("yes")}});
  env_.runUntilIdle();
  EXPECT_TRUE(reported(25000));
  APMAnalytics::observeNotificationsForAnalyticsConfiguration(nullptr);
}

TEST_F(APMAnalyticsTest, StoreTransactionsReachTheFacadeOnceStarted) {
  start();
  EXPECT_EQ(platform::storekit::PaymentQueue::defaultQueue().transactionObserverCount(), 1u);
}

}  // namespace
