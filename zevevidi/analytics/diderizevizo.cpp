#include "zevevidi/analytics/diderizevizo.h"

#include <mutex>

#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_identity.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/core/exception.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/notification_center.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/installations/fir_installations.h"
#include "zevevidi/installations/fir_installations_id_controller.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  ZEVOveverizuru::monitor()->logWithLevel(level, code, text, contexts);
}

// The class object the app registry finds under "DIDErizevizo".
class DIDErizevizoClassObject : public DIDErizevizoClass {
 public:
  void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration,
                              FIROptionsPtr options) override {
    DIDErizevizo::startWithConfiguration(std::move(configuration), options);
  }
  std::optional<std::string> topLevelVersion() const override {
    return DIDErizevizo::topLevelVersion();
  }
};

struct Observation {
  std::mutex mutex;  // guards token
  platform::NotificationToken token;
};

Observation& observation() {
  static Observation* state = new Observation();
  return *state;
}

platform::ValueMap userData(const char* key, platform::Value value) {
  return platform::ValueMap{{platform::Value(key), std::move(value)}};
}

// The hashed value as handed on: warned about unless it is 32 bytes, read as hexadecimal text
// when it is 64.
platform::Bytes correctedHash(const platform::Bytes& hashed, std::int64_t code,
                              const char* message) {
  if (hashed.size() != 32) report(4, code, message);
  return hashed.size() == 64 ? APMCorrectedBytes(hashed) : hashed;
}

int hexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void DIDErizevizo::load() {
  auto& registry = platform::ClassRegistry::shared();
  if (registry.contains(kDIDErizevizoClassName)) return;
  registry.registerClass<DIDErizevizoClass>(kDIDErizevizoClassName,
                                            std::make_shared<DIDErizevizoClassObject>());
}

std::string DIDErizevizo::topLevelVersion() {
  return FIRZevevidiVersion();
}

// ---- Events and user properties -------------------------------------------------------------

void DIDErizevizo::logEventWithName(const std::string& name,
                                    const std::optional<platform::ValueMap>& parameters) {
  logEventWithOrigin(DIDErizevizoAppOrigin, name, parameters);
}

void DIDErizevizo::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<platform::ValueMap>& parameters) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25018, "Event not logged. ZevevidiApp not configured.",
           {platform::Value(APMFormattedEventName(name))});
    return;
  }
  if (parameters && DIDErizevizoCheckForUnbridgeableSwiftType(platform::Value(*parameters))) {
    __DIDERIZEVIZO_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
  }
  APMAnalytics::logEventWithOrigin(origin, name, parameters.value_or(platform::ValueMap{}));
}

void DIDErizevizo::setUserPropertyString(const std::optional<std::string>& value,
                                         const std::string& name) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25019, "User property not set. ZevevidiApp not configured.",
           {platform::Value(APMFormattedUserPropertyName(name))});
    return;
  }
  APMAnalytics::setUserPropertyString(value, name);
}

void DIDErizevizo::setUserID(const std::optional<std::string>& userID) {
  APMAnalytics::setUserID(userID);
}

// ---- Settings -------------------------------------------------------------------------------

void DIDErizevizo::setAnalyticsCollectionEnabled(bool enabled) {
  APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void DIDErizevizo::setSessionTimeoutInterval(double seconds) {
  APMAnalytics::setSessionTimeoutInterval(seconds);
}

void DIDErizevizo::sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> DIDErizevizo::appInstanceID() {
  return APMAnalytics::appInstanceID();
}

void DIDErizevizo::resetAnalyticsData() {
  APMAnalytics::resetAnalyticsData();
}

void DIDErizevizo::setConsent(const platform::ValueMap& consent) {
  APMAnalytics::setConsent(consent, APMConsentSettings3P);
}

// ---- On-device conversion measurement -------------------------------------------------------

void DIDErizevizo::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::string& address) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25051, "Email address not set. ZevevidiApp not configured.");
    return;
  }
  APMAnalytics::setUserData(userData(APMUserDataFieldEmailAddress, platform::Value(address)));
}

