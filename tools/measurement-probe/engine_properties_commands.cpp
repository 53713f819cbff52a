#include "tools/measurement-probe/engine_properties_commands.h"

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_conditional_user_property_controller.h"
#include "measurement/engine/apm_tcf_client.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_event.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/test_environment.h"

namespace lumora::probe {

namespace {

std::shared_ptr<ZEVOveverizuru> startedCore() {
  if (!ZEVOveverizuru::hasSharedInstance()) throw ProbeInputError("the engine is not started");
  return ZEVOveverizuru::sharedInstance();
}

// The facade's queue, the worker queue and the monitor have run what was posted so far (twice
// round: each can post to the next).
void waitUntilIdle(ProbeSession& session) {
  for (int round = 0; round < 2; ++round) {
    if (auto* clock = session.mockClock()) clock->runUntilIdle();
    APMAnalytics::queue()->sync([] {});
    if (ZEVOveverizuru::hasSharedInstance()) {
      ZEVOveverizuru::sharedInstance()->scheduler()->workerQueue()->sync([] {});
    }
  }
  APMProcessMonitor()->waitForMonitorQueue();
}

// {name, parameters} as a library event (origin "app"; the controller re-makes it with the
// property's origin when it logs it); null or absent gives none.
std::shared_ptr<APMEvent> eventField(const Json& command, const char* field) {
  if (!command.contains(field) || command[field].is_null()) return nullptr;
  const Json& spec = command[field];
  if (!spec.is_object()) throw ProbeInputError(std::string("\"") + field + "\" must be an object");
  platform::ValueMap parameters;
  if (spec.contains("parameters")) {
    const platform::Value value = valueFromJson(spec["parameters"]);
    if (!value.isMap()) throw ProbeInputError("event \"parameters\" must be an object");
    parameters = value.asMap();
  }
  auto event = APMEvent::initWithOrigin("app", false, stringField(spec, "name"),
                                        platform::Clock::current().now(), 0, parameters);
  if (!event) throw ProbeInputError(std::string("\"") + field + "\" is not a valid event");
  return event;
}

Json eventName(const std::shared_ptr<APMEvent>& event) {
  return event ? Json(event->name()) : Json(nullptr);
}

Json propertyJson(const APMConditionalUserProperty& property) {
  return Json{{"name", property.name()},
              {"origin", property.origin()},
              {"value", property.value() ? jsonFromValue(property.value()->value()) : Json()},
              {"active", property.active()},
              {"creationTimestamp", property.creationTimestamp()},
              {"triggerEventName", property.triggerEventName()},
              {"triggerTimeout", property.triggerTimeout()},
              {"triggeredTimestamp", property.triggeredTimestamp()},
              {"timeToLive", property.timeToLive()},
              {"triggeredEvent", eventName(property.triggeredEvent())},
              {"timedOutEvent", eventName(property.timedOutEvent())},
              {"expiredEvent", eventName(property.expiredEvent())}};
}

Json query(const platform::Value& prefix, const platform::Value& origin) {
  const auto found = APMConditionalUserPropertyController::sharedInstance()
                         ->conditionalUserPropertiesWithNamePrefix(prefix, origin);
  if (!found) return Json{{"properties", nullptr}};
  Json list = Json::array();
  for (const auto& property : *found)
    list.push_back(propertyJson(*property));
  return Json{{"properties", list}};
}

platform::Value optionalText(const Json& command, const char* field) {
  if (!command.contains(field) || command[field].is_null()) return platform::Value();
  return valueFromJson(command[field]);
}

}  // namespace

void registerEnginePropertiesCommands(ProbeSession& session) {
  session.add("engineConditionalPropertySet", [&session](const Json& command) {
    startedCore();
    auto property = std::make_shared<APMConditionalUserProperty>();
    property->setOrigin(command.contains("origin") ? stringField(command, "origin")
                                                   : std::string("app"));
    if (command.contains("value") && !command["value"].is_null()) {
      auto value = APMValue::valueFromObject(valueFromJson(command["value"]));
      if (!value) throw ProbeInputError("\"value\" must be a string or a number");
      property->setValue(std::move(value));
    }
    if (command.contains("triggerEventName")) {
      property->setTriggerEventName(stringField(command, "triggerEventName"));
    }
    property->setTriggerTimeout(numberField(command, "triggerTimeout"));
    property->setTimeToLive(numberField(command, "timeToLive"));
    property->setTriggeredEvent(eventField(command, "triggeredEvent"));
    property->setTimedOutEvent(eventField(command, "timedOutEvent"));
    property->setExpiredEvent(eventField(command, "expiredEvent"));
    const std::string name = stringField(command, "name");
    APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property,
                                                                                       name);
    waitUntilIdle(session);
    return query(platform::Value(name), platform::Value());
  });
  session.add("engineConditionalPropertyClear", [&session](const Json& command) {
    startedCore();
    const std::string name = stringField(command, "name");
    APMConditionalUserPropertyController::sharedInstance()
        ->clearConditionalUserPropertyWithClearEvent(eventField(command, "clearEvent"), name);
    waitUntilIdle(session);
    return query(platform::Value(name), platform::Value());
  });
  session.add("engineConditionalProperties", [&session](const Json& command) {
    startedCore();
    waitUntilIdle(session);
    return query(optionalText(command, "prefix"), optionalText(command, "origin"));
  });
  session.add("engineTCF", [&session](const Json&) {
    const auto core = startedCore();
    core->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "probe", [&] { core->tcfClientSetConsentFromData(); });
    waitUntilIdle(session);
    const auto settings = APMConsentSettingsUtil::consentSettings();
    return Json{{"consentSource", APMConsentSettingsUtil::consentSource()},
                {"consent", settings ? jsonFromValue(platform::Value(*settings)) : Json()}};
  });
}

}  // namespace lumora::probe
