#include "measurement/model/apm_identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_engine_hooks.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/property_list.h"

namespace {

using platform::Value;

// What a platform provider of the advertising identifier would report; the test sets it.
class ScriptedIdentitySupport : public APMIdentitySupport {
 public:
  std::optional<std::string> identifier;
  bool canTellLimited = true;
  bool canTellStatus = true;
  std::uint64_t status = 3;

  std::optional<std::string> resettableDeviceID() override { return identifier; }
  bool hasLimitedAdTracking() override { return canTellLimited; }
  bool limitedAdTracking() override { return false; }
  bool hasAppDataConsentStatus() override { return canTellStatus; }
  std::uint64_t appDataConsentStatus() override { return status; }
};

class APMIdentityTest : public apm_testing::StorageTest {
 protected:
  APMIdentityTest() {
    APMConsentSettingsUtil::resetForTesting();
    persisted_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  }
  ~APMIdentityTest() override {
    platform::ClassRegistry::shared().unregisterClass("APMPlatformIdentitySupport");
    platform::Bundle::setMainForTesting(nullptr);
    APMConsentSettingsUtil::resetForTesting();
    env_.runUntilIdle();
  }

  std::shared_ptr<APMIdentity> identityWithProvider() {
    platform::ClassRegistry::shared().registerClass<APMIdentitySupport>(
        "APMPlatformIdentitySupport", provider_);
    return APMIdentity::initWithPersistedConfig(persisted_, APMDefaultIdentitySupport::init());
  }
  void denyAnalyticsStorage() {
    APMConsentSettingsUtil::setConsentSettings(
        platform::ValueMap{{Value("analytics_storage"), Value("denied")}});
  }

  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<ScriptedIdentitySupport> provider_ = std::make_shared<ScriptedIdentitySupport>();
};

TEST_F(APMIdentityTest, VersionNumbersKeepOnlyDigitsAndSaturate) {
  struct Case {
    const char* version;
    std::vector<std::int64_t> fields;
    bool warns;
  };
  const Case cases[] = {
      {"2.10b3.4", {2, 103, 4}, true},
      {"1.2.3", {1, 2, 3}, false},
      {"10", {10}, false},
      {"", {}, false},
      {"1..2", {1, 2}, false},
      {"x.5", {0, 5}, true},
      {"99999999999.1", {2147483647, 1}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    clearReports();
    EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields);
    monitor()->waitForMonitorQueue();
    const auto codes = reportedCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 20002) > 0, c.warns);
  }
  EXPECT_EQ(APMIdentity::devAzerirerizeLibraryVersion(), 111500);
}

TEST_F(APMIdentityTest, TheBundleGivesTheAppFactsAndTheServiceFileTheDUZAppID) {
  const std::string root = scratch_ / "App.bundle";
  std::filesystem::create_directories(root + "/Resources");
  ASSERT_TRUE(platform::writePropertyListFile(
      root + "/Resources/ZirizaService-Info.plist",
      Value(platform::ValueMap{{Value("ZIRIZA_APP_ID"), Value("1:42:ios:feed")}}),
      platform::PropertyListFormat::Xml));
  platform::Bundle::setMainForTesting(std::make_shared<platform::Bundle>(
      root, platform::ValueMap{{Value("CFBundleIdentifier"), Value("com.example.app")},
                               {Value("CFBundleShortVersionString"), Value("2.10")},
                               {Value("CFBundleVersion"), Value("2.10b3.4")}}));
  auto identity = APMIdentity::initWithPersistedConfig(persisted_);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->appID(), "com.example.app");
  EXPECT_EQ(identity->appVersion(), "2.10");
  EXPECT_EQ(identity->appVersionMajor(), 2);
  EXPECT_EQ(identity->appVersionMinor(), 103);
  EXPECT_EQ(identity->appVersionRelease(), 4);
  EXPECT_EQ(identity->appIDFromDUZ(), "1:42:ios:feed");
  EXPECT_EQ(APMIdentity::initWithPersistedConfig(nullptr), nullptr);
}

TEST_F(APMIdentityTest, NoAppInstanceIDWhileAnalyticsStorageIsDenied) {
  denyAnalyticsStorage();
  auto identity = APMIdentity::initWithPersistedConfig(persisted_);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(persisted_->appInstanceID(), std::nullopt);

  APMConsentSettingsUtil::setConsentSettings(
      platform::ValueMap{{Value("analytics_storage"), Value("granted")}});
  const auto granted = identity->appInstanceID();
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->size(), 32u);
  EXPECT_EQ(granted->find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(persisted_->appInstanceID(), granted);
  env_.advance(5);
  auto next = APMIdentity::initWithPersistedConfig(persisted_);
  EXPECT_EQ(next->appInstanceID(), granted);
}

