#include "measurement/model/apm_remote_config.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_engine_hooks.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/url.h"
#include "platform/log/log.h"

using platform::Value;

namespace {

using K = APMSettingKind;
using S = APMSetting;

// Time settings are written here in seconds; the configuration gives milliseconds.
const std::vector<APMSettingSpec>& settingsTable() {
  static const std::vector<APMSettingSpec> table{
      {S::UploadingInterval, "uploadingInterval", "measurement.upload.interval", K::MillisToSeconds,
       3600, 15, 86400},
      {S::UploadingInitialDelayInterval, "uploadingInitialDelayInterval",
       "measurement.upload.initial_upload_delay_time", K::MillisToSeconds, 15, 1, 86400},
      {S::UploadingDebugModeInterval, "uploadingDebugModeInterval",
       "measurement.upload.debug_upload_interval", K::MillisToSeconds, 1, 1, 15},
      {S::UploadingRealTimeInterval, "uploadingRealTimeInterval",
       "measurement.upload.realtime_upload_interval", K::MillisToSeconds, 10, 10, 15},
      {S::UploadingRetryCount, "uploadingRetryCount", "measurement.upload.retry_count", K::Int, 6,
       1, 24},
      {S::UploadingRetryInterval, "uploadingRetryInterval", "measurement.upload.retry_time",
       K::MillisToSeconds, 1800, 60, 86400},
      {S::UploadingBackoffInterval, "uploadingBackoffInterval", "measurement.upload.backoff_period",
       K::MillisToSeconds, 43200, 3600, 604800},
      {S::UploadMaxBundlesLimit, "uploadMaxBundlesLimit", "measurement.upload.max_bundles",
       K::Int64, 100, 1, 10000},
      {S::UploadMaxEventsPerBundle, "uploadMaxEventsPerBundle",
       "measurement.upload.max_events_per_bundle", K::Int64, 1000, 1, 1000000},
      {S::UploadMaxSizeLimitBytes, "uploadMaxSizeLimitBytes", "measurement.upload.max_batch_size",
       K::Int64, 65536, 0, 10485760},
      {S::MaxBundlesCreatedPerIteration, "maxBundlesCreatedPerIteration",
       "measurement.upload.max_bundles_created_per_iteration", K::Count, 100, 1, 10000},
      {S::NetworkTimeout, "networkTimeout", "measurement.network.network_timeout",
       K::MillisToSeconds, 60, 30, 3600},
      {S::ChecksumEnabled, "checksumEnabled", "measurement.quality.checksum", K::Bool, 0, 0, 1},
      {S::SZTMUploadSettingEnabled, "SZTMUploadEnabled", "measurement.sztm_upload_enabled", K::Bool,
       1, 0, 1},
      {S::RemoteConfigCacheTimeInterval, "remoteConfigCacheTimeInterval",
       "measurement.config.cache_time", K::MillisToSeconds, 3600, 60, 86400},
      {S::MonitoringSamplePeriod, "monitoringSamplePeriod",
       "measurement.monitoring.sample_period_millis", K::MillisToSeconds, 86400, 0, 604800},
      {S::DatabaseDeleteStaleBundlesInterval, "databaseDeleteStaleBundlesInterval",
       "measurement.upload.stale_data_deletion_interval", K::MillisToSeconds, 86400, 3600, 604800},
      {S::MaxQueueTime, "maxQueueTime", "measurement.upload.max_queue_time", K::MillisToSeconds,
       2419200, 604800, 7862400},
      {S::MaxEventsStored, "maxEventsStored", "measurement.store.max_stored_events_per_app", K::Int,
       100000, 0, 1000000},
      {S::MaxEventsPerDay, "maxEventsPerDay", "measurement.upload.max_events_per_day", K::Int,
       100000, 0, 1000000},
      {S::MaxPublicEventsPerDay, "maxPublicEventsPerDay",
       "measurement.upload.max_public_events_per_day", K::Int, 50000, 0, 1000000},
      {S::MaxErrorEventsPerDay, "maxErrorEventsPerDay",
       "measurement.upload.max_error_events_per_day", K::Int, 1000, 0, 1000000},
      {S::MaxConversionsPerDay, "maxConversionsPerDay",
       "measurement.upload.max_conversions_per_day", K::Int, 10000, 0, 1000000},
      {S::MaxRealtimeEventCountPerDay, "maxRealtimeEventCountPerDay",
       "measurement.upload.max_realtime_events_per_day", K::Int, 10, 0, 10},
      {S::MaxRealtimeDCUEventCountPerDay, "maxRealtimeDCUEventCountPerDay",
       "measurement.dma.dcu_event_max_realtime_daily_count", K::Int, 1, 0, 10},
      {S::MaxEventNameCardinality, "maxEventNameCardinality",
       "measurement.upload.max_event_name_cardinality", K::Int, 2000, 500, 2000},
      {S::MaxTrackedCurrencies, "maxTrackedCurrencies",
       "measurement.lifetimevalue.max_currency_tracked", K::Int, 4, 1, 100},
      {S::MaxPublicEventParams, "maxPublicEventParams",
       "measurement.upload.max_public_event_params", K::Int, 100, 25, 100},
      {S::MaxPublicUserProperties, "maxPublicUserProperties",
       "measurement.upload.max_public_user_properties", K::Int, 100, 25, 100},
      {S::MaxPublicEventParameterValueLength, "maxPublicEventParameterValueLength",
       "measurement.upload.max_event_parameter_value_length", K::Int, 500, 100, 500},
      {S::MaxItemScopedCustomParameters, "maxItemScopedCustomParameters",
       "measurement.upload.max_item_scoped_custom_parameters", K::Int, 27, 10, 35},
      {S::MaxAudienceCount, "maxAudienceCount", "measurement.audience.max_count", K::Int, 100, 0,
       500},
      {S::MaxFiltersPerAudience, "maxFiltersPerAudience",
       "measurement.audience.filter_max_count_per_audience", K::Int, 10, 0, 100},
      {S::MaxFilterResultCount, "maxFilterResultCount",
       "measurement.audience.filter_result_max_count", K::Int, 200, 0, 2000},
      {S::MaxParametersPerFilter, "maxParametersPerFilter",
       "measurement.audience.parameter_max_count_filter", K::Int, 25, 0, 250},
      {S::BlocklistInternal, "blocklistInternal", "measurement.upload.blacklist_internal", K::Bool,
       0, 0, 1},
      {S::BlocklistPublic, "blocklistPublic", "measurement.upload.blacklist_public", K::Bool, 0, 0,
       1},
      {S::IsEventSamplingEnabled, "isEventSamplingEnabled", "measurement.event_sampling_enabled",
       K::Bool, 0, 0, 1},
      {S::AnalyticsAccountTimeZoneOffsetMinutes, "analyticsAccountTimeZoneOffsetMinutes",
       "measurement.account.time_zone_offset_minutes", K::Int, 0, -900, 900},
      {S::AppInBackgroundParameterEnabled, "appInBackgroundParameterEnabled",
       "measurement.lifecycle.app_in_background_parameter", K::Bool, 1, 0, 1},
      {S::EfficientEngagementReportingEnabled, "efficientEngagementReportingEnabled",
       "measurement.collection.efficient_engagement_reporting_enabled", K::Bool, 0, 0, 1},
      {S::RedundantEngagementRemovalEnabled, "redundantEngagementRemovalEnabled",
       "measurement.collection.redundant_engagement_removal_enabled", K::Bool, 0, 0, 1},
      {S::CustomerTypeSettingEnabled, "customerTypeEnabled", "measurement.customer_type_enabled",
       K::Bool, 1, 0, 1},
      {S::SessionStitchingTokenSettingEnabled, "sessionStitchingTokenFeatureEnabled",
       "measurement.session_stitching_token_enabled", K::Bool, 0, 0, 1},
      {S::SessionDefaultTimeoutInterval, "sessionDefaultTimeoutInterval",
       "measurement.session.default_timeout_interval", K::MillisToSeconds, 1800, 0, 86400},
      {S::SessionEventUserEngagementInterval, "sessionEventUserEngagementInterval",
       "measurement.session.event_user_engagement_interval", K::MillisToSeconds, 3600, 0, 86400},
      {S::AdIDCacheTime, "adIDCacheTime", "measurement.ad_id_cache_time", K::MillisToSeconds, 1, 0,
       86400},
      {S::GateIDFAOnATTMASEnabled, "gateIDFAOnATTMASEnabled", "measurement.attmas_gate", K::Bool, 0,
       0, 1},
      {S::AttributionCacheTTLInterval, "attributionCacheTTLInterval",
       "measurement.attribution.cache.ttl", K::MillisToSeconds, 604800, 86400, 2592000},
      {S::IsDeferredDeepLinkEnabled, "isDeferredDeepLinkEnabled", "measurement.ddl.enabled",
       K::Bool, 1, 0, 1},
      {S::MaxDeferredDeepLinkRetryCount, "maxDeferredDeepLinkRetryCount",
       "measurement.ddl.retry_count", K::Int, 5, 0, 10},
      {S::MaxPSMStartCount, "maxPSMStartCount", "measurement.psm_start_count", K::Int, 3, 0, 10},
      {S::MaxPSMRetryCount, "maxPSMRetryCount", "measurement.psm_retry_count", K::Int, 5, 0, 10},
      {S::PSMRetryInterval, "PSMRetryInterval", "measurement.psm_retry_interval",
       K::MillisToSeconds, 300, 30, 1800},
      {S::HashPrefixBitLengthEmail, "hashPrefixBitLengthEmail", "measurement.psm_prefix_email",
       K::Int, 14, 6, 20},
      {S::HashPrefixBitLengthPhone, "hashPrefixBitLengthPhone", "measurement.psm_prefix_phone",
       K::Int, 11, 6, 18},
      {S::MaxSignInDelayInDays, "maxSignInDelayInDays", "measurement.psm_signin_delay", K::Int, 60,
       7, 90},
      {S::AdsOnDeviceConversionFeatureEnabled, "adsOnDeviceConversionFeatureEnabled",
       "measurement.odm2_enabled", K::Bool, 0, 0, 1},
      {S::IsNetworkBackgroundSessionEnabled, "isNetworkBackgroundSessionEnabled",
       "measurement.network.background_session_enabled", K::Bool, 0, 0, 1},
      {S::SKANUpdateConversionValueEnabled, "SKANUpdateConversionValueEnabled",
       "measurement.skan.update_conversion_value_enabled", K::Bool, 0, 0, 1},
      {S::SKANInitialCVFetchDelay, "SKANInitialCVFetchDelay",
       "measurement.skan.initial_cv_fetch_delay_sec", K::MillisToSeconds, 120, 30, 3600},
      {S::SKANCVFetchRetryInterval, "SKANCVFetchRetryInterval",
       "measurement.skan.cv_fetch_retry_interval_sec", K::MillisToSeconds, 120, 30, 3600},
      {S::SKANCVFetchRetryLimit, "SKANCVFetchRetryLimit", "measurement.skan.cv_fetch_retry_limit",
       K::Int, 4, 1, 10},
      {S::SKANFirstWindowCVFetchDelay, "SKANFirstWindowCVFetchDelay",
       "measurement.skan.first_window.initial_cv_fetch_delay_sec", K::MillisToSeconds, 20, 1, 3600},
      {S::SKANFirstWindowCVFetchRetryInterval, "SKANFirstWindowCVFetchRetryInterval",
       "measurement.skan.first_window.cv_fetch_retry_interval_sec", K::MillisToSeconds, 120, 30,
       3600},
      {S::SKANFirstWindowCVFetchRetryLimit, "SKANFirstWindowCVFetchRetryLimit",
       "measurement.skan.first_window.cv_fetch_retry_limit", K::Int, 4, 1, 10},
      {S::SKANFirstWindowUploadInterval, "SKANFirstWindowUploadInterval",
       "measurement.skan.first_window.upload_interval_sec", K::MillisToSeconds, 1800, 15, 86400},
  };
  return table;
}

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

Value errorValue(const platform::ErrorPtr& error) {
  return error ? Value(error) : Value();
}

// Integer part of a parsed number, saturated to the type's range.
template <class T> T integerPart(double value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(value);
  if (t <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (t >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(t);
}

std::mutex gCurrentMutex;  // guards gCurrent
std::shared_ptr<APMRemoteConfig> gCurrent;

// The main bundle facts the settings module exposes.
platform::ValueMap appMetadataModuleContent() {
  platform::ValueMap content{
      {Value("platform"), Value("macos")},
      {Value("duz_version"), Value(APMIdentity::devAzerirerizeLibraryVersion())},
  };
  const auto bundle = platform::Bundle::main();
  if (bundle) {
    if (auto identifier = bundle->bundleIdentifier())
      content[Value("package_name")] = Value(*identifier);
  }
  if (auto identity = APMIdentity::sharedInstance()) {
    if (auto version = identity->appVersion()) content[Value("app_version")] = Value(*version);
  }
  return content;
}

}  // namespace

const std::vector<APMSettingSpec>& APMRemoteConfigSettings() {
  return settingsTable();
}

const APMSettingSpec& APMRemoteConfigSetting(APMSetting setting) {
  return settingsTable().at(static_cast<std::size_t>(setting));
}

std::optional<double> APMRemoteConfigNumberFromString(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::string_view body = text;
  if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);
  // Only decimal notation: digits, one point, an exponent; no "inf", "nan" or hex.
  if (body.empty() ||
      !(std::isdigit(static_cast<unsigned char>(body.front())) || body.front() == '.')) {
    return std::nullopt;
  }
  for (char c : body) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' ||
          c == '+' || c == '-')) {
      return std::nullopt;
    }
  }
  const char* begin = text.data() + (text.front() == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  // Server text is untrusted: a number beyond the 64-bit range is as good as no number.
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (value >= kLimit || value < -kLimit) return std::nullopt;
  return value;
}

