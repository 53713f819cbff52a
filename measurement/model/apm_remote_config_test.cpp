#include "measurement/model/apm_remote_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/testing/measurement_config_for_testing.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/url.h"

namespace {

using platform::Value;
namespace F = apmpb_field::MeasurementConfig;

constexpr const char* kAppID = "1:123:ios:abc";

template <class Wrapper> platform::ValueList listOf(std::vector<std::shared_ptr<Wrapper>> items) {
  return NANOMessageValues(items);
}

// A configuration message built field by field, as the server would send it.
struct ConfigBuilder {
  std::shared_ptr<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithMessageInfo();

  explicit ConfigBuilder(const std::string& appID = kAppID, std::int64_t version = 7) {
    NANOSetString(config.get(), F::kAppId, appID);
    NANOSetInt64(config.get(), F::kVersion, version);
  }
  ConfigBuilder& settings(const std::vector<std::pair<std::string, std::string>>& pairs) {
    setMeasurementConfigSettings(config.get(), pairs);
    return *this;
  }
  ConfigBuilder& events(const std::vector<std::pair<std::string, std::optional<int>>>& rates,
                        bool blocked = false) {
    std::vector<std::shared_ptr<APMPBEventConfig>> items;
    for (const auto& [name, rate] : rates) {
      auto item = APMPBEventConfig::initWithMessageInfo();
      NANOSetString(item.get(), apmpb_field::EventConfig::kEventName, name);
      if (rate) NANOSetInt32(item.get(), apmpb_field::EventConfig::kSamplingRate, *rate);
      if (blocked) NANOSetBool(item.get(), apmpb_field::EventConfig::kBlocklisted, true);
      items.push_back(item);
    }
    const auto values = listOf(items);
    NANOSetArray(config.get(), F::kEventConfig, &values);
    return *this;
  }
  ConfigBuilder& programs(int count) {
    std::vector<std::shared_ptr<APMPBProgram>> items;
    for (int i = 0; i < count; ++i)
      items.push_back(APMPBProgram::initWithMessageInfo());
    const auto values = listOf(items);
    NANOSetArray(config.get(), F::kDynamicEventEditing, &values);
    return *this;
  }
  ConfigBuilder& dataControls(const std::vector<std::string>& names) {
    std::vector<std::shared_ptr<APMPBDataControl>> items;
    for (const auto& name : names) {
      auto item = APMPBDataControl::initWithMessageInfo();
      NANOSetString(item.get(), apmpb_field::DataControl::kName, name);
      items.push_back(item);
    }
    const auto values = listOf(items);
    NANOSetArray(config.get(), F::kDataControls, &values);
    return *this;
  }
  // Ad storage denied by default, ad user data delegated to ad storage, not a DMA region.
  ConfigBuilder& consent() {
    auto consent = APMPBConsentConfig::initWithMessageInfo();
    auto entry = APMPBConsentDefaultEntry::initWithMessageInfo();
    NANOSetInt32(entry.get(), apmpb_field::ConsentDefaultEntry::kConsentType, 1);
    NANOSetInt32(entry.get(), apmpb_field::ConsentDefaultEntry::kConsentStatus, 2);
    const auto defaults = listOf(std::vector{entry});
    NANOSetArray(consent.get(), apmpb_field::ConsentConfig::kDefaults, &defaults);
    auto delegation = APMPBConsentDelegationEntry::initWithMessageInfo();
    NANOSetInt32(delegation.get(), apmpb_field::ConsentDelegationEntry::kConsentType, 3);
    NANOSetInt32(delegation.get(), apmpb_field::ConsentDelegationEntry::kDelegateConsentType, 1);
    const auto delegations = listOf(std::vector{delegation});
    NANOSetArray(consent.get(), apmpb_field::ConsentConfig::kDelegations, &delegations);
    NANOSetBool(consent.get(), apmpb_field::ConsentConfig::kDmaRegion, false);
    NANOSetMessage(config.get(), F::kConsentConfig, consent.get());
    return *this;
  }
  ConfigBuilder& psm(int email) {
    auto psm = APMPBPsmSetting::initWithMessageInfo();
    NANOSetInt32(psm.get(), apmpb_field::PsmSetting::kLEmailFirstOpen, email);
    NANOSetMessage(config.get(), F::kPsmSetting, psm.get());
    return *this;
  }
  ConfigBuilder& sztm(const std::string& url, const std::string& info, int rollout) {
    auto sztm = APMPBSztmSetting::initWithMessageInfo();
    NANOSetString(sztm.get(), apmpb_field::SztmSetting::kUploadUrl, url);
    NANOSetString(sztm.get(), apmpb_field::SztmSetting::kServerInfo, info);
    NANOSetInt32(sztm.get(), apmpb_field::SztmSetting::kRolloutPercentage, rollout);
    NANOSetMessage(config.get(), F::kSztmSetting, sztm.get());
    return *this;
  }
  ConfigBuilder& subdomain(const std::string& text) {
    NANOSetString(config.get(), F::kUploadSubdomain, text);
    return *this;
  }
};

// The script runtime's stand-in: records the modules it was given and fails the programs it is
// told to fail.
class ScriptedRuntime : public APMPEventEditing {
 public:
  static inline int loads = 0;
  static inline int failuresLeft = 0;
  std::map<std::string, ModuleCreator> modules;

