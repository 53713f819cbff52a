// The measurement configuration the configuration server sends for one app: it is parsed into
// lookup caches that answer every tunable setting (one table of key, kind, default and bounds),
// per-event questions (blocked, custom conversion, sampling rate), the upload and configuration
// URLs, the consent configuration and data controls, and it owns the event-editing instance
// built from the configuration's first program.
//
// Two kinds of instance: the default instance (no app ID, no database) answers every setting
// with its default; the per-app instance loads the stored configuration at creation and takes
// new ones through updateMeasurementConfig(). The database is held weakly.
//
// Threads: configuration changes run on the measurement worker queue. Getters run on any
// thread; every cache is guarded by `mutex_`, which is never held while calling out (monitor,
// experiment client, editing runtime, hooks).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/error.h"
#include "platform/core/value.h"

class APMDatabase;
class APMPersistedConfig;
class APMPEventEditing;

// How a setting's text is read.
enum class APMSettingKind {
  Int,              // 32-bit integer part of the decimal number
  Int64,            // 64-bit integer part
  MillisToSeconds,  // integer milliseconds / 1000, bounds and answer in seconds
  Bool,             // 0 or 1 (integer part); anything else is the default
  Count,            // read like MillisToSeconds, answered as a whole number
};

// Every setting of the configuration, in the order of the table below.
enum class APMSetting : int {
  UploadingInterval,
  UploadingInitialDelayInterval,
  UploadingDebugModeInterval,
  UploadingRealTimeInterval,
  UploadingRetryCount,
  UploadingRetryInterval,
  UploadingBackoffInterval,
  UploadMaxBundlesLimit,
  UploadMaxEventsPerBundle,
  UploadMaxSizeLimitBytes,
  MaxBundlesCreatedPerIteration,
  NetworkTimeout,
  ChecksumEnabled,
  SZTMUploadSettingEnabled,
  RemoteConfigCacheTimeInterval,
  MonitoringSamplePeriod,
  DatabaseDeleteStaleBundlesInterval,
  MaxQueueTime,
  MaxEventsStored,
  MaxEventsPerDay,
  MaxPublicEventsPerDay,
  MaxErrorEventsPerDay,
  MaxConversionsPerDay,
  MaxRealtimeEventCountPerDay,
  MaxRealtimeDCUEventCountPerDay,
  MaxEventNameCardinality,
  MaxTrackedCurrencies,
  MaxPublicEventParams,
  MaxPublicUserProperties,
  MaxPublicEventParameterValueLength,
  MaxItemScopedCustomParameters,
  MaxAudienceCount,
  MaxFiltersPerAudience,
  MaxFilterResultCount,
  MaxParametersPerFilter,
  BlocklistInternal,
  BlocklistPublic,
  IsEventSamplingEnabled,
  AnalyticsAccountTimeZoneOffsetMinutes,
  AppInBackgroundParameterEnabled,
  EfficientEngagementReportingEnabled,
  RedundantEngagementRemovalEnabled,
  CustomerTypeSettingEnabled,
  SessionStitchingTokenSettingEnabled,
  SessionDefaultTimeoutInterval,
  SessionEventUserEngagementInterval,
  AdIDCacheTime,
  GateIDFAOnATTMASEnabled,
  AttributionCacheTTLInterval,
  IsDeferredDeepLinkEnabled,
  MaxDeferredDeepLinkRetryCount,
  MaxPSMStartCount,
  MaxPSMRetryCount,
  PSMRetryInterval,
  HashPrefixBitLengthEmail,
  HashPrefixBitLengthPhone,
  MaxSignInDelayInDays,
  AdsOnDeviceConversionFeatureEnabled,
  IsNetworkBackgroundSessionEnabled,
  SKANUpdateConversionValueEnabled,
  SKANInitialCVFetchDelay,
  SKANCVFetchRetryInterval,
  SKANCVFetchRetryLimit,
  SKANFirstWindowCVFetchDelay,
  SKANFirstWindowCVFetchRetryInterval,
  SKANFirstWindowCVFetchRetryLimit,
  SKANFirstWindowUploadInterval,
};

struct APMSettingSpec {
  APMSetting setting;
  const char* getter;  // the getter's name, for diagnostics and the probe
  const char* key;     // "measurement...."
  APMSettingKind kind;
  double defaultValue;  // seconds for time settings, 0/1 for switches
  double minimum;       // unused for switches
  double maximum;
};

