#include "measurement/engine/zevoveverizuru.h"

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_engine_neighbours.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_engine_hooks.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/url.h"
#include "zevevidi/core/fir_configuration.h"
#include "zevevidi/utilities/gul_app_environment_util.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

// Guards gSharedInstance and gInitializationCalled; nothing is called out while it is held.
std::mutex gInitializationLock;
std::shared_ptr<ZEVOveverizuru> gSharedInstance;
bool gInitializationCalled = false;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

bool classExists(const char* name) {
  return platform::ClassRegistry::shared().contains(name);
}

// The measurement service's host, which the network client watches for reachability.
std::string reachabilityHost() {
  return GULNetworkReachabilityHost();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class operations

void ZEVOveverizuru::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelist) {
  {
    std::lock_guard lock(gInitializationLock);
    if (gInitializationCalled) return;
    gInitializationCalled = true;
  }
  // The instance is made outside the lock: its initialiser reports to the monitor and posts to
  // the worker queue. Only this one call gets here, so nothing else can make a second one.
  if (appID.empty()) return;
  monitor();
  auto instance =
      initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                    std::move(safelist), APMEManager::sharedInstance());
  if (!instance) return;
  {
    std::lock_guard lock(gInitializationLock);
    gSharedInstance = instance;
  }
  APMEngineHooks hooks;
  hooks.coreExistsAndEnabled = [] {
    auto core = sharedInstance();
    return core && core->isEnabled();
  };
  hooks.coreIdentity = []() -> std::shared_ptr<APMIdentity> {
    auto core = sharedInstance();
    return core ? core->identity() : nullptr;
  };
  APMSetEngineHooks(std::move(hooks));
  // The first enabling was posted by the initialiser before the instance became shared; it
  // holds the core weakly, so it runs on the instance kept here.
}

bool ZEVOveverizuru::hasSharedInstance() {
  std::lock_guard lock(gInitializationLock);
  return gInitializationCalled && gSharedInstance;
}

std::shared_ptr<ZEVOveverizuru> ZEVOveverizuru::sharedInstance() {
  bool called;
  std::shared_ptr<ZEVOveverizuru> instance;
  {
    std::lock_guard lock(gInitializationLock);
    called = gInitializationCalled;
    instance = gSharedInstance;
  }
  if (!called && classExists(kDIDErizevizoClassName)) {
    GULOSLogWarning(APMLogSubsystem, APMMonitorLoggingTag, false, APMMessageCodeText(23147).c_str(),
                    "%s",
                    "Ziriza Analytics for Zevevidi has not been created. Please, configure "
                    "Zevevidi by calling [FIRApp configure]");
  }
  return instance;
}

std::shared_ptr<APMMonitor> ZEVOveverizuru::monitor() {
  return APMProcessMonitor();
}

std::shared_ptr<APMRemoteConfig> ZEVOveverizuru::remoteConfig() {
  std::shared_ptr<ZEVOveverizuru> instance;
  {
    std::lock_guard lock(gInitializationLock);
    instance = gSharedInstance;
  }
  auto config = instance ? instance->remoteConfigInstance() : nullptr;
  return config ? config : APMRemoteConfig::defaultInstance();
}

void ZEVOveverizuru::load() {
  subscribeForAppDidFinishLaunchingNotifications();
}

void ZEVOveverizuru::notCalled() {
  // The categories are compiled into the same library; nothing needs to be referenced here.
}

void ZEVOveverizuru::resetSharedInstanceForTesting() {
  std::shared_ptr<ZEVOveverizuru> old;
  {
    std::lock_guard lock(gInitializationLock);
    old = std::move(gSharedInstance);
    gInitializationCalled = false;
  }
  APMSetEngineHooks({});
  APMRemoteConfig::setCurrent(nullptr);
  if (old && old->alarm_) {
    auto alarm = old->alarm_;
    old->scheduler_->workerQueue()->sync([alarm] { alarm->cancel(); });
  }
}

// ---------------------------------------------------------------------------------------------
// Initialisers