  void setModuleCreator(ModuleCreator creator, const std::string& name) override {
    modules[name] = std::move(creator);
  }
  void loadProgram(const APMPBProgram&, platform::ErrorPtr* error) override {
    ++loads;
    if (failuresLeft > 0) {
      --failuresLeft;
      if (error) *error = platform::Error::make("ScriptedRuntime", 3);
    }
  }
  bool handleEvent(const APMPEvent&, platform::ErrorPtr*) override { return false; }
  bool hasEdits() const override { return false; }
  bool hasCreatedEvents() const override { return false; }
  const APMPEventContext& eventContext() const override { return context_; }

 private:
  APMPEventContext context_;
};

class APMRemoteConfigTest : public apm_testing::StorageTest {
 protected:
  APMRemoteConfigTest() {
    fastDisk_.skipSync = true;
    persisted_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    database_ = APMDatabase::initWithDatabaseName(APMDatabaseFileName, persisted_, nullptr);
    ScriptedRuntime::loads = 0;
    ScriptedRuntime::failuresLeft = 0;
  }
  ~APMRemoteConfigTest() override {
    APMPEventEditing::registerFactory(nullptr);
    APMRemoteConfig::setCurrent(nullptr);
    env_.runUntilIdle();
  }

  std::shared_ptr<APMRemoteConfig> make() {
    return APMRemoteConfig::initWithAppID(kAppID, database_, persisted_, nullptr);
  }
  bool hasCode(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMDatabase> database_;
};

const APMSettingSpec& specForKey(const std::string& key) {
  for (const auto& spec : APMRemoteConfigSettings())
    if (spec.key == key) return spec;
  throw std::runtime_error("no setting " + key);
}

TEST_F(APMRemoteConfigTest, TheTableHasOneRowPerSettingInOrderWithDefaultsInsideTheBounds) {
  const auto& table = APMRemoteConfigSettings();
  ASSERT_EQ(table.size(), static_cast<std::size_t>(APMSetting::SKANFirstWindowUploadInterval) + 1);
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(table[i].key);
    EXPECT_EQ(static_cast<std::size_t>(table[i].setting), i);
    EXPECT_GE(table[i].defaultValue, table[i].minimum);
    EXPECT_LE(table[i].defaultValue, table[i].maximum);
    EXPECT_EQ(std::string(table[i].key).rfind("measurement.", 0), 0u);
  }
}

TEST_F(APMRemoteConfigTest, WithoutAConfigurationEveryGetterAnswersItsDefault) {
  auto config = make();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->version(), -1);
  for (auto instance : {APMRemoteConfig::defaultInstance(), config}) {
    for (const auto& spec : APMRemoteConfigSettings()) {
      SCOPED_TRACE(spec.key);
      EXPECT_EQ(instance->doubleSetting(spec.setting), spec.defaultValue);
    }
  }
  EXPECT_TRUE(hasCode(29017));
}

