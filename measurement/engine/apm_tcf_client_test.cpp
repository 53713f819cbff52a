// The TCF consent client: purpose decisions from the values a consent-management platform
// writes, the "_tcf" parameters and state string, and the whole round through a started engine
// (event stored, consent set, snapshot kept, nothing repeated while the values stay the same).
#include "measurement/engine/apm_tcf_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/storage/apm_user_defaults.h"

namespace {

using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

// A bit string of `length` "0"s with "1" at the given indexes.
std::string bits(std::size_t length, std::initializer_list<std::size_t> set) {
  std::string out(length, '0');
  for (const auto index : set)
    out[index] = '1';
  return out;
}

const std::string kVendorOn = bits(755, {754});
const std::string kVendorOff = bits(755, {});

// Everything granted: TCF applies, the vendor has consent and legitimate interest, ten purposes
// consented and ten with legitimate interest (purpose 7 is a legitimate-interest purpose).
APMTCFDataGenerator allGranted() {
  APMTCFDataGenerator g;
  g.isAdvertiserConsentModeEnabled = Value(std::int64_t{1});
  g.gdprApplies = Value(std::int64_t{1});
  g.cmpSDKID = Value(std::int64_t{300});
  g.policyVersion = Value(std::int64_t{4});
  g.vendorConsents = kVendorOn;
  g.purposeConsents = "1111111111";
  g.vendorLegitimateInterests = kVendorOn;
  g.purposeLegitimateInterests = "1111111111";
  return g;
}

TEST(TCFDataTest, PurposeDecisions) {
  struct Case {
    const char* what;
    std::function<void(APMTCFDataGenerator&)> change;
    std::vector<std::int64_t> reasons;  // purposes 1, 3, 4, 7
    bool adStorage, adPersonalization, adUserData;
  };
  auto restrict1 = [](const char* r) {
    return [r](APMTCFDataGenerator& g) {
      g.publisherRestrictions = std::vector<std::string>(10);
      g.publisherRestrictions[0] = r;
    };
  };
  const Case cases[] = {
      {"all granted", [](APMTCFDataGenerator&) {}, {1, 1, 1, 1}, true, true, true},
      {"policy version 3",
       [](APMTCFDataGenerator& g) { g.policyVersion = Value(std::int64_t{3}); },
       {1, 1, 1, 1},
       true,
       true,
       false},
      {"no policy version",
       [](APMTCFDataGenerator& g) { g.policyVersion = Value(); },
       {1, 1, 1, 1},
       true,
       true,
       false},
      {"consents only, no legitimate-interest signals",
       [](APMTCFDataGenerator& g) {
         g.vendorLegitimateInterests.reset();
         g.purposeLegitimateInterests.reset();
       },
       {1, 1, 1, 5},
       true,
       true,
       false},
      {"purpose 1 needs legitimate interest", restrict1("2"), {8, 1, 1, 1}, false, true, false},
      {"purpose 1 not allowed", restrict1("0"), {3, 1, 1, 1}, false, true, false},
      {"purpose 1 consent required", restrict1("1"), {1, 1, 1, 1}, true, true, true},
      {"vendor without consent",
       [](APMTCFDataGenerator& g) { g.vendorConsents = kVendorOff; },
       {4, 4, 4, 1},
       false,
       false,
       false},
      {"vendor string too short",
       [](APMTCFDataGenerator& g) { g.vendorConsents = std::string(754, '1'); },
       {4, 4, 4, 1},
       false,
       false,
       false},
      {"purpose 4 not consented",
       [](APMTCFDataGenerator& g) { g.purposeConsents = "1110111111"; },
       {1, 1, 6, 1},
       true,
       false,
       true},
      {"purpose one treatment in CH",
       [](APMTCFDataGenerator& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(std::int64_t{1});
         g.publisherCC = "CH";
       },
       {1, 1, 1, 1},
       true,
       true,
       true},
      {"purpose one treatment elsewhere",
       [](APMTCFDataGenerator& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(std::int64_t{1});
         g.publisherCC = "DE";
       },
       {6, 1, 1, 1},
       false,
       true,
       false},
  };
  for (const auto& c : cases) {
    auto g = allGranted();
    c.change(g);
    const auto data = g.generateData();
    std::vector<std::int64_t> reasons;
    for (const std::int64_t purpose : {1, 3, 4, 7})
      reasons.push_back(
          data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose));
    EXPECT_EQ(reasons, c.reasons) << c.what;
    EXPECT_EQ(data.isAdStoragePurposeGranted(), c.adStorage) << c.what;
    EXPECT_EQ(data.isAdPersonalizationPurposeGranted(), c.adPersonalization) << c.what;
    EXPECT_EQ(data.isAdUserDataPurposeGranted(), c.adUserData) << c.what;
  }
}