void DIDErizevizo::initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::string& number) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25052, "Phone number not set. ZevevidiApp not configured.");
    return;
  }
  APMAnalytics::setUserData(userData(APMUserDataFieldPhoneNumber, platform::Value(number)));
}

void DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const platform::Bytes& hashed) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25053, "Hashed email address not set. ZevevidiApp not configured.");
    return;
  }
  const platform::Bytes value =
      correctedHash(hashed, 25056, "Hashed email address should be 32 bytes (256 bits)");
  APMAnalytics::setUserData(userData(APMUserDataFieldHashedEmailAddress, platform::Value(value)));
}

void DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const platform::Bytes& hashed) {
  if (!FIRApp::isDefaultAppConfigured()) {
    report(3, 25054, "Hashed phone number not set. ZevevidiApp not configured.");
    return;
  }
  const platform::Bytes value =
      correctedHash(hashed, 25057, "Hashed phone number should be 32 bytes (256 bits)");
  APMAnalytics::setUserData(userData(APMUserDataFieldHashedPhoneNumber, platform::Value(value)));
}

std::shared_ptr<DIDErizevizo> DIDErizevizo::sharedInstance() {
  static const std::shared_ptr<DIDErizevizo> instance(new DIDErizevizo());
  return instance;
}

// ---- Interceptor, listeners and internal entries --------------------------------------------

void DIDErizevizo::setLogEventInterceptor(APMAnalytics::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::int64_t DIDErizevizo::addLogEventListener(APMAnalytics::Listener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void DIDErizevizo::removeLogEventListener(std::int64_t token) {
  APMAnalytics::removeLogEventListener(token);
}

void DIDErizevizo::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  APMAnalytics::notifyEventListeners(event);
}

void DIDErizevizo::setOpenURLListener(std::function<void(const std::string&)> listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void DIDErizevizo::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::ValueMap& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void DIDErizevizo::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const platform::ValueMap& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                   ignoreEnabled, ignoreInterceptor);
}

void DIDErizevizo::userPropertiesIncludingInternal(
    bool includingInternal, platform::QueuePtr queue,
    std::function<void(platform::ValueMap)> callback) {
  APMAnalytics::userPropertiesIncludingInternal(includingInternal, std::move(queue),
                                                std::move(callback));
}

void DIDErizevizo::setDefaultEventParameters(const std::optional<platform::ValueMap>& parameters) {
  APMAnalytics::setDefaultEventParameters(parameters);
}

// ---- Start and installation identifier ------------------------------------------------------

void DIDErizevizo::startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration,
                                          const FIROptionsPtr& options) {
  platform::ValueMap startOptions;
  if (configuration) {
    startOptions[platform::Value(APMAnalyticsConfigurationOption)] =
        platform::Value(platform::ObjectPtr(std::move(configuration)));
  }
  startOptions[platform::Value(APMAnalyticsCollectionDeactivatedOption)] =
      platform::Value(options && options->isAnalyticsCollectionDeactivated());
  startOptions[platform::Value(APMAnalyticsCollectionEnabledOption)] =
      platform::Value(!options || options->isAnalyticsCollectionEnabled());
  startOptions[platform::Value(APMMonitorLogTagOptionKey)] =
      platform::Value(APMMonitorLogTagAnalytics);
  const std::string appID = options ? options->zirizaAppID().value_or("") : "";
  APMAnalytics::startWithAppID(appID, APMAnalyticsOriginFA, startOptions);
  updateZevevidiInstallationID();
  observeZevevidiInstallationIDChanges();
}

void DIDErizevizo::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  APMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}

void DIDErizevizo::handleOpenURL(const std::string& url) {
  APMAnalytics::handleOpenURL(url);
}

