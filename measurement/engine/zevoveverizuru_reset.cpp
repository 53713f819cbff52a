// Data reset, application-state notifications and the network log relay.
#include <mutex>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

using platform::Value;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

Value errorContext(const platform::ErrorPtr& error) {
  return error ? Value(error) : Value();
}

constexpr double kRemoteConfigRefetchInterval = 604800;  // seven days

}  // namespace

bool ZEVOveverizuru::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
  const bool emptyID = !appInstanceID || appInstanceID->empty();
  if (emptyID) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      report(1, 23167, "Cannot reset with an empty app instance ID");
      return false;
    }
    report(7, 23218, "Resetting with an empty app instance ID");
  }
  const double loadTimestamp = APMAnalytics::loadTimestamp();
  bool result = false;
  // Every step below reads or writes state that belongs to the worker queue.
  scheduler_->dispatchSyncOnWorkerQueueBlockID("ZEVOveverizuru:3406", [&] {
    if (!wipeoutAnalyticsDataAndResetComponents()) return;
    if (persistedConfig_) {
      persistedConfig_->setAppInstanceID(emptyID ? std::nullopt : appInstanceID);
    }
    updatePersistedAppIDFromDUZ();
    report(6, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ &&
        APMAnalytics::deferredAnalyticsCollection().isNull()) {
      APMAnalytics::setDeferredAnalyticsCollection(Value(std::int64_t{enabled_ ? 0 : 1}));
    }
    initTimestamp_ = loadTimestamp;
    if (persistedConfig_) persistedConfig_->setLoadTimestampValue(Value(loadTimestamp));
    if (enabled_) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
    result = true;
  });
  return result;
}

bool ZEVOveverizuru::wipeoutAnalyticsDataAndResetComponents() {
  report(6, 23171, "Resetting App Measurement data");
  if (persistedConfig_) previousDUZAppID_ = persistedConfig_->appIDFromDUZ();
  if (persistedConfig_) persistedConfig_->clearValues();
  monitor()->clearMonitoringData();
  if (APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }
  if (const auto db = database()) {
    platform::ErrorPtr error;
    if (!db->reset(&error)) {
      report(1, 23209, "Failed to reset database", {errorContext(error)});
      return false;
    }
    if (const auto config = remoteConfigInstance()) config->reset();
    auto reporter = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
    if (reporter) reporter->setReportingEnabled(enabled_);
    setComponent(sessionReporter_, std::move(reporter));
  } else {
    // Not opened yet: the file goes, and with it any write-ahead log, shared-memory index or
    // rollback journal, which would otherwise bring wiped rows back into (or corrupt) the next
    // database of that name.
    const std::string path = APMFilePathForDatabaseName(databaseName_);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      platform::ErrorPtr error;
      if (!APMDeleteFile(path + suffix, &error) && error) {
        report(1, 23014, "Failed to delete old database file. Error", {errorContext(error)});
      }
    }
  }
  if (const auto id = identity()) {
    id->updateIdentifiersAndWait();
    id->resetEphemeralAppInstanceID();
    id->resetSessionStitchingToken();
  }
  return true;
}

void ZEVOveverizuru::subscribeForAppDidFinishLaunchingNotifications() {
  static std::mutex mutex;
  static bool subscribed = false;
  {
    std::lock_guard lock(mutex);
    if (subscribed) return;
    subscribed = true;
  }
  platform::NotificationCenter::defaultCenter().addObserverForName(
      APMApplicationDidFinishLaunchingNotification(), nullptr,
      [](const platform::Notification& notification) {
        handleAppDidFinishLaunching(notification);
      });
}
void ZEVOveverizuru::handleAppDidFinishLaunching(const platform::Notification& notification) {
  // The screen-view reporter exists before the launch's activation, so it sees it.
  APMScreenViewReporter::sharedInstance();
  handleStoredURLAfterAppLaunchWithNotification(notification);
}