TEST(TCFDataTest, PurposeSevenUsesLegitimateInterest) {
  auto g = allGranted();
  g.purposeLegitimateInterests = "0000001000";
  // Purpose 7 is a legitimate-interest purpose: its consent bit is not what counts.
  g.purposeConsents = "1111110111";
  auto data = g.generateData();
  EXPECT_EQ(data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(7), 1);
  g.vendorLegitimateInterests = kVendorOff;
  data = g.generateData();
  EXPECT_EQ(data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(7), 5);
  g.vendorLegitimateInterests = kVendorOn;
  g.purposeLegitimateInterests = "1111110111";
  data = g.generateData();
  EXPECT_EQ(data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(7), 7);
  // Flexible purpose restricted to consent: consent decides.
  g.publisherRestrictions = std::vector<std::string>(10);
  g.publisherRestrictions[6] = "1";
  g.purposeConsents = "1111111111";
  data = g.generateData();
  EXPECT_EQ(data.legalBasisCheckFromPurposeID(7), 2);
  EXPECT_EQ(data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(7), 1);
}

// Through the engine: the application's preferences hold the TCF values.
class TCFClientTest : public engine_testing::EngineTest {
 protected:
  TCFClientTest() { clearTCFState(); }
  ~TCFClientTest() override { clearTCFState(); }

  static void clearTCFState() {
    APMUserDefaults::sharedUserDefaults()->clearAllData();
    APMUserDefaults::initWithSuiteName(APMTCFUserDefaultSuiteName)->clearAllData();
  }

  static void setApp(const char* key, Value value) {
    APMUserDefaults::sharedUserDefaults()->setObject(value, Value(key));
  }

  static void setAllGranted(std::int64_t policyVersion = 4) {
    setApp(APMTCFDataGdprAppliesUserDefaultsKey, Value(std::int64_t{1}));
    setApp(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey, Value(std::int64_t{1}));
    setApp(APMTCFDataVendorConsentsUserDefaultsKey, Value(kVendorOn));
    setApp(APMTCFDataPurposeConsentsUserDefaultsKey, Value("1111111111"));
    setApp(APMTCFDataCmpSDKIDUserDefaultsKey, Value(std::int64_t{300}));
    setApp(APMTCFDataPolicyVersionUserDefaultsKey, Value(policyVersion));
    setApp(APMTCFDataVendorLegitimateInterestsUserDefaultsKey, Value(kVendorOn));
    setApp(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey, Value("1111111111"));
  }

  void start() {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
  }

  // Stops the engine and the facade as a process end would, keeping every file.
  void restart() {
    env_.runUntilIdle();
    ZEVOveverizuru::resetSharedInstanceForTesting();
    APMAnalytics::resetForTesting();
    APMConsentSettingsUtil::resetForTesting();
    env_.runUntilIdle();
    start();
  }

  std::vector<ValueMap> tcfEvents() {
    std::vector<ValueMap> out;
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", [&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      ASSERT_TRUE(rows);
      for (const auto& raw : *rows) {
        auto event = APMEvent::initWithEventProto(*raw->rawEvent());
        if (event && event->name() == "_tcf") out.push_back(event->parameters());
      }
    });
    env_.runUntilIdle();
    return out;
  }

  static std::string text(const ValueMap& map, const char* key) {
    const auto found = map.find(Value(key));
    return found != map.end() && found->second.isString() ? found->second.asString() : "";
  }

  static std::string consent(const char* type) {
    const auto settings = APMConsentSettingsUtil::consentSettings();
    return settings ? text(*settings, type) : "";
  }

  static std::optional<std::string> snapshotString() {
    return APMUserDefaults::initWithSuiteName(APMTCFUserDefaultSuiteName)
        ->stringForKey(Value(APMTCFDataStringRepresentationUserDefaultsKey));
  }
};

TEST_F(TCFClientTest, ChangedValuesAreLoggedOnceAndGrantConsentFromSourceFive) {
  setAllGranted();
  start();
  auto events = tcfEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(text(events[0], "_tcfd"), "14I4f");
  EXPECT_EQ(text(events[0], "_tcfd2"), "21111");
  // First run with the current state string missing, but the vendor has consent: no fix; the
  // snapshot was empty, so the consent differs from it.
  EXPECT_EQ(text(events[0], "_tcfm"), "01");
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_EQ(consent("ad_storage"), "granted");
  EXPECT_EQ(consent("ad_personalization"), "granted");
  EXPECT_EQ(consent("ad_user_data"), "granted");
  const auto stored = snapshotString();
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
                     "hasZirizaInVendorConsents=1,hasZirizaInVendorLegitimateInterests=1,"
                     "gdprApplies=1,policyVersion=4,purposeConsents=1111111111,"
                     "purposeLegitimateInterests=1111111111");

  // Unchanged values at the next launch: nothing logged again.
  restart();
  EXPECT_EQ(tcfEvents().size(), 1u);

  // A change is logged again; policy version 3 denies ad user data only.
  setApp(APMTCFDataPolicyVersionUserDefaultsKey, Value(std::int64_t{3}));
  restart();
  events = tcfEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(text(events[1], "_tcfd"), "14I3f");
  EXPECT_EQ(text(events[1], "_tcfm"), "01");
  EXPECT_EQ(consent("ad_storage"), "granted");
  EXPECT_EQ(consent("ad_personalization"), "granted");
  EXPECT_EQ(consent("ad_user_data"), "denied");
}