// One configuration per row: the key's text, and what its getter answers.
TEST_F(APMRemoteConfigTest, SettingTextsAreReadByTheirKind) {
  struct Case {
    const char* key;
    const char* text;
    double answer;
  };
  const Case cases[] = {
      {"measurement.upload.interval", "60000", 60},
      {"measurement.upload.interval", "10000", 3600},       // 10 s is below the minimum
      {"measurement.upload.interval", "3600000.75", 3600},  // the fraction of a ms is dropped
      {"measurement.config.cache_time", "59999", 3600},     // just under 60 s
      {"measurement.config.cache_time", "60000", 60},
      {"measurement.upload.interval", "6e4", 60},
      {"measurement.upload.interval", "60,000", 3600},  // no grouping, in any locale
      {"measurement.upload.interval", "60000ms", 3600},
      {"measurement.upload.interval", "0x100", 3600},
      {"measurement.upload.interval", "inf", 3600},
      {"measurement.account.time_zone_offset_minutes", "-900", -900},
      {"measurement.account.time_zone_offset_minutes", "-901", 0},
      {"measurement.account.time_zone_offset_minutes", " +30 ", 30},
      {"measurement.upload.max_public_event_params", "24", 100},  // not clamped to 25
      {"measurement.upload.max_public_event_params", "25.9", 25},
      {"measurement.upload.max_batch_size", "0", 0},
      {"measurement.upload.max_bundles", "9223372036854775808", 100},  // beyond 64 bits
      {"measurement.upload.max_bundles", "-9223372036854775809", 100},
      {"measurement.upload.max_bundles", "", 100},
      {"measurement.quality.checksum", "1", 1},
      {"measurement.quality.checksum", "0", 0},
      {"measurement.quality.checksum", "true", 0},
      {"measurement.sztm_upload_enabled", "0.5", 0},
      {"measurement.sztm_upload_enabled", "2", 1},
      {"measurement.sztm_upload_enabled", "-1", 1},
      {"measurement.upload.max_bundles_created_per_iteration", "5000", 5},
      {"measurement.upload.max_bundles_created_per_iteration", "999", 100},
      {"measurement.upload.max_events_per_bundle", "1000000", 1000000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = \"" + c.text + "\"");
    auto config = make();
    ASSERT_TRUE(
        config->updateMeasurementConfig(ConfigBuilder().settings({{c.key, c.text}}).config));
    const auto& spec = specForKey(c.key);
    const double answer = spec.kind == APMSettingKind::MillisToSeconds
                              ? config->doubleSetting(spec.setting)
                          : spec.kind == APMSettingKind::Bool
                              ? (config->boolSetting(spec.setting) ? 1 : 0)
                              : static_cast<double>(config->integerSetting(spec.setting));
    EXPECT_EQ(answer, c.answer);
    // The first read decides until the next configuration.
    EXPECT_EQ(config->doubleSetting(spec.setting), config->doubleSetting(spec.setting));
  }
}

// One instance through a run of changes, each setting asked before and after every change: an
// answer kept from before a change must never be given after it.
TEST_F(APMRemoteConfigTest, AnAnsweredSettingFollowsEveryLaterChangeOfTheConfiguration) {
  auto config = make();
  struct Step {
    const char* what;
    std::function<void()> change;
    double interval;           // UploadingInterval, seconds
    std::int64_t emailPrefix;  // HashPrefixBitLengthEmail
  };
  const auto install = [&](ConfigBuilder builder) {
    return [&config, builder] { ASSERT_TRUE(config->updateMeasurementConfig(builder.config)); };
  };
  const auto defaults = [] {
    return std::pair{
        APMRemoteConfigSetting(APMSetting::UploadingInterval).defaultValue,
        static_cast<std::int64_t>(
            APMRemoteConfigSetting(APMSetting::HashPrefixBitLengthEmail).defaultValue)};
  }();
  const Step steps[] = {
      {"no configuration", [] {}, defaults.first, defaults.second},
      {"interval set",
       install(ConfigBuilder().settings({{"measurement.upload.interval", "60000"}})), 60,
       defaults.second},
      {"interval gone", install(ConfigBuilder()), defaults.first, defaults.second},
      {"interval and PSM number",
       install(ConfigBuilder().settings({{"measurement.upload.interval", "120000"}}).psm(19)), 120,
       19},
      {"reset", [&config] { config->reset(); }, defaults.first, defaults.second},
      {"interval again",
       install(ConfigBuilder().settings({{"measurement.upload.interval", "90000"}})), 90,
       defaults.second},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(config->doubleSetting(APMSetting::UploadingInterval), step.interval);
      EXPECT_EQ(config->integerSetting(APMSetting::HashPrefixBitLengthEmail), step.emailPrefix);
    }
  }
}

