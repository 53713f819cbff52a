// ZEVOveverizuru: the measurement core. One object per process owns the measurement database,
// the persisted and remote configuration, the worker-queue scheduler, the upload alarm, the
// network client and the reporters; every event, user property, upload and configuration fetch
// passes through it.
//
// Life: the analytics facade calls initializeSharedInstanceWithAppID once; the core is built in
// two steps (constructed, then its enable decision is posted as setEnabled to the worker queue),
// and the first enabling runs the one-time component start on the worker queue.
//
// Threads and locks: the shared instance and the "initialisation was called" flag are guarded by
// one process-wide mutex (gInitializationLock); the one-time start by `initializeComponentsLock_`
// (taken on the worker queue only, never together with the first). All state after
// construction belongs to the worker queue "com.ziriza.fira.worker": public entry points post
// blocks (IDs "ZEVOveverizuru:<n>") that hold the core weakly; methods named ...OnWorkerQueue
// (and updateSchedule, uploadData, fetchRemoteConfig) run there and check it first. The
// categories live in zevoveverizuru_<category>.cpp (event, bundle, sampling, url, odm1, odm2).
//
// Operations whose behaviour arrives with later work are declared here already and do nothing
// yet (answering "no", "none" or "empty"); each says so in its .cpp file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/apm_user_activity.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/foundation/notification_center.h"
#include "platform/storekit/payment_queue.h"
#include "zevevidi/utilities/gul_network.h"

class APMMonitor;
class APMDatabase;
class APMRemoteConfig;
class APMIdentity;
class APMEvent;
class APMPEventEditing;
class APMUserAttribute;
class APMRawEventData;
class APMDailyCounts;
class APMAudience;
class APMAudienceTimestampsCache;
class APMSessionReporter;
class APMSearchAdReporter;
class APMTCFClient;
class APMEManager;
class APMPSMClient;
class ODCConversionService;
struct APMPSMClientClass;
struct APMPSMContext;
struct APMQueuedBundle;

inline constexpr const char* ZEVOveverizuruAlarmName = "Measurement timer";
inline constexpr const char* ZEVOveverizuruBannerVersion = "111500000";
// The shared preferences key of a campaign stored for replay at the next start.
inline constexpr const char* APMUserDefaultsDeepLinkKey = "/ziriza/measurement/deep_link";

// The advertising-services base URL when LUMORA_ADS_URL is not set.
inline constexpr const char* APMAdsServiceDefaultURL = "https://ads.lumora.invalid";
// Keys of the deferred-deep-link reply.
inline constexpr const char* APMDeepLinkURLKey = "deeplink";
inline constexpr const char* APMDeepLinkTimestampKey = "timestamp";
// Values of the persisted "deep link retrieval complete" key.
inline constexpr std::int64_t APMDeferredDeepLinkRetrievalSuccess = 0;
inline constexpr std::int64_t APMDeferredDeepLinkRetrievalFailed = 1;

// The optional delegate of the core (none is set in this system).
class ZEVOveverizuruDelegate {
 public:
  virtual ~ZEVOveverizuruDelegate() = default;
};

