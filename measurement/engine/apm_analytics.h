// APMAnalytics: the facade through which the analytics interface, the commerce reporters and
// the library's own components reach the measurement core. Its operations are class methods over
// process-wide state: two queues that hold calls until start and then run them in call order,
// the start with its refusals and options, collection on/off, data reset, consent intake and
// persistence, the session and identity queries, the facade's preference suite
// "APMAnalyticsSuiteName", and the platform hooks started with it.
//
// Queues: "APMAnalyticsOperationQueue" (one operation at a time, created suspended, resumed at
// start) feeds "APMAnalyticsQueue" (serial), where queued operations and the serial-queue
// operations run. Callable from any thread. Locks: the load timestamp and the start-once flag
// each have a mutex of their own; nothing is called out while either is held. The facade store
// accepts calls from any thread.
//
// Event logging, user properties and listeners (apm_analytics_events.cpp) and opened URLs
// (apm_analytics_url.cpp) are declared here; what later work brings does nothing yet.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/apm_user_activity.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/storekit/payment_queue.h"

class APMUserDefaults;
class APMEvent;

inline constexpr const char* APMAnalyticsOperationQueueName = "APMAnalyticsOperationQueue";
inline constexpr const char* APMAnalyticsQueueLabel = "APMAnalyticsQueue";
inline constexpr const char* APMAnalyticsOriginFA = "fa";
// Start options.
inline constexpr const char* APMAnalyticsCollectionEnabledOption =
    "ZEVEVIDI_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* APMAnalyticsCollectionDeactivatedOption =
    "ZEVEVIDI_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* APMAnalyticsConfigurationOption = "ZEVEVIDI_ANALYTICS_CONFIGURATION";
inline constexpr const char* APMAnalyticsSafelistedEventsOption = "safelisted_events";
inline constexpr const char* APMAnalyticsWillStartNotification =
    "kDIDErizevizoWillStartNotification";
inline constexpr const char* APMAnalyticsSetEnabledNotification =
    "DIDErizevizoConfigurationSetEnabledNotification";
// Classes looked up by name.
inline constexpr const char* APMOldDatabaseClassName = "FIRADatabase";
inline constexpr const char* APMTagContainerClassName = "TAGContainer";
inline constexpr const char* APMLegacyAnalyticsClassName = "ZAVIdeduzidiru";
inline constexpr const char* APMRemoteConfigSDKClassName = "DIROdadevOravoz";

// The "TAGContainer" class, when a tag manager registers one.
class APMTagContainerClass {
 public:
  virtual ~APMTagContainerClass() = default;
  // False when the class does not define initializeSharedInstance.
  virtual bool initializeSharedInstance() = 0;
};

// The "ZAVIdeduzidiru" class of an older analytics library, when registered.
class APMLegacyAnalyticsClass {
 public:
  virtual ~APMLegacyAnalyticsClass() = default;
  // The shared instance's setIsEnabled:, false when there is no shared instance.
  virtual bool setSharedInstanceEnabled(bool enabled) = 0;
};

class APMAnalytics : public platform::storekit::PaymentTransactionObserver {
 public:
  using Block = std::function<void()>;
  using SessionIDCompletion = std::function<void(std::int64_t, const platform::ErrorPtr&)>;

  // The one instance: transaction observer and receiver of the instance methods.
  static std::shared_ptr<APMAnalytics> sharedInstance();
  // Load-time work: the load timestamp.
  static void load();

