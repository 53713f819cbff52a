// Upload, upload schedule and configuration fetch. One upload cycle bundles pending raw events,
// takes the oldest queued bundles, completes them with what is only known at send time and posts
// them as one gzip-compressed MeasurementBatch; the schedule decides when the next cycle runs
// (the alarm "Measurement timer"); the fetch asks the measurement service for this app's
// configuration. Worker queue only; at most one request (upload or fetch) is in flight, marked by
// isNetworkRequestPending_.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>

#include "measurement/engine/apm_bundle_signals.h"
#include "measurement/engine/apm_engine_neighbours.h"
#include "measurement/engine/apm_on_device_conversion.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/dispatch/clock.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace Batch = apmpb_field::MeasurementBatch;
namespace C = apmpb_field::MeasurementConfig;

constexpr double kSuspensionTimeInterval = 3600;  // ZEVOveverizuruSuspensionTimeInterval
constexpr double kBackgroundTaskInterval = 30;    // ZEVOveverizuruBackgroundTaskInterval
constexpr const char* kPlatform = "macos";        // ZEVOveverizuruPlatform

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return platform::Value(error ? error->localizedDescription() : std::string("(none)"));
}

double now() {
  return platform::Clock::current().now();
}

// System uptime in seconds; the clock always has one here.
double uptime() {
  return platform::Clock::current().uptime();
}

bool isZero(double value) {
  return std::fabs(value) < DBL_EPSILON;
}

int statusOf(const platform::HTTPURLResponsePtr& response) {
  return response ? response->statusCode : 0;
}

}  // namespace

// ---- Upload ----

void ZEVOveverizuru::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool ZEVOveverizuru::isNetworkReadyForRequest() {
  const bool uploading = network_ && network_->hasUploadInProgress();
  if (!isNetworkRequestPending_) return !uploading;
  if (!uploading) report(1, 23041, "Analytics is uploading but network is not uploading");
  return false;
}

bool ZEVOveverizuru::hasDataToUpload() {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  const auto queueEmpty = db->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    report(1, 23117, "Failed to check if queue table is empty. Error", {errorContext(error)});
    return false;
  }
  if (!*queueEmpty) return true;
  const auto rawEmpty = db->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    report(1, 23118, "Failed to check if raw events table is empty. Error", {errorContext(error)});
    return false;
  }
  return !*rawEmpty;
}

