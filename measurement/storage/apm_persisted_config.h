// APMPersistedConfig: the process-wide, typed facade over the measurement side's persistent
// dictionary "com.ziriza.duz.measurement" (identifiers, upload and fetch timestamps, session
// counters, first-open and campaign data). The measurement-enabled state lives in the
// application's preferences instead, so it survives the loss of the file.
//
// Threads: typed access runs synchronously on the serial queue "APMPersistedConfig"; a typed
// accessor must not be called from a block already on that queue. `lock_` guards only the
// pending synchronize request. Callable from any thread. The shared instance is never released;
// its pending file write is flushed when the process exits normally.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/storage/apm_persistent_dictionary.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

inline constexpr const char* APMPersistedConfigName = "com.ziriza.duz.measurement";

inline constexpr const char* APMPersistedConfigLastDeleteStaleKey =
    "/ziriza/measurement/last_delete_stale";
inline constexpr const char* APMPersistedConfigIsSearchAdCampaignKey =
    "/ziriza/measurement/is_search_ad_campaign";
inline constexpr const char* APMPersistedConfigSearchAdLastAttemptKey =
    "/ziriza/measurement/search_ad_last_attempt_timestamp";
inline constexpr const char* APMPersistedConfigSearchAdRetriesKey =
    "/ziriza/measurement/search_ad_number_of_retries";
inline constexpr const char* APMPersistedConfigAppInstanceIDKey =
    "/ziriza/measurement/app_instance_id";
inline constexpr const char* APMPersistedConfigDUZAppIDKey = "/ziriza/measurement/duz_app_id";
inline constexpr const char* APMPersistedConfigAdmoraAppIDKey = "/ziriza/measurement/admora_app_id";
inline constexpr const char* APMPersistedConfigHashedIDFAKey = "/ziriza/measurement/hashed_idfa";
inline constexpr const char* APMPersistedConfigDiversionKeyKey =
    "/ziriza/measurement/diversion_key";
inline constexpr const char* APMPersistedConfigMeasurementEnabledStateKey =
    "/ziriza/measurement/measurement_enabled_state";
inline constexpr const char* APMPersistedConfigLastBackoffKey = "/ziriza/measurement/last_backoff";
inline constexpr const char* APMPersistedConfigLastSuccessfulUploadKey =
    "/ziriza/measurement/last_successful_upload";
inline constexpr const char* APMPersistedConfigLastFailedUploadKey =
    "/ziriza/measurement/last_failed_upload";
inline constexpr const char* APMPersistedConfigAppVersionKey = "/ziriza/measurement/app_version";
inline constexpr const char* APMPersistedConfigOSVersionKey = "/ziriza/measurement/os_version";
inline constexpr const char* APMPersistedConfigMidnightOffsetKey =
    "/ziriza/measurement/midnight_offset";
inline constexpr const char* APMPersistedConfigLastMonitorDataSampledKey =
    "/ziriza/measurement/last_monitor_data_sampled_timestamp";
inline constexpr const char* APMPersistedConfigFirstOpenTimestampMsKey =
    "/ziriza/measurement/first_open_timestamp_ms";
inline constexpr const char* APMPersistedConfigLastModifiedSinceKey =
    "/ziriza/measurement/last_modified_since_key";
inline constexpr const char* APMPersistedConfigConfigETagKey = "/ziriza/measurement/config_etag";
inline constexpr const char* APMPersistedConfigConfigDUZVersionKey =
    "/ziriza/measurement/config_duz_version";
inline constexpr const char* APMPersistedConfigLoadTimestampKey =
    "/ziriza/measurement/load_timestamp";
inline constexpr const char* APMPersistedConfigAllowPersonalizedAdsKey =
    "/ziriza/measurement/allow_personalized_ads";
inline constexpr const char* APMPersistedConfigFeatureRolloutsKey =
    "/ziriza/measurement/zevevidi_feature_rollouts";
inline constexpr const char* APMPersistedConfigDeepLinkRetrievalCompleteKey =
    "/ziriza/measurement/deep_link_retrieval_complete";
inline constexpr const char* APMPersistedConfigDeepLinkRetryCountKey =
    "/ziriza/measurement/deep_link_retry_count";
inline constexpr const char* APMPersistedConfigSetLastAdvertisingIDResetKey =
    "/ziriza/measurement/set_last_advertising_id_reset";
inline constexpr const char* APMPersistedConfigUnmatchedFirstOpenKey =
    "/ziriza/measurement/unmatched_first_open";
