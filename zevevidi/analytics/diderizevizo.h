// DIDErizevizo: the public face of analytics for the application's code (through the analytics
// plugin) and for other Zevevidi components. Its class methods check their input where needed
// and hand every call to the measurement facade APMAnalytics; the guarded ones (events, user
// properties, on-device conversion measurement) first ask whether the default app exists and
// otherwise only log. It is also what the app registry starts when it configures the default
// app, and what keeps the measurement identity supplied with the installation identifier.
//
// Class methods run on the caller's thread and return without waiting, except where the facade
// itself waits (setUserData). State: the one installation-change observation, guarded by its own
// mutex (nothing is called out while it is held), and the shared instance, made once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/apm_analytics.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/core/fir_configuration.h"
#include "zevevidi/core/fir_options.h"

// Start options of the public interface.
inline constexpr const char* APMMonitorLogTagAnalytics = "[ZevevidiAnalytics]";
// Events logged through the public entry carry this origin.
inline constexpr const char* DIDErizevizoAppOrigin = "app";
// The source key under which consent from the public interface reaches the facade.
inline constexpr const char* APMConsentSettings3P = "consent_settings_3p";
// User-data keys of on-device conversion measurement.
inline constexpr const char* APMUserDataFieldEmailAddress = "email_address";
inline constexpr const char* APMUserDataFieldPhoneNumber = "phone_number";
inline constexpr const char* APMUserDataFieldHashedEmailAddress = "hashed_email_address";
inline constexpr const char* APMUserDataFieldHashedPhoneNumber = "hashed_phone_number";
// Consent types and statuses.
inline constexpr const char* FIRConsentTypeAdStorage = "ad_storage";
inline constexpr const char* FIRConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* FIRConsentTypeAdPersonalization = "ad_personalization";
inline constexpr const char* FIRConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* FIRConsentStatusGranted = "granted";
inline constexpr const char* FIRConsentStatusDenied = "denied";
// The box class of foreign values, looked up by name; nothing registers it on this platform.
inline constexpr const char* DIDErizevizoForeignValueClassName = "__SwiftValue";

class DIDErizevizo {
 public:
  // Registers the class object under "DIDErizevizo" in the class registry, where the app
  // registry looks it up when it configures the default app. Called once at process start,
  // before plugin registration; calling it again changes nothing.
  static void load();

  static std::string topLevelVersion();

  // ---- Events and user properties ----
  static void logEventWithName(const std::string& name,
                               const std::optional<platform::ValueMap>& parameters);
  static void setUserPropertyString(const std::optional<std::string>& value,
                                    const std::string& name);
  static void setUserID(const std::optional<std::string>& userID);

  // ---- Settings ----
  // Persisted: the choice survives restarts.
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // Type to status; handed on under "consent_settings_3p".
  static void setConsent(const platform::ValueMap& consent);

  // ---- On-device conversion measurement (guarded) ----
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::string& address);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::string& number);
  static void
  initiateOnDeviceConversionMeasurementWithHashedEmailAddress(const platform::Bytes& hashed);
  static void
  initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(const platform::Bytes& hashed);

  // The receiver of the three instance methods below.
  static std::shared_ptr<DIDErizevizo> sharedInstance();

  // ---- Interceptor and listeners ----
  static void setLogEventInterceptor(APMAnalytics::Interceptor interceptor);
  static std::int64_t addLogEventListener(APMAnalytics::Listener listener);
  static void removeLogEventListener(std::int64_t token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);
  static void setOpenURLListener(std::function<void(const std::string&)> listener);

  // ---- Internal entries ----
  // Guarded; parameters holding a boxed foreign value log 25040 and are logged all the same.
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const std::optional<platform::ValueMap>& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::ValueMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::ValueMap& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includingInternal, platform::QueuePtr queue,
                                              std::function<void(platform::ValueMap)> callback);
  static void setDefaultEventParameters(const std::optional<platform::ValueMap>& parameters);

  // ---- Start and installation identifier ----
  static void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration,
                                     const FIROptionsPtr& options);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);
  static void handleOpenURL(const std::string& url);
  // Asks the default app's installations for the identifier and hands it (or none) to the
  // measurement identity; the answer arrives on the main queue.
  static void updateZevevidiInstallationID();
  // One observation of the installation identifier's change notification, however often it is
  // called.
  static void observeZevevidiInstallationIDChanges();

  // ---- Queues ----
  static void dispatchAsyncOnSerialQueue(APMAnalytics::Block block);
  static void queueOperationWithBlock(APMAnalytics::Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  // ---- Instance methods (to the facade's shared instance) ----
  // logInternalEventWithOrigin is the class method above, which instance callers reach through
  // sharedInstance() as well (a class cannot hold both under one signature).
  void setInternalUserProperty(const platform::Value& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, platform::QueuePtr queue,
                                  std::function<void(std::int32_t)> callback);

  // Test support: drops the installation-change observation.
  static void resetForTesting();

 private:
  DIDErizevizo() = default;
};

// Whether `object` is an instance of the class named `className` (told by the object's class
// name), or holds one at any depth: map keys and values, list elements.
bool DIDErizevizoCheckForClass(const platform::Value& object, const std::string& className);
// Whether `parameters` hold a boxed foreign value; no when the box class is not registered.
bool DIDErizevizoCheckForUnbridgeableSwiftType(const platform::Value& parameters);
// 64 characters of hexadecimal text read as the 32 bytes they spell; any other length is
// returned unchanged. In each pair, as many leading hexadecimal digits as there are make the
// byte: a pair starting with anything else (white space and "x" included) gives 0.
platform::Bytes APMCorrectedBytes(const platform::Bytes& input);

// Logs 25040. Kept under this name so that a debugger can stop on it, as the message says.
extern "C" void __DIDERIZEVIZO_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