TEST_F(APMRemoteConfigTest, TheInternalValueLimitAndTheEventModelLimitsFollowTheInstalledConfig) {
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder()
          .settings({{"measurement.upload.max_event_parameter_value_length", "100"},
                     {"measurement.upload.max_public_event_params", "30"}})
          .config));
  EXPECT_EQ(config->maxInternalEventParameterValueLength(), 256);
  EXPECT_EQ(APMCurrentEventModelLimits().maxPublicEventParams, 100);  // default instance
  APMRemoteConfig::setCurrent(config);
  const auto limits = APMCurrentEventModelLimits();
  EXPECT_EQ(limits.maxPublicEventParams, 30);
  EXPECT_EQ(limits.maxInternalEventParameterValueLength(), 256);

  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder()
          .settings({{"measurement.upload.max_event_parameter_value_length", "400"}})
          .config));
  EXPECT_EQ(config->maxInternalEventParameterValueLength(), 400);
}

TEST_F(APMRemoteConfigTest, EventConfigsAnswerSamplingBlockingAndInternalNames) {
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(ConfigBuilder()
                                                  .events({{"r1", 1},
                                                           {"r0", 0},
                                                           {"rneg", -5},
                                                           {"rbig", 65536},
                                                           {"r2", 2},
                                                           {"rmax", 65535},
                                                           {"screen_view", 7},
                                                           {"", 3}})
                                                  .config));
  const std::pair<const char*, int> rates[] = {{"r1", 1},   {"r0", 1},  {"rneg", 1},
                                               {"rbig", 1}, {"r2", 2},  {"rmax", 65535},
                                               {"_vs", 7},  {"none", 1}};
  for (const auto& [name, rate] : rates) {
    SCOPED_TRACE(name);
    EXPECT_EQ(config->samplingRateForEvent(name), rate);
  }
  EXPECT_TRUE(config->eventHasSamplingRate("r0"));
  EXPECT_FALSE(config->eventHasSamplingRate("screen_view"));  // stored under its internal name
  EXPECT_TRUE(hasCode(29013));
  EXPECT_FALSE(config->isEventBlocklisted("r2"));

  ASSERT_TRUE(
      config->updateMeasurementConfig(ConfigBuilder()
                                          .events({{"blocked", std::nullopt}}, true)
                                          .settings({{"measurement.upload.blacklist_public", "1"}})
                                          .config));
  EXPECT_TRUE(config->isEventBlocklisted("blocked"));
  EXPECT_TRUE(config->isEventBlocklisted("level_up"));    // public name, public switch on
  EXPECT_FALSE(config->isEventBlocklisted("_internal"));  // internal switch off
  EXPECT_EQ(config->samplingRateForEvent("r2"), 1);       // the new configuration replaced it
}

TEST_F(APMRemoteConfigTest, AFailedProgramKeepsTheRestOfTheConfigurationInForce) {
  APMPEventEditing::registerFactory([] { return std::make_shared<ScriptedRuntime>(); });
  ScriptedRuntime::failuresLeft = 1;
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder().programs(2).dataControls({"redact_device_info"}).consent().psm(19).config));
  EXPECT_TRUE(hasCode(29026));
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"redact_device_info"});
  EXPECT_EQ(config->consentDefaults(),
            (platform::ValueMap{{Value("ad_storage"), Value("denied")}}));
  EXPECT_EQ(config->consentDelegations(),
            (platform::ValueMap{{Value("ad_user_data"), Value("ad_storage")}}));
  EXPECT_FALSE(config->isDMARegion());
  // PSM numbers skip the bounds (19 is inside; the point is they are numbers already).
  EXPECT_EQ(config->integerSetting(APMSetting::HashPrefixBitLengthEmail), 19);

  // The next configuration loads its first program only and hands it the settings module.
  clearReports();
  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder().programs(2).settings({{"measurement.upload.interval", "60000"}}).config));
  EXPECT_TRUE(hasCode(29027));
  EXPECT_EQ(ScriptedRuntime::loads, 2);
  auto editing = std::dynamic_pointer_cast<ScriptedRuntime>(config->eventEditing());
  ASSERT_TRUE(editing);
  ASSERT_EQ(editing->modules.size(), 3u);
  auto store = std::dynamic_pointer_cast<APMPKeyValueStoreModule>(
      editing->modules.at("internal.remoteConfig")());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->getValueBlock("measurement.upload.interval"), Value("60000"));
  config->uploadingInterval();
  // The getter caches its converted number there; the runtime shows it in its number form.
  const auto cached = store->getValueBlock("measurement.upload.interval");
  ASSERT_TRUE(cached && cached->isNumber());
  EXPECT_EQ(cached->asDouble(), 60);
  EXPECT_EQ(store->getValueBlock("missing"), std::nullopt);
  auto metadata = std::dynamic_pointer_cast<APMPObjectProviderModule>(
      editing->modules.at("internal.appMetadata")());
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->block().at(Value("platform")), Value("macos"));
  EXPECT_EQ(metadata->block().at(Value("duz_version")), Value(std::int64_t{111500}));
}