TEST_F(TCFClientTest, NoTCFValuesDoNothing) {
  start();
  EXPECT_TRUE(tcfEvents().empty());
  EXPECT_FALSE(snapshotString());
  EXPECT_NE(APMConsentSettingsUtil::consentSource(), 5);
}

TEST_F(TCFClientTest, WhenTCFStopsApplyingTheEventIsLoggedButNoConsentSet) {
  setAllGranted();
  setApp(APMTCFDataGdprAppliesUserDefaultsKey, Value(std::int64_t{0}));
  start();
  const auto events = tcfEvents();
  ASSERT_EQ(events.size(), 1u);
  // DMA on, TCF enabled, advertiser mode on, gdpr off: flags 13.
  EXPECT_EQ(text(events[0], "_tcfd"), "14I4d");
  EXPECT_NE(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_TRUE(snapshotString());
}

TEST_F(TCFClientTest, TheOneTimeVendorFixSetsTheDeniedConsent) {
  setAllGranted();
  setApp(APMTCFDataVendorConsentsUserDefaultsKey, Value(kVendorOff));
  // A snapshot from an older version without "_v_=2" in its state string.
  APMUserDefaults::initWithSuiteName(APMTCFUserDefaultSuiteName)
      ->setObject(Value("isTCFDataEnabled=1"),
                  Value(APMTCFDataStringRepresentationUserDefaultsKey));
  start();
  const auto events = tcfEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(text(events[0], "_tcfd2"), "24441");
  // The fix applies; the previous snapshot had no values, so all three were denied already.
  EXPECT_EQ(text(events[0], "_tcfm"), "10");
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_EQ(consent("ad_storage"), "denied");
}

TEST_F(TCFClientTest, BundleParameterEncoding) {
  struct Case {
    Value cmp, version, gdpr, advertiser;
    bool dma;
    const char* expected;
  };
  const Value one(std::int64_t{1});
  const Case cases[] = {
      {Value(std::int64_t{300}), Value(std::int64_t{4}), one, one, true, "14I4f"},
      {Value(std::int64_t{7}), Value(std::int64_t{2}), one, one, false, "1072e"},
      {Value(), Value(), Value(), Value(), false, "10004"},
      {Value(std::int64_t{5000}), Value(std::int64_t{64}), Value(), Value(), true, "10005"},
      {Value(std::int64_t{4095}), Value(std::int64_t{63}), Value(), Value(), false, "1___4"},
      {Value(std::int64_t{-1}), Value(std::int64_t{-1}), Value(), Value(), false, "10004"},
  };
  for (const auto& c : cases) {
    clearTCFState();
    setApp(APMTCFDataCmpSDKIDUserDefaultsKey, c.cmp);
    setApp(APMTCFDataPolicyVersionUserDefaultsKey, c.version);
    setApp(APMTCFDataGdprAppliesUserDefaultsKey, c.gdpr);
    setApp(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey, c.advertiser);
    APMTCFClient client;
    client.setIsDMARegion(c.dma);
    client.readTCFData();
    EXPECT_EQ(client.tcfBundleParameterValue(), c.expected) << c.expected;
  }
}

TEST_F(TCFClientTest, StateStringListsPresentValuesOnly) {
  APMTCFClient client;
  client.readTCFData();
  EXPECT_EQ(client.stringRepresentationFromTCFData(), "_v_=2,isTCFDataEnabled=1");
  EXPECT_FALSE(client.hasTCFDataToRead());

  setApp(APMTCFDataVendorLegitimateInterestsUserDefaultsKey, Value(kVendorOff));
  setApp(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey, Value("01"));
  setApp("IABTCF_PublisherRestrictions3", Value(std::string(754, '0') + "2"));
  setApp(APMTCFDataPurposeOneTreatmentUserDefaultsKey, Value(true));
  setApp(APMTCFDataPublisherCCUserDefaultsKey, Value("CH"));
  // Wrongly typed values read as absent.
  setApp(APMTCFDataCmpSDKIDUserDefaultsKey, Value("300"));
  setApp(APMTCFDataPurposeConsentsUserDefaultsKey, Value(std::int64_t{1}));
  client.readTCFData();
  EXPECT_EQ(client.stringRepresentationFromTCFData(),
            "_v_=2,isTCFDataEnabled=1,hasZirizaInVendorLegitimateInterests=0,"
            "purposeLegitimateInterests=01,publisherRestrictions=||2|||||||,"
            "isPurposeOneTreatmentEnabled=1,publisherCC=CH");
  EXPECT_TRUE(client.hasTCFDataToRead());
}

}  // namespace