// The whole table, one row per APMSetting in its order.
const std::vector<APMSettingSpec>& APMRemoteConfigSettings();
const APMSettingSpec& APMRemoteConfigSetting(APMSetting setting);

// Locale-independent reading of a setting's text: optional sign, decimal digits with an optional
// fraction and exponent, surrounding blanks allowed. None for anything else, and for numbers
// outside the signed 64-bit range.
std::optional<double> APMRemoteConfigNumberFromString(std::string_view text);

// 64-bit FNV-1a of the text's UTF-8 bytes.
std::uint64_t APMRemoteConfigStableHash(std::string_view text);

// Experiment flags come from the experiments subsystem, which implements these.
class APMExperimentClient {
 public:
  virtual ~APMExperimentClient() = default;
  // Makes the latest fetched snapshot current; false with `error` when it cannot.
  virtual bool activateLatestSnapshot(platform::ErrorPtr* error) = 0;
  // The current value of a flag, or none.
  virtual std::optional<platform::Value> flagValue(const std::string& name) const = 0;
};

class APMExperimentClientDelegate {
 public:
  virtual ~APMExperimentClientDelegate() = default;
  virtual void clientDidReceiveNewSnapshot() = 0;
  virtual void clientDidReceiveFetchError(const platform::ErrorPtr& error) = 0;
  virtual bool shouldFetchExperimentsForClient() = 0;
};

class APMExperimentManager {
 public:
  virtual ~APMExperimentManager() = default;
  // Registers an SDK by name and version with its default flags; the client, or none.
  virtual std::shared_ptr<APMExperimentClient>
  registerSDK(const std::string& name, std::int64_t version, const platform::ValueMap& defaultFlags,
              std::weak_ptr<APMExperimentClientDelegate> delegate) = 0;
  virtual std::vector<std::int64_t> experimentIDs() const = 0;
  virtual void reset() = 0;
};

inline constexpr const char* APMExperimentFlagCustomerTypeEnabled = "customer_type_enabled";
inline constexpr const char* APMExperimentFlagSessionStitchingTokenFeatureEnabled =
    "session_stitching_token_feature_enabled";

// The base of the measurement service (scheme, host, port): LUMORA_MEASUREMENT_URL when set.
inline constexpr const char* APMMeasurementServiceDefaultURL = "https://measurement.lumora.invalid";
std::string APMMeasurementServiceBaseURL();
// The upload endpoints: "<base>/a", and the subdomain form "<scheme>://<sub>.<host>/a". The
// second pair (used when tracking is authorized) lives on the same service here.
std::string ZEVOveverizuruUploadURL();
std::string ZEVOveverizuruUploadURLWithSubdomain(const std::string& subdomain);
// Whether `text` is one DNS label: letters, digits and "-", 1 to 63 characters.
bool APMIsValidUploadSubdomain(std::string_view text);

inline constexpr const char* ZEVOveverizuruSZTMHTTPHeaderName = "x-sztm-server-info";