void ZEVOveverizuru::subscribeForAppForegroundBackgroundNotifications() {
  std::lock_guard lock(notificationMutex_);
  if (!notificationTokens_.empty()) return;
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  notificationTokens_.push_back(
      center.addObserverForName(APMApplicationDidBecomeActiveNotification(), nullptr,
                                [weak](const platform::Notification& notification) {
                                  if (auto self = weak.lock())
                                    self->handleAppDidBecomeActiveEvent(notification);
                                }));
  notificationTokens_.push_back(
      center.addObserverForName(APMApplicationWillResignActiveNotification(), nullptr,
                                [weak](const platform::Notification& notification) {
                                  if (auto self = weak.lock())
                                    self->handleAppWillResignActiveEvent(notification);
                                }));
}

void ZEVOveverizuru::unsubscribeFromAppNotifications() {
  std::lock_guard lock(notificationMutex_);
  for (const auto& token : notificationTokens_)
    platform::NotificationCenter::defaultCenter().removeObserver(token);
  notificationTokens_.clear();
}

void ZEVOveverizuru::handleAppDidBecomeActiveEvent(const platform::Notification&) {
  const auto config = remoteConfigInstance();
  if (!config || !config->boolSetting(APMSetting::BlocklistInternal)) return;
  postToWorkerQueue("ZEVOveverizuru:3972", [](ZEVOveverizuru& core) {
    const auto remote = core.remoteConfigInstance();
    if (!remote) return;
    const double elapsed =
        platform::Clock::current().now() - remote->lastRemoteConfigUpdateTimestamp();
    if (elapsed < kRemoteConfigRefetchInterval && elapsed > -kRemoteConfigRefetchInterval) return;
    if (core.isNetworkReadyForRequest()) {
      core.fetchRemoteConfig();
    } else {
      report(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void ZEVOveverizuru::handleAppWillResignActiveEvent(const platform::Notification&) {
  if (persistedConfig_) persistedConfig_->synchronizeToDisk();
  report(8, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  APMAnalytics::queueOperationWithBlock([weak] {
    if (auto self = weak.lock()) {
      self->postToWorkerQueue("ZEVOveverizuru:4025",
                              [](ZEVOveverizuru& core) { core.uploadData(); });
    }
  });
}

void ZEVOveverizuru::handleAppWillEnterForegroundNotification(const platform::Notification&) {
  terminateBackgroundTask();
}

// The network client's levels: 3 error, 4 warning, 5 notice, 6 info, 7 debug; the monitor's
// notice-level lines are warnings.
void ZEVOveverizuru::GULNetwork_logWithLevel_contexts(
    GULNetworkLogLevel level, GULNetworkMessageCode messageCode, const std::string& message,
    const std::vector<platform::Value>& contexts) {
  std::int64_t monitorLevel = 3;
  switch (static_cast<int>(level)) {
  case 3:
    monitorLevel = 1;
    break;
  case 4:
    monitorLevel = 4;
    break;
  case 5:
    monitorLevel = 3;
    break;
  case 6:
    monitorLevel = 6;
    break;
  case 7:
    monitorLevel = 7;
    break;
  default:
    monitorLevel = 3;
    break;
  }
  monitor()->logWithLevel(monitorLevel, static_cast<std::int64_t>(messageCode), message,
                          platform::ValueList(contexts.begin(), contexts.end()));
}
void ZEVOveverizuru::GULNetwork_logWithLevel_context(GULNetworkLogLevel level,
                                                     GULNetworkMessageCode messageCode,
                                                     const std::string& message,
                                                     const platform::Value& context) {
  GULNetwork_logWithLevel_contexts(level, messageCode, message, {context});
}
void ZEVOveverizuru::GULNetwork_logWithLevel(GULNetworkLogLevel level,
                                             GULNetworkMessageCode messageCode,
                                             const std::string& message) {
  GULNetwork_logWithLevel_contexts(level, messageCode, message, {});
}