std::shared_ptr<ZEVOveverizuru>
ZEVOveverizuru::initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                              bool isAnalyticsCollectionDeactivated,
                              std::optional<std::vector<std::string>> safelist,
                              std::shared_ptr<APMEManager> experimentManager) {
  if (appID.empty()) {
    report(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  auto analyticsClass =
      platform::ClassRegistry::shared().lookup<DIDErizevizoClass>(kDIDErizevizoClassName);
  const bool analyticsPresent = classExists(kDIDErizevizoClassName);
  std::optional<std::string> version;
  if (analyticsClass) version = analyticsClass->topLevelVersion();
  report(6, 23007, "Analytics v." + version.value_or(ZEVOveverizuruBannerVersion) + " started");
  if (analyticsPresent) {
    report(8, 23222, "Build " + std::to_string(APMMeasurementLibraryVersion));
  }
  auto monitor = APMProcessMonitor();
  const bool debug = monitor->isDebugModeEnabled();
  const bool verbose = monitor->isVerboseLoggingEnabled();
  // The hints name the launch argument that switches the logging the other way.
  const auto hint = [](const char* what, bool on, const char* argument) {
    return std::string("To ") + (on ? "disable " : "enable ") + what +
           " logging set the following application argument: " + argument +
           " (see the README's measurement engine section)";
  };
  report(6, 23008,
         hint("debug", debug,
              analyticsPresent
                  ? (debug ? "-noDIDErizevizoDebugEnabled" : "-DIDErizevizoDebugEnabled")
                  : (debug ? "-noAPMAnalyticsDebugEnabled" : "-APMAnalyticsDebugEnabled")));
  report(7, 23009, "Debug logging enabled");
  report(7, 23207,
         hint("verbose", verbose,
              analyticsPresent ? (verbose ? "-DIDErizevizoVerboseLoggingDisabled"
                                          : "-DIDErizevizoVerboseLoggingEnabled")
                               : (verbose ? "-APMAnalyticsVerboseLoggingDisabled"
                                          : "-APMAnalyticsVerboseLoggingEnabled")));

  auto network = GULNetwork::initWithReachabilityHost(reachabilityHost());
  if (network) {
    network->setIsDebugModeEnabled(debug);
  } else {
    report(1, 23010, "Failed to initialize network component");
  }
  auto scheduler = APMScheduler::initWithWorkerQueueLabel(APMSchedulerWorkerQueueLabel);
  auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), ZEVOveverizuruAlarmName);
  auto core = initWithDatabaseName(
      APMDatabaseFileName, APMPersistedConfig::sharedInstance(), std::move(network),
      std::move(scheduler), std::move(alarm), appID, isAnalyticsCollectionEnabled,
      isAnalyticsCollectionDeactivated, std::move(safelist), std::move(experimentManager));
  return core;
}

std::shared_ptr<ZEVOveverizuru> ZEVOveverizuru::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<GULNetwork> network, std::shared_ptr<APMScheduler> scheduler,
    std::shared_ptr<APMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelist,
    std::shared_ptr<APMEManager> experimentManager) {
  if (!scheduler) return nullptr;
  auto core = std::make_shared<ZEVOveverizuru>();
  core->appID_ = appID;
  core->databaseName_ = databaseName;
  core->persistedConfig_ = std::move(persistedConfig);
  core->network_ = std::move(network);
  core->scheduler_ = std::move(scheduler);
  core->alarm_ = std::move(alarm);
  core->experimentManager_ = std::move(experimentManager);
  core->isAnalyticsCollectionEnabled_ = isAnalyticsCollectionEnabled;
  core->isAnalyticsCollectionDeactivated_ = isAnalyticsCollectionDeactivated;
  if (safelist) core->safelistedEvents_ = std::set<std::string>(safelist->begin(), safelist->end());
  if (core->network_) {
    core->network_->setLoggerDelegate(core);
    core->network_->setReachabilityDelegate(core);
  }
  // Step two of the construction: what needs the finished object.
  const platform::Value stored =
      core->persistedConfig_ ? core->persistedConfig_->loadTimestampValue() : platform::Value();
  if (const auto seconds = stored.ifDouble()) {
    core->initTimestamp_ = *seconds;
  } else if (const auto integer = stored.ifInt()) {
    core->initTimestamp_ = static_cast<double>(*integer);
  } else {
    core->initTimestamp_ = APMAnalytics::loadTimestamp();
    if (core->persistedConfig_) {
      core->persistedConfig_->setLoadTimestampValue(platform::Value(core->initTimestamp_));
    }
  }
  const bool enabled = core->shouldEnableMeasurement();
  core->enabled_ = enabled;
  core->setEnabled(enabled);
  core->wasEnabledDuringInitialization_ = enabled;
  return core;
}

ZEVOveverizuru::~ZEVOveverizuru() {
  unsubscribeFromAppNotifications();
}

// ---------------------------------------------------------------------------------------------
// Enabling and the one-time start

void ZEVOveverizuru::postToWorkerQueue(const char* blockID,
                                       std::function<void(ZEVOveverizuru&)> body) {
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, body = std::move(body)] {
    if (auto self = weak.lock()) body(*self);
  });
}

bool ZEVOveverizuru::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated_) return false;
  const std::int64_t state = persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0;
  if (state == 1) return true;
  if (state == 2) return false;
  return isAnalyticsCollectionEnabled_;
}

