#include "zevevidi/analytics/diderizevizo_connector.h"

#include <condition_variable>
#include <exception>
#include <optional>
#include <vector>

#include "measurement/engine/apm_conditional_user_property_controller.h"
#include "measurement/model/apm_conditional_user_property.h"
#include "measurement/model/apm_value.h"
#include "platform/dispatch/clock.h"
#include "platform/log/log.h"
#include "zevevidi/analytics/diderizevizo.h"
#include "zevevidi/analytics/fir_connector_utils.h"
#include "zevevidi/core/fir_app.h"

namespace {

using platform::Value;
using platform::ValueMap;
using Property = APMConditionalUserProperty;

constexpr double kMaxUserPropertiesWaitSeconds = 10;

class DIDErizevizoConnectorLibrary : public FIRLibrary {
 public:
  std::string className() const override { return "DIDErizevizoConnector"; }
  std::vector<FIRComponentPtr> componentsToRegister() const override {
    return DIDErizevizoConnector::componentsToRegister();
  }
};

const std::shared_ptr<platform::Log>& connectorLog() {
  static const auto log = platform::Log::create("com.ziriza.analytics", "connector");
  return log;
}

// ---- Conditional user property dictionaries ----
//
// Each known key has its setter and the kind of value it takes. A key of no field, and an
// entry of the wrong kind, is ignored; "value" is checked before anything is applied.

using Setter = bool (*)(Property&, const Value&);

bool setString(const Value& value, void (Property::*set)(std::string), Property& property) {
  const auto* text = value.ifString();
  if (!text) return false;
  (property.*set)(*text);
  return true;
}

bool setNumber(const Value& value, void (Property::*set)(double), Property& property) {
  double number = 0;
  if (!value.isNumber() || !value.toDouble(&number)) return false;
  (property.*set)(number);
  return true;
}

bool setEvent(const Value& value, void (Property::*set)(std::shared_ptr<APMEvent>),
              Property& property) {
  const auto* dictionary = value.ifMap();
  if (!dictionary) return false;
  (property.*set)(DIDErizevizoConnector::eventFromDictionary(*dictionary));
  return true;
}

const std::map<std::string, Setter>& propertySetters() {
  static const std::map<std::string, Setter> setters{
      {"name", [](Property& p, const Value& v) { return setString(v, &Property::setName, p); }},
      {"origin", [](Property& p, const Value& v) { return setString(v, &Property::setOrigin, p); }},
      {"triggerEventName",
       [](Property& p, const Value& v) { return setString(v, &Property::setTriggerEventName, p); }},
      {"triggerTimeout",
       [](Property& p, const Value& v) { return setNumber(v, &Property::setTriggerTimeout, p); }},
      {"timeToLive",
       [](Property& p, const Value& v) { return setNumber(v, &Property::setTimeToLive, p); }},
      {"creationTimestamp",
       [](Property& p, const Value& v) {
         return setNumber(v, &Property::setCreationTimestamp, p);
       }},
      {"triggeredTimestamp",
       [](Property& p, const Value& v) {
         return setNumber(v, &Property::setTriggeredTimestamp, p);
       }},
      {"active",
       [](Property& p, const Value& v) {
         if (v.isBool()) {
           p.setActive(v.asBool());
         } else if (v.isInt()) {
           p.setActive(v.asInt() != 0);
         } else {
           return false;
         }
         return true;
       }},
      {"triggeredEvent",
       [](Property& p, const Value& v) { return setEvent(v, &Property::setTriggeredEvent, p); }},
      {"timedOutEvent",
       [](Property& p, const Value& v) { return setEvent(v, &Property::setTimedOutEvent, p); }},
      {"expiredEvent",
       [](Property& p, const Value& v) { return setEvent(v, &Property::setExpiredEvent, p); }},
  };
  return setters;
}

// Tells one listener, keeping the main loop safe from what the listener throws.
void tell(const DIDErizevizoInteropListenerPtr& listener, const std::string& name,
          const ValueMap& parameters) {
  try {
    listener->messageTriggered(name, parameters);
  } catch (const std::exception& e) {
    connectorLog()->error(std::string("An analytics listener failed: ") + e.what());
  } catch (...) {
    connectorLog()->error("An analytics listener failed");
  }
}

}  // namespace

