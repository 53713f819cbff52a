// APMSearchAdReporter: asks once per installation whether the application was installed from a
// search advertisement. It takes an attribution token from the token provider registered under
// "AAAttribution" (none in the product host), posts it to the search-ads attribution service
// ("/api/v1/" under LUMORA_SEARCH_ADS_URL) and, for an attributed install, logs the campaign
// event "_cmp" with origin "auto" through the internal-event entry. Attempts are a day apart and
// at most ten; the attempt count, the last attempt time and the outcome live in the persisted
// configuration so they survive restarts.
//
// The engine makes one while measurement starts and owns it. Threads: scheduling, the alarm and
// the whole network reply run on the engine's worker queue (the URL session's completion only
// hands the reply over); the enabled flag is an atomic; the campaign value is tested and set
// under `campaignLock_`, which is never held while calling out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

class APMAlarm;
class APMPersistedConfig;

// The attribution-token provider, looked up by this name in platform::ClassRegistry.
inline constexpr const char* APMAttributionClassName = "AAAttribution";
class APMAttributionTokenClass {
 public:
  virtual ~APMAttributionTokenClass() = default;
  // The token; or an empty string with `*error` set when none can be made.
  virtual std::string attributionTokenWithError(platform::ErrorPtr* error) = 0;
};

inline constexpr std::int64_t APMSearchAdMaxRetries = 9;  // attempts 1..10
inline constexpr double APMSearchAdRetryInterval = 86400.0;
inline constexpr double APMSearchAdRequestTimeout = 10.0;
inline constexpr const char* APMSearchAdTestValue = "1234567890";
inline constexpr const char* APMSearchAdURLVariable = "LUMORA_SEARCH_ADS_URL";
inline constexpr const char* APMSearchAdDefaultURL = "https://search-ads.invalid";

class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  // None without a queue (32000) or configuration (32001), after ten attempts, or once an
  // outcome is persisted (32002).
  static std::shared_ptr<APMSearchAdReporter>
  initWithWorkerQueue(platform::QueuePtr workerQueue,
                      std::shared_ptr<APMPersistedConfig> persistedConfig);
  APMSearchAdReporter(platform::QueuePtr workerQueue,
                      std::shared_ptr<APMPersistedConfig> persistedConfig);
  ~APMSearchAdReporter();

  // Worker queue. Without a provider: 32014; otherwise schedules the next attempt.
  void start();
  // The provider, when the OS version is 11.1 or later and one is registered.
  static std::shared_ptr<APMAttributionTokenClass> adClientInstance();

  bool isSearchAdReporterEnabled() const { return enabled_; }
  void setSearchAdReporterEnabled(bool enabled) { enabled_ = enabled; }

  // Worker queue.
  void scheduleSearchAdReport();
  void cancelScheduling();
  bool hasPendingAttempt() const;

  // The attribution service's URL: the base URL (override or default) + "/api/v1/".
  static std::string attributionURL();

 private:
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  void handleReply(const platform::Bytes& data, const platform::ErrorPtr& error);
  void logCampaignEventWithSearchAdCampaign(bool attributed,
                                            const std::optional<std::string>& campaign,
                                            const std::optional<std::string>& term);

  const platform::QueuePtr workerQueue_;
  std::shared_ptr<APMAlarm> alarm_;  // worker queue; null once scheduling is given up
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::atomic<bool> enabled_{false};
  std::mutex campaignLock_;
};