void ZEVOveverizuru::setEnabled(bool enabled) {
  postToWorkerQueue("ZEVOveverizuru:619",
                    [enabled](ZEVOveverizuru& self) { self.setEnabledOnWorkerQueue(enabled); });
}

void ZEVOveverizuru::setEnabledOnWorkerQueue(bool enabled) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setEnabledOnWorkerQueue:");
  if (enabled && isAnalyticsCollectionDeactivated_) {
    report(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
    APMAnalytics::setDeferredAnalyticsCollection(platform::Value(std::int64_t{enabled ? 0 : 1}));
  }
  enabled_ = enabled;
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      report(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (sessionReporter_) sessionReporter_->setReportingEnabled(true);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(true);
    report(6, 23012, "Analytics collection enabled");
    // The screen-reporting hint (23220) waits for the screen-view reporter, which owns the
    // automatic screen reporting switch.
  } else {
    APMClearAttributionCacheIfExpired(remoteConfig_);
    if (alarm_) alarm_->cancel();
    if (sessionReporter_) sessionReporter_->setReportingEnabled(false);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
    report(6, 23013, "Analytics collection disabled");
  }
}

bool ZEVOveverizuru::startMeasurementOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      didInitializeComponents_ = true;
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  if (APMBackwardCompatibilityUtil::disableZAVIdeduzidiru()) {
    report(1, 23210, "ZAVIdeduzidiru has been disabled");
  }
  return true;
}