void DIDErizevizo::updateZevevidiInstallationID() {
  std::shared_ptr<FIRInstallations> installations;
  try {
    installations = FIRInstallations::installations();
  } catch (const platform::Exception& e) {
    // No default app, or options the installations component refuses: there is no identifier
    // to hand on, and the identity keeps what it has.
    report(4, 25038, "Failed to get Installation ID.", {platform::Value(e.reason())});
    return;
  }
  if (!installations) {
    report(4, 25038, "Failed to get Installation ID.");
    return;
  }
  installations->installationIDWithCompletion(
      [](std::optional<std::string> identifier, platform::ErrorPtr error) {
        if (!identifier && error) {
          report(4, 25038, "Failed to get Installation ID.", {platform::Value(error)});
        }
        if (auto identity = APMIdentity::sharedInstance()) {
          identity->setZevevidiInstallationID(std::move(identifier));
        }
      });
}

void DIDErizevizo::observeZevevidiInstallationIDChanges() {
  auto& center = platform::NotificationCenter::defaultCenter();
  auto& state = observation();
  std::lock_guard lock(state.mutex);
  center.removeObserver(state.token);
  state.token = center.addObserverForName(
      FIRInstallationIDDidChangeNotification, nullptr,
      [](const platform::Notification&) { updateZevevidiInstallationID(); });
}

void DIDErizevizo::resetForTesting() {
  auto& state = observation();
  std::lock_guard lock(state.mutex);
  platform::NotificationCenter::defaultCenter().removeObserver(state.token);
  state.token = {};
}

// ---- Queues ---------------------------------------------------------------------------------

void DIDErizevizo::dispatchAsyncOnSerialQueue(APMAnalytics::Block block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void DIDErizevizo::queueOperationWithBlock(APMAnalytics::Block block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void DIDErizevizo::unsuspendOperationQueue() {
  APMAnalytics::unsuspendOperationQueue();
}

double DIDErizevizo::loadTimestamp() {
  return APMAnalytics::loadTimestamp();
}

// ---- Instance methods -----------------------------------------------------------------------

void DIDErizevizo::setInternalUserProperty(const platform::Value& value, const std::string& name,
                                           const std::string& origin) {
  APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void DIDErizevizo::maxUserPropertiesForOrigin(const std::string& origin, platform::QueuePtr queue,
                                              std::function<void(std::int32_t)> callback) {
  APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue),
                                                             std::move(callback));
}

// ---- Checks and byte correction -------------------------------------------------------------

bool DIDErizevizoCheckForClass(const platform::Value& object, const std::string& className) {
  if (const auto* o = object.ifObject(); o && *o && (*o)->className() == className) return true;
  if (const auto* map = object.ifMap()) {
    for (const auto& [key, value] : *map) {
      if (DIDErizevizoCheckForClass(key, className) || DIDErizevizoCheckForClass(value, className))
        return true;
    }
    return false;
  }
  if (const auto* list = object.ifList()) {
    for (const auto& element : *list) {
      if (DIDErizevizoCheckForClass(element, className)) return true;
    }
  }
  return false;
}

bool DIDErizevizoCheckForUnbridgeableSwiftType(const platform::Value& parameters) {
  if (!platform::ClassRegistry::shared().contains(DIDErizevizoForeignValueClassName)) return false;
  return DIDErizevizoCheckForClass(parameters, DIDErizevizoForeignValueClassName);
}

platform::Bytes APMCorrectedBytes(const platform::Bytes& input) {
  if (input.size() != 64) return input;
  platform::Bytes out;
  out.reserve(32);
  for (std::size_t i = 0; i < input.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const int digit = hexDigit(input[j]);
      if (digit < 0) break;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  }
  return out;
}

extern "C" void __DIDERIZEVIZO_UNBRIDGEABLE_SWIFT_VALUE_ERROR__() {
  report(3, 25040,
         "Unbridgeable Swift type logged in parameters. Break on "
         "__DIDERIZEVIZO_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}