TEST_F(APMRemoteConfigTest, WithoutARuntimeProgramsStayUnloaded) {
  auto config = make();
  ASSERT_TRUE(
      config->updateMeasurementConfig(ConfigBuilder().programs(1).dataControls({"a"}).config));
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_TRUE(hasCode(29026));
  EXPECT_EQ(config->dataControls().size(), 1u);
}

TEST_F(APMRemoteConfigTest, AnotherAppIsRefusedAndTheStoredConfigurationComesBack) {
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder(kAppID, 3).settings({{"measurement.upload.interval", "60000"}}).config));
  EXPECT_FALSE(config->updateMeasurementConfig(ConfigBuilder("1:other:ios:x", 4).config));
  EXPECT_TRUE(hasCode(29004));
  EXPECT_EQ(config->version(), 3);
  EXPECT_FALSE(APMRemoteConfig::defaultInstance()->updateMeasurementConfig(ConfigBuilder().config));
  EXPECT_TRUE(hasCode(29002));

  auto restarted = make();
  EXPECT_EQ(restarted->version(), 3);
  EXPECT_EQ(restarted->uploadingInterval(), 60);
  EXPECT_EQ(APMRemoteConfig::initWithAppID("", database_, persisted_, nullptr), nullptr);
  EXPECT_EQ(APMRemoteConfig::initWithAppID(kAppID, nullptr, persisted_, nullptr), nullptr);
  EXPECT_TRUE(hasCode(29000));
  EXPECT_TRUE(hasCode(29001));
}

TEST_F(APMRemoteConfigTest, ExpiryFollowsTheCacheTimeOnTheMockClock) {
  auto config = make();
  EXPECT_TRUE(config->isExpired());  // never stored
  EXPECT_FALSE(APMRemoteConfig::defaultInstance()->isExpired());
  ASSERT_TRUE(config->updateMeasurementConfig(ConfigBuilder().config));
  env_.advance(59 * 60);
  EXPECT_FALSE(config->isExpired());
  env_.advance(60);
  EXPECT_TRUE(config->isExpired());
}

TEST_F(APMRemoteConfigTest, EndpointsAreBuiltOnTheMeasurementService) {
  platform::ScopedEnvironmentForTesting service("LUMORA_MEASUREMENT_URL", "http://127.0.0.1:8123/");
  auto config = make();
  const auto url = config->remoteConfigURLWithPlatform("macos", 111500, 0);
  ASSERT_TRUE(url);
  const auto parsed = platform::URL::parse(*url);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->percentEncodedPath(), "/config/app/1:123:ios:abc");
  EXPECT_EQ(url->substr(url->find('?') + 1), "duz_version=111500&platform=macos&runtime_version=0");
  EXPECT_EQ(config->remoteConfigURLWithPlatform(std::nullopt, 1, 0), std::nullopt);
  EXPECT_EQ(APMRemoteConfig::defaultInstance()->remoteConfigURLWithPlatform("macos", 1, 0),
            std::nullopt);

  EXPECT_EQ(config->uploadURL(), "http://127.0.0.1:8123/a");
  const std::pair<const char*, const char*> subdomains[] = {
      {"eu", "http://eu.127.0.0.1:8123/a"},
      {"x.example/#", "http://127.0.0.1:8123/a"},
      {"a-b9", "http://a-b9.127.0.0.1:8123/a"},
      {"under_score", "http://127.0.0.1:8123/a"},
  };
  for (const auto& [subdomain, expected] : subdomains) {
    SCOPED_TRACE(subdomain);
    ASSERT_TRUE(config->updateMeasurementConfig(ConfigBuilder().subdomain(subdomain).config));
    EXPECT_EQ(config->uploadURL(), expected);
  }
  EXPECT_FALSE(APMIsValidUploadSubdomain(std::string(64, 'a')));
  EXPECT_TRUE(APMIsValidUploadSubdomain(std::string(63, 'a')));
}

