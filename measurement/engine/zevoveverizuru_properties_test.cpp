// User properties, first open, ad personalization, reset and the application-state handling of
// the measurement core, on a real database under the mock clock.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_user_attribute.h"
#include "platform/foundation/bundle.h"

namespace {

using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

struct StoredEvent {
  std::string name;
  ValueMap parameters;
  std::int64_t integer(const std::string& key) const {
    const auto found = parameters.find(Value(key));
    return found != parameters.end() && found->second.ifInt() ? *found->second.ifInt() : -1;
  }
  bool has(const std::string& key) const { return parameters.count(Value(key)) != 0; }
};

class PropertiesTest : public engine_testing::EngineTest {
 protected:
  ~PropertiesTest() override {
    platform::Bundle::setMainForTesting(nullptr);
    APMProcessMonitor()->setVerboseLoggingEnabled(false);
  }

  void start() {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
  }
  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
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
        if (name.empty() || event->name() == name)
          out.push_back({event->name(), event->parameters()});
      }
    });
    return out;
  }
  std::shared_ptr<APMUserAttribute> property(const std::string& name) {
    std::shared_ptr<APMUserAttribute> out;
    onWorker([&] {
      platform::ErrorPtr error;
      out = core()->database()->userAttributeWithName(name, &error);
    });
    return out;
  }
  bool set(const std::string& origin, const std::string& name, APMValue value) {
    bool ok = false;
    onWorker([&] {
      ok = core()->setUserPropertyInDatabaseOnWorkerQueue(
          std::make_shared<APMUserAttribute>(origin, name, std::move(value), env_.now()));
    });
    return ok;
  }
  std::vector<std::int64_t> errorCodes() {
    std::vector<std::int64_t> out;
    for (const auto& event : stored("_err"))
      out.push_back(event.integer("_err"));
    return out;
  }
};

TEST_F(PropertiesTest, FirstStartLogsFirstOpenWithItsPropertiesAndARestartDoesNot) {
  env_.setWallClock(1700000000.5);
  APMAnalytics::setLoadTimestamp(1700000000.5);
  start();
  const auto firstOpen = stored("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_EQ(firstOpen[0].integer("_pfo"), 0);
  EXPECT_EQ(firstOpen[0].integer("_uwa"), 0);
  EXPECT_FALSE(firstOpen[0].has("_pduz"));
  const auto engagement = stored("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(engagement[0].integer("_et"), 1);
  const auto fot = property("_fot");
  ASSERT_TRUE(fot);
  // Rounded up to the next whole hour.
  EXPECT_EQ(fot->value().int64Value(), 1700002800000);
  ASSERT_TRUE(property("_fi"));
  EXPECT_EQ(property("_fi")->value().int64Value(), 1);
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds(), 1700000000500);

  // A new process on the same data: no second first open; the count of earlier ones is kept.
  ZEVOveverizuru::resetSharedInstanceForTesting();
  APMAnalytics::resetForTesting();
  env_.runUntilIdle();
  start();
  EXPECT_EQ(stored("_f").size(), 1u);
  EXPECT_EQ(core()->previousFirstOpenCount(), "1");
}

TEST_F(PropertiesTest, FirstOpenAfterTheDatabaseAloneWasLostCountsTheEarlierOne) {
  start();
  ZEVOveverizuru::resetSharedInstanceForTesting();
  APMAnalytics::resetForTesting();
  env_.runUntilIdle();
  start();  // raises the persisted count to 1
  ZEVOveverizuru::resetSharedInstanceForTesting();
  APMAnalytics::resetForTesting();
  env_.runUntilIdle();
  platform::ErrorPtr ignored;
  APMDeleteFile(APMFilePathForDatabaseName(APMDatabaseFileName), &ignored);
  start();
  const auto firstOpen = stored("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_EQ(firstOpen[0].integer("_pfo"), 1);
  EXPECT_EQ(firstOpen[0].integer("_uwa"), 0);
  EXPECT_EQ(property("_fi")->value().int64Value(), 1);
}

TEST_F(PropertiesTest, AChangedAppVersionLogsAnAppUpdateWithTheOldVersion) {
  start();
  dropLaunchEvents();
  const auto running = core()->identity()->appVersion();
  const struct {
    std::optional<std::string> persisted;
    bool logged;
  } cases[] = {{std::string(), false}, {std::string("0.0.1-old"), true}, {running, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.persisted.value_or("none"));
    dropLaunchEvents();
    APMPersistedConfig::sharedInstance()->setAppVersion(c.persisted);
    onWorker([&] { core()->reportAppUpdateOnWorkerQueue(); });
    const auto updates = stored("_au");
    ASSERT_EQ(updates.size(), c.logged ? 1u : 0u);
    if (c.logged) {
      EXPECT_EQ(updates[0].parameters.at(Value("_pv")), Value(*c.persisted));
    }
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->appVersion(), running);
  }
}

TEST_F(PropertiesTest, EachOriginHoldsAtMostTwentyFivePropertiesButReplacingIsNotLimited) {
  start();
  dropLaunchEvents();
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(set("cup", "_c" + std::to_string(i), APMValue(std::int64_t{i})));
  }
  clearReports();
  EXPECT_FALSE(set("cup", "_c25", APMValue(std::int64_t{25})));
  EXPECT_EQ(levelOf(23084), 3);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{9});
  EXPECT_FALSE(property("_c25"));
  // Replacing one of the 25 goes through; another origin has its own 25.
  EXPECT_TRUE(set("cup", "_c3", APMValue(std::int64_t{300})));
  EXPECT_EQ(property("_c3")->value().int64Value(), 300);
  EXPECT_TRUE(set("other", "_o0", APMValue(std::int64_t{1})));
}