// The in-place refresh has done its work when it returns, as the queued one has once waited for.
TEST_F(APMIdentityTest, AnInPlaceRefreshIsDoneWhenItReturns) {
  denyAnalyticsStorage();
  auto identity = APMIdentity::initWithPersistedConfig(persisted_);
  ASSERT_TRUE(identity);
  identity->updateIdentifiersInPlace();
  EXPECT_EQ(persisted_->appInstanceID(), std::nullopt);
  APMConsentSettingsUtil::setConsentSettings(
      platform::ValueMap{{Value("analytics_storage"), Value("granted")}});
  identity->updateIdentifiersInPlace();
  const auto created = persisted_->appInstanceID();
  ASSERT_TRUE(created);
  EXPECT_EQ(created->size(), 32u);
  EXPECT_EQ(identity->appInstanceID(), created);
}

TEST_F(APMIdentityTest, WithoutAProviderThereIsNoAdvertisingIdentifier) {
  auto identity =
      APMIdentity::initWithPersistedConfig(persisted_, APMDefaultIdentitySupport::init());
  EXPECT_EQ(identity->appleConsentStatus(), 6);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->appDataConsentStatus(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(identity->hasLimitedAdTracking());
  monitor()->waitForMonitorQueue();
  const auto codes = reportedCodes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 44003), codes.end());
}

TEST_F(APMIdentityTest, TrackingStatusFollowsTheProvider) {
  struct Case {
    bool canTellLimited;
    bool canTellStatus;
    std::uint64_t status;
    std::int64_t expected;
  };
  const Case cases[] = {{false, true, 3, 6}, {true, false, 3, 5}, {true, true, 0, 4},
                        {true, true, 1, 1},  {true, true, 2, 2},  {true, true, 3, 3},
                        {true, true, 4, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    provider_->canTellLimited = c.canTellLimited;
    provider_->canTellStatus = c.canTellStatus;
    provider_->status = c.status;
    auto identity = identityWithProvider();
    EXPECT_EQ(identity->appleConsentStatus(), c.expected);
    platform::ClassRegistry::shared().unregisterClass("APMPlatformIdentitySupport");
  }
}

TEST_F(APMIdentityTest, ANewAdvertisingIdentifierReplacesTheAppInstanceID) {
  provider_->identifier = "AAAA-1";
  auto identity = identityWithProvider();
  const auto first = identity->appInstanceID();
  ASSERT_TRUE(first);
  // The first identifier ever seen is hashed and stored; the app instance ID stays.
  EXPECT_EQ(persisted_->hashedResettableDeviceID(), apm_MD5String("AAAA-1"));
  EXPECT_EQ(identity->appInstanceID(), first);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  // Within the cache time nothing is read again.
  provider_->identifier = "BBBB-2";
  EXPECT_EQ(identity->appInstanceID(), first);
  env_.advance(2);
  const auto second = identity->appInstanceID();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(identity->resettableDeviceID(), "BBBB-2");

  // The all-zero identifier clears the cached one and changes nothing stored.
  provider_->identifier = APMAllZeroResettableDeviceID;
  env_.advance(2);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), second);
  EXPECT_EQ(persisted_->hashedResettableDeviceID(), apm_MD5String("BBBB-2"));
}