TEST_F(APMRemoteConfigTest, ServerSideTaggingNeedsEveryConditionAndRollsOutByBucket) {
  persisted_->setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
  const int bucket =
      static_cast<int>(APMRemoteConfigStableHash("0123456789ABCDEF0123456789ABCDEF") % 100);
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder().sztm("https://tags.example/a", "srv", bucket + 1).config));
  EXPECT_FALSE(config->SZTMUploadEnabled());  // the app has not switched it on
  platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
      "/nowhere", {{Value("ZIRIZA_ANALYTICS_SZTM_UPLOAD_ENABLED"), Value(true)}}));
  EXPECT_TRUE(config->SZTMUploadEnabled());
  EXPECT_EQ(config->SZTMUploadURL(), "https://tags.example/a");
  EXPECT_EQ(config->SZTMUploadHTTPHeaders(),
            (platform::ValueMap{{Value("x-sztm-server-info"), Value("srv")}}));

  ASSERT_TRUE(config->updateMeasurementConfig(
      ConfigBuilder().sztm("https://tags.example/a", "", bucket).config));
  EXPECT_FALSE(config->SZTMUploadEnabled());  // outside the rollout
  EXPECT_EQ(config->SZTMUploadHTTPHeaders(), std::nullopt);
  ASSERT_TRUE(
      config->updateMeasurementConfig(ConfigBuilder()
                                          .sztm("https://tags.example/a", "", 100)
                                          .settings({{"measurement.sztm_upload_enabled", "0"}})
                                          .config));
  EXPECT_FALSE(config->SZTMUploadEnabled());  // the server switched it off
  platform::Bundle::setMainForTesting(nullptr);
}

// The experiments subsystem's stand-in.
class ScriptedExperiments : public APMExperimentManager, public APMExperimentClient {
 public:
  std::weak_ptr<APMExperimentClientDelegate> delegate;
  std::optional<Value> customerType;
  int failures = 0;
  int resets = 0;
  std::shared_ptr<ScriptedExperiments> self;

  std::shared_ptr<APMExperimentClient>
  registerSDK(const std::string& name, std::int64_t version, const platform::ValueMap&,
              std::weak_ptr<APMExperimentClientDelegate> d) override {
    EXPECT_EQ(name, "app_measurement");
    EXPECT_EQ(version, 111500);
    delegate = d;
    return self;
  }
  std::vector<std::int64_t> experimentIDs() const override { return {4, 9}; }
  void reset() override { ++resets; }
  bool activateLatestSnapshot(platform::ErrorPtr* error) override {
    if (failures > 0) {
      --failures;
      if (error) *error = platform::Error::make("ScriptedExperiments", 2);
      return false;
    }
    return true;
  }
  std::optional<Value> flagValue(const std::string& name) const override {
    if (name == APMExperimentFlagCustomerTypeEnabled) return customerType;
    return std::nullopt;
  }
};

TEST_F(APMRemoteConfigTest, ExperimentFlagsComeFromActivatedSnapshots) {
  auto experiments = std::make_shared<ScriptedExperiments>();
  experiments->self = experiments;
  experiments->failures = 1;
  experiments->customerType = Value(false);
  auto config = APMRemoteConfig::initWithAppID(kAppID, database_, persisted_, experiments);
  ASSERT_TRUE(config);
  EXPECT_TRUE(hasCode(29023));
  EXPECT_EQ(experiments->delegate.lock(), config);
  EXPECT_FALSE(config->customerTypeEnabled());  // the flag wins over the setting's default
  EXPECT_EQ(config->experimentIDs(), (std::vector<std::int64_t>{4, 9}));

  EXPECT_FALSE(config->activateNewSnapshot());  // nothing new
  experiments->customerType.reset();
  config->clientDidReceiveNewSnapshot();
  experiments->failures = 1;
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_TRUE(hasCode(29024));
  EXPECT_FALSE(config->customerTypeEnabled());  // the old flags stay until an activation
  EXPECT_TRUE(config->activateNewSnapshot());   // the snapshot is still flagged
  EXPECT_TRUE(config->customerTypeEnabled());   // no flag: the setting's default
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_FALSE(config->shouldFetchExperimentsForClient());  // no core yet
  config->reset();
  EXPECT_EQ(experiments->resets, 1);
  experiments->self.reset();
}

TEST(APMRemoteConfigHash, IsSixtyFourBitFnv1a) {
  EXPECT_EQ(APMRemoteConfigStableHash(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(APMRemoteConfigStableHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(APMRemoteConfigStableHash("foobar"), 0x85944171f73967e8ull);
}

}  // namespace