TEST_F(PropertiesTest, ANewUserIDDropsTheAdvertisingIDResetMarkTheSameIDKeepsIt) {
  start();
  const struct {
    const char* id;
    bool markKept;
  } cases[] = {{"u-1", true}, {"u-1", true}, {"u-2", false}};
  ASSERT_TRUE(set("app", "_id", *APMValue::initWithString("u-1")));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_TRUE(set("auto", "_lair", APMValue(std::int64_t{1})));
    ASSERT_TRUE(set("app", "_id", *APMValue::initWithString(c.id)));
    EXPECT_EQ(static_cast<bool>(property("_lair")), c.markKept);
  }
}

TEST_F(PropertiesTest, ReadsAnswerOnAGlobalQueueNeverOnTheWorker) {
  start();
  ASSERT_TRUE(set("app", "favourite_food", *APMValue::initWithString("pizza")));
  const auto caller = std::this_thread::get_id();
  bool onWorkerQueue = true;
  bool onCaller = true;
  ValueMap answer;
  const auto worker = core()->scheduler()->workerQueue();
  core()->userPropertiesIncludingInternal(false, [&](ValueMap properties) {
    onWorkerQueue = worker->isCurrent();
    onCaller = std::this_thread::get_id() == caller;
    answer = std::move(properties);
  });
  env_.runUntilIdle();
  EXPECT_FALSE(onWorkerQueue);
  EXPECT_FALSE(onCaller);
  EXPECT_EQ(answer, (ValueMap{{Value("favourite_food"), Value("pizza")}}));
  std::int64_t maximum = 0;
  core()->maxUserPropertiesForOrigin("app", [&](std::int64_t value) { maximum = value; });
  env_.runUntilIdle();
  EXPECT_EQ(maximum, 25);
}

// The non-personalized-ads decision: persisted setting, then consent, then the property list
// (numbers only), then the consent defaults.
TEST_F(PropertiesTest, NonPersonalizedAdsDecisionTable) {
  const struct {
    const char* label;
    Value persisted;
    std::optional<bool> consentGranted;
    Value plist;
    const char* defaultStatus;
    Value expected;
    int diagnostic;  // expected source digit after the upkeep, -1: not checked
  } cases[] = {
      {"persisted off", Value(false), std::nullopt, Value(), nullptr, Value(true), 5},
      {"persisted on beats consent", Value(true), false, Value(), nullptr, Value(false), -1},
      {"consent denied", Value(), false, Value(), nullptr, Value(true), -1},
      {"plist number", Value(), std::nullopt, Value(std::int64_t{0}), nullptr, Value(true), 3},
      {"plist string", Value(), std::nullopt, Value("false"), nullptr, Value(false), -1},
      {"default denied", Value(), std::nullopt, Value(), "DENIED", Value(true), 1},
      {"default granted", Value(), std::nullopt, Value(), "granted", Value(false), 1},
      {"nothing", Value(), std::nullopt, Value(), nullptr, Value(), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    resetEngineState();
    ValueMap info{{Value("CFBundleIdentifier"), Value("com.lumora.test")}};
    if (!c.plist.isNull()) {
      info[Value("ZIRIZA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS")] = c.plist;
    }
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory("/app", info));
    start();
    APMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(c.persisted);
    APMConsentSettingsUtil::unsetAdPersonalization();
    if (c.consentGranted) {
      APMConsentSettingsUtil::updateSettings(
          ValueMap{{Value("ad_personalization"), Value(*c.consentGranted ? "granted" : "denied")}});
    }
    APMConsentSettingsUtil::setDefaultSettings(
        c.defaultStatus ? std::optional<ValueMap>(
                              ValueMap{{Value("ad_personalization"), Value(c.defaultStatus)}})
                        : std::nullopt);
    Value decision;
    onWorker([&] {
      decision = core()->shouldDisableAdPersonalization();
      core()->setPersonalizedAdsUserPropertyOnWorkerQueue();
    });
    EXPECT_EQ(decision, c.expected);
    const auto npa = property("_npa");
    if (c.expected.isNull()) {
      EXPECT_FALSE(npa);
    } else {
      ASSERT_TRUE(npa);
      EXPECT_EQ(npa->value().int64Value(), c.expected.asBool() ? 1 : 0);
      EXPECT_EQ(npa->origin(), "auto");
      // The consent follows the property.
      EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), !c.expected.asBool());
    }
    if (c.diagnostic >= 0) {
      EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics().back() - '0', c.diagnostic)
          << APMConsentSettingsUtil::consentDiagnostics();
    }
  }
}

