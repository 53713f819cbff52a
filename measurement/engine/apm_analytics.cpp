#include "measurement/engine/apm_analytics.h"

#include <atomic>
#include <future>
#include <mutex>

#include "measurement/engine/apm_ad_exposure_relay.h"
#include "measurement/engine/apm_engine_neighbours.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_environment_info.h"
#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/appkit/window.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/application_notifications.h"
#include "platform/foundation/class_registry.h"
#include "zevevidi/core/fir_configuration.h"
#include "zevevidi/utilities/gul_app_delegate_swizzler.h"
#include "zevevidi/utilities/gul_network.h"

namespace {

constexpr const char* kResetRetryCountKey = "reset_retry_count";
constexpr const char* kNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
constexpr const char* kAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
constexpr const char* kDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
constexpr const char* kConsentSettingsKey = "consent_settings";
constexpr const char* kConsentSettings3PKey = "consent_settings_3p";
constexpr const char* kConsentSettingsTCFKey = "consent_settings_tcf";
constexpr const char* kConsentSourceKey = "consent_source";
constexpr const char* kConsentSettingsOnStartKey = "consent_settings_on_start";
constexpr const char* kDeferredConsentResetKey = "deferred_consent_reset";
constexpr std::int64_t kNoConsentSource = 100;
constexpr double kResumeDelaySeconds = 0.5;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

bool classExists(const char* name) {
  return platform::ClassRegistry::shared().contains(name);
}

// Process-wide state of the facade.
struct Facade {
  std::mutex mutex;  // guards operationQueue (replaced only by tests), started, configToken
  std::shared_ptr<platform::OperationQueue> operationQueue =
      std::make_shared<platform::OperationQueue>(APMAnalyticsOperationQueueName, true);
  bool started = false;
  platform::NotificationToken configToken;
  std::shared_ptr<APMUserDefaults> store;

  std::mutex loadMutex;  // guards loadTimestamp (the class lock)
  double loadTimestamp = platform::Clock::current().now();

  std::atomic<bool> analyticsEnabled{false};
  std::atomic<bool> collectionDeactivated{false};