// ---- Registration --------------------------------------------------------------------------

void DIDErizevizoConnector::load() {
  // Registering the same library again changes nothing.
  FIRApp::registerInternalLibrary(std::make_shared<DIDErizevizoConnectorLibrary>(),
                                  DIDErizevizoConnectorLibraryName,
                                  DIDErizevizoConnectorLibraryVersion);
}

FIRProtocol DIDErizevizoConnector::interopProtocol() {
  return FIRProtocol::of<DIDErizevizoInterop>("DIDErizevizoInterop");
}

std::vector<FIRComponentPtr> DIDErizevizoConnector::componentsToRegister() {
  // Lazy, and not cacheable: the container keeps no instance, so each request gets a connector
  // with listeners of its own.
  return {FIRComponent::componentWithProtocol(
      interopProtocol(), [](FIRComponentContainer&, bool*) -> FIRComponentInstance {
        return DIDErizevizoConnector::make();
      })};
}

platform::QueuePtr DIDErizevizoConnector::connectorQueue() {
  static const platform::QueuePtr queue =
      platform::makeSerialQueue(DIDErizevizoConnectorQueueLabel);
  return queue;
}

std::shared_ptr<DIDErizevizoConnector> DIDErizevizoConnector::make() {
  return std::shared_ptr<DIDErizevizoConnector>(new DIDErizevizoConnector());
}

DIDErizevizoConnector::~DIDErizevizoConnector() {
  // A connector that goes away while listening takes its engine listener with it, which could
  // only find the connector gone from then on.
  if (logEventListener_ != 0) DIDErizevizo::removeLogEventListener(logEventListener_);
}

// ---- Events and user properties ------------------------------------------------------------

void DIDErizevizoConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const std::optional<ValueMap>& parameters) {
  if (!FIRConnectorUtils::isOriginAllowed(origin)) return;
  if (!FIRConnectorUtils::shouldLogEventWithName(name, parameters)) return;
  ValueMap params = parameters.value_or(ValueMap{});
  if (name == "_cmp") {
    for (const char* integration : {"zcm", "zdl", "ziam", "zrc"}) {
      if (origin == integration) {
        params[Value("_cis")] = Value(origin + "_integration");
        break;
      }
    }
  } else if (name == "_ae" && origin == "clx") {
    params[Value("_r")] = Value(std::int64_t{1});
  }
  // Not guarded by the default app: other components only exist once it does.
  DIDErizevizo::logInternalEventWithOrigin(origin, name, params);
}