class ZEVOveverizuru : public GULNetworkLoggerDelegate,
                       public GULNetworkReachabilityDelegate,
                       public std::enable_shared_from_this<ZEVOveverizuru> {
 public:
  using Interceptor = std::function<void(std::shared_ptr<APMEvent>&)>;
  using SessionIDCompletion = std::function<void(std::int64_t, const platform::ErrorPtr&)>;

  // ---- Class operations (lifecycle) ----
  static void initializeSharedInstanceWithAppID(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                std::optional<std::vector<std::string>> safelist);
  static bool hasSharedInstance();
  static std::shared_ptr<ZEVOveverizuru> sharedInstance();
  static std::shared_ptr<APMMonitor> monitor();
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  // Load-time work: subscribes to the application's did-finish-launching notification.
  static void load();
  static void notCalled();

  // Public initialiser (none for an empty app ID): creates the network client, the scheduler and
  // the alarm, then the designated initialiser.
  static std::shared_ptr<ZEVOveverizuru>
  initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                bool isAnalyticsCollectionDeactivated,
                std::optional<std::vector<std::string>> safelist,
                std::shared_ptr<APMEManager> experimentManager);
  // Designated initialiser: stores the parts, reads the init timestamp, decides `enabled` and
  // posts setEnabled with it.
  static std::shared_ptr<ZEVOveverizuru> initWithDatabaseName(
      const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
      std::shared_ptr<GULNetwork> network, std::shared_ptr<APMScheduler> scheduler,
      std::shared_ptr<APMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelist,
      std::shared_ptr<APMEManager> experimentManager);
  ~ZEVOveverizuru() override;

  // ---- Lifecycle (instance) ----
  bool shouldEnableMeasurement();
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  bool shouldWipeDataWithAppID(const std::string& appID,
                               const std::optional<std::string>& appIDFromDUZ,
                               const std::optional<std::string>& persistedAppIDFromDUZ);
  void setProspectiveConsentSettings();
  void updatePersistedAppIDFromDUZ();
  void tcfClientSetConsentFromData();
  bool isZevevidiRemoteConfigSDKPresent();
  bool shouldUseBackgroundSession() { return false; }
  void reachabilityDidChange() override;

  // ---- Upload (later) ----
  void uploadDataOrRegisterAlarm();
  void uploadData();
  bool isNetworkReadyForRequest();
  bool hasDataToUpload();
  void setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs);
  void networkUploadCompletionHandlerWithResponse(const platform::HTTPURLResponsePtr& response,
                                                  const platform::ErrorPtr& error);
  void incrementRetryCounter();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);
  // The leading run of `bundles` that shares the app ID and the device ID given.
  std::vector<APMQueuedBundle>
  filteredBundlesWithCompatibleAppID(const std::optional<std::string>& appID,
                                     const std::optional<std::string>& resettableDeviceID,
                                     const std::optional<std::string>& vendorDeviceID,
                                     const std::vector<APMQueuedBundle>& bundles);
  // ---- Upload schedule (later) ----
  void updateSchedule();
  double nextUploadingTime();
  void terminateBackgroundTask();
  // ---- Configuration fetch (later) ----
  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const platform::HTTPURLResponsePtr& response,
                                                 const platform::Bytes& data,
                                                 const platform::ErrorPtr& error);
  // True when the database holds a configuration from the server.
  bool hasStoredMeasurementConfig();
  // Decodes, checks and stores a fetched configuration; inside the caller's transaction.
  bool applyMeasurementConfig(const platform::Bytes& data);
  // ---- User properties and user ID (later) ----
  void setUserAttribute(std::shared_ptr<APMUserAttribute> attribute);
  void removeUserAttribute(std::shared_ptr<APMUserAttribute> attribute);
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::shared_ptr<APMUserAttribute>)> callback);
  void userPropertiesIncludingInternal(bool includingInternal,
                                       std::function<void(platform::ValueMap)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::function<void(std::int64_t)> callback);
  void setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute);
  void removeUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute);
  bool hasUserPropertyUserIDOnWorkerQueue();
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  // ---- First open and application-lifecycle events (later) ----
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void reportStoredCampaignEventOnWorkerQueue(const platform::Value& clickTimestampMs);
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  bool isVersionSameAsOriginalVersion();
  std::optional<std::string> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<std::string>& count);
  double firstOpenTimestamp();
  std::optional<platform::ValueMap> fileAttributesForPath(const std::string& path);
  // ---- Event entry, default event parameters and backfill (zevoveverizuru_event_entry.cpp;
  // the session backfill later) ----
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::ValueMap& parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor, Interceptor interceptor,
                          const platform::ValueMap& addedScreenParameters);
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                       const std::string& name,
                                       const platform::ValueMap& parameters, double timestamp,
                                       bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                       const Interceptor& interceptor,
                                       const platform::ValueMap& addedScreenParameters);
  void logEventOnWorkerQueue(std::shared_ptr<APMEvent> event, bool notifyEventListeners);
  void logEvent(std::shared_ptr<APMEvent> event);
  void setDefaultEventParameters(std::optional<platform::ValueMap> parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(std::optional<platform::ValueMap> parameters,
                                                    bool backfillEvents);
  platform::ValueMap
  parametersWithAddedDefaultEventParameters(const platform::ValueMap& parameters);
  bool shouldBackfillEvents();
  void backfillEventsWithParameters(const platform::ValueMap& parameters, bool isPublic,
                                    const std::function<bool(const APMRawEventData&)>& eventFilter);
  void backfillSessionID(const platform::Value& sessionID, const platform::Value& sessionNumber);
  double backfillStartTimestampForSessionID(const platform::Value& sessionID);
  void setSessionTimeoutInterval(double seconds);
  void sessionIDWithCompletion(SessionIDCompletion completion);
  void backfillSessionNumber();
  // ---- Ad personalization, consent upkeep, purchase de-duplication (later) ----
  platform::Value shouldDisableAdPersonalization();
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void updateAdPersonalizationConsentFromNPAValue(const platform::Value& value);
  void updateConsentSettingsUtilWithRemoteConfig();
  void updateCachedAdCampaignInfoWithExistingZBRAIDProperty();
  bool shouldAllowAdNetworkRegistration();
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
  void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }
  void setUserData(const platform::ValueMap& userData);
  void setUserDataOnWorkerQueue(const platform::ValueMap& userData);
  using PurchaseFilterCallback =
      std::function<void(const std::vector<platform::storekit::PaymentTransactionPtr>&)>;
  void filterPurchaseTransactions(
      const std::vector<platform::storekit::PaymentTransactionPtr>& transactions,
      PurchaseFilterCallback callback);
  // ---- Data reset, application-state notifications, network log relay (later) ----
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  bool wipeoutAnalyticsDataAndResetComponents();
  static void subscribeForAppDidFinishLaunchingNotifications();
  static void handleAppDidFinishLaunching(const platform::Notification& notification);
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent(const platform::Notification& notification);
  void handleAppWillResignActiveEvent(const platform::Notification& notification);
  void handleAppWillEnterForegroundNotification(const platform::Notification& notification);
  // Drops the become-active and will-resign-active observers (at destruction).
  void unsubscribeFromAppNotifications();
  void GULNetwork_logWithLevel_contexts(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                                        const std::string& message,
                                        const std::vector<platform::Value>& contexts) override;
  void GULNetwork_logWithLevel_context(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                                       const std::string& message,
                                       const platform::Value& context) override;
  void GULNetwork_logWithLevel(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                               const std::string& message) override;

  // ---- Category Event: pipeline and write path (zevoveverizuru_event.cpp) ----
  void handleInternalEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  void handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(std::shared_ptr<APMEvent> event);
  void processSessionFromEvent(const std::shared_ptr<APMEvent>& event);
  bool dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMEvent>
  appExceptionEventWithZevevidiFeatureRollouts(std::shared_ptr<APMEvent> event);
  void writeSessionStartEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  void writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  // The editing step: the edited event (or the unedited one when editing fails or the event
  // model refuses the edit, 23223) and then the created events.
  void writeEditedEventsOnWorkerQueue(APMPEventEditing& editing,
                                      const std::shared_ptr<APMEvent>& event);
  void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  bool updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event);
  bool shouldProcessEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts,
                          bool isPublicEvent);
  bool isRealtimeEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts);
  void maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>& event);
  bool writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent, bool isRealtime);
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes);
  void logFirstOpenConsentedEvent(double timestamp);
  // ---- Category Bundle (zevoveverizuru_bundle.cpp, later) ----
  bool bundleRawEvents();
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
  rawEventsWithMetadataFingerprint(std::int64_t fingerprint);
  std::optional<std::vector<std::shared_ptr<APMEvent>>>
  processRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>& batch,
                   std::int64_t fingerprint);
  bool checkConversion(const APMRawEventData& rawEvent, APMDailyCounts& dailyCounts);
  bool checkRealtime(const APMRawEventData& rawEvent, APMDailyCounts& dailyCounts);
  std::shared_ptr<APMRawEventData>
  internalEventFromPublicEvent(std::shared_ptr<APMRawEventData> rawEvent);
  std::shared_ptr<APMRawEventData> validatePurchaseEvent(std::shared_ptr<APMRawEventData> rawEvent);
  bool updateUserEngagement(std::int64_t engagementTime, APMPBMeasurementBundle& bundle,
                            bool sessionScoped);
  void handleAnalyticsStorageConsentTransitions(APMPBMeasurementBundle& bundle);
  std::shared_ptr<APMEvent> purchaseEventWithCustomerTypeParam(std::shared_ptr<APMEvent> event);
  bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                  double bundleEndTimestamp);
  void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);
  // Session start and engagement sums of one batch ("_lte", "_se").
  void sessionStartedInBatch(const APMPBMeasurementBundle& bundle);
  void evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>& batch,
                                   APMPBMeasurementBundle& bundle);
  // Previous timestamps and per-name counts, then, when allowed, each event through the audience
  // filters with the pass's cache; none on a database or evaluation failure.
  std::optional<std::vector<std::shared_ptr<APMEvent>>>
  eventsAfterUpdatingEventAggregates(const std::vector<std::shared_ptr<APMEvent>>& events,
                                     const std::shared_ptr<APMAudienceTimestampsCache>& cache,
                                     bool allowEventFilterEvaluation);
  // True when a metadata row is stored for the fingerprint, decodable or not.
  bool rawEventsMetadataRowExists(std::int64_t fingerprint);
  // ---- Category Sampling (zevoveverizuru_sampling.cpp, later) ----
  std::optional<std::vector<std::shared_ptr<APMPBEvent>>>
  sampleEvents(const std::vector<std::shared_ptr<APMPBEvent>>& events, platform::ErrorPtr* error);
  bool canEventBeSampled(const APMPBEvent& event);
  bool isEventBundledAfterRoll(std::int32_t rate);
  // ---- Category URL: deep links, campaigns, deferred deep link (zevoveverizuru_url.cpp) ----
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  void handleOpenURL(const std::string& url, const platform::Value& clickTimestampInMs,
                     double eventTimestampInSeconds);
  void handleDeepLink(const std::string& url, const platform::Value& clickTimestampInMs,
                      double eventTimestampInSeconds);
  void handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                  const platform::Value& clickTimestampInMs,
                                  double eventTimestampInSeconds,
                                  const std::optional<platform::ValueMap>& extraParameters);
  bool isValidCampaignURLParamDictionary(const platform::ValueMap& parameters);
  bool shouldAllowClickID();
  void handleDebugModeWithURL(const std::string& url);
  static void handleSZTMDebugModeWithURL(const std::string& url);
  static std::optional<platform::ValueMap> SZTMPreviewHeaders();
  static void
  handleStoredURLAfterAppLaunchWithNotification(const platform::Notification& notification);
  // The activity's web page URL; none (23003, 23006) for no activity or another kind.
  static std::optional<std::string> deepLinkFromUserActivity(const APMUserActivity* activity);
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  // The request address with its consent fields; none when it does not form a URL.
  std::optional<std::string> deferredDeepLinkRequestURL();
  void deferredDeepLinkCompletion(const platform::HTTPURLResponsePtr& response,
                                  const platform::Bytes& data, const platform::ErrorPtr& error);
  std::optional<platform::ValueMap> deepLinkInfoFromResponseData(const platform::Bytes& data);
  void handleDeferredDeepLinkInfo(const platform::ValueMap& info);
  bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                const std::optional<platform::ValueMap>& extraInfo);
  // ---- Category ODM1: on-device conversion with user data (zevoveverizuru_odm1.cpp) ----
  // The client class registered as "APMPrivateSetMembershipClient", else as
  // "ODCPrivateSetMembershipClient"; none when neither is.
  static std::shared_ptr<APMPSMClientClass> PSMClientClass();
  bool isAPMPrivateSetMembershipClientLinked();
  void checkPSMDependencyOnWorkerQueue();
  void maybeDeleteExpiredPSMValueOnWorkerQueue();
  void initiateODM1ProtocolWithUserData(const platform::ValueMap& userData);
  bool shouldRetrievePSMResponse();
  bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
  bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
  bool shouldRetrievePSMResponseWithHashedIdentifier(const platform::Bytes& hashed,
                                                     bool isPhoneNumber);
  std::shared_ptr<APMPSMClient> PSMClientWithEmailAddress(const std::string& emailAddress);
  std::shared_ptr<APMPSMClient> PSMClientWithPhoneNumber(const std::string& phoneNumber);
  std::shared_ptr<APMPSMClient> PSMClientWithHashedEmailAddress(const platform::Bytes& hashed);
  std::shared_ptr<APMPSMClient> PSMClientWithHashedPhoneNumber(const platform::Bytes& hashed);
  const std::shared_ptr<APMPSMContext>& ODM1Context() const { return ODM1Context_; }
  std::optional<std::string> PSMRequestURL();
  void retrievePSMResponse();
  void maybeSchedulePSMRetry();
  void handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue);
  void incrementPSMCountOnWorkerQueueWithName(const std::string& name);
  // ---- Category ODM2: on-device conversion service values (zevoveverizuru_odm2.cpp) ----
  void checkODM2DependencyOnWorkerQueue();
  // The service of the class registered as "ODCConversionService", through its shared instance.
  static std::shared_ptr<ODCConversionService> conversionServiceFromReflection();
  static bool isAdsOnDeviceConversionLinked();
  static bool isAlphaAppAdsOnDeviceConversionLinked();
  static bool isZirizaAdsOnDeviceConversionLinked();
  bool isAdsOnDeviceConversionEnabled();
  void updateAdsOnDeviceConversionMeasurement();
  void handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                        const platform::ErrorPtr& error);

  // ---- Properties ----
  const std::string& databaseName() const { return databaseName_; }
  bool didInitializeComponents() const { return didInitializeComponents_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  std::shared_ptr<APMAudience> audience() const { return component(audience_); }
  std::shared_ptr<APMDatabase> database() const { return component(database_); }
  std::shared_ptr<APMIdentity> identity() const { return component(identity_); }
  const std::shared_ptr<GULNetwork>& network() const { return network_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const { return component(remoteConfig_); }
  const std::shared_ptr<APMScheduler>& scheduler() const { return scheduler_; }
  std::shared_ptr<APMSessionReporter> sessionReporter() const {
    return component(sessionReporter_);
  }
  std::shared_ptr<APMSearchAdReporter> searchAdReporter() const {
    return component(searchAdReporter_);
  }
  std::shared_ptr<APMTCFClient> tcfClient() const { return component(tcfClient_); }
  const std::optional<std::set<std::string>>& safelistedEvents() const { return safelistedEvents_; }
  double initTimestamp() const { return initTimestamp_; }
  const std::string& appID() const { return appID_; }
  bool isEnabled() const { return enabled_; }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  void setIsAnalyticsCollectionEnabled(bool value) { isAnalyticsCollectionEnabled_ = value; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  void setIsAnalyticsCollectionDeactivated(bool value) {
    isAnalyticsCollectionDeactivated_ = value;
  }
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  void setIsNetworkRequestPending(bool value) { isNetworkRequestPending_ = value; }
  void setSuspendedUploadTimestamp(double value) { suspendedUploadTimestamp_ = value; }
  std::shared_ptr<ZEVOveverizuruDelegate> measurementDelegate() const {
    return measurementDelegate_.lock();
  }
  void setMeasurementDelegate(std::weak_ptr<ZEVOveverizuruDelegate> delegate) {
    measurementDelegate_ = std::move(delegate);
  }

  // Test support: forgets the shared instance and the "initialisation was called" flag.
  static void resetSharedInstanceForTesting();

  ZEVOveverizuru() = default;

 private:
  bool initializeComponentsOnWorkerQueue();
  // The components made at start are set on the worker queue and read from any thread.
  template <class T> std::shared_ptr<T> component(const std::shared_ptr<T>& field) const {
    std::lock_guard lock(componentsMutex_);
    return field;
  }
  template <class T> void setComponent(std::shared_ptr<T>& field, std::shared_ptr<T> value) {
    std::lock_guard lock(componentsMutex_);
    field = std::move(value);
  }
  void postToWorkerQueue(const char* blockID, std::function<void(ZEVOveverizuru&)> body);

  std::string databaseName_;
  std::atomic<bool> didInitializeComponents_{false};
  std::mutex initializeComponentsLock_;  // serialises the one-time start (worker queue)
  // Guards the component pointers below that the start sets (written on the worker queue only,
  // so the worker queue reads them without it). Taken after initializeComponentsLock_; nothing
  // is called while it is held.
  mutable std::mutex componentsMutex_;
  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<APMAudience> audience_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<GULNetwork> network_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMSessionReporter> sessionReporter_;
  std::shared_ptr<APMSearchAdReporter> searchAdReporter_;
  std::shared_ptr<APMEManager> experimentManager_;
  std::vector<std::int64_t> uploadingBundleIDs_;
  std::optional<std::string> previousDUZAppID_;
  double initTimestamp_ = 0;
  double suspendedUploadTimestamp_ = 0;
  // Event blocks ("ZEVOveverizuru:2476") handed to the worker queue and not started yet. An event
  // handled while others wait leaves the schedule update owed to the last of them, so a burst
  // of events computes the schedule once, from the state after its last event.
  std::atomic<std::int64_t> waitingEventBlocks_{0};
  bool scheduleUpdateOwed_ = false;  // worker queue
  std::string appID_;
  std::optional<std::set<std::string>> safelistedEvents_;
  bool foundAdPersonalizationPlistFlag_ = false;
  bool shouldUpdateNPAUserProperty_ = false;
  bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
  std::shared_ptr<APMTCFClient> tcfClient_;
  std::shared_ptr<ODCConversionService> conversionService_;  // worker queue
  std::shared_ptr<APMPSMContext> ODM1Context_;               // worker queue
  // Written on the worker queue, read from any thread by the facade and the model's hooks.
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  std::atomic<bool> isAnalyticsCollectionEnabled_{false};
  std::atomic<bool> isAnalyticsCollectionDeactivated_{false};
  bool isNetworkRequestPending_ = false;
  std::weak_ptr<ZEVOveverizuruDelegate> measurementDelegate_;
  // Bundling: the last row ID of the run the batch read took (worker queue), and its error.
  std::int64_t lastBatchRowID_ = 0;
  platform::ErrorPtr lastBatchError_;
  // The application-state observers of the one-time start.
  std::mutex notificationMutex_;
  std::vector<platform::NotificationToken> notificationTokens_;
};

// Campaign attribution cache in the application's preferences (zevoveverizuru_url.cpp, later).
class APMUserDefaults;
void APMSetAttributionCache(APMUserDefaults& userDefaults, const std::string& url);
void APMClearAttributionCache(APMUserDefaults& userDefaults);
bool APMIsAttributionCacheExpired(APMUserDefaults& userDefaults, double timeToLiveSeconds);
bool APMClearAttributionCacheIfExpired(const std::shared_ptr<APMRemoteConfig>& remoteConfig);
std::int64_t APMAttributionTimestampMillisRoundedToPreviousHour(std::int64_t milliseconds);
void APMIncludeMeasurementURLCategory();
// Bundle helpers of the upload (zevoveverizuru_bundle.cpp, later).
bool APMIsFirstOpenBundle(const APMPBMeasurementBundle* bundle);
bool APMIsAnalyticsStorageDenied(const std::string& consentSignals);
bool APMHasRealTimeEvents(const std::vector<std::shared_ptr<APMEvent>>& events);
// Sampling (zevoveverizuru_sampling.cpp, later).
void APMAddSamplingParam(APMPBEvent& event, std::int32_t rate);
// On-device conversion (zevoveverizuru_odm1.cpp).
std::string APMURLStringAfterAppendingParam(const std::string& url, const std::string& name,
                                            const std::string& value);