  // ---- Start and queues ----
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::ValueMap& options);
  static void queueOperationWithBlock(Block block);
  static void queueOperationWithBlockThenWait(Block block);
  static void dispatchAsyncOnSerialQueue(Block block);
  static bool isCurrentQueueSerialQueue();
  static void unsuspendOperationQueue();
  // True once the operation queue has run every operation queued before this call, or at once
  // while it is suspended (what it holds stays held); false when `deadline` comes first.
  static bool runQueuedOperationsUntil(std::chrono::steady_clock::time_point deadline);
  static platform::QueuePtr queue();

  // ---- Settings ----
  static void setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static bool isAnalyticsEnabled();
  static bool isAnalyticsCollectionDeactivated();
  static void resetAnalyticsData();
  static std::optional<std::string> appInstanceID();
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  static void setUserData(const platform::ValueMap& userData);

  // ---- Consent ----
  static void setConsent(const platform::ValueMap& consent);
  static void setConsent(const platform::ValueMap& consent, const std::string& key);
  static void loadPersistedConsentSettings();
  // Held across each read-modify-write of the consent state (the settings in memory and their
  // persisted copy): a consent given while the core resolves the consent at its start would
  // otherwise be overwritten by the older settings the start had read.
  static std::mutex& consentUpdateMutex();
  static void persistConsentSettings(const platform::ValueMap& settings, std::int64_t source);
  static std::int64_t persistedConsentSource();
  static void clearConsent();
  static std::optional<platform::ValueMap> consentSettingsTCF();
  static std::optional<platform::ValueMap> consentSettings3P();
  static std::optional<platform::ValueMap> consentSettings1P();
  static std::optional<platform::ValueMap> consentSettings1PStart();
  static platform::Value deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();

  // ---- Facade store ----
  static std::int64_t resetRetryCount();
  static void setResetRetryCount(std::int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool value);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& identifier);
  static platform::Value deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const platform::Value& value);
  static std::shared_ptr<APMUserDefaults> userDefaults();
  static double loadTimestamp();
  static void setLoadTimestamp(double seconds);

  // ---- Platform hooks ----
  static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
  static void handleSetEnabled(const platform::Notification& notification);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);
  static void createAppDelegateProxy();
  static void maybeEnableTagContainer();
  // The class method of paymentQueue:updatedTransactions: (the instance method forwards here).
  static void queuePaymentQueueUpdatedTransactions(
      platform::storekit::PaymentQueue& queue,
      const std::vector<platform::storekit::PaymentTransactionPtr>& transactions);
  // The second store interface: one transaction as the application reports it, forwarded
  // unchanged to the purchase reporter.
  static void logTransactionWithProductID(
      const std::string& productID, const std::string& transactionID,
      const std::string& originalTransactionID, const platform::Value& webOrderLineItemID,
      std::int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
      std::int64_t paymentQuantity, std::optional<platform::Date> purchaseDate,
      std::optional<platform::Date> originalPurchaseDate,
      std::optional<platform::Date> subscriptionExpirationDate,
      std::optional<platform::Date> cancellationDate, const std::optional<std::string>& environment,
      bool isVerified);

  // ---- Events, user properties and listeners (apm_analytics_events.cpp) ----
  static void logEventWithName(const std::string& name, const platform::ValueMap& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::ValueMap& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::ValueMap& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         double timestamp, const platform::ValueMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::ValueMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::ValueMap& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  static void setDefaultEventParameters(const std::optional<platform::ValueMap>& parameters);
  static void setUserPropertyString(const std::optional<std::string>& value,
                                    const std::string& name);
  static void setUserID(const std::optional<std::string>& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const platform::Value& number, const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void userPropertiesIncludingInternal(bool includingInternal, platform::QueuePtr queue,
                                              std::function<void(platform::ValueMap)> callback);
  using Interceptor = std::function<void(std::shared_ptr<APMEvent>&)>;
  using Listener = std::function<void(const std::shared_ptr<APMEvent>&)>;
  static void setLogEventInterceptor(Interceptor interceptor);
  static std::int64_t addLogEventListener(Listener listener);
  static void removeLogEventListener(std::int64_t token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);
  // Whether any log event listener is installed (any thread): the worker copies an event for
  // the listeners only when one may be told.
  static bool hasLogEventListeners();
  // Instance methods of the shared instance (the class method of logInternalEventWithOrigin
  // serves instance callers as well).
  void setInternalUserProperty(const platform::Value& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, platform::QueuePtr queue,
                                  std::function<void(std::int32_t)> callback);

  // ---- Opened URLs (apm_analytics_url.cpp) ----
  // The preview switch on the caller's thread, then, on the serial queue, the core's campaign
  // handling and the open-URL listener.
  static void handleOpenURL(const std::string& url);
  // The activity's deep link, on the serial queue, to the core's campaign handling (the listener
  // is not told). None stands for an empty activity.
  static void handleUserActivity(std::optional<APMUserActivity> activity);
  // Kept and called on the serial queue; an empty function removes it.
  static void setOpenURLListener(std::function<void(const std::string&)> listener);

  // PaymentTransactionObserver: forwards to the class method.
  void paymentQueueUpdatedTransactions(
      platform::storekit::PaymentQueue& queue,
      const std::vector<platform::storekit::PaymentTransactionPtr>& transactions) override;

  // Test support: back to the before-start state (a new suspended operation queue, no start,
  // flags cleared, the load timestamp kept).
  static void resetForTesting();
};

// Whether `value` is a list of valid internal event names (25034, 25035 otherwise).
bool APMValidateSafelistedEvents(const platform::Value& value);
// Whether the application is active: the screen-view reporter's answer (yes from the first
// activation on).
bool APMIsAppActive();

// The application notifications the engine observes, as the application object posts them.
std::string APMApplicationDidBecomeActiveNotification();
std::string APMApplicationDidFinishLaunchingNotification();
std::string APMApplicationWillResignActiveNotification();
std::string APMApplicationWindowDidResignKeyNotification();

class APMBackwardCompatibilityUtil {
 public:
  // Turns off the older analytics library's shared instance when that library is registered.
  static bool disableZAVIdeduzidiru();
  // This utility's own stand-ins: no shared instance, and setIsEnabled does nothing.
  static std::shared_ptr<APMBackwardCompatibilityUtil> sharedInstance() { return nullptr; }
  void setIsEnabled(bool) {}
};