inline constexpr const char* APMPersistedConfigPreviousFirstOpenCountKey =
    "/ziriza/measurement/previous_first_open_count";
inline constexpr const char* APMPersistedConfigPreviousBundledConsentSignalsKey =
    "/ziriza/measurement/previous_bundled_consent_signals";
inline constexpr const char* APMPersistedConfigAdCampaignInfoBufferKey =
    "/ziriza/measurement/ad_campaign_info_buffer";
inline constexpr const char* APMPersistedConfigLastEngagementEndKey =
    "/ziriza/measurement/last_engagement_end";
inline constexpr const char* APMPersistedConfigSessionNumberKey =
    "/ziriza/measurement/session_number";
inline constexpr const char* APMPersistedConfigSessionTimeoutKey =
    "/ziriza/measurement/session_timeout";
inline constexpr const char* APMPersistedConfigDefaultEventParametersKey =
    "/ziriza/measurement/default_event_parameters";
inline constexpr const char* APMPersistedConfigLastUploadedEventMillisKey =
    "/ziriza/measurement/last_uploaded_event_millis";
inline constexpr const char* APMPersistedConfigSKANEvaluationEventTimeMillisKey =
    "/ziriza/measurement/skan_evaluation_event_time_millis";
inline constexpr const char* APMPersistedConfigSKANEvaluationUpdateBackoffMillisKey =
    "/ziriza/measurement/skan_evaluation_update_backoff_millis";