TEST_F(PropertiesTest, AdPersonalizationConsentSetsThePersistedSwitchAndTheProperty) {
  start();
  const struct {
    const char* consent;
    bool allowed;
    std::int64_t npa;
  } cases[] = {{"denied", false, 1}, {"granted", true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.consent);
    APMAnalytics::setConsent(ValueMap{{Value("ad_personalization"), Value(c.consent)}});
    env_.runUntilIdle();
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), Value(c.allowed));
    const auto npa = property("_npa");
    ASSERT_TRUE(npa);
    EXPECT_EQ(npa->value().int64Value(), c.npa);
    EXPECT_FALSE(property("allow_personalized_ads"));
  }
}

TEST_F(PropertiesTest, ResetWithAnEmptyIDWhileStorageIsGrantedChangesNothing) {
  start();
  ASSERT_TRUE(set("app", "favourite_food", *APMValue::initWithString("pizza")));
  clearReports();
  EXPECT_FALSE(core()->resetAnalyticsDataWithAppInstanceID(std::string()));
  env_.runUntilIdle();
  EXPECT_EQ(levelOf(23167), 1);
  EXPECT_FALSE(reported(23171));
  EXPECT_TRUE(property("favourite_food"));
  EXPECT_EQ(stored("_f").size(), 1u);
}

TEST_F(PropertiesTest, AResetWipesTheDataAndLogsAFreshFirstOpen) {
  APMIdentifiers::sharedInstance()->setOrigin("fa");
  start();
  ASSERT_TRUE(set("app", "favourite_food", *APMValue::initWithString("pizza")));
  const auto before = core()->identity()->appInstanceID();
  clearReports();
  bool result = false;
  std::thread caller([&] { result = core()->resetAnalyticsDataWithAppInstanceID("new-id-1"); });
  for (int i = 0; i < 100000 && !reported(23168) && !reported(23209); ++i) {
    env_.runUntilIdle();
    std::this_thread::yield();
  }
  caller.join();
  env_.runUntilIdle();
  EXPECT_TRUE(result);
  EXPECT_TRUE(reported(23171));
  EXPECT_FALSE(property("favourite_food"));
  EXPECT_EQ(core()->identity()->appInstanceID(), "new-id-1");
  EXPECT_NE(before, "new-id-1");
  const auto firstOpen = stored("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_EQ(firstOpen[0].parameters.at(Value("_pduz")), Value(kAppID));
  EXPECT_EQ(firstOpen[0].integer("_pfo"), 0);
}

TEST_F(PropertiesTest, ResigningActiveFlushesAndSchedulesAnUploadAndNetworkLinesAreRelayed) {
  start();
  APMProcessMonitor()->setVerboseLoggingEnabled(true);
  clearReports();
  platform::NotificationCenter::defaultCenter().postNotificationName(
      APMApplicationWillResignActiveNotification());
  env_.runUntilIdle();
  EXPECT_EQ(levelOf(23144), 8);

  const struct {
    GULNetworkLogLevel network;
    std::int64_t monitor;
  } levels[] = {{GULNetworkLogLevel(3), 1}, {GULNetworkLogLevel(4), 4}, {GULNetworkLogLevel(5), 3},
                {GULNetworkLogLevel(6), 6}, {GULNetworkLogLevel(7), 7}, {GULNetworkLogLevel(9), 3}};
  std::int64_t code = 901900;
  for (const auto& c : levels) {
    SCOPED_TRACE(static_cast<int>(c.network));
    clearReports();
    core()->network()->GULNetwork_logWithLevel(c.network, GULNetworkMessageCode(code), "line");
    EXPECT_EQ(levelOf(code), c.monitor);
    ++code;
  }
}

}  // namespace