// The one-turn read of a stored event's identifiers answers as the single getters do, and
// refreshes as they do.
TEST_F(APMIdentityTest, TheEventIdentifiersAnswerAsTheSingleGetters) {
  struct Case {
    const char* name;
    bool withProvider;
    std::optional<std::string> identifier;
    bool canTellLimited;
    bool analyticsDenied;
  };
  const Case cases[] = {
      {"no provider", false, std::nullopt, true, false},
      {"provider with an identifier", true, "AAAA-1", true, false},
      {"provider that cannot tell limited tracking", true, "AAAA-1", false, false},
      {"analytics storage denied", true, "AAAA-1", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMConsentSettingsUtil::setConsentSettings(platform::ValueMap{
        {Value("analytics_storage"), Value(c.analyticsDenied ? "denied" : "granted")}});
    provider_->identifier = c.identifier;
    provider_->canTellLimited = c.canTellLimited;
    auto identity =
        c.withProvider
            ? identityWithProvider()
            : APMIdentity::initWithPersistedConfig(persisted_, APMDefaultIdentitySupport::init());
    ASSERT_TRUE(identity);
    const auto read = identity->eventIdentifiers();
    EXPECT_EQ(read.appleConsentStatus, identity->appleConsentStatus());
    EXPECT_EQ(read.hasLimitedAdTracking, identity->hasLimitedAdTracking());
    EXPECT_EQ(read.limitedAdTracking, identity->limitedAdTracking());
    EXPECT_EQ(read.resettableDeviceID, identity->resettableDeviceID());
    EXPECT_EQ(read.resettableDeviceID, c.identifier);
    EXPECT_EQ(read.appInstanceID, identity->appInstanceID());
    EXPECT_EQ(read.appInstanceID.has_value(), !c.analyticsDenied);
    EXPECT_EQ(read.ephemeralAppInstanceID, identity->ephemeralAppInstanceID());
    EXPECT_FALSE(read.ephemeralAppInstanceID.empty());

    if (c.withProvider && !c.analyticsDenied) {
      // Past the cache time a new identifier is read, and with it comes a new app instance ID.
      provider_->identifier = "BBBB-2";
      env_.advance(2);
      const auto later = identity->eventIdentifiers();
      EXPECT_EQ(later.resettableDeviceID, "BBBB-2");
      ASSERT_TRUE(later.appInstanceID);
      EXPECT_NE(later.appInstanceID, read.appInstanceID);
      EXPECT_EQ(later.appInstanceID, persisted_->appInstanceID());
    }
    platform::ClassRegistry::shared().unregisterClass("APMPlatformIdentitySupport");
  }
}

TEST_F(APMIdentityTest, StitchingTokensFollowTheSessionSequence) {
  auto identity = APMIdentity::initWithPersistedConfig(persisted_);
  const auto a = identity->sessionStitchingTokenWithSessionNumber(1, false, true);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->size(), 32u);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, true), a);
  const auto b = identity->sessionStitchingTokenWithSessionNumber(2, false, true);
  EXPECT_NE(b, a);
  const auto c = identity->sessionStitchingTokenWithSessionNumber(2, true, true);
  EXPECT_NE(c, b);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(3, false, true), c);
  // Without a user ID the token expires after a day.
  const auto d = identity->sessionStitchingTokenWithSessionNumber(3, false, false);
  EXPECT_EQ(d, c);  // a token made with a user ID has no expiry
  identity->resetSessionStitchingToken();
  const auto e = identity->sessionStitchingTokenWithSessionNumber(3, false, false);
  EXPECT_NE(e, d);
  env_.advance(86400);
  EXPECT_NE(identity->sessionStitchingTokenWithSessionNumber(3, false, false), e);
  denyAnalyticsStorage();
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(3, false, false), std::nullopt);
}

TEST_F(APMIdentityTest, DiversionKeyDUZAppIDAndEphemeralID) {
  persisted_->setDiversionKey("ABCD");
  auto identity = APMIdentity::initWithPersistedConfig(persisted_);
  const std::string key = identity->diversionKey();
  EXPECT_EQ(key.size(), 5u);
  EXPECT_EQ(persisted_->diversionKey(), key);
  EXPECT_EQ(identity->diversionKey(), key);

  const auto ephemeral = identity->ephemeralAppInstanceID();
  EXPECT_EQ(identity->ephemeralAppInstanceID(), ephemeral);
  identity->resetEphemeralAppInstanceID();
  EXPECT_NE(identity->ephemeralAppInstanceID(), ephemeral);
}

TEST_F(APMIdentityTest, IdentifiersPreferTheCoreIdentity) {
  auto identifiers = APMIdentifiers::sharedInstance();
  identifiers->setOrigin("fa");
  identifiers->setOrigin("");
  EXPECT_EQ(identifiers->origin(), "fa");
  EXPECT_EQ(identifiers->libraryVersion(), "111500");
  const std::int64_t first = std::stoll(identifiers->adEventID());
  EXPECT_EQ(std::stoll(identifiers->adEventID()), first + 1);

  auto core = APMIdentity::initWithPersistedConfig(persisted_);
  APMEngineHooks hooks;
  hooks.coreIdentity = [core] { return core; };
  APMSetEngineHooks(hooks);
  EXPECT_EQ(identifiers->zirizaAppID(), "");  // the core's identity has no DUZ app ID
  EXPECT_EQ(identifiers->appInstanceID(), persisted_->appInstanceID());
  APMSetEngineHooks({});
  monitor()->waitForMonitorQueue();
  const auto codes = reportedCodes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 37004), codes.end());
  EXPECT_NE(std::find(codes.begin(), codes.end(), 37000), codes.end());
}

}  // namespace
