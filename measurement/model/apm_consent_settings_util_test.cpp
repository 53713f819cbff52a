#include "measurement/model/apm_consent_settings_util.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/bundle.h"

namespace {

using platform::Value;
using platform::ValueMap;
using Util = APMConsentSettingsUtil;

ValueMap settings(std::initializer_list<std::pair<const char*, Value>> entries) {
  ValueMap map;
  for (const auto& [key, value] : entries)
    map[Value(key)] = value;
  return map;
}

class ConsentSettingsTest : public testing::Test {
 protected:
  void SetUp() override { Util::resetForTesting(); }
  void TearDown() override {
    Util::resetForTesting();
    platform::Bundle::setMainForTesting(nullptr);
  }
};

TEST_F(ConsentSettingsTest, AFreshProcessKnowsNothing) {
  EXPECT_EQ(Util::consentSignals(), "G1--");
  EXPECT_EQ(Util::consentDiagnostics(), "19999");
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_FALSE(Util::isAnalyticsStorageDenied());
  EXPECT_FALSE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::version(), 1);
  EXPECT_EQ(Util::description(), "ad_storage is granted. analytics_storage is granted.");
}

TEST_F(ConsentSettingsTest, SignalsFollowTheTwoStorageTypesOnly) {
  struct Case {
    ValueMap current;
    const char* signals;
  } cases[] = {
      {settings({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}), "G111"},
      {settings({{"ad_storage", "denied"}}), "G10-"},
      {settings({{"ad_storage", "DENIED"}, {"analytics_storage", "Granted"}}), "G101"},
      {settings({{"ad_storage", 2}, {"analytics_storage", "maybe"}}), "G1--"},
      {settings({{"ad_user_data", "denied"}}), "G1--"},
  };
  for (const auto& c : cases) {
    Util::setConsentSettings(c.current);
    EXPECT_EQ(Util::consentSignals(), c.signals);
  }
}

TEST_F(ConsentSettingsTest, RegionalPolicyInAnyCaseUsesTheRegionalDefault) {
  Util::setConsentSettings(
      settings({{"analytics_storage", "denied"}, {"ad_user_data", "EU_Consent_Policy"}}));
  EXPECT_TRUE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::consentDiagnostics(), "19089");
  EXPECT_EQ(Util::description(),
            "ad_storage is granted. analytics_storage is denied. ad_user_data is denied "
            "(eu_consent_policy).");

  Util::setRegionalDefaults(settings({{"ad_personalization", "granted"}}));
  Util::updateSettings(settings({{"ad_personalization", "eu_consent_policy"}}));
  EXPECT_EQ(Util::adPersonalization(), true);

  // The storage types know no regional meaning: the value matches nothing.
  Util::setConsentSettings(settings({{"ad_storage", "eu_consent_policy"}}));
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_EQ(Util::consentSignals(), "G1--");
}

TEST_F(ConsentSettingsTest, AdUserDataFollowsItsDelegateBeforeItsDefault) {
  Util::setDefaultSettings(settings({{"ad_user_data", "granted"}}));
  Util::setDelegatedSettings(settings({{"ad_user_data", "ad_storage"}}));
  Util::setConsentSettings(settings({{"ad_storage", "denied"}}));
  EXPECT_TRUE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::consentDiagnostics().substr(3, 1), "2");

  // Without the delegate's value the default answers; a current value beats both.
  Util::setConsentSettings(settings({{"analytics_storage", "granted"}}));
  EXPECT_FALSE(Util::isAdUserDataDenied());
  Util::setDefaultSettings(settings({{"ad_user_data", "denied"}}));
  EXPECT_TRUE(Util::isAdUserDataDenied());
  Util::updateSettings(settings({{"ad_user_data", "granted"}}));
  EXPECT_FALSE(Util::isAdUserDataDenied());
  EXPECT_TRUE(Util::didAdUserDataConsentChange(true));
  EXPECT_FALSE(Util::didAdUserDataConsentChange(false));
}

TEST_F(ConsentSettingsTest, StorageDefaultsAreNeitherConsultedNorCounted) {
  Util::setDefaultSettings(
      settings({{"analytics_storage", "denied"}, {"ad_personalization", "denied"}}));
  EXPECT_FALSE(Util::isAnalyticsStorageDenied());
  EXPECT_EQ(Util::adPersonalization(), false);
  EXPECT_EQ(Util::consentDiagnostics(), "19991");
}

TEST_F(ConsentSettingsTest, SourcePriority) {
  struct Case {
    std::int64_t current, incoming;
    bool equal, accepted;
  } cases[] = {
      {10, 5, true, true},   {5, 10, true, true},    {30, 40, false, false}, {30, 30, true, true},
      {30, 20, false, true}, {100, 40, false, true}, {20, 30, false, false},
  };
  for (const auto& c : cases) {
    Util::setConsentSource(c.current);
    EXPECT_EQ(Util::isConsentSourceEqualPriority(c.incoming), c.equal)
        << c.current << " " << c.incoming;
    EXPECT_EQ(Util::isConsentSourceHigherPriority(c.incoming), c.accepted)
        << c.current << " " << c.incoming;
  }
}

