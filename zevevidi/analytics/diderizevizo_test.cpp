#include "zevevidi/analytics/diderizevizo.h"

#include <gtest/gtest.h>

#include "measurement/engine/engine_test_support.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_identity.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/fir_component_container.h"
#include "zevevidi/installations/fir_installations_id_controller.h"

namespace {

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

using platform::Bytes;
using platform::Value;
using platform::ValueMap;

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Stands for a value the platform's object bridge boxed.
class BoxedValue : public platform::Object {
 public:
  std::string className() const override { return DIDErizevizoForeignValueClassName; }
};

struct Logged {
  std::int64_t code;
  platform::ValueList contexts;
};

class DIDErizevizoTest : public engine_testing::EngineTest {
 protected:
  DIDErizevizoTest() {
    APMMonitor::setReportTap([this](std::int64_t, std::int64_t code, const std::string&,
                                    const platform::ValueList& contexts) {
      std::lock_guard lock(mutex_);
      logged_.push_back({code, contexts});
    });
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    DIDErizevizo::resetForTesting();
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")}}));
  }
  ~DIDErizevizoTest() override {
    env_.runUntilIdle();
    // The base's teardown still reports: the tap must not outlive this fixture's members.
    APMMonitor::setReportTap(nullptr);
    DIDErizevizo::resetForTesting();
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    platform::Bundle::setMainForTesting(nullptr);
  }