  std::shared_ptr<platform::OperationQueue> operations() {
    std::lock_guard lock(mutex);
    return operationQueue;
  }
};

Facade& facade() {
  static auto* state = new Facade();  // lives for the process
  return *state;
}

// The engine when it exists; none, silently, otherwise.
std::shared_ptr<ZEVOveverizuru> engine() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

// A start option read as a number (a boolean counts).
std::optional<bool> boolOption(const platform::ValueMap& options, const char* key) {
  const auto found = options.find(platform::Value(key));
  if (found == options.end()) return std::nullopt;
  if (const auto* b = found->second.ifBool()) return *b;
  if (const auto* i = found->second.ifInt()) return *i != 0;
  if (const auto* d = found->second.ifDouble()) return *d != 0;
  return std::nullopt;
}

class APMAppDelegateInterceptor : public GULApplicationDelegate {
 public:
  static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance() {
    static const auto shared = std::make_shared<APMAppDelegateInterceptor>();
    return shared;
  }
  std::string delegateClassName() const override { return "APMAppDelegateInterceptor"; }
};

std::optional<platform::ValueMap> mapForKey(const char* key) {
  return APMAnalytics::userDefaults()->dictionaryForKey(platform::Value(key));
}

void removeKey(const char* key) {
  APMAnalytics::userDefaults()->setObject(platform::Value(), platform::Value(key));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Set-up

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
  static const auto shared = std::make_shared<APMAnalytics>();
  return shared;
}

void APMAnalytics::load() {
  setLoadTimestamp(platform::Clock::current().now());
}

std::shared_ptr<APMUserDefaults> APMAnalytics::userDefaults() {
  auto& state = facade();
  std::lock_guard lock(state.mutex);
  if (!state.store) state.store = APMUserDefaults::initWithSuiteName(APMAnalyticsSuiteName);
  return state.store;
}

double APMAnalytics::loadTimestamp() {
  auto& state = facade();
  std::lock_guard lock(state.loadMutex);
  return state.loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double seconds) {
  auto& state = facade();
  std::lock_guard lock(state.loadMutex);
  state.loadTimestamp = seconds;
}

void APMAnalytics::resetForTesting() {
  auto& state = facade();
  auto replaced = std::make_shared<platform::OperationQueue>(APMAnalyticsOperationQueueName, true);
  platform::NotificationToken token;
  {
    std::lock_guard lock(state.mutex);
    state.operationQueue = replaced;
    state.started = false;
    token = state.configToken;
    state.configToken = {};
    state.store.reset();
  }
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  platform::storekit::PaymentQueue::defaultQueue().removeTransactionObserver(
      sharedInstance().get());
  state.analyticsEnabled = false;
  state.collectionDeactivated = false;
  // As after a fresh process start: the next start's first open is stamped now.
  load();
}

// ---------------------------------------------------------------------------------------------
// Queues

platform::QueuePtr APMAnalytics::queue() {
  static const platform::QueuePtr serial = platform::makeSerialQueue(APMAnalyticsQueueLabel);
  return serial;
}

void APMAnalytics::dispatchAsyncOnSerialQueue(Block block) {
  if (block) queue()->async(std::move(block));
}

void APMAnalytics::queueOperationWithBlock(Block block) {
  if (!block) return;
  facade().operations()->addOperation([block = std::move(block)] { queue()->async(block); });
}

void APMAnalytics::queueOperationWithBlockThenWait(Block block) {
  if (!block) return;
  auto operations = facade().operations();
  operations->addOperation([block = std::move(block)] { queue()->async(block); });
  if (operations->isSuspended()) return;  // before start: held like any queued call
  operations->waitUntilAllOperationsAreFinished();
  operations->setSuspended(true);
  queue()->asyncAfter(kResumeDelaySeconds, [] { unsuspendOperationQueue(); });
}

bool APMAnalytics::isCurrentQueueSerialQueue() {
  return platform::currentQueueLabel() == APMAnalyticsQueueLabel;
}

void APMAnalytics::unsuspendOperationQueue() {
  facade().operations()->setSuspended(false);
}

bool APMAnalytics::runQueuedOperationsUntil(std::chrono::steady_clock::time_point deadline) {
  auto operations = facade().operations();
  if (operations->isSuspended()) return true;
  auto reached = std::make_shared<std::promise<void>>();
  auto future = reached->get_future();
  operations->addOperation([reached] { reached->set_value(); });
  return future.wait_until(deadline) == std::future_status::ready;
}

// ---------------------------------------------------------------------------------------------
// Start

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::ValueMap& options) {
  if (classExists(APMOldDatabaseClassName)) {
    report(1, 25029,
           "Detected an older version of Ziriza Analytics for Zevevidi framework. Data collection "
           "will be disabled. Please upgrade to the latest version of Ziriza Analytics for "
           "Zevevidi");
    return;
  }
  const bool analyticsClass = classExists(kDIDErizevizoClassName);
  if (analyticsClass && origin != APMAnalyticsOriginFA) {
    report(3, 25026, "Deferring to Zevevidi for event data collection");
    return;
  }
  if (!analyticsClass) {
    const auto path = APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath();
    if (path && !path->empty()) {
      report(0, 25027,
             "Deferring to Ziriza Analytics for Zevevidi for event data collection. See the "
             "README's measurement section for how the host starts analytics");
      return;
    }
  }
  if (!options.empty()) {
    const auto tag = options.find(platform::Value(APMMonitorLogTagOptionKey));
    const std::string* text = tag == options.end() ? nullptr : tag->second.ifString();
    if (text && !text->empty()) {
      APMProcessMonitor()->setLogTag(*text);
    } else {
      report(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  auto& state = facade();
  {
    std::lock_guard lock(state.mutex);
    if (state.started) return;
    state.started = true;
  }

  // The start block, once per process. The event model's error events enter here, as the
  // library's own events.
  APMSetInternalEventSink(
      [](const std::string& origin, const std::string& name, const platform::ValueMap& parameters) {
        logInternalEventWithOrigin(origin, name, parameters);
      });
  APMInstallAdExposureReporter();
  {
    std::lock_guard consentLock(consentUpdateMutex());
    if (APMConsentSettingsUtil::consentSource() == kNoConsentSource) loadPersistedConsentSettings();
  }
  if (origin == APMAnalyticsOriginFA) {
    if (auto identity = APMIdentity::sharedInstance();
        identity && identity->appIDFromDUZ() != appID) {
      identity->setAppIDFromDUZ(appID);
    }
  }
  platform::NotificationCenter::defaultCenter().postNotificationName(
      APMAnalyticsWillStartNotification);
  APMIdentifiers::sharedInstance()->setOrigin(origin);

  bool enabled = true;
  bool deactivated = false;
  const void* configuration = nullptr;
  std::optional<std::vector<std::string>> safelist;
  if (!options.empty()) {
    enabled = boolOption(options, APMAnalyticsCollectionEnabledOption).value_or(true);
    deactivated = boolOption(options, APMAnalyticsCollectionDeactivatedOption).value_or(false);
    if (const auto found = options.find(platform::Value(APMAnalyticsConfigurationOption));
        found != options.end()) {
      if (const auto* object = found->second.ifObject()) configuration = object->get();
    }
    // An absent list is no list; a present one must pass as a whole.
    if (const auto found = options.find(platform::Value(APMAnalyticsSafelistedEventsOption));
        found != options.end() && APMValidateSafelistedEvents(found->second)) {
      std::vector<std::string> names;
      for (const auto& name : found->second.asList())
        names.push_back(name.asString());
      safelist = std::move(names);
    }
    const platform::ValueMap onStart =
        APMConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!onStart.empty()) {
      userDefaults()->setObject(platform::Value(onStart),
                                platform::Value(kConsentSettingsOnStartKey));
    }
  }
  state.collectionDeactivated = deactivated;

  dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    ZEVOveverizuru::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    if (GULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
      if (!deactivated) platform::mainQueue()->async([] { createAppDelegateProxy(); });
    } else {
      report(6, 25036, "App Delegate Proxy is disabled");
    }
    auto core = engine();
    facade().analyticsEnabled = core && core->wasEnabledDuringInitialization();
    maybeEnableTagContainer();
  });
  if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
  platform::mainQueue()->async([] {
    platform::storekit::PaymentQueue::defaultQueue().addTransactionObserver(sharedInstance());
  });
  unsuspendOperationQueue();
}