class APMRemoteConfig : public APMExperimentClientDelegate,
                        public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // Created once, on first use; never takes a configuration.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // The per-app instance: reads the stored configuration now (worker queue). None, with 29000 or
  // 29001, for an empty app ID or a missing database.
  static std::shared_ptr<APMRemoteConfig>
  initWithAppID(const std::string& appID, const std::shared_ptr<APMDatabase>& database,
                std::shared_ptr<APMPersistedConfig> persistedConfig,
                std::shared_ptr<APMExperimentManager> experimentManager);

  // The instance the engine reads: the core's per-app instance once installed, else the default.
  static std::shared_ptr<APMRemoteConfig> current();
  // Installed by the measurement core (null goes back to the default instance).
  static void setCurrent(std::shared_ptr<APMRemoteConfig> instance);

  ~APMRemoteConfig() override;

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }

  // Worker queue only. Stores and parses a configuration of this app.
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  void reset();

  // Settings. A setting's first read decides it until the next parse or reset.
  double doubleSetting(APMSetting setting);
  std::int64_t integerSetting(APMSetting setting);
  bool boolSetting(APMSetting setting);
  // The cached value under a key for the editing runtime's settings module: a string or a
  // number (which the runtime shows in its number form), else none.
  std::optional<platform::Value> settingValueForScript(const std::string& key);

  double uploadingInterval() { return doubleSetting(APMSetting::UploadingInterval); }
  double remoteConfigCacheTimeInterval() {
    return doubleSetting(APMSetting::RemoteConfigCacheTimeInterval);
  }
  double adIDCacheTime() { return doubleSetting(APMSetting::AdIDCacheTime); }
  bool gateIDFAOnATTMASEnabled() { return boolSetting(APMSetting::GateIDFAOnATTMASEnabled); }
  std::int64_t maxPublicEventParams() { return integerSetting(APMSetting::MaxPublicEventParams); }
  std::int64_t maxItemScopedCustomParameters() {
    return integerSetting(APMSetting::MaxItemScopedCustomParameters);
  }
  std::int64_t maxPublicEventParameterValueLength() {
    return integerSetting(APMSetting::MaxPublicEventParameterValueLength);
  }
  // The public limit when it exceeds 256, else 256.
  std::int64_t maxInternalEventParameterValueLength();
  // 10 while the monitor's debug mode is on, else the setting.
  std::int64_t maxPSMStartCount();
  bool customerTypeEnabled();
  bool sessionStitchingTokenFeatureEnabled();

  // Per event (internal names).
  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name);
  bool isEventBlocklisted(const std::string& name);
  bool isEventCustomConversion(const std::string& name);
  bool eventHasSamplingRate(const std::string& name);
  std::int32_t samplingRateForEvent(const std::string& name);

  // Freshness.
  std::int64_t version() const;
  double lastRemoteConfigUpdateTimestamp();
  bool isExpired();

  // URLs.
  std::optional<std::string> remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                         std::int64_t SDKVersion,
                                                         std::int64_t runtimeVersion);
  std::string uploadURL();
  std::string uploadSubdomain() const;
  bool SZTMUploadEnabled();
  std::optional<std::string> SZTMUploadURL();
  std::optional<platform::ValueMap> SZTMUploadHTTPHeaders() const;

  // The configuration's lists.
  std::vector<std::string> dataControls() const;
  platform::ValueMap consentDefaults() const;
  platform::ValueMap consentDelegations() const;
  platform::ValueMap regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;
  std::vector<std::int64_t> experimentIDs() const;
  std::shared_ptr<APMPEventEditing> eventEditing() const;
  // Drops `editing` when it is still the current editing object, as after a failed load
  // (29026); events are then written unedited until a later configuration loads a program.
  void dropEventEditing(const std::shared_ptr<APMPEventEditing>& editing);

  // Experiments.
  bool activateNewSnapshot();
  void clientDidReceiveNewSnapshot() override;
  void clientDidReceiveFetchError(const platform::ErrorPtr& error) override;
  bool shouldFetchExperimentsForClient() override;

 private:
  APMRemoteConfig(std::string appID, std::weak_ptr<APMDatabase> database,
                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                  std::shared_ptr<APMExperimentManager> experimentManager, bool isDefault);
  void attachExperiments();
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  void parseRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // The lookup rule: the validated number under `key` (the table's default when none parses).
  double numberFromCache(const APMSettingSpec& spec);
  void updateCachedExperimentFlags();

  const std::string appID_;
  const std::weak_ptr<APMDatabase> database_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMExperimentManager> experimentManager_;
  const bool isDefaultInstance_;
  std::shared_ptr<APMExperimentClient> experimentClient_;  // set at creation only

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, platform::Value> cachedValueByRemoteConfigKeys_;
  // Every setting is asked many times per event: the number each one last answered, by
  // APMSetting, valid while `settingsVersion_` (moved by every change of the cache above) is
  // the one it was taken under.
  struct AnsweredNumber {
    std::uint64_t version = 0;
    double value = 0;
  };
  std::vector<AnsweredNumber> answeredNumbers_;
  std::uint64_t settingsVersion_ = 1;
  std::map<std::string, std::shared_ptr<APMPBEventConfig>> cachedEventConfigByEventName_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
  bool hasNewSnapshot_ = false;
  platform::ValueMap cachedExperimentFlags_;
  std::vector<std::string> cachedDataControls_;
  platform::ValueMap cachedConsentDefaults_;
  platform::ValueMap cachedConsentDelegations_;
  std::set<std::string> cachedCorePlatformServices_;
  bool isDMARegion_ = true;
  platform::ValueMap cachedRegionalDefaults_;
  std::shared_ptr<APMPEventEditing> eventEditing_;
};