  void configureDefaultApp() {
    FIRApp::configureWithOptions(
        FIROptions::initWithZirizaAppID("1:1234567890:ios:0123456789abcdef", "1234567890"));
    env_.runUntilIdle();
  }
  std::vector<Logged> logged() {
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(mutex_);
    return logged_;
  }
  std::vector<std::int64_t> loggedCodes() {
    std::vector<std::int64_t> out;
    for (const auto& l : logged())
      out.push_back(l.code);
    return out;
  }
  void clearLogged() {
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(mutex_);
    logged_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Logged> logged_;
};

TEST_F(DIDErizevizoTest, CorrectedBytesReadPairsOfHexadecimalText) {
  struct Case {
    std::string text;  // repeated to 64 characters when two long
    std::uint8_t byte;
  };
  const Case pairs[] = {
      {"00", 0x00}, {"ff", 0xFF}, {"FF", 0xFF}, {"aB", 0xAB}, {"7f", 0x7F},
      {"zz", 0x00}, {"5z", 0x05}, {"z5", 0x00}, {" 5", 0x00}, {"5 ", 0x05},
      {"0x", 0x00}, {"x1", 0x00}, {"g0", 0x00}, {"9g", 0x09},
  };
  for (const auto& c : pairs) {
    std::string text;
    for (int i = 0; i < 32; ++i)
      text += c.text;
    EXPECT_EQ(APMCorrectedBytes(bytesOf(text)), Bytes(32, c.byte)) << "\"" << c.text << "\"";
  }
  // Pairs are read one by one: "00ff" then "10" ... gives 0x00, 0xFF, 0x10, ...
  std::string mixed = "00ff10";
  mixed.append(58, 'e');
  const Bytes corrected = APMCorrectedBytes(bytesOf(mixed));
  ASSERT_EQ(corrected.size(), 32u);
  EXPECT_EQ(corrected[0], 0x00);
  EXPECT_EQ(corrected[1], 0xFF);
  EXPECT_EQ(corrected[2], 0x10);
  EXPECT_EQ(corrected[31], 0xEE);
  // Every other length is handed back unchanged.
  for (std::size_t length : {0u, 2u, 10u, 32u, 33u, 63u, 65u, 128u}) {
    const Bytes input = bytesOf(std::string(length, 'a'));
    EXPECT_EQ(APMCorrectedBytes(input), input) << length;
  }
}

TEST_F(DIDErizevizoTest, GuardedCallsWithoutADefaultAppOnlyLog) {
  DIDErizevizo::logEventWithName("purchase", ValueMap{{Value("value"), Value(1.5)}});
  DIDErizevizo::logEventWithOrigin("app", "session_start", std::nullopt);
  DIDErizevizo::setUserPropertyString("blue", "favourite_colour");
  DIDErizevizo::initiateOnDeviceConversionMeasurementWithEmailAddress("someone@example.org");
  DIDErizevizo::initiateOnDeviceConversionMeasurementWithPhoneNumber("+15555550100");
  DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(Bytes(64, 'a'));
  DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(Bytes(10, 1));
  env_.runUntilIdle();
  const auto all = logged();
  std::vector<std::int64_t> codes;
  for (const auto& l : all)
    codes.push_back(l.code);
  // No length warning either: nothing past the guard runs.
  EXPECT_EQ(codes, (std::vector<std::int64_t>{25018, 25018, 25019, 25051, 25052, 25053, 25054}));
  ASSERT_EQ(all.size(), 7u);
  EXPECT_EQ(all[0].contexts, (platform::ValueList{Value(APMFormattedEventName("purchase"))}));
  EXPECT_EQ(all[1].contexts, (platform::ValueList{Value(APMFormattedEventName("session_start"))}));
  EXPECT_EQ(all[2].contexts,
            (platform::ValueList{Value(APMFormattedUserPropertyName("favourite_colour"))}));
  for (std::size_t i = 3; i < all.size(); ++i)
    EXPECT_TRUE(all[i].contexts.empty()) << all[i].code;
}

TEST_F(DIDErizevizoTest, UnguardedCallsAreForwardedWithoutADefaultApp) {
  DIDErizevizo::setConsent(
      ValueMap{{Value("ad_storage"), Value("granted")}, {Value("ad_user_data"), Value("denied")}});
  DIDErizevizo::setAnalyticsCollectionEnabled(false);
  env_.runUntilIdle();
  // Consent arrives under the third-party source, the switch is persisted.
  EXPECT_EQ(APMAnalytics::userDefaults()->objectForKey(Value("consent_settings_3p")),
            Value(ValueMap{{Value("ad_storage"), Value("granted")},
                           {Value("ad_user_data"), Value("denied")}}));
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 10);
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  // An empty map reaches the facade, which discards it.
  DIDErizevizo::setConsent(ValueMap{});
  env_.runUntilIdle();
  EXPECT_EQ(loggedCodes().back(), 25041);
}

TEST_F(DIDErizevizoTest, HashedValuesOtherThan32BytesAreWarnedAboutAndHandedOn) {
  configureDefaultApp();
  struct Case {
    bool email;
    std::size_t length;
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {true, 64, {25056}},  {true, 32, {}},       {true, 10, {25056}}, {true, 0, {25056}},
      {false, 64, {25057}}, {false, 33, {25057}}, {false, 32, {}},
  };
  for (const auto& c : cases) {
    clearLogged();
    const Bytes value(c.length, 'a');
    c.email ? DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(value)
            : DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(value);
    env_.runUntilIdle();
    EXPECT_EQ(loggedCodes(), c.codes) << c.email << " " << c.length;
  }
}

TEST_F(DIDErizevizoTest, ForeignValuesAreFoundAtAnyDepthOnlyWhenTheBoxClassExists) {
  const Value boxed(platform::ObjectPtr(std::make_shared<BoxedValue>()));
  const Value cases[] = {
      Value(ValueMap{{Value("a"), boxed}}),
      Value(ValueMap{{boxed, Value(1)}}),
      Value(ValueMap{{Value("items"), Value::list({Value(1), Value::list({boxed})})}}),
      Value(ValueMap{{Value("nested"), Value(ValueMap{{Value("deeper"), boxed}})}}),
  };
  const Value clean(ValueMap{{Value("items"), Value::list({Value(1), Value("x")})}});
  for (const auto& c : cases)
    EXPECT_FALSE(DIDErizevizoCheckForUnbridgeableSwiftType(c)) << "no box class registered";

  platform::ClassRegistry::shared().registerClass(DIDErizevizoForeignValueClassName,
                                                  std::make_shared<int>(0));
  for (const auto& c : cases)
    EXPECT_TRUE(DIDErizevizoCheckForUnbridgeableSwiftType(c)) << c.debugString();
  EXPECT_FALSE(DIDErizevizoCheckForUnbridgeableSwiftType(clean));

  // A logged event with one logs 25040 once and is forwarded all the same.
  configureDefaultApp();
  clearLogged();
  DIDErizevizo::logEventWithName("e", cases[2].asMap());
  DIDErizevizo::logEventWithName("e", clean.asMap());
  env_.runUntilIdle();
  EXPECT_EQ(loggedCodes(), std::vector<std::int64_t>{25040});
}

TEST_F(DIDErizevizoTest, ConfiguringTheDefaultAppStartsAnalyticsWithItsOptions) {
  DIDErizevizo::load();
  DIDErizevizo::load();  // a second load changes nothing
  auto cls = platform::ClassRegistry::shared().lookup<DIDErizevizoClass>("DIDErizevizo");
  ASSERT_TRUE(cls);
  EXPECT_EQ(cls->topLevelVersion(), std::optional<std::string>("11.15.0"));

  configureDefaultApp();
  // Started under "fa" with the log tag; the engine's banner names the interface's version.
  ASSERT_TRUE(core());
  const auto codes = loggedCodes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 23007), codes.end());
  EXPECT_EQ(APMProcessMonitor()->logTag(), "[ZevevidiAnalytics]");
  EXPECT_EQ(APMIdentifiers::sharedInstance()->origin(), "fa");
  EXPECT_EQ(APMIdentity::sharedInstance()->appIDFromDUZ(), "1:1234567890:ios:0123456789abcdef");
}

TEST_F(DIDErizevizoTest, OneInstallationObservationHoweverOftenStarted) {
  auto& center = platform::NotificationCenter::defaultCenter();
  const std::size_t before = center.observerCount();
  DIDErizevizo::observeZevevidiInstallationIDChanges();
  DIDErizevizo::observeZevevidiInstallationIDChanges();
  EXPECT_EQ(center.observerCount(), before + 1);
  clearLogged();
  // Without a default app the installations cannot answer: one post, one attempt, one 25038.
  center.postNotificationName(FIRInstallationIDDidChangeNotification);
  env_.runUntilIdle();
  EXPECT_EQ(loggedCodes(), std::vector<std::int64_t>{25038});
}

}  // namespace