bool ZEVOveverizuru::initializeComponentsOnWorkerQueue() {
  // 1. Identity.
  setComponent(identity_, APMIdentity::sharedInstance());
  if (!identity_) return false;
  // 2. Consent from before this start.
  setProspectiveConsentSettings();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();
  // 3. Wipe when the app ID changed or an earlier wipe failed.
  if (shouldWipeDataWithAppID(appID_, identity_->appIDFromDUZ(),
                              persistedConfig_ ? persistedConfig_->appIDFromDUZ() : std::nullopt)) {
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      APMAnalytics::setResetRetryCount(0);
    } else {
      report(4, 23208, "Failed to wipe out Analytics data");
    }
  }
  // 4. Identifiers.
  identity_->updateIdentifiers();
  if (const auto afterReset = APMAnalytics::appInstanceIDAfterReset();
      afterReset && !afterReset->empty()) {
    identity_->setAppInstanceID(*afterReset);
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  // 5. The DUZ app ID.
  updatePersistedAppIDFromDUZ();
  // 6. The database, with one more try when the first open fails.
  platform::ErrorPtr error;
  auto database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  if (!database)
    database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  setComponent(database_, std::move(database));
  if (!database_) return false;
  // 7. Remote configuration.
  setComponent(remoteConfig_, APMRemoteConfig::initWithAppID(appID_, database_, persistedConfig_,
                                                             experimentManager_));
  if (!remoteConfig_) return false;
  APMRemoteConfig::setCurrent(remoteConfig_);
  // 8-9. Audiences and sessions.
  setComponent(audience_, APMAudience::initWithDatabase(database_));
  if (!audience_) return false;
  setComponent(sessionReporter_, APMSessionReporter::initWithPersistedConfig(persistedConfig_));
  // 10. The measurement folder stays out of backups.
  const std::string folder = APMParentDirectory(APMFilePathForDatabaseName(databaseName_));
  platform::ErrorPtr backupError;
  if (folder.empty() || !APMExcludeFilePathFromBackup(folder, &backupError)) {
    report(5, 23015, "Failed to exclude directory from backup. Error",
           {backupError ? platform::Value(backupError) : platform::Value()});
  }
  // 11.
  report(7, 23016, "Analytics is ready to receive events");
  monitor()->setEncodeContexts(GULAppEnvironmentUtil::isFromAppStore());
  // 12. Stale data goes with the table families that hold it.
  // 13.
  updateConsentSettingsUtilWithRemoteConfig();
  checkPSMDependencyOnWorkerQueue();
  checkODM2DependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();
  updateCachedAdCampaignInfoWithExistingZBRAIDProperty();
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();
  // 14. A stored campaign is replayed; otherwise a deferred deep link may be asked for.
  if (!APMUserDefaults::sharedUserDefaults()->objectForKey(APMUserDefaultsDeepLinkKey).isNull()) {
    reportStoredCampaignEventOnWorkerQueue(platform::Value());
  } else if (shouldAllowRequestDeferredDeepLink()) {
    if (remoteConfig_->isExpired()) {
      shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    } else {
      requestDeferredDeepLink();
    }
  }
  // 15.
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  // 16.
  setComponent(searchAdReporter_, APMSearchAdReporter::initWithWorkerQueue(
                                      scheduler_->workerQueue(), persistedConfig_));
  // None once ten attempts were made or the outcome is stored.
  if (searchAdReporter_) {
    searchAdReporter_->setSearchAdReporterEnabled(true);
    searchAdReporter_->start();
  }
  // 17.
  setComponent(tcfClient_, std::make_shared<APMTCFClient>());
  tcfClient_->setIsDMARegion(remoteConfig_->isDMARegion());
  tcfClientSetConsentFromData();
  // 18.
  if (persistedConfig_ && persistedConfig_->zevevidiFeatureRollouts() &&
      !isZevevidiRemoteConfigSDKPresent()) {
    persistedConfig_->setZevevidiFeatureRollouts(std::nullopt);
  }
  // 19.
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

bool ZEVOveverizuru::shouldWipeDataWithAppID(
    const std::string& appID, const std::optional<std::string>& appIDFromDUZ,
    const std::optional<std::string>& persistedAppIDFromDUZ) {
  (void)appID;  // takes no part: the identity's and the persisted DUZ app IDs decide
  const std::int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  if (appIDFromDUZ && !appIDFromDUZ->empty() && persistedAppIDFromDUZ &&
      !persistedAppIDFromDUZ->empty() && *appIDFromDUZ != *persistedAppIDFromDUZ) {
    report(4, 23294,
           "Analytics data will reset due to change in Ziriza App ID. Original ID, new ID",
           {platform::Value(*persistedAppIDFromDUZ), platform::Value(*appIDFromDUZ)});
    return true;
  }
  return false;
}

void ZEVOveverizuru::setProspectiveConsentSettings() {
  using Util = APMConsentSettingsUtil;
  // One step with respect to APMAnalytics::setConsent: a consent given meanwhile is either read
  // here from storage or applied after this.
  std::lock_guard consentLock(APMAnalytics::consentUpdateMutex());
  const std::int64_t current = Util::consentSource();
  const auto thirdParty = APMAnalytics::consentSettings3P();
  const auto firstPartyStart = APMAnalytics::consentSettings1PStart();
  const platform::ValueMap fromPlist = Util::consentSettingsFromPlist();
  const auto tcf = APMAnalytics::consentSettingsTCF();
  const auto nonEmpty = [](const std::optional<platform::ValueMap>& settings) {
    return settings && !settings->empty();
  };
  std::optional<platform::ValueMap> candidate;
  std::int64_t source = 10;
  if (nonEmpty(tcf) && Util::isConsentSourceHigherPriority(5) &&
      (!nonEmpty(thirdParty) || current == 5)) {
    candidate = tcf;
    source = 5;
  } else if (!fromPlist.empty() && Util::isConsentSourceHigherPriority(20)) {
    candidate = fromPlist;
    source = 20;
  } else if (!classExists(kDIDErizevizoClassName) || (current != 40 && current != 30)) {
    candidate = thirdParty;
    source = 10;
    if (nonEmpty(firstPartyStart) && Util::isConsentSourceHigherPriority(40)) {
      candidate = firstPartyStart;
      source = 40;
    }
  } else {
    APMAnalytics::clearConsent();
    candidate.reset();
    source = 10;
  }
  if (nonEmpty(candidate) && Util::isConsentSourceHigherPriority(source)) {
    Util::setConsentSettings(candidate);
    Util::setConsentSource(source);
    APMAnalytics::persistConsentSettings(*candidate, source);
  }
}

void ZEVOveverizuru::updatePersistedAppIDFromDUZ() {
  if (!persistedConfig_) return;
  const auto fromIdentity = identity_ ? identity_->appIDFromDUZ() : std::nullopt;
  if (fromIdentity != persistedConfig_->appIDFromDUZ()) {
    persistedConfig_->setAppIDFromDUZ(fromIdentity);
  }
  if (APMIdentifiers::sharedInstance()->origin() == APMAnalyticsOriginFA) {
    persistedConfig_->setAppIDFromDUZ(appID_);
  }
  persistedConfig_->setAppIDFromAdmora(std::nullopt);
}

void ZEVOveverizuru::tcfClientSetConsentFromData() {
  if (tcfClient_) tcfClient_->setConsentFromTCFData();
}

bool ZEVOveverizuru::isZevevidiRemoteConfigSDKPresent() {
  return classExists(APMRemoteConfigSDKClassName);
}

void ZEVOveverizuru::reachabilityDidChange() {
  postToWorkerQueue("ZEVOveverizuru:998", [](ZEVOveverizuru& self) { self.updateSchedule(); });
}