void DIDErizevizoConnector::setUserPropertyWithOrigin(const std::string& origin,
                                                      const std::string& name, const Value& value) {
  if (!FIRConnectorUtils::isOriginAllowed(origin) ||
      !FIRConnectorUtils::isUserPropertyAllowed(name, origin)) {
    return;
  }
  DIDErizevizo::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void DIDErizevizoConnector::getUserPropertiesWithCallback(std::function<void(ValueMap)> callback) {
  DIDErizevizo::userPropertiesIncludingInternal(
      true, connectorQueue(), [callback = std::move(callback)](ValueMap properties) {
        ValueMap allowed;
        for (auto& [name, value] : properties) {
          const auto* text = name.ifString();
          if (text && FIRConnectorUtils::isUserPropertyAllowedForQuery(*text))
            allowed.emplace(name, value);
        }
        if (callback) callback(std::move(allowed));
      });
}

std::int64_t DIDErizevizoConnector::maxUserProperties(const std::string& origin) {
  struct Answer {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<std::int32_t> value;
  };
  auto answer = std::make_shared<Answer>();
  // Called on the connector queue, an answer queued behind this call could only arrive after
  // the wait gave up: it comes on a queue of its own then.
  const platform::QueuePtr queue =
      connectorQueue()->isCurrent()
          ? platform::makeSerialQueue(std::string(DIDErizevizoConnectorQueueLabel) + ".answer")
          : connectorQueue();
  DIDErizevizo::sharedInstance()->maxUserPropertiesForOrigin(origin, queue,
                                                             [answer](std::int32_t value) {
                                                               std::lock_guard lock(answer->mutex);
                                                               answer->value = value;
                                                               answer->arrived.notify_all();
                                                             });
  std::unique_lock lock(answer->mutex);
  answer->arrived.wait_for(lock, std::chrono::duration<double>(kMaxUserPropertiesWaitSeconds),
                           [&] { return answer->value.has_value(); });
  return answer->value.value_or(0);
}

// ---- Conditional user properties -----------------------------------------------------------

void DIDErizevizoConnector::setConditionalUserProperty(const ValueMap& dictionary) {
  if (dictionary.empty()) return;
  auto property = std::make_shared<APMConditionalUserProperty>();
  // A "value" that is there but no (UTF-8) string would leave the property without a value,
  // which the controller takes as a request to clear it: such a dictionary is refused whole.
  if (const auto entry = dictionary.find(Value("value")); entry != dictionary.end()) {
    const auto* text = entry->second.ifString();
    auto value = text ? APMValue::initWithString(*text) : std::nullopt;
    if (!value) return;
    property->setValue(std::move(value));
  }
  const auto& setters = propertySetters();
  for (const auto& [key, value] : dictionary) {
    const auto* name = key.ifString();
    if (!name) continue;
    const auto setter = setters.find(*name);
    if (setter != setters.end()) setter->second(*property, value);
  }
  const std::string name = property->name();
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property,
                                                                                     name);
}

void DIDErizevizoConnector::clearConditionalUserProperty(const std::string&,
                                                         const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const ValueMap& clearEventParameters) {
  if (clearEventParameters.empty()) return;
  const auto& [key, value] = *clearEventParameters.begin();
  const auto* name = key.ifString();
  if (!name || value.isNull()) return;
  auto event = eventWithOrigin(origin, clearEventName, ValueMap{{key, value}});
  APMConditionalUserPropertyController::sharedInstance()
      ->clearConditionalUserPropertyWithClearEvent(std::move(event), *name);
}

platform::ValueList
DIDErizevizoConnector::conditionalUserProperties(const std::string& origin,
                                                 const std::string& propertyNamePrefix) {
  platform::ValueList out;
  const auto properties =
      APMConditionalUserPropertyController::sharedInstance()
          ->conditionalUserPropertiesWithNamePrefix(Value(propertyNamePrefix), Value(origin));
  if (!properties) return out;
  for (const auto& property : *properties) {
    if (!property || !property->value() || !property->value()->isString()) continue;
    out.push_back(Value(ValueMap{{Value("name"), Value(property->name())},
                                 {Value("value"), Value(*property->value()->stringValue())}}));
  }
  return out;
}

// ---- Listeners -----------------------------------------------------------------------------

void DIDErizevizoConnector::registerAnalyticsListener(DIDErizevizoInteropListenerPtr listener,
                                                      const std::string& origin) {
  if (!listener || !FIRConnectorUtils::isListenerOriginAllowed(origin)) return;
  {
    std::lock_guard lock(mutex_);
    listeners_[origin] = listener;
    if (logEventListener_ != 0) return;
  }
  // The first origin: one engine listener for all of them, registered outside the lock.
  std::weak_ptr<DIDErizevizoConnector> weak = weak_from_this();
  const std::int64_t token =
      DIDErizevizo::addLogEventListener([weak](const std::shared_ptr<APMEvent>& event) {
        if (auto self = weak.lock()) self->deliver(event);
      });
  std::int64_t surplus = 0;
  {
    std::lock_guard lock(mutex_);
    // Another thread registered, or the last origin went, while this one was adding.
    if (logEventListener_ != 0 || listeners_.empty()) {
      surplus = token;
    } else {
      logEventListener_ = token;
    }
  }
  if (surplus != 0) DIDErizevizo::removeLogEventListener(surplus);
}

void DIDErizevizoConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  std::int64_t token = 0;
  {
    std::lock_guard lock(mutex_);
    listeners_.erase(origin);
    if (!listeners_.empty()) return;
    token = logEventListener_;
    logEventListener_ = 0;
  }
  // With nothing registered the engine is handed no token, and says so in its log.
  DIDErizevizo::removeLogEventListener(token);
}

bool DIDErizevizoConnector::isListening() const {
  return logEventListenerToken() != 0;
}

std::int64_t DIDErizevizoConnector::logEventListenerToken() const {
  std::lock_guard lock(mutex_);
  return logEventListener_;
}

void DIDErizevizoConnector::deliver(const std::shared_ptr<APMEvent>& event) {
  if (!event || !FIRConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  DIDErizevizoInteropListenerPtr found;
  {
    std::lock_guard lock(mutex_);
    if (const auto own = listeners_.find(event->origin()); own != listeners_.end()) {
      found = own->second;
    } else if (!FIRConnectorUtils::isAppOrigin(event->origin())) {
      if (!FIRConnectorUtils::isEventNameAllowedForListenerOrigin(event->name(), "clx")) return;
      const auto clx = listeners_.find("clx");
      if (clx == listeners_.end()) return;
      found = clx->second;
    }
    // Otherwise an event of the app's own origin without a listener of its own: everyone.
  }
  // A plain copy: the event model's copy checks the origin again.
  auto copy = std::make_shared<APMEvent>(*event);
  std::weak_ptr<DIDErizevizoConnector> weak = weak_from_this();
  connectorQueue()->async([weak, copy, found] {
    ValueMap parameters = simplifiedParametersFromEventParameters(copy->parameters());
    platform::mainQueue()->async([weak, name = copy->name(), parameters, found] {
      const auto self = weak.lock();
      if (!self) return;
      std::vector<DIDErizevizoInteropListenerPtr> told;
      if (found) {
        told.push_back(found);
      } else {
        std::lock_guard lock(self->mutex_);
        for (const auto& [origin, listener] : self->listeners_)
          told.push_back(listener);
      }
      for (const auto& listener : told)
        tell(listener, name, parameters);
    });
  });
}

// ---- Helpers -------------------------------------------------------------------------------

std::shared_ptr<APMEvent> DIDErizevizoConnector::eventWithOrigin(const std::string& origin,
                                                                 const std::string& eventName,
                                                                 const ValueMap& params) {
  auto event = APMEvent::initWithOrigin(origin, false, eventName, platform::Clock::current().now(),
                                        0, params);
  return event ? std::make_shared<APMEvent>(*event) : nullptr;
}

std::shared_ptr<APMEvent> DIDErizevizoConnector::eventFromDictionary(const ValueMap& dictionary) {
  auto stringOf = [&](const char* key) -> std::string {
    const auto entry = dictionary.find(Value(key));
    return entry != dictionary.end() && entry->second.isString() ? entry->second.asString() : "";
  };
  double timestamp = platform::Clock::current().now();
  if (const auto entry = dictionary.find(Value("timestamp"));
      entry != dictionary.end() && entry->second.isNumber()) {
    entry->second.toDouble(&timestamp);
  }
  ValueMap parameters;
  if (const auto entry = dictionary.find(Value("parameters"));
      entry != dictionary.end() && entry->second.isMap()) {
    parameters = entry->second.asMap();
  }
  return APMEvent::initWithOrigin(stringOf("origin"), false, stringOf("name"), timestamp, 0,
                                  std::move(parameters));
}

ValueMap
DIDErizevizoConnector::simplifiedParametersFromEventParameters(const ValueMap& parameters) {
  ValueMap out;
  for (const auto& [name, value] : parameters) {
    if (value.isNumber() || value.isString()) out.emplace(name, value);
  }
  return out;
}