TEST_F(ConsentSettingsTest, DiagnosticDigitsComeFromTheSource) {
  Util::setConsentSettings(settings(
      {{"ad_storage", "granted"}, {"ad_user_data", "denied"}, {"ad_personalization", "granted"}}));
  struct Case {
    std::int64_t source;
    const char* diagnostics;
  } cases[] = {{5, "17977"},  {10, "15955"}, {20, "13933"},
               {30, "15955"}, {40, "14944"}, {7, "10900"}};
  for (const auto& c : cases) {
    Util::setConsentSource(c.source);
    EXPECT_EQ(Util::consentDiagnostics(), c.diagnostics) << c.source;
  }
  // An update writes its source's digit for its own types into the existing table.
  Util::updateSettings(settings({{"analytics_storage", "denied"}}), 30);
  EXPECT_EQ(Util::consentDiagnostics(), "10500");
  EXPECT_EQ(Util::consentSource(), 30);
  // Clearing the current settings returns the source to 100.
  Util::setConsentSettings(std::nullopt);
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::consentDiagnostics(), "19999");
}

TEST_F(ConsentSettingsTest, TheFirstUpdateOfAProcessLeavesNoDigitBehind) {
  // No diagnostics table exists yet, so the update's digits are not written and the refresh keeps
  // the 0 of a fresh table.
  Util::updateSettings(settings({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}), 30);
  EXPECT_EQ(Util::consentDiagnostics(), "10099");
  // Once the table exists, the next update's digits land.
  Util::updateSettings(settings({{"ad_storage", "denied"}}), 30);
  EXPECT_EQ(Util::consentDiagnostics(), "15099");
}

TEST_F(ConsentSettingsTest, VersionAcceptsOnlyOneAndTwo) {
  Util::setVersion(2);
  Util::setVersion(3);
  Util::setVersion(0);
  EXPECT_EQ(Util::version(), 2);
}

TEST_F(ConsentSettingsTest, ResettingAndUnsetting) {
  Util::setConsentSettings(settings({{"ad_personalization", "granted"}, {"ad_storage", "denied"}}));
  Util::setConsentSource(30);
  Util::unsetAdPersonalization();
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);
  EXPECT_EQ(Util::consentDiagnostics(), "15999");
  Util::setDefaultSettings(settings({{"ad_user_data", "denied"}}));
  Util::setRegionalDefaults(settings({{"ad_user_data", "granted"}}));
  Util::clearAllSettings();
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::consentSettings(), std::nullopt);
  EXPECT_EQ(Util::defaultSettings(), std::nullopt);
  EXPECT_EQ(Util::regionalDefaults(), std::nullopt);
  EXPECT_EQ(Util::consentDiagnostics(), "19999");
}

TEST_F(ConsentSettingsTest, FilteringAndPropertyListDefaults) {
  EXPECT_EQ(Util::consentSettingsFromDictionary(
                settings({{"ad_storage", 1}, {"other", "granted"}, {"ad_user_data", "x"}})),
            settings({{"ad_storage", 1}, {"ad_user_data", "x"}}));

  ValueMap info;
  info[Value(APMAdStoragePlistKey)] = Value("eu_consent_policy");
  info[Value(APMAnalyticsStoragePlistKey)] = Value("  +00yes");
  info[Value(APMAdUserDataPlistKey)] = Value(false);
  info[Value(APMAllowAdPersonalizationSignalsPlistKey)] = Value(true);
  platform::Bundle::setMainForTesting(platform::Bundle::inMemory("/b", info));
  EXPECT_EQ(Util::consentSettingsFromPlist(),
            settings({{"analytics_storage", "granted"}, {"ad_user_data", "denied"}}));

  info[Value(APMAdUserDataPlistKey)] = Value("EU_CONSENT_POLICY");
  info[Value(APMAllowAdPersonalizationSignalsPlistKey)] = Value("no");
  info[Value(APMAnalyticsStoragePlistKey)] = Value(platform::ValueList{});
  platform::Bundle::setMainForTesting(platform::Bundle::inMemory("/b", info));
  EXPECT_EQ(Util::consentSettingsFromPlist(),
            settings({{"ad_user_data", "eu_consent_policy"}, {"ad_personalization", "denied"}}));
}

TEST_F(ConsentSettingsTest, EachCallerSeesItsOwnWritesWhateverThreadItIsOn) {
  std::vector<std::thread> threads;
  std::atomic<int> seen{0};
  for (int i = 1; i <= 4; ++i) {
    threads.emplace_back([i, &seen] {
      const std::string type = APMConsentTypeStringFromEnum(i);
      for (int round = 0; round < 50; ++round) {
        const char* status = round % 2 ? "denied" : "granted";
        Util::updateSettings(settings({{type.c_str(), status}}), 30);
        const auto current = Util::consentSettings();
        if (current && current->at(Value(type)) == Value(status)) ++seen;
        Util::consentDiagnostics();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(seen.load(), 200);
  EXPECT_EQ(Util::consentSignals(), "G100");
}

TEST(ConsentNamesTest, EnumStringsAndTypeOrder) {
  EXPECT_EQ(APMConsentTypeStringFromEnum(3), "ad_user_data");
  EXPECT_EQ(APMConsentTypeStringFromEnum(5), "");
  EXPECT_EQ(APMConsentStatusStringFromEnum(2), "denied");
  EXPECT_EQ(APMConsentStatusStringFromEnum(0), "");
  ASSERT_EQ(APMAllConsentTypes().size(), 4u);
  EXPECT_EQ(APMAllConsentTypes()[1], Value("analytics_storage"));
}

}  // namespace