void ZEVOveverizuru::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs) {
  if (bundleIDs.empty()) {
    report(2, 23046, "Bundle list is empty. Cancelling upload");
    return;
  }
  if (!uploadingBundleIDs_.empty()) {
    report(2, 23047, "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = bundleIDs;
}

std::vector<APMQueuedBundle> ZEVOveverizuru::filteredBundlesWithCompatibleAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const std::vector<APMQueuedBundle>& bundles) {
  const bool hasResettable = resettableDeviceID && !resettableDeviceID->empty();
  const bool hasVendor = vendorDeviceID && !vendorDeviceID->empty();
  if (hasResettable && hasVendor) {
    report(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  const std::string deviceID =
      hasResettable ? *resettableDeviceID : (hasVendor ? *vendorDeviceID : std::string());
  const std::int32_t field = hasResettable ? B::kResettableDeviceId : B::kVendorDeviceId;
  std::vector<APMQueuedBundle> out;
  for (const auto& queued : bundles) {
    const auto* bundle = queued.bundle.get();
    const auto id = NANOGetString(bundle, field).value_or("");
    if (!id.empty() && !deviceID.empty() && id != deviceID) break;
    if (NANOGetString(bundle, B::kAppId) != appID) break;
    out.push_back(queued);
  }
  return out;
}

void ZEVOveverizuru::uploadData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  const auto db = database();
  const auto remote = remoteConfigInstance();
  if (!db || !remote) return;
  // 1.
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  // 2.-4.
  report(8, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    report(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    report(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  // 5.
  if (!remote->isExpired()) {
    const std::int64_t maxBundles =
        remote->integerSetting(APMSetting::MaxBundlesCreatedPerIteration);
    for (std::int64_t i = 0; i < maxBundles && bundleRawEvents(); ++i) {
    }
  }
  // 6.
  platform::ErrorPtr error;
  const auto queued = db->queryBundlesWithCountLimit(
      remote->integerSetting(APMSetting::UploadMaxBundlesLimit),
      remote->integerSetting(APMSetting::UploadMaxSizeLimitBytes), &error);
  if (!queued) {
    report(1, 23036, "Failed to query bundles. Error", {errorContext(error)});
    terminateBackgroundTask();
    return;
  }
  // 7.
  if (queued->empty()) {
    remote->activateNewSnapshot();
    report(8, 23037, "No data to upload");
    if (remote->isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }
  // 8.
  std::string url = remote->uploadURL();
  platform::HTTPHeaders headers;
  const bool sztm = remote->SZTMUploadEnabled();
  if (sztm) {
    const auto sztmURL = remote->SZTMUploadURL();
    if (!sztmURL) {
      report(1, 23263, "Unable to get a valid SZTM upload URL.");
      return;
    }
    url = *sztmURL;
    for (const auto& source : {remote->SZTMUploadHTTPHeaders(), SZTMPreviewHeaders()}) {
      if (!source) continue;
      for (const auto& [key, value] : *source) {
        if (key.isString() && value.isString()) headers.set(key.asString(), value.asString());
      }
    }
  }
  // 9.
  tcfClientSetConsentFromData();
  const std::string signals = APMConsentSettingsUtil::consentSignals();
  const bool gateIDFA = remote->gateIDFAOnATTMASEnabled();
  const std::string diagnostics = APMConsentSettingsUtil::consentDiagnostics();
  const bool adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  std::shared_ptr<APMPBUserAttribute> npa;
  if (auto stored = db->userAttributeWithName("_npa", &error)) npa = stored->protoUserAttribute();
  const auto id = identity();
  const APMBundleIdentityValues identityValues =
      id ? APMBundleIdentityValuesFromIdentity(*id) : APMBundleIdentityValues{};
  const APMDMASettings dma = APMDMASettingsFromRemoteConfig(*remote);
  // 10.
  bool overwrite = signals.find('0') != std::string::npos;
  for (const auto& item : *queued) {
    if (!overwrite) overwrite = APMIsFirstOpenBundle(item.bundle.get());
    APMUpdateConsentSignalsAndIdentifiers(*item.bundle, signals, gateIDFA, identityValues,
                                          overwrite);
    APMUpdateDMAConsentSignals(*item.bundle, diagnostics, adUserDataDenied, npa, dma, overwrite);
  }
  // 11.
  if (persistedConfig_) {
    const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
    if (!isZero(lastSuccess)) {
      report(8, 23038, "Uploading events. Elapsed time since last successful upload (s)",
             {platform::Value(std::fabs(now() - lastSuccess))});
    }
  }
  // 12.
  const auto* first = queued->front().bundle.get();
  const auto appID = NANOGetString(first, B::kAppId);
  std::optional<std::string> resettable;
  std::optional<std::string> vendor;
  for (const auto& item : *queued) {
    const auto r = NANOGetString(item.bundle.get(), B::kResettableDeviceId);
    if (r && !r->empty()) {
      resettable = r;
      break;
    }
    const auto v = NANOGetString(item.bundle.get(), B::kVendorDeviceId);
    if (v && !v->empty()) {
      vendor = v;
      break;
    }
  }
  auto kept = filteredBundlesWithCompatibleAppID(appID, resettable, vendor, *queued);
  // 13.
  const double uploadSeconds = now();
  const auto uploadMillis = static_cast<std::int64_t>(std::trunc(uploadSeconds * 1000.0));
  const auto controls = remote->dataControls();
  const std::set<std::string> controlSet(controls.begin(), controls.end());
  const bool checksum = remote->boolSetting(APMSetting::ChecksumEnabled);
  for (auto& item : kept) {
    auto* bundle = item.bundle.get();
    NANOSetInt64(bundle, B::kUploadingLibraryVersion, APMIdentity::devAzerirerizeLibraryVersion());
    NANOSetInt64(bundle, B::kUploadTimestampMillis, uploadMillis);
    APMUpdateDataControls(*item.bundle, controlSet, identityValues);
    if (checksum) {
      if (const auto bytes = item.bundle->protoBuffer()) {
        NANOSetInt64(bundle, B::kBundleChecksum, static_cast<std::int64_t>(apm_64LSBMD5(*bytes)));
      }
    }
  }
  if (kept.size() >= 2) {
    const auto* head = kept.front().bundle.get();
    for (std::size_t i = 1; i < kept.size(); ++i) {
      if (!APMBundlesHaveCompatibleConsentState(head, kept[i].bundle.get())) {
        kept.resize(i);
        break;
      }
    }
  }
  // 14.
  auto batch = APMPBMeasurementBatch::initWithMessageInfo();
  if (!batch) return;
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundles;
  std::vector<std::int64_t> rowIDs;
  for (const auto& item : kept) {
    bundles.push_back(item.bundle);
    rowIDs.push_back(item.rowID);
  }
  const auto values = NANOMessageValues(bundles);
  NANOSetArray(batch.get(), Batch::kBundles, &values);
  const std::string subdomain = remote->uploadSubdomain();
  if (sztm && !subdomain.empty()) NANOSetString(batch.get(), Batch::kUploadSubdomain, subdomain);
  // 15.
  report(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
         {platform::Value(uploadMillis), platform::Value(batch->debugDescription())});
  // 16.
  setUploadInProgressWithBundleIDs(rowIDs);
  if (rowIDs.empty()) return;
  const auto payload = batch->protoBuffer();
  if (!payload) {
    uploadingBundleIDs_.clear();
    return;
  }
  // 17.
  if (persistedConfig_) persistedConfig_->setLastFailedUploadTimestamp(now());
  // 18.
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remote->doubleSetting(APMSetting::NetworkTimeout));
  std::weak_ptr<ZEVOveverizuru> weakSelf = weak_from_this();
  const std::string requestID =
      network_->postURL(url, headers, *payload, scheduler_->workerQueue(), false,
                        [weakSelf](const platform::HTTPURLResponsePtr& response,
                                   const platform::Bytes&, const platform::ErrorPtr& error) {
                          auto self = weakSelf.lock();
                          if (!self) return;
                          self->isNetworkRequestPending_ = false;
                          self->networkUploadCompletionHandlerWithResponse(response, error);
                        });
  // 19.
  if (requestID.empty()) {
    report(2, 23040, "Unable to create network session.");
    uploadingBundleIDs_.clear();
  }
}

void ZEVOveverizuru::networkUploadCompletionHandlerWithResponse(
    const platform::HTTPURLResponsePtr& response, const platform::ErrorPtr& error) {
  const int status = statusOf(response);
  const double time = now();
  const auto remote = remoteConfigInstance();
  if (status == 200 || status == 204) {
    report(7, 23044, "Successful upload. Got network response. Code, size",
           {platform::Value(std::int64_t{status}),
            platform::Value(response ? response->expectedContentLength : std::int64_t{-1})});
    if (persistedConfig_) {
      persistedConfig_->setLastSuccessfulUploadTimestamp(time);
      persistedConfig_->setLastFailedUploadTimestamp(0);
      persistedConfig_->setLastBackoffTimestamp(0);
    }
    updateSchedule();
    if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
      report(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
             {platform::Value(kSuspensionTimeInterval)});
      suspendedUploadTimestamp_ = uptime();
    } else {
      suspendedUploadTimestamp_ = 0;
    }
    uploadingBundleIDs_.clear();
    if ((network_ && network_->isNetworkConnected() && hasDataToUpload()) ||
        (remote && remote->isExpired())) {
      uploadData();
    } else if (ODM1Context_ && ODM1Context_->isPSMRequestPostponed) {
      ODM1Context_->isPSMRequestPostponed = false;
      retrievePSMResponse();
    } else {
      updateSchedule();
    }
    return;
  }
  if (persistedConfig_) {
    persistedConfig_->setLastFailedUploadTimestamp(time);
    if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(time);
  }
  report(7, 23043, "Network upload failed. Will retry later. Code, error",
         {platform::Value(std::int64_t{status}), errorContext(error)});
  incrementRetryCounter();
  uploadingBundleIDs_.clear();
  updateSchedule();
}

void ZEVOveverizuru::incrementRetryCounter() {
  const auto db = database();
  if (!db || uploadingBundleIDs_.empty()) return;
  platform::ErrorPtr error;
  if (!db->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error) && error) {
    report(2, 23166, "Failed to update the bundles' retry counts. Error", {errorContext(error)});
  }
}

bool ZEVOveverizuru::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  if (!db->deleteBundlesWithRowIDs(bundleIDs, &error)) {
    report(1, 23122, "Failed to delete bundles from database. Error", {errorContext(error)});
    return false;
  }
  return true;
}

// ---- Upload schedule ----

double ZEVOveverizuru::nextUploadingTime() {
  const auto db = database();
  const auto remote = remoteConfigInstance();
  if (!db || !remote) return 0;
  platform::ErrorPtr error;
  // 1.
  double latestRaw = 0;
  if (const auto t = db->queryLatestRawEventTime(&error)) {
    latestRaw = *t;
  } else if (error) {
    report(5, 23029, "Failed to query latest raw event time. Error", {errorContext(error)});
  }
  error.reset();
  double latestBundle = 0;
  if (const auto t = db->queryLatestBundleTime(&error)) {
    latestBundle = *t;
  } else if (error) {
    report(5, 23030, "Failed to query latest bundle time. Error", {errorContext(error)});
  }
  const double latest = std::max(latestRaw, latestBundle);
  if (isZero(latest)) return 0;
  // 2.
  const bool debug = APMProcessMonitor()->isDebugModeEnabled();
  bool realtime = debug;
  if (!realtime) {
    error.reset();
    const auto bundles = db->containsRealtimeBundlesWithError(&error);
    if (!bundles) {
      report(5, 23031, "Failed to query for real-time bundle indicator. Error",
             {errorContext(error)});
    }
    realtime = bundles.value_or(false);
  }
  if (!realtime) {
    error.reset();
    const auto raw = db->containsRealtimeRawEventsWithError(&error);
    if (!raw) {
      report(5, 23032, "Failed to query for real-time raw event indicator. Error",
             {errorContext(error)});
    }
    realtime = raw.value_or(false);
  }
  // 3.-5.
  const double interval = realtime ? remote->doubleSetting(APMSetting::UploadingRealTimeInterval)
                                   : remote->doubleSetting(APMSetting::UploadingInterval);
  const double current = now();
  const double base = current - std::fabs(latest - current);
  const double lastSuccess =
      persistedConfig_ ? persistedConfig_->lastSuccessfulUploadTimestamp() : 0;
  const double lastFailure = persistedConfig_ ? persistedConfig_->lastFailedUploadTimestamp() : 0;
  double next = std::fabs(current - lastSuccess) < interval
                    ? lastSuccess + interval
                    : base + remote->doubleSetting(APMSetting::UploadingInitialDelayInterval);
  // 6.
  if (lastFailure < base) {
    if (debug) {
      next = std::min(next, base + remote->doubleSetting(APMSetting::UploadingDebugModeInterval));
    }
    return next;
  }
  // 7.
  for (std::int64_t i = 0; i < remote->integerSetting(APMSetting::UploadingRetryCount) && i < 62;
       ++i) {
    next += std::ldexp(1.0, static_cast<int>(i)) *
            remote->doubleSetting(APMSetting::UploadingRetryInterval);
    if (next > lastFailure) return next;
  }
  return 0;
}

void ZEVOveverizuru::updateSchedule() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  const auto stop = [this] {
    if (alarm_) alarm_->cancel();
    if (network_) network_->setReachabilityDelegate({});
    terminateBackgroundTask();
  };
  // 1.
  if (!isZero(suspendedUploadTimestamp_)) {
    const double elapsed = std::fabs(uptime() - suspendedUploadTimestamp_);
    if (elapsed < kSuspensionTimeInterval) {
      report(3, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
             {platform::Value(kSuspensionTimeInterval - elapsed)});
      stop();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  // 2.
  if (!hasDataToUpload()) {
    if (const auto remote = remoteConfigInstance()) remote->activateNewSnapshot();
    report(8, 23024, "No data to upload. Upload task will not be scheduled");
    stop();
    return;
  }
  // 3.
  double next = nextUploadingTime();
  if (isZero(next)) {
    report(8, 23025, "No next uploading time. Upload task will not be scheduled");
    stop();
    return;
  }
  // 4.
  if (!network_ || !network_->isNetworkConnected()) {
    report(8, 23026, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(weak_from_this());
    if (alarm_) alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  // 5.
  network_->setReachabilityDelegate({});
  // 6.
  const double current = now();
  if (persistedConfig_) {
    const double backoff = persistedConfig_->lastBackoffTimestamp();
    const auto remote = remoteConfigInstance();
    const double interval =
        remote ? remote->doubleSetting(APMSetting::UploadingBackoffInterval) : 0;
    if (!isZero(backoff) && interval > current - backoff) next = std::max(next, backoff + interval);
  }
  // 7.
  if (!alarm_) return;
  if (const auto scheduled = alarm_->scheduledTimestamp(); scheduled && *scheduled <= next) {
    const double seconds = *scheduled - current;
    report(8, 23027,
           "Do not schedule an upload task. Task already exists. Will be executed in seconds",
           {platform::Value(seconds)});
    if (seconds > kBackgroundTaskInterval) terminateBackgroundTask();
    return;
  }
  // 8.
  double delay = next - current;
  if (isZero(delay)) delay = 0.001;
  std::weak_ptr<ZEVOveverizuru> weakSelf = weak_from_this();
  alarm_->runAfterDelay(delay, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->postToWorkerQueue("ZEVOveverizuru:1747", [](ZEVOveverizuru& core) { core.uploadData(); });
  });
  // 9.
  report(8, 23028, "Upload task scheduled to be executed in approx. (s)", {platform::Value(delay)});
  if (delay > kBackgroundTaskInterval) terminateBackgroundTask();
}

void ZEVOveverizuru::terminateBackgroundTask() {
  if (persistedConfig_) persistedConfig_->synchronizeToDisk();
}

// ---- Configuration fetch ----

void ZEVOveverizuru::fetchRemoteConfig() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchRemoteConfig");
  const auto remote = remoteConfigInstance();
  if (!remote || !network_) return;
  // 1.
  const auto url = remote->remoteConfigURLWithPlatform(std::string(kPlatform),
                                                       APMIdentity::devAzerirerizeLibraryVersion(),
                                                       APMPEventEditing::runtimeVersion());
  if (!url) {
    report(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  // 2.
  report(8, 23126, "Fetching configuration from the server");
  // 3. Validators go out only while the configuration they describe is still stored: after the
  // database lost it, a 304 would keep the defaults for ever.
  platform::HTTPHeaders headers;
  if (persistedConfig_ &&
      persistedConfig_->configDUZVersion() == APMIdentity::devAzerirerizeLibraryVersion() &&
      hasStoredMeasurementConfig()) {
    const auto modified = persistedConfig_->configServerLastModifiedString();
    if (modified.isString() && !modified.asString().empty()) {
      headers.set("If-Modified-Since", modified.asString());
    }
    const auto etag = persistedConfig_->configServerETag();
    if (etag && !etag->empty()) headers.set("If-None-Match", *etag);
  }
  // 4.
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remote->doubleSetting(APMSetting::NetworkTimeout));
  std::weak_ptr<ZEVOveverizuru> weakSelf = weak_from_this();
  network_->getURL(*url, headers, scheduler_->workerQueue(), false,
                   [weakSelf](const platform::HTTPURLResponsePtr& response,
                              const platform::Bytes& data, const platform::ErrorPtr& error) {
                     auto self = weakSelf.lock();
                     if (!self) return;
                     self->isNetworkRequestPending_ = false;
                     self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                   });
}

bool ZEVOveverizuru::hasStoredMeasurementConfig() {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  return db->queryMeasurementConfigWithError(&error) != nullptr;
}

void ZEVOveverizuru::networkRemoteConfigFetchCompletionHandler(
    const platform::HTTPURLResponsePtr& response, const platform::Bytes& data,
    const platform::ErrorPtr& error) {
  const int status = statusOf(response);
  const double time = now();
  // 1.
  report(8, 23127, "Fetched configuration. Status code", {platform::Value(std::int64_t{status})});
  // 2.
  if (status != 200 && status != 204 && status != 304 && status != 404) {
    report(3, 23128, "Network request failed to fetch remote config. Code, Error",
           {platform::Value(std::int64_t{status}), errorContext(error)});
    if (persistedConfig_) {
      persistedConfig_->setLastFailedUploadTimestamp(time);
      if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(time);
    }
    report(3, 23129, "Network fetch failed. Will retry later. Code, error",
           {platform::Value(std::int64_t{status}), errorContext(error)});
    updateSchedule();
    return;
  }
  // 3.
  if (persistedConfig_) {
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
  }
  const auto db = database();
  const auto recordFetchTime = [&](std::int64_t failureCode, std::string_view failureText) {
    platform::ErrorPtr writeError;
    if (db && db->updateRemoteConfigSuccessfulTimestamp(time, &writeError)) {
      suspendedUploadTimestamp_ = 0;
    } else {
      report(1, failureCode, failureText, {errorContext(writeError)});
      suspendedUploadTimestamp_ = uptime();
    }
  };
  if (status == 404 || status == 304) {
    if (status == 404) {
      report(3, 23130, "Configuration not found. Using default configuration");
    } else {
      report(8, 23131, "Configuration has not been modified. Using the same configuration. Code",
             {platform::Value(std::int64_t{status})});
    }
    recordFetchTime(23132, "Failed to update config last set timestamp. Error");
  } else {
    report(8, 23133, "Successfully fetched configuration from the server. Code, size",
           {platform::Value(std::int64_t{status}),
            platform::Value(response ? response->expectedContentLength : std::int64_t{-1})});
    recordFetchTime(23134, "Failed to set last set timestamp in database. Error");
    if (!data.empty() && db &&
        db->performTransaction([&] { return applyMeasurementConfig(data); })) {
      if (persistedConfig_) {
        const auto modified = response ? response->headers.get("Last-Modified") : std::nullopt;
        persistedConfig_->setConfigServerLastModifiedString(modified ? platform::Value(*modified)
                                                                     : platform::Value());
        persistedConfig_->setConfigServerETag(response ? response->headers.get("ETag")
                                                       : std::nullopt);
        persistedConfig_->setConfigDUZVersion(APMIdentity::devAzerirerizeLibraryVersion());
      }
    }
  }
  // 4.
  updateAdsOnDeviceConversionMeasurement();
  if (shouldRequestDeferredDeepLinkAfterConfigFetch_) {
    shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
    requestDeferredDeepLink();
  } else {
    uploadDataOrRegisterAlarm();
  }
  const auto remote = remoteConfigInstance();
  if (const auto tcf = tcfClient(); tcf && remote) tcf->setIsDMARegion(remote->isDMARegion());
}

bool ZEVOveverizuru::applyMeasurementConfig(const platform::Bytes& data) {
  // 1.
  auto config = APMPBMeasurementConfig::initWithBuffer(data);
  if (!config || !config->protoBuffer()) {
    report(2, 23135, "Configuration data is invalid.");
    return false;
  }
  // 2.
  const auto id = identity();
  const auto expected = id ? id->appIDFromDUZ() : std::nullopt;
  if (!expected || NANOGetString(config.get(), C::kAppId) != expected) {
    report(2, 23136, "Configuration does not have valid Ziriza App ID.");
    return false;
  }
  // 3. The audiences are kept apart from the stored configuration: they become filter rows.
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  const auto listed = NANOGetArray(config.get(), C::kAudiences, APMPBAudience::classObject());
  for (const auto& item : listed.value_or(platform::ValueList{})) {
    if (auto audienceMessage = item.asObjectOf<APMPBAudience>())
      audiences.push_back(std::move(audienceMessage));
  }
  NANOSetArray(config.get(), C::kAudiences, nullptr);
  // 4.
  const auto remote = remoteConfigInstance();
  if (!remote || !remote->updateMeasurementConfig(config)) {
    report(2, 23138, "Failed to update configuration with new server configuration",
           {platform::Value(platform::Bytes(data))});
    return false;
  }
  // 5.
  updateConsentSettingsUtilWithRemoteConfig();
  // 6.
  const auto evaluator = audience();
  if (!evaluator || !evaluator->updateAudiences(audiences)) {
    report(2, 23137, "Failed to update audiences with new server configuration",
           {platform::Value(platform::Bytes(data))});
    return false;
  }
  return true;
}