class APMUserDefaults;

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  // Created once (reports 27001 and answers none when it cannot be made).
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // None for an empty name. Moves an older version's preferences file first, then opens the
  // dictionary; when that fails, getters answer 0 / false / none and setters do nothing.
  static std::shared_ptr<APMPersistedConfig> initWithSuiteName(const std::string& name);
  ~APMPersistedConfig();

  // Typed access, synchronously on the configuration queue. Setters then request a
  // synchronize; a value the dictionary refuses changes nothing.
  bool boolForKey(const std::string& key);
  std::int64_t int64ForKey(const std::string& key);
  std::int64_t int64ForKey(const std::string& key, APMUserDefaults& userDefault);
  double doubleForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  std::optional<platform::ValueMap> dictionaryForKey(const std::string& key);
  platform::Value numberForKey(const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInt64(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setString(std::optional<std::string> value, const std::string& key);
  void setDictionary(std::optional<platform::ValueMap> value, const std::string& key);
  void setNumber(const platform::Value& value, const std::string& key);
  // The stored object as it is (raw accessors), on the queue; setting requests no synchronize.
  platform::Value objectForKey(const std::string& key);
  void setObject(const platform::Value& value, const std::string& key);

  double lastDeleteStaleBundlesTimestamp() {
    return doubleForKey(APMPersistedConfigLastDeleteStaleKey);
  }
  void setLastDeleteStaleBundlesTimestamp(double v) {
    setDouble(v, APMPersistedConfigLastDeleteStaleKey);
  }
  platform::Value searchAdCampaignValue();
  void setSearchAdCampaignValue(const platform::Value& value);
  double lastSearchAdLookUpTimestamp() {
    return doubleForKey(APMPersistedConfigSearchAdLastAttemptKey);
  }
  void setLastSearchAdLookUpTimestamp(double v) {
    setDouble(v, APMPersistedConfigSearchAdLastAttemptKey);
  }
  std::int64_t searchAdRetryCount() { return int64ForKey(APMPersistedConfigSearchAdRetriesKey); }
  void setSearchAdRetryCount(std::int64_t v) { setInt64(v, APMPersistedConfigSearchAdRetriesKey); }
  std::optional<std::string> appInstanceID() {
    return stringForKey(APMPersistedConfigAppInstanceIDKey);
  }
  void setAppInstanceID(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigAppInstanceIDKey);
  }
  std::optional<std::string> appIDFromDUZ() { return stringForKey(APMPersistedConfigDUZAppIDKey); }
  void setAppIDFromDUZ(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigDUZAppIDKey);
  }
  std::optional<std::string> appIDFromAdmora() {
    return stringForKey(APMPersistedConfigAdmoraAppIDKey);
  }
  void setAppIDFromAdmora(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigAdmoraAppIDKey);
  }
  std::optional<std::string> hashedResettableDeviceID() {
    return stringForKey(APMPersistedConfigHashedIDFAKey);
  }
  void setHashedResettableDeviceID(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigHashedIDFAKey);
  }
  std::optional<std::string> diversionKey() {
    return stringForKey(APMPersistedConfigDiversionKeyKey);
  }
  void setDiversionKey(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigDiversionKeyKey);
  }
  // 0 not set, 1 enabled, 2 disabled; kept in the application's preferences.
  std::int64_t measurementEnabledState();
  void setMeasurementEnabledState(std::int64_t state);
  double lastBackoffTimestamp() { return doubleForKey(APMPersistedConfigLastBackoffKey); }
  void setLastBackoffTimestamp(double v) { setDouble(v, APMPersistedConfigLastBackoffKey); }
  double lastSuccessfulUploadTimestamp() {
    return doubleForKey(APMPersistedConfigLastSuccessfulUploadKey);
  }
  void setLastSuccessfulUploadTimestamp(double v) {
    setDouble(v, APMPersistedConfigLastSuccessfulUploadKey);
  }
  double lastFailedUploadTimestamp() { return doubleForKey(APMPersistedConfigLastFailedUploadKey); }
  void setLastFailedUploadTimestamp(double v) {
    setDouble(v, APMPersistedConfigLastFailedUploadKey);
  }
  std::optional<std::string> appVersion() { return stringForKey(APMPersistedConfigAppVersionKey); }
  void setAppVersion(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigAppVersionKey);
  }
  std::optional<std::string> osVersion() { return stringForKey(APMPersistedConfigOSVersionKey); }
  void setOSVersion(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigOSVersionKey);
  }
  // Seconds in [0, 86400) with millisecond grain, drawn and stored on first use.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp() {
    return doubleForKey(APMPersistedConfigLastMonitorDataSampledKey);
  }
  void setLastMonitorDataSampledTimestamp(double v) {
    setDouble(v, APMPersistedConfigLastMonitorDataSampledKey);
  }
  std::int64_t firstOpenTimestampMilliseconds() {
    return int64ForKey(APMPersistedConfigFirstOpenTimestampMsKey);
  }
  void setFirstOpenTimestampMilliseconds(std::int64_t v) {
    setInt64(v, APMPersistedConfigFirstOpenTimestampMsKey);
  }
  platform::Value configServerLastModifiedString() {
    return objectForKey(APMPersistedConfigLastModifiedSinceKey);
  }
  void setConfigServerLastModifiedString(const platform::Value& v) {
    setObject(v, APMPersistedConfigLastModifiedSinceKey);
  }
  std::optional<std::string> configServerETag() {
    return stringForKey(APMPersistedConfigConfigETagKey);
  }
  void setConfigServerETag(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigConfigETagKey);
  }
  std::int64_t configDUZVersion() { return int64ForKey(APMPersistedConfigConfigDUZVersionKey); }
  void setConfigDUZVersion(std::int64_t v) { setInt64(v, APMPersistedConfigConfigDUZVersionKey); }
  platform::Value loadTimestampValue() { return objectForKey(APMPersistedConfigLoadTimestampKey); }
  void setLoadTimestampValue(const platform::Value& v) {
    setObject(v, APMPersistedConfigLoadTimestampKey);
  }
  platform::Value allowPersonalizedAds() {
    return objectForKey(APMPersistedConfigAllowPersonalizedAdsKey);
  }
  void setAllowPersonalizedAds(const platform::Value& v) {
    setObject(v, APMPersistedConfigAllowPersonalizedAdsKey);
  }
  std::optional<std::string> zevevidiFeatureRollouts() {
    return stringForKey(APMPersistedConfigFeatureRolloutsKey);
  }
  void setZevevidiFeatureRollouts(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigFeatureRolloutsKey);
  }
  platform::Value deferredDeepLinkRetrievalComplete() {
    return objectForKey(APMPersistedConfigDeepLinkRetrievalCompleteKey);
  }
  void setDeferredDeepLinkRetrievalComplete(const platform::Value& v) {
    setObject(v, APMPersistedConfigDeepLinkRetrievalCompleteKey);
  }
  std::int64_t deferredDeepLinkRetryCount() {
    return int64ForKey(APMPersistedConfigDeepLinkRetryCountKey);
  }
  void setDeferredDeepLinkRetryCount(std::int64_t v) {
    setInt64(v, APMPersistedConfigDeepLinkRetryCountKey);
  }
  bool shouldSetLastAdvertisingIDResetUserProperty() {
    return int64ForKey(APMPersistedConfigSetLastAdvertisingIDResetKey) != 0;
  }
  void setShouldSetLastAdvertisingIDResetUserProperty(bool v) {
    setInt64(v ? 1 : 0, APMPersistedConfigSetLastAdvertisingIDResetKey);
  }
  bool unmatchedFirstOpenWithoutIDFA() {
    return int64ForKey(APMPersistedConfigUnmatchedFirstOpenKey) != 0;
  }
  void setUnmatchedFirstOpenWithoutIDFA(bool v) {
    setInt64(v ? 1 : 0, APMPersistedConfigUnmatchedFirstOpenKey);
  }
  platform::Value previousFirstOpenCount() {
    return numberForKey(APMPersistedConfigPreviousFirstOpenCountKey);
  }
  void setPreviousFirstOpenCount(const platform::Value& v) {
    setNumber(v, APMPersistedConfigPreviousFirstOpenCountKey);
  }
  std::optional<std::string> previousBundledConsentSignals() {
    return stringForKey(APMPersistedConfigPreviousBundledConsentSignalsKey);
  }
  void setPreviousBundledConsentSignals(std::optional<std::string> v) {
    setString(std::move(v), APMPersistedConfigPreviousBundledConsentSignalsKey);
  }
  platform::Value adCampaignInfoBuffer() {
    return objectForKey(APMPersistedConfigAdCampaignInfoBufferKey);
  }
  void setAdCampaignInfoBuffer(const platform::Value& v);
  double lastSessionActivityClockTime() {
    return doubleForKey(APMPersistedConfigLastEngagementEndKey);
  }
  void setLastSessionActivityClockTime(double v) {
    setDouble(v, APMPersistedConfigLastEngagementEndKey);
  }
  std::int64_t sessionNumber() { return int64ForKey(APMPersistedConfigSessionNumberKey); }
  void setSessionNumber(std::int64_t v) { setInt64(v, APMPersistedConfigSessionNumberKey); }
  platform::Value sessionTimeoutValue() {
    return numberForKey(APMPersistedConfigSessionTimeoutKey);
  }
  void setSessionTimeoutValue(const platform::Value& v) {
    setNumber(v, APMPersistedConfigSessionTimeoutKey);
  }
  std::optional<platform::ValueMap> defaultEventParameters() {
    return dictionaryForKey(APMPersistedConfigDefaultEventParametersKey);
  }
  void setDefaultEventParameters(std::optional<platform::ValueMap> v) {
    setDictionary(std::move(v), APMPersistedConfigDefaultEventParametersKey);
  }
  std::int64_t lastUploadedEventTimestampMillis() {
    return int64ForKey(APMPersistedConfigLastUploadedEventMillisKey);
  }
  void setLastUploadedEventTimestampMillis(std::int64_t v) {
    setInt64(v, APMPersistedConfigLastUploadedEventMillisKey);
  }
  std::int64_t SKANEvaluationEventTimeMillis() {
    return int64ForKey(APMPersistedConfigSKANEvaluationEventTimeMillisKey);
  }
  void setSKANEvaluationEventTimeMillis(std::int64_t v) {
    setInt64(v, APMPersistedConfigSKANEvaluationEventTimeMillisKey);
  }
  std::int64_t SKANEvaluationUpdateBackoffMillis() {
    return int64ForKey(APMPersistedConfigSKANEvaluationUpdateBackoffMillisKey);
  }
  void setSKANEvaluationUpdateBackoffMillis(std::int64_t v) {
    setInt64(v, APMPersistedConfigSKANEvaluationUpdateBackoffMillisKey);
  }

  // Empties the dictionary; the measurement-enabled state stays.
  void clearValues();
  // Asks for a synchronize one second from now, replacing a pending request.
  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // On the main thread only schedules; elsewhere writes a pending change now.
  void synchronizeToDisk();

  const std::string& name() const { return name_; }
  // The dictionary (none when it could not be opened).
  const std::shared_ptr<APMPersistentDictionary>& userDefaults() const { return userDefaults_; }

  APMPersistedConfig(std::string name, std::shared_ptr<APMPersistentDictionary> userDefaults);

 private:
  template <class F> auto onQueue(F&& body) -> decltype(body());

  const std::string name_;
  const std::shared_ptr<APMPersistentDictionary> userDefaults_;
  const platform::QueuePtr serialQueue_;
  std::mutex lock_;                          // guards synchronizeGeneration_
  std::uint64_t synchronizeGeneration_ = 0;  // a pending request runs only while it is current
};