bool APMValidateSafelistedEvents(const platform::Value& value) {
  const auto* list = value.ifList();
  if (!list) {
    report(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const auto& name : *list) {
    APMDataTypeValidator::Code code = 0;
    if (!APMDataTypeValidator::isValidInternalEventName(name, &code)) {
      report(0, 25035, "Invalid event name for safelisting. Name", {name});
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Settings

bool APMAnalytics::isAnalyticsEnabled() {
  return facade().analyticsEnabled;
}

bool APMAnalytics::isAnalyticsCollectionDeactivated() {
  return facade().collectionDeactivated;
}

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) {
      if (auto config = APMPersistedConfig::sharedInstance()) {
        config->setMeasurementEnabledState(enabled ? 1 : 2);
      }
    }
    auto& state = facade();
    if (state.collectionDeactivated && enabled) return;
    state.analyticsEnabled = enabled;
    if (auto core = engine()) core->setEnabled(enabled);
  });
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(platform::Clock::current().now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> newID = APMIdentity::randomAppInstanceID();
  if (newID->empty()) {
    report(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    newID.reset();
  } else {
    setAppInstanceIDAfterReset(newID);
  }
  queueOperationWithBlock([newID] {
    auto core = engine();
    if (!core || !core->resetAnalyticsDataWithAppInstanceID(newID)) {
      report(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (newID && appInstanceIDAfterReset() == newID) setAppInstanceIDAfterReset(std::nullopt);
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) {
    return afterReset;
  }
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    if (!(seconds >= 0)) {
      report(4, 25060, "Session timeout interval cannot be set to a negative value");
      return;
    }
    auto core = engine();
    if (core && core->didInitializeComponents()) {
      core->setSessionTimeoutInterval(seconds);
    } else if (auto config = APMPersistedConfig::sharedInstance()) {
      config->setSessionTimeoutValue(platform::Value(seconds));
    }
    report(7, 25059, "Session timeout interval set. (s)", {platform::Value(seconds)});
  });
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    report(1, 25050, "Analytics sessionID completion cannot be nil");
    return;
  }
  SessionIDCompletion wrapper = [completion](std::int64_t sessionID,
                                             const platform::ErrorPtr& error) {
    platform::globalQueue(platform::QueuePriority::Default)->async([completion, sessionID, error] {
      completion(sessionID, error);
    });
  };
  dispatchAsyncOnSerialQueue([wrapper] {
    auto core = engine();
    if (core && core->didInitializeComponents()) {
      core->sessionIDWithCompletion(wrapper);
    } else {
      wrapper(0, apm_errorWithCode(13, "Analytics uninitialized"));
    }
  });
}

void APMAnalytics::setUserData(const platform::ValueMap& userData) {
  queueOperationWithBlockThenWait([userData] {
    if (!isAnalyticsEnabled()) {
      report(4, 25044, "Analytics is disabled. User data not set.");
      return;
    }
    if (auto core = engine()) core->setUserData(userData);
  });
}

// ---------------------------------------------------------------------------------------------
// Consent

void APMAnalytics::setConsent(const platform::ValueMap& consent) {
  setConsent(consent, kConsentSettingsKey);
}

std::mutex& APMAnalytics::consentUpdateMutex() {
  static auto* mutex = new std::mutex();  // lives for the process
  return *mutex;
}

void APMAnalytics::setConsent(const platform::ValueMap& consent, const std::string& key) {
  using Util = APMConsentSettingsUtil;
  std::unique_lock consentLock(consentUpdateMutex());
  if (Util::consentSource() == kNoConsentSource) loadPersistedConsentSettings();
  platform::ValueMap settings = Util::consentSettingsFromDictionary(consent);
  for (auto it = settings.begin(); it != settings.end();) {
    const std::string* text = it->second.ifString();
    if (text && (*text == "granted" || *text == "denied")) {
      ++it;
      continue;
    }
    report(3, 25042,
           "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
           {it->second});
    it = settings.erase(it);
  }
  if (settings.empty()) {
    report(3, 25041, "Discarding empty consent settings");
    return;
  }
  const std::int64_t source = key == kConsentSettingsTCFKey  ? 5
                              : key == kConsentSettings3PKey ? 10
                                                             : 30;
  if (!Util::isConsentSourceHigherPriority(source)) {
    report(3, 25043, "Ignoring lower priority consent settings");
    return;
  }
  const bool adUserDataWasDenied = Util::isAdUserDataDenied();
  Util::updateSettings(settings, source);
  persistConsentSettings(Util::consentSettings().value_or(platform::ValueMap{}), source);
  consentLock.unlock();
  if (key == kConsentSettings3PKey) {
    report(8, 25055, Util::description());
  }
  if (!ZEVOveverizuru::remoteConfig()->consentDefaults().empty() &&
      Util::didAdUserDataConsentChange(adUserDataWasDenied)) {
    logInternalEventWithOrigin(
        "auto", "_dcu",
        platform::ValueMap{{platform::Value("_r"), platform::Value(std::int64_t{1})}});
  }
  if (settings.contains(platform::Value("ad_personalization"))) {
    if (const auto personalization = Util::adPersonalization()) {
      setUserPropertyString(*personalization ? "YES" : "NO", "allow_personalized_ads");
    }
  }
}

std::int64_t APMAnalytics::persistedConsentSource() {
  const platform::Value stored = userDefaults()->objectForKey(platform::Value(kConsentSourceKey));
  if (stored.isNull()) return kNoConsentSource;
  return userDefaults()->integerForKey(platform::Value(kConsentSourceKey));
}

void APMAnalytics::persistConsentSettings(const platform::ValueMap& settings, std::int64_t source) {
  const char* key = source == 5   ? kConsentSettingsTCFKey
                    : source < 21 ? kConsentSettings3PKey
                                  : kConsentSettingsKey;
  userDefaults()->setObject(platform::Value(settings), platform::Value(key));
  userDefaults()->setInteger(source, platform::Value(kConsentSourceKey));
}

void APMAnalytics::loadPersistedConsentSettings() {
  using Util = APMConsentSettingsUtil;
  std::int64_t source = persistedConsentSource();
  if (source == kNoConsentSource) return;
  if (const auto tcf = consentSettingsTCF()) {
    Util::setConsentSettings(tcf);
    source = std::min<std::int64_t>(source, 5);
  } else if (const auto thirdParty = consentSettings3P()) {
    Util::setConsentSettings(thirdParty);
    source = std::min<std::int64_t>(source, 20);
  } else if (const auto firstParty = consentSettings1P()) {
    Util::setConsentSettings(firstParty);
    source = std::min<std::int64_t>(source, 40);
  }
  Util::setConsentSource(source);
}

void APMAnalytics::clearConsent() {
  for (const char* key :
       {kConsentSourceKey, kConsentSettings3PKey, kConsentSettingsKey, kConsentSettingsOnStartKey,
        kDeferredConsentResetKey, kConsentSettingsTCFKey}) {
    removeKey(key);
  }
  APMConsentSettingsUtil::clearAllSettings();
}

std::optional<platform::ValueMap> APMAnalytics::consentSettingsTCF() {
  return mapForKey(kConsentSettingsTCFKey);
}
std::optional<platform::ValueMap> APMAnalytics::consentSettings3P() {
  return mapForKey(kConsentSettings3PKey);
}
std::optional<platform::ValueMap> APMAnalytics::consentSettings1P() {
  return mapForKey(kConsentSettingsKey);
}
std::optional<platform::ValueMap> APMAnalytics::consentSettings1PStart() {
  return mapForKey(kConsentSettingsOnStartKey);
}
platform::Value APMAnalytics::deferredResetOnDeniedConsent() {
  return userDefaults()->objectForKey(platform::Value(kDeferredConsentResetKey));
}
void APMAnalytics::removeStartUpConsentSettings() {
  removeKey(kConsentSettingsOnStartKey);
}
void APMAnalytics::removeDeferredResetOnDeniedConsent() {
  removeKey(kDeferredConsentResetKey);
}

// ---------------------------------------------------------------------------------------------
// Facade store

std::int64_t APMAnalytics::resetRetryCount() {
  return userDefaults()->integerForKey(platform::Value(kResetRetryCountKey));
}
void APMAnalytics::setResetRetryCount(std::int64_t count) {
  if (count < 1) {
    removeKey(kResetRetryCountKey);
  } else {
    userDefaults()->setInteger(count, platform::Value(kResetRetryCountKey));
  }
}
bool APMAnalytics::needFirstOpenAfterReset() {
  return userDefaults()->boolForKey(platform::Value(kNeedFirstOpenAfterResetKey));
}
void APMAnalytics::setNeedFirstOpenAfterReset(bool value) {
  userDefaults()->setObject(platform::Value(value), platform::Value(kNeedFirstOpenAfterResetKey));
}
void APMAnalytics::removeNeedFirstOpenAfterReset() {
  removeKey(kNeedFirstOpenAfterResetKey);
}
std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return userDefaults()->stringForKey(platform::Value(kAppInstanceIDAfterResetKey));
}
void APMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& identifier) {
  if (identifier) {
    userDefaults()->setObject(platform::Value(*identifier),
                              platform::Value(kAppInstanceIDAfterResetKey));
  } else {
    removeKey(kAppInstanceIDAfterResetKey);
  }
}
platform::Value APMAnalytics::deferredAnalyticsCollection() {
  return userDefaults()->objectForKey(platform::Value(kDeferredAnalyticsCollectionKey));
}
void APMAnalytics::setDeferredAnalyticsCollection(const platform::Value& value) {
  userDefaults()->setObject(value, platform::Value(kDeferredAnalyticsCollectionKey));
}