std::uint64_t APMRemoteConfigStableHash(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string APMMeasurementServiceBaseURL() {
  auto base = platform::Environment::current()
                  ->nonEmpty("LUMORA_MEASUREMENT_URL")
                  .value_or(APMMeasurementServiceDefaultURL);
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base;
}

std::string ZEVOveverizuruUploadURL() {
  return APMMeasurementServiceBaseURL() + "/a";
}

std::string ZEVOveverizuruUploadURLWithSubdomain(const std::string& subdomain) {
  const std::string base = APMMeasurementServiceBaseURL();
  const auto schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return base + "/a";
  return base.substr(0, schemeEnd + 3) + subdomain + "." + base.substr(schemeEnd + 3) + "/a";
}

bool APMIsValidUploadSubdomain(std::string_view text) {
  if (text.empty() || text.size() > 63) return false;
  for (char c : text) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-')) return false;
  }
  return true;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  static const auto* instance = new std::shared_ptr<APMRemoteConfig>(
      new APMRemoteConfig("", std::weak_ptr<APMDatabase>(), nullptr, nullptr, true));
  return *instance;
}

std::shared_ptr<APMRemoteConfig>
APMRemoteConfig::initWithAppID(const std::string& appID,
                               const std::shared_ptr<APMDatabase>& database,
                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                               std::shared_ptr<APMExperimentManager> experimentManager) {
  if (appID.empty()) {
    report(1, 29000, "Cannot init remote configuration without valid Ziriza App ID");
    return nullptr;
  }
  if (!database) {
    report(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  std::shared_ptr<APMRemoteConfig> instance(new APMRemoteConfig(
      appID, database, std::move(persistedConfig), std::move(experimentManager), false));
  instance->attachExperiments();
  auto stored = instance->measurementConfigFromDatabase();
  if (stored) {
    {
      std::lock_guard lock(instance->mutex_);
      instance->remoteConfigProto_ = stored;
    }
    instance->parseRemoteConfig(stored);
  }
  return instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::current() {
  {
    std::lock_guard lock(gCurrentMutex);
    if (gCurrent) return gCurrent;
  }
  return defaultInstance();
}

void APMRemoteConfig::setCurrent(std::shared_ptr<APMRemoteConfig> instance) {
  std::lock_guard lock(gCurrentMutex);
  gCurrent = std::move(instance);
}

APMRemoteConfig::APMRemoteConfig(std::string appID, std::weak_ptr<APMDatabase> database,
                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                 std::shared_ptr<APMExperimentManager> experimentManager,
                                 bool isDefault)
    : appID_(std::move(appID)), database_(std::move(database)),
      persistedConfig_(std::move(persistedConfig)),
      experimentManager_(std::move(experimentManager)), isDefaultInstance_(isDefault) {}

APMRemoteConfig::~APMRemoteConfig() = default;

void APMRemoteConfig::attachExperiments() {
  if (!experimentManager_) return;
  experimentClient_ = experimentManager_->registerSDK(
      "app_measurement", APMIdentity::devAzerirerizeLibraryVersion(), {},
      std::weak_ptr<APMExperimentClientDelegate>(shared_from_this()));
  if (!experimentClient_) return;
  platform::ErrorPtr error;
  if (!experimentClient_->activateLatestSnapshot(&error) && error) {
    report(2, 29023, "Cannot activate stale snapshot. Error", {errorValue(error)});
  }
  updateCachedExperimentFlags();
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  if (isDefaultInstance_) {
    report(2, 29015,
           "Cannot retrieve a measurement configuration from the database for the default "
           "instance");
    return nullptr;
  }
  auto database = database_.lock();
  if (!database) return nullptr;
  platform::ErrorPtr error;
  auto config = database->queryMeasurementConfigWithError(&error);
  if (!config && error) {
    report(2, 29016, "Cannot retrieve configuration data from database. Error",
           {errorValue(error)});
  } else if (!config) {
    report(7, 29017,
           "Configuration was not found in database. The configuration will be fetched from "
           "the network when necessary");
  }
  return config;
}

bool APMRemoteConfig::updateMeasurementConfig(
    const std::shared_ptr<APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    report(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    report(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (NANOGetString(config.get(), apmpb_field::MeasurementConfig::kAppId).value_or("") != appID_) {
    report(2, 29004, "Cannot set measurement config when Ziriza App ID does not match");
    return false;
  }
  auto database = database_.lock();
  platform::ErrorPtr error;
  if (database && !database->updateRemoteConfig(config.get(), &error) && error) {
    report(1, 29005, "Cannot store config into the database", {errorValue(error)});
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfig(config);
  return true;
}

void APMRemoteConfig::parseRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  namespace F = apmpb_field::MeasurementConfig;
  if (!config) {
    report(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (NANOGetString(config.get(), F::kAppId).value_or("") != appID_) return;

  std::map<std::string, Value> settings;
  const auto settingList = NANOGetArray(config.get(), F::kSettings, APMPBSetting::classObject())
                               .value_or(platform::ValueList{});
  for (const auto& element : settingList) {
    const auto setting = element.asObjectOf<APMPBSetting>();
    const auto key =
        setting ? NANOGetString(setting.get(), apmpb_field::Setting::kName) : std::nullopt;
    const auto value =
        setting ? NANOGetString(setting.get(), apmpb_field::Setting::kValue) : std::nullopt;
    if (!key || key->empty() || !value) {
      report(5, 29019, "Cannot cache empty configuration value");
      continue;
    }
    settings[*key] = Value(*value);
  }

  std::map<std::string, std::shared_ptr<APMPBEventConfig>> eventConfigs;
  const auto eventList =
      NANOGetArray(config.get(), F::kEventConfig, APMPBEventConfig::classObject())
          .value_or(platform::ValueList{});
  for (const auto& element : eventList) {
    const auto eventConfig = element.asObjectOf<APMPBEventConfig>();
    if (!eventConfig) continue;
    const auto name =
        NANOGetString(eventConfig.get(), apmpb_field::EventConfig::kEventName).value_or("");
    if (name.empty()) {
      report(5, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const std::string* internal = APMInternalEventNames().find(name);
    eventConfigs[internal ? *internal : name] = eventConfig;
  }
  {
    std::lock_guard lock(mutex_);
    cachedValueByRemoteConfigKeys_ = std::move(settings);
    ++settingsVersion_;
    cachedEventConfigByEventName_ = std::move(eventConfigs);
  }
  if (NANOHasField(config.get(), F::kVersion)) {
    report(7, 29014, "Successfully parsed a configuration. Version",
           {Value(NANOGetInt64(config.get(), F::kVersion))});
  }

  // Programs. A program that fails to load costs only the editing instance: the rest of the
  // configuration (data controls, consent, private-set-membership settings) still applies.
  const auto programs =
      NANOGetArray(config.get(), F::kDynamicEventEditing, APMPBProgram::classObject())
          .value_or(platform::ValueList{});
  if (!programs.empty()) {
    auto editing = APMPEventEditing::init();
    std::shared_ptr<APMPEventEditing> loaded;
    const auto program = programs.front().asObjectOf<APMPBProgram>();
    if (editing && program) {
      std::weak_ptr<APMRemoteConfig> weakSelf = weak_from_this();
      editing->setModuleCreator(
          [weakSelf] {
            return std::make_shared<APMPKeyValueStoreModule>(
                "internal.remoteConfig",
                [weakSelf](const std::string& key) -> std::optional<platform::Value> {
                  auto self = weakSelf.lock();
                  return self ? self->settingValueForScript(key) : std::nullopt;
                });
          },
          "internal.remoteConfig");
      editing->setModuleCreator(
          [] {
            return std::make_shared<APMPObjectProviderModule>("internal.appMetadata",
                                                              appMetadataModuleContent);
          },
          "internal.appMetadata");
      editing->setModuleCreator(
          [] {
            return std::make_shared<APMPMessageLoggerModule>(std::make_shared<APMPixieLogger>());
          },
          "internal.logger");
      platform::ErrorPtr error;
      try {
        editing->loadProgram(*program, &error);
      } catch (const std::exception& e) {
        error = platform::Error::make("APMRemoteConfig", 1, {{Value("reason"), Value(e.what())}});
      }
      if (!error) loaded = editing;
    }
    if (loaded) {
      report(7, 29027, "Loading Event Modification and Creation programs",
             platform::ValueList{Value(static_cast<std::int64_t>(programs.size()))});
    } else {
      // No runtime registered, or the program did not load.
      report(1, 29026, "Failed to initiate event editing instance");
    }
    std::lock_guard lock(mutex_);
    eventEditing_ = loaded;
  }

  std::vector<std::string> dataControls;
  const auto controls =
      NANOGetArray(config.get(), F::kDataControls, APMPBDataControl::classObject())
          .value_or(platform::ValueList{});
  for (const auto& element : controls) {
    const auto control = element.asObjectOf<APMPBDataControl>();
    if (!control) continue;
    if (auto name = NANOGetString(control.get(), apmpb_field::DataControl::kName))
      dataControls.push_back(*name);
  }

  platform::ValueMap defaults, delegations, regional;
  std::set<std::string> services;
  std::optional<bool> dmaRegion;
  if (auto consent = NANOGetMessage<APMPBConsentConfig>(config.get(), F::kConsentConfig)) {
    namespace C = apmpb_field::ConsentConfig;
    dmaRegion = NANOGetBool(consent.get(), C::kDmaRegion);
    auto readDefaults = [&](std::int32_t index, platform::ValueMap& into) {
      for (const auto& element :
           NANOGetArray(consent.get(), index, APMPBConsentDefaultEntry::classObject())
               .value_or(platform::ValueList{})) {
        const auto entry = element.asObjectOf<APMPBConsentDefaultEntry>();
        if (!entry) continue;
        const auto type = APMConsentTypeStringFromEnum(
            NANOGetInt32(entry.get(), apmpb_field::ConsentDefaultEntry::kConsentType));
        const auto status = APMConsentStatusStringFromEnum(
            NANOGetInt32(entry.get(), apmpb_field::ConsentDefaultEntry::kConsentStatus));
        if (!type.empty() && !status.empty()) into[Value(type)] = Value(status);
      }
    };
    readDefaults(C::kDefaults, defaults);
    readDefaults(C::kEnforcedDefaults, regional);
    for (const auto& element :
         NANOGetArray(consent.get(), C::kDelegations, APMPBConsentDelegationEntry::classObject())
             .value_or(platform::ValueList{})) {
      const auto entry = element.asObjectOf<APMPBConsentDelegationEntry>();
      if (!entry) continue;
      const auto type = APMConsentTypeStringFromEnum(
          NANOGetInt32(entry.get(), apmpb_field::ConsentDelegationEntry::kConsentType));
      const auto delegate = APMConsentTypeStringFromEnum(
          NANOGetInt32(entry.get(), apmpb_field::ConsentDelegationEntry::kDelegateConsentType));
      if (!type.empty() && !delegate.empty()) delegations[Value(type)] = Value(delegate);
    }
    for (const auto& element : NANOGetArray(consent.get(), C::kCorePlatformServices,
                                            APMPBCorePlatformServiceEntry::classObject())
                                   .value_or(platform::ValueList{})) {
      const auto entry = element.asObjectOf<APMPBCorePlatformServiceEntry>();
      if (!entry) continue;
      if (auto service =
              NANOGetString(entry.get(), apmpb_field::CorePlatformServiceEntry::kServiceName))
        services.insert(*service);
    }
  }

  std::map<std::string, Value> psm;
  if (auto setting = NANOGetMessage<APMPBPsmSetting>(config.get(), F::kPsmSetting)) {
    namespace P = apmpb_field::PsmSetting;
    const std::pair<std::int32_t, const char*> fields[] = {
        {P::kLEmailFirstOpen, "measurement.psm_prefix_email"},
        {P::kLPhoneFirstOpen, "measurement.psm_prefix_phone"},
        {P::kMaxSignInDelayDays, "measurement.psm_signin_delay"},
    };
    for (const auto& [index, key] : fields) {
      if (NANOHasField(setting.get(), index))
        psm[key] = Value(static_cast<double>(NANOGetInt32(setting.get(), index)));
    }
  }

  std::lock_guard lock(mutex_);
  cachedDataControls_ = std::move(dataControls);
  cachedConsentDefaults_ = std::move(defaults);
  cachedConsentDelegations_ = std::move(delegations);
  cachedCorePlatformServices_ = std::move(services);
  cachedRegionalDefaults_ = std::move(regional);
  if (dmaRegion) isDMARegion_ = *dmaRegion;
  for (auto& [key, value] : psm)
    cachedValueByRemoteConfigKeys_[key] = std::move(value);
  ++settingsVersion_;
}

void APMRemoteConfig::reset() {
  {
    std::lock_guard lock(mutex_);
    cachedValueByRemoteConfigKeys_.clear();
    ++settingsVersion_;
    cachedEventConfigByEventName_.clear();
    cachedDataControls_.clear();
    cachedExperimentFlags_.clear();
    cachedConsentDefaults_.clear();
    cachedConsentDelegations_.clear();
    cachedCorePlatformServices_.clear();
    cachedRegionalDefaults_.clear();
    isDMARegion_ = true;
    if (!isDefaultInstance_) remoteConfigProto_.reset();
  }
  if (experimentManager_) experimentManager_->reset();
}

double APMRemoteConfig::numberFromCache(const APMSettingSpec& spec) {
  const auto index = static_cast<std::size_t>(spec.setting);
  // Under mutex_: keeps the answer for the cache as it is now.
  const auto remember = [this, index](double value) {
    if (answeredNumbers_.size() <= index) answeredNumbers_.resize(index + 1);
    answeredNumbers_[index] = {settingsVersion_, value};
    return value;
  };
  std::optional<Value> cached;
  {
    std::lock_guard lock(mutex_);
    if (index < answeredNumbers_.size() && answeredNumbers_[index].version == settingsVersion_) {
      return answeredNumbers_[index].value;
    }
    auto found = cachedValueByRemoteConfigKeys_.find(spec.key);
    if (found == cachedValueByRemoteConfigKeys_.end()) {
      cachedValueByRemoteConfigKeys_[spec.key] = Value(spec.defaultValue);
      ++settingsVersion_;
      return remember(spec.defaultValue);
    }
    // Validated before, or a PSM number.
    if (found->second.isNumber()) return remember(found->second.asDouble());
    cached = found->second;
  }
  std::optional<double> number;
  if (cached->isString()) {
    number = APMRemoteConfigNumberFromString(cached->asString());
  } else {
    report(2, 29018, "Cannot parse number from non-string", {*cached});
  }
  if (number && (spec.kind == K::MillisToSeconds || spec.kind == K::Count)) {
    number = static_cast<double>(integerPart<std::int64_t>(*number)) / 1000.0;
  }
  const double chosen =
      (!number || *number < spec.minimum || *number > spec.maximum) ? spec.defaultValue : *number;
  std::lock_guard lock(mutex_);
  auto& slot = cachedValueByRemoteConfigKeys_[spec.key];
  // A concurrent parse may have replaced the text meanwhile; only the text this call read turns
  // into its number.
  if (slot == *cached) {
    slot = Value(chosen);
    ++settingsVersion_;
    remember(chosen);
  }
  return chosen;
}

double APMRemoteConfig::doubleSetting(APMSetting setting) {
  return numberFromCache(APMRemoteConfigSetting(setting));
}

std::int64_t APMRemoteConfig::integerSetting(APMSetting setting) {
  const auto& spec = APMRemoteConfigSetting(setting);
  const double value = numberFromCache(spec);
  return spec.kind == K::Int ? integerPart<std::int32_t>(value) : integerPart<std::int64_t>(value);
}

bool APMRemoteConfig::boolSetting(APMSetting setting) {
  return integerPart<std::int32_t>(numberFromCache(APMRemoteConfigSetting(setting))) == 1;
}

std::optional<platform::Value> APMRemoteConfig::settingValueForScript(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = cachedValueByRemoteConfigKeys_.find(key);
  if (found == cachedValueByRemoteConfigKeys_.end()) return std::nullopt;
  if (found->second.isString() || found->second.isNumber()) return found->second;
  return std::nullopt;
}

std::int64_t APMRemoteConfig::maxInternalEventParameterValueLength() {
  const std::int64_t value = maxPublicEventParameterValueLength();
  return value > 256 ? value : 256;
}

std::int64_t APMRemoteConfig::maxPSMStartCount() {
  if (APMProcessMonitor()->isDebugModeEnabled()) return 10;
  return integerSetting(APMSetting::MaxPSMStartCount);
}

bool APMRemoteConfig::customerTypeEnabled() {
  std::optional<Value> flag;
  {
    std::lock_guard lock(mutex_);
    auto found = cachedExperimentFlags_.find(Value(APMExperimentFlagCustomerTypeEnabled));
    if (found != cachedExperimentFlags_.end()) flag = found->second;
  }
  if (flag && (flag->isBool() || flag->isNumber()))
    return flag->isBool() ? flag->asBool() : flag->asDouble() != 0;
  return boolSetting(APMSetting::CustomerTypeSettingEnabled);
}

bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() {
  if (experimentClient_) {
    auto flag = experimentClient_->flagValue(APMExperimentFlagSessionStitchingTokenFeatureEnabled);
    if (flag && (flag->isBool() || flag->isNumber()))
      return flag->isBool() ? flag->asBool() : flag->asDouble() != 0;
  }
  return boolSetting(APMSetting::SessionStitchingTokenSettingEnabled);
}

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(const std::string& name) {
  if (name.empty()) {
    report(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  auto found = cachedEventConfigByEventName_.find(name);
  return found == cachedEventConfigByEventName_.end() ? nullptr : found->second;
}

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) {
  auto config = eventConfigWithName(name);
  if (config && NANOHasField(config.get(), apmpb_field::EventConfig::kBlocklisted) &&
      NANOGetBool(config.get(), apmpb_field::EventConfig::kBlocklisted)) {
    return true;
  }
  return APMEventUtilIsPublicName(name) ? boolSetting(APMSetting::BlocklistPublic)
                                        : boolSetting(APMSetting::BlocklistInternal);
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) {
  auto config = eventConfigWithName(name);
  return config && NANOGetBool(config.get(), apmpb_field::EventConfig::kCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) {
  auto config = eventConfigWithName(name);
  return config && NANOHasField(config.get(), apmpb_field::EventConfig::kSamplingRate);
}

std::int32_t APMRemoteConfig::samplingRateForEvent(const std::string& name) {
  auto config = eventConfigWithName(name);
  if (!config || !NANOHasField(config.get(), apmpb_field::EventConfig::kSamplingRate)) return 1;
  const std::int32_t rate = NANOGetInt32(config.get(), apmpb_field::EventConfig::kSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

std::int64_t APMRemoteConfig::version() const {
  std::lock_guard lock(mutex_);
  if (!remoteConfigProto_ ||
      !NANOHasField(remoteConfigProto_.get(), apmpb_field::MeasurementConfig::kVersion)) {
    return -1;
  }
  return NANOGetInt64(remoteConfigProto_.get(), apmpb_field::MeasurementConfig::kVersion);
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_) {
    report(2, 29008,
           "Cannot fetch the last configuration update timestamp from the default "
           "instance");
    return 0;
  }
  auto database = database_.lock();
  if (!database) return 0;
  platform::ErrorPtr error;
  const auto timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && error) {
    report(4, 29009, "Failed to query last configuration update timestamp. Error",
           {errorValue(error)});
  }
  return timestamp.value_or(0);
}

bool APMRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    report(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double last = lastRemoteConfigUpdateTimestamp();
  const double now = platform::Clock::current().now();
  return remoteConfigCacheTimeInterval() <= std::fabs(now - last);
}

std::optional<std::string>
APMRemoteConfig::remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                             std::int64_t SDKVersion, std::int64_t runtimeVersion) {
  if (appID_.empty()) {
    report(2, 29021, "Cannot create a URL to fetch a configuration with empty app ID");
    return std::nullopt;
  }
  // Path characters stay (":" "@" and sub-delimiters), "/" "?" "#" and the rest are escaped.
  const std::string url = APMMeasurementServiceBaseURL() + "/config/app/" +
                          platform::URL::percentEncode(appID_, "!$&'()*+,;=:@") + "?";
  if (!platform) {
    report(2, 29010, "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  return url + apm_queryString({{Value("platform"), Value(*platform)},
                                {Value("runtime_version"), Value(runtimeVersion)},
                                {Value("duz_version"), Value(SDKVersion)}});
}

std::string APMRemoteConfig::uploadSubdomain() const {
  std::lock_guard lock(mutex_);
  if (!remoteConfigProto_) return "";
  return NANOGetString(remoteConfigProto_.get(), apmpb_field::MeasurementConfig::kUploadSubdomain)
      .value_or("");
}

std::string APMRemoteConfig::uploadURL() {
  // Both endpoint pairs live on the measurement service here, so the tracking status picks
  // between equal addresses; the subdomain still applies.
  const std::string subdomain = uploadSubdomain();
  // The subdomain comes from the server: anything but one DNS label would rewrite the host.
  if (!subdomain.empty() && APMIsValidUploadSubdomain(subdomain)) {
    return ZEVOveverizuruUploadURLWithSubdomain(subdomain);
  }
  return ZEVOveverizuruUploadURL();
}

bool APMRemoteConfig::SZTMUploadEnabled() {
  if (!boolSetting(APMSetting::SZTMUploadSettingEnabled)) return false;
  const auto bundle = platform::Bundle::main();
  const Value flag =
      bundle ? bundle->objectForInfoDictionaryKey("ZIRIZA_ANALYTICS_SZTM_UPLOAD_ENABLED") : Value();
  const bool plistEnabled = flag.isBool() ? flag.asBool() : flag.isNumber() && flag.asDouble() != 0;
  if (!plistEnabled) return false;
  std::shared_ptr<APMPBSztmSetting> sztm;
  {
    std::lock_guard lock(mutex_);
    if (remoteConfigProto_)
      sztm = NANOGetMessage<APMPBSztmSetting>(remoteConfigProto_.get(),
                                              apmpb_field::MeasurementConfig::kSztmSetting);
  }
  if (!sztm || NANOGetString(sztm.get(), apmpb_field::SztmSetting::kUploadUrl).value_or("").empty())
    return false;
  if (APMEngineSZTMPreviewHeaders()) return true;
  const std::int32_t percentage =
      NANOGetInt32(sztm.get(), apmpb_field::SztmSetting::kRolloutPercentage);
  const std::string id =
      persistedConfig_ ? persistedConfig_->appInstanceID().value_or("") : std::string();
  if (id.empty() && percentage < 100) return false;
  return static_cast<std::int64_t>(APMRemoteConfigStableHash(id) % 100) < percentage;
}

std::optional<std::string> APMRemoteConfig::SZTMUploadURL() {
  std::shared_ptr<APMPBSztmSetting> sztm;
  {
    std::lock_guard lock(mutex_);
    if (remoteConfigProto_)
      sztm = NANOGetMessage<APMPBSztmSetting>(remoteConfigProto_.get(),
                                              apmpb_field::MeasurementConfig::kSztmSetting);
  }
  if (!sztm) return std::nullopt;
  const auto primary = NANOGetString(sztm.get(), apmpb_field::SztmSetting::kUploadUrl);
  auto usable = [](const std::optional<std::string>& text) -> std::optional<std::string> {
    if (!text || !platform::URL::parse(*text)) return std::nullopt;
    return text;
  };
  auto identity = APMIdentity::sharedInstance();
  if (identity && identity->appDataConsentStatus() == 3) {
    if (auto alternate =
            usable(NANOGetString(sztm.get(), apmpb_field::SztmSetting::kAlternateUploadUrl)))
      return alternate;
  }
  return usable(primary);
}

std::optional<platform::ValueMap> APMRemoteConfig::SZTMUploadHTTPHeaders() const {
  std::lock_guard lock(mutex_);
  if (!remoteConfigProto_) return std::nullopt;
  auto sztm = NANOGetMessage<APMPBSztmSetting>(remoteConfigProto_.get(),
                                               apmpb_field::MeasurementConfig::kSztmSetting);
  const auto info =
      sztm ? NANOGetString(sztm.get(), apmpb_field::SztmSetting::kServerInfo) : std::nullopt;
  if (!info || info->empty()) return std::nullopt;
  return platform::ValueMap{{Value(ZEVOveverizuruSZTMHTTPHeaderName), Value(*info)}};
}

std::vector<std::string> APMRemoteConfig::dataControls() const {
  std::lock_guard lock(mutex_);
  return cachedDataControls_;
}
platform::ValueMap APMRemoteConfig::consentDefaults() const {
  std::lock_guard lock(mutex_);
  return cachedConsentDefaults_;
}
platform::ValueMap APMRemoteConfig::consentDelegations() const {
  std::lock_guard lock(mutex_);
  return cachedConsentDelegations_;
}
platform::ValueMap APMRemoteConfig::regionalDefaults() const {
  std::lock_guard lock(mutex_);
  return cachedRegionalDefaults_;
}
std::set<std::string> APMRemoteConfig::corePlatformServices() const {
  std::lock_guard lock(mutex_);
  return cachedCorePlatformServices_;
}
bool APMRemoteConfig::isDMARegion() const {
  std::lock_guard lock(mutex_);
  return isDMARegion_;
}
std::vector<std::int64_t> APMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<std::int64_t>{};
}
std::shared_ptr<APMPEventEditing> APMRemoteConfig::eventEditing() const {
  std::lock_guard lock(mutex_);
  return eventEditing_;
}

void APMRemoteConfig::dropEventEditing(const std::shared_ptr<APMPEventEditing>& editing) {
  {
    std::lock_guard lock(mutex_);
    if (!editing || eventEditing_ != editing) return;
    eventEditing_ = nullptr;
  }
  report(1, 29026, "Failed to initiate event editing instance");
}

void APMRemoteConfig::updateCachedExperimentFlags() {
  if (!experimentClient_) return;
  auto flag = experimentClient_->flagValue(APMExperimentFlagCustomerTypeEnabled);
  std::lock_guard lock(mutex_);
  if (flag) {
    cachedExperimentFlags_[Value(APMExperimentFlagCustomerTypeEnabled)] = *flag;
  } else {
    cachedExperimentFlags_.erase(Value(APMExperimentFlagCustomerTypeEnabled));
  }
}

bool APMRemoteConfig::activateNewSnapshot() {
  {
    std::lock_guard lock(mutex_);
    if (!hasNewSnapshot_) return false;
  }
  if (!experimentClient_) return false;
  platform::ErrorPtr error;
  if (!experimentClient_->activateLatestSnapshot(&error)) {
    report(2, 29024, "Cannot activate snapshot. Error", {errorValue(error)});
    return false;
  }
  updateCachedExperimentFlags();
  std::lock_guard lock(mutex_);
  hasNewSnapshot_ = false;
  return true;
}

void APMRemoteConfig::clientDidReceiveNewSnapshot() {
  std::lock_guard lock(mutex_);
  hasNewSnapshot_ = true;
}

void APMRemoteConfig::clientDidReceiveFetchError(const platform::ErrorPtr& error) {
  if (error) report(2, 29025, "Cannot fetch experiment. Error", {errorValue(error)});
}

bool APMRemoteConfig::shouldFetchExperimentsForClient() {
  return APMEngineCoreExistsAndEnabled();
}