// ---------------------------------------------------------------------------------------------
// Platform hooks

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
  auto& center = platform::NotificationCenter::defaultCenter();
  auto& state = facade();
  platform::NotificationToken old;
  {
    std::lock_guard lock(state.mutex);
    old = state.configToken;
    state.configToken = {};
  }
  center.removeObserver(old);
  if (!configuration) return;
  auto token = center.addObserverForName(
      APMAnalyticsSetEnabledNotification, configuration,
      [](const platform::Notification& notification) { handleSetEnabled(notification); });
  std::lock_guard lock(state.mutex);
  state.configToken = token;
}

void APMAnalytics::handleSetEnabled(const platform::Notification& notification) {
  const auto found =
      notification.userInfo.find(platform::Value(APMAnalyticsSetEnabledNotification));
  const platform::Value value =
      found == notification.userInfo.end() ? platform::Value() : found->second;
  if (const auto* b = value.ifBool()) {
    setAnalyticsEnabled(*b, false);
  } else if (const auto* i = value.ifInt()) {
    setAnalyticsEnabled(*i != 0, false);
  } else if (const auto* d = value.ifDouble()) {
    setAnalyticsEnabled(*d != 0, false);
  } else {
    report(4, 25000, "Received setEnabled notification without NSNumber", {value});
  }
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  GULNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

void APMAnalytics::createAppDelegateProxy() {
  static std::mutex mutex;
  static bool created = false;
  {
    std::lock_guard lock(mutex);
    if (created) return;
    created = true;
  }
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(
      APMAppDelegateInterceptor::sharedInstance());
}

void APMAnalytics::maybeEnableTagContainer() {
  if (!classExists(APMTagContainerClassName)) return;
  auto container =
      platform::ClassRegistry::shared().lookup<APMTagContainerClass>(APMTagContainerClassName);
  if (container && !container->initializeSharedInstance()) {
    report(2, 25016, "TAGContainer class doesn't define initializeSharedInstance");
  }
}

void APMAnalytics::paymentQueueUpdatedTransactions(
    platform::storekit::PaymentQueue& queue,
    const std::vector<platform::storekit::PaymentTransactionPtr>& transactions) {
  queuePaymentQueueUpdatedTransactions(queue, transactions);
}

void APMAnalytics::queuePaymentQueueUpdatedTransactions(
    platform::storekit::PaymentQueue& queue,
    const std::vector<platform::storekit::PaymentTransactionPtr>& transactions) {
  platform::storekit::PaymentQueue* paymentQueue = &queue;
  queueOperationWithBlock([paymentQueue, transactions] {
    if (!isAnalyticsEnabled()) return;
    auto core = engine();
    if (!core) return;
    core->filterPurchaseTransactions(
        transactions,
        [paymentQueue](const std::vector<platform::storekit::PaymentTransactionPtr>& kept) {
          APMInAppPurchaseTransactionReporter::sharedInstance()
              ->paymentQueueUpdatedFilteredTransactions(*paymentQueue, kept);
        });
  });
}

void APMAnalytics::logTransactionWithProductID(
    const std::string& productID, const std::string& transactionID,
    const std::string& originalTransactionID, const platform::Value& webOrderLineItemID,
    std::int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
    std::int64_t paymentQuantity, std::optional<platform::Date> purchaseDate,
    std::optional<platform::Date> originalPurchaseDate,
    std::optional<platform::Date> subscriptionExpirationDate,
    std::optional<platform::Date> cancellationDate, const std::optional<std::string>& environment,
    bool isVerified) {
  APMInAppPurchaseTransactionReporter::sharedInstance()->reportTransactionWithProductID(
      productID, transactionID, originalTransactionID, webOrderLineItemID, productType, isFreeTrial,
      isIntroductoryOffer, paymentQuantity, purchaseDate, originalPurchaseDate,
      subscriptionExpirationDate, cancellationDate, environment, isVerified);
}

bool APMIsAppActive() {
  return APMScreenViewReporter::sharedInstance()->isAppActive();
}

std::string APMApplicationDidBecomeActiveNotification() {
  return platform::kApplicationDidBecomeActiveNotification;
}
std::string APMApplicationDidFinishLaunchingNotification() {
  return platform::kApplicationDidFinishLaunchingNotification;
}
std::string APMApplicationWillResignActiveNotification() {
  return platform::kApplicationWillResignActiveNotification;
}
std::string APMApplicationWindowDidResignKeyNotification() {
  return platform::kWindowDidResignKeyNotification;
}

bool APMBackwardCompatibilityUtil::disableZAVIdeduzidiru() {
  auto legacy = platform::ClassRegistry::shared().lookup<APMLegacyAnalyticsClass>(
      APMLegacyAnalyticsClassName);
  return legacy && legacy->setSharedInstanceEnabled(false);
}
