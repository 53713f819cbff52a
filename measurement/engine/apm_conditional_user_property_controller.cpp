#include "measurement/engine/apm_conditional_user_property_controller.h"

#include <utility>

#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/group.h"

namespace {

using platform::Value;

constexpr double kQueryTimeoutSeconds = 30;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

Value errorContext(const platform::ErrorPtr& error) {
  return Value(error ? error->localizedDescription() : std::string("(none)"));
}

Value nameContext(const std::string& name) {
  return Value(APMFormattedUserPropertyName(name));
}

double now() {
  return platform::Clock::current().now();
}

std::shared_ptr<ZEVOveverizuru> core() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

// The stored event re-made with the given origin and time; none when the initialiser refuses it.
std::shared_ptr<APMEvent> eventFrom(const std::shared_ptr<APMEvent>& stored,
                                    const std::string& origin, double timestamp) {
  if (!stored) return nullptr;
  return APMEvent::initWithOrigin(origin, false, stored->name(), timestamp, 0,
                                  stored->parameters());
}

void appendEvent(APMConditionalUserPropertyController::Events& events,
                 std::shared_ptr<APMEvent> event) {
  if (event) events.push_back(std::move(event));
}

bool writeUserProperty(APMDatabase& db, const APMConditionalUserProperty& property,
                       double lastSetTimestamp, platform::ErrorPtr* error) {
  if (!property.value()) return false;
  const auto attribute = APMUserAttribute::initWithOrigin(property.origin(), property.name(),
                                                          *property.value(), lastSetTimestamp);
  return attribute && db.updateUserAttribute(attribute.get(), error);
}

}  // namespace

bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property) {
  APMDataTypeValidator::Code code = 0;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(Value(property.origin()),
                                                                  &code) ||
      !APMDataTypeValidator::isValidConditionalUserPropertyName(Value(property.name()), &code)) {
    return false;
  }
  if (property.value() &&
      !APMDataTypeValidator::isValidConditionalUserPropertyValue(&*property.value(), &code)) {
    return false;
  }
  const double timeout = property.triggerTimeout();
  if (!(timeout >= APMConditionalUserPropertyMinTriggerTimeout &&
        timeout <= APMConditionalUserPropertyMaxTriggerTimeout)) {
    report(2, 11000, "Invalid conditional user property trigger timeout", {Value(timeout)});
    return false;
  }
  const double ttl = property.timeToLive();
  if (!(ttl >= APMConditionalUserPropertyMinTimeToLive &&
        ttl <= APMConditionalUserPropertyMaxTimeToLive)) {
    report(2, 11001, "Invalid conditional user property time to live", {Value(ttl)});
    return false;
  }
  return true;
}

std::shared_ptr<APMConditionalUserPropertyController>
APMConditionalUserPropertyController::sharedInstance() {
  static const auto shared = std::make_shared<APMConditionalUserPropertyController>();
  return shared;
}

// ---------------------------------------------------------------------------------------------
// Entry points (any thread)

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const std::shared_ptr<const APMConditionalUserProperty>& property, const std::string& name) {
  if (!property) {
    report(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  auto copy = property->copy();
  copy->setName(name);
  if (!APMIsValidConditionalUserProperty(*copy)) return;
  copy->setCreationTimestamp(now());
  const auto engine = core();
  if (!engine) return;
  std::weak_ptr<APMConditionalUserPropertyController> weak = sharedInstance();
  engine->scheduler()->scheduleOnWorkerQueueBlockID(
      "APMConditionalUserPropertyController:88", [weak, copy] {
        const auto self = weak.lock();
        if (!self) return;
        if (copy->value()) {
          self->setConditionalUserPropertyOnWorkerQueue(copy);
        } else {
          self->removeConditionalUserPropertyOnWorkerQueue(copy);
        }
      });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    std::shared_ptr<APMEvent> clearEvent, const std::string& name) {
  APMDataTypeValidator::Code code = 0;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(Value(name), &code)) return;
  auto request = std::make_shared<APMConditionalUserProperty>();
  request->setName(name);
  request->setExpiredEvent(std::move(clearEvent));
  const auto engine = core();
  if (!engine) return;
  std::weak_ptr<APMConditionalUserPropertyController> weak = sharedInstance();
  engine->scheduler()->scheduleOnWorkerQueueBlockID(
      "APMConditionalUserPropertyController:113", [weak, request] {
        if (const auto self = weak.lock())
          self->removeConditionalUserPropertyOnWorkerQueue(request);
      });
}

std::optional<APMConditionalUserPropertyController::Properties>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const Value& prefix,
                                                                              const Value& origin) {
  if (!prefix.isNull() && !prefix.isString()) {
    report(2, 11003,
           "Cannot query for conditional user properties. Name prefix is not a string. Class",
           {Value(APMClassNameOfValue(prefix))});
    return std::nullopt;
  }
  if (!origin.isNull() && !origin.isString()) {
    report(2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
           {Value(APMClassNameOfValue(origin))});
    return std::nullopt;
  }
  const std::string prefixText = prefix.isString() ? prefix.asString() : std::string();
  const std::string originText = origin.isString() ? origin.asString() : std::string();
  const auto engine = core();
  if (!engine) return std::nullopt;

  // The answer lives beside the caller's wait: a block that runs after the caller gave up
  // writes into it harmlessly.
  struct Answer {
    std::optional<Properties> properties;
    platform::ErrorPtr error;
  };
  auto answer = std::make_shared<Answer>();
  auto query = [answer, prefixText, originText] {
    const auto engine = core();
    if (!engine || !engine->isEnabled()) {
      report(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
      return;
    }
    const auto db = engine->database();
    if (!db) return;
    answer->properties =
        db->conditionalUserPropertiesWithPrefix(prefixText, originText, &answer->error);
  };

  const auto& workerQueue = engine->scheduler()->workerQueue();
  if (workerQueue && workerQueue->isCurrent()) {
    // Waiting here would wait on ourselves: the worker queue cannot run the block until this
    // one returns. Answer in place.
    query();
  } else {
    const auto done = platform::Group::make();
    done->enter();
    engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:161",
                                                      [answer, query, done] {
                                                        struct Signal {
                                                          platform::Group* group;
                                                          ~Signal() { group->leave(); }
                                                        } signal{done.get()};
                                                        query();
                                                      });
    if (!done->wait(kQueryTimeoutSeconds)) return std::nullopt;
  }
  if (!answer->properties && answer->error) {
    report(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
           {Value(prefixText), Value(originText), errorContext(answer->error)});
  }
  return answer->properties;
}

// ---------------------------------------------------------------------------------------------
// Set and remove (worker queue)

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    std::shared_ptr<APMConditionalUserProperty> property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
  const auto engine = core();
  if (!engine || !engine->isEnabled()) {
    report(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    report(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  const auto db = engine->database();
  if (!db) return;
  auto& next = *property;
  std::shared_ptr<APMEvent> activationEvent;
  const bool committed = db->performTransaction([&] {
    activationEvent = nullptr;
    platform::ErrorPtr error;
    const auto stored = db->conditionalUserPropertyWithName(next.name(), &error);
    if (!stored && error) {
      report(1, 11009, "Cannot query conditional user property. Name, origin, error",
             {nameContext(next.name()), Value(next.origin()), errorContext(error)});
      return false;
    }
    if (stored && stored->origin() != next.origin()) {
      report(5, 11010,
             "Updating a conditional user property with different origin. Name, origin, saved "
             "origin",
             {nameContext(next.name()), Value(next.origin()), Value(stored->origin())});
    }
    bool activatedNow = false;
    if (stored && stored->active()) {
      next.setOrigin(stored->origin());
      next.setCreationTimestamp(stored->creationTimestamp());
      next.setTriggerEventName(stored->triggerEventName());
      next.setTriggeredEvent(stored->triggeredEvent());
      next.setTriggerTimeout(stored->triggerTimeout());
    } else if (next.triggerEventName().empty()) {
      next.setActive(true);
      next.setTriggeredTimestamp(next.creationTimestamp());
      activatedNow = true;
    }
    if (next.active()) {
      error = nullptr;
      if (writeUserProperty(*db, next, next.triggeredTimestamp(), &error)) {
        report(7, 11012, "User property updated. Name, origin",
               {nameContext(next.name()), Value(next.origin())});
      } else {
        report(1, 11011,
               "Cannot update user property from conditional user property. Name, origin, error",
               {nameContext(next.name()), Value(next.origin()), errorContext(error)});
      }
      if (activatedNow) {
        activationEvent =
            eventFrom(next.triggeredEvent(), next.origin(), next.triggeredTimestamp());
      }
    }
    if (stored && stored->active()) {
      next.setActive(stored->active());
      next.setTriggeredTimestamp(stored->triggeredTimestamp());
    }
    error = nullptr;
    if (!db->updateConditionalUserProperty(&next, &error)) {
      // Keeping the user property written above would leave it set with no record to expire it:
      // give the whole change up instead.
      report(1, 11014,
             "Cannot insert user property from conditional user property. Name, origin, error",
             {nameContext(next.name()), Value(next.origin()), errorContext(error)});
      return false;
    }
    report(7, 11013, "Conditional user property added. Name, origin",
           {nameContext(next.name()), Value(next.origin())});
    return true;
  });
  if (committed && activationEvent) engine->writeEventOnWorkerQueue(activationEvent);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    std::shared_ptr<APMConditionalUserProperty> request) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "removeConditionalUserPropertyOnWorkerQueue:");
  const auto engine = core();
  if (!engine || !engine->isEnabled()) {
    report(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!request) {
    report(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  const auto db = engine->database();
  if (!db) return;
  std::shared_ptr<APMEvent> clearEvent;
  const bool committed = db->performTransaction([&] {
    clearEvent = nullptr;
    platform::ErrorPtr error;
    const auto stored = db->conditionalUserPropertyWithName(request->name(), &error);
    if (!stored) {
      if (error) {
        report(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
               {nameContext(request->name()), Value(request->origin()), errorContext(error)});
        return false;
      }
      report(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin",
             {nameContext(request->name()), Value(request->origin())});
      return true;
    }
    if (!db->deleteConditionalUserPropertyWithName(stored->name(), &error) && error) {
      report(1, 11019, "Cannot delete conditional user property. Name, origin, error",
             {nameContext(stored->name()), Value(stored->origin()), errorContext(error)});
      return false;
    }
    if (stored->active()) {
      error = nullptr;
      if (!db->deleteUserAttributeWithName(stored->name(), &error) && error) {
        report(1, 11020,
               "Cannot remove conditional user property. Failed to delete the user property. "
               "Name, origin, error",
               {nameContext(stored->name()), Value(stored->origin()), errorContext(error)});
        return false;
      }
    }
    clearEvent = eventFrom(request->expiredEvent(), stored->origin(), now());
    return true;
  });
  if (committed && clearEvent) engine->writeEventOnWorkerQueue(clearEvent);
}

// ---------------------------------------------------------------------------------------------
// Per-event processing (worker queue)

std::optional<APMConditionalUserPropertyController::Events>
APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::shared_ptr<APMEvent>& event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (!event) {
    report(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  const auto engine = core();
  const auto db = engine ? engine->database() : nullptr;
  if (!db) return std::nullopt;
  // With no conditional user property stored there is nothing to time out, expire or trigger:
  // the event produces nothing, without a transaction of its own. A failed look-up takes the
  // full road below, which reports what fails.
  {
    platform::ErrorPtr ignored;
    if (db->containsConditionalUserProperties(&ignored) == false) return Events{};
  }
  Events timedOut;
  Events expired;
  std::optional<Events> triggered;
  const bool committed = db->performTransaction([&] {
    timedOut.clear();
    expired.clear();
    triggered.reset();
    if (!removeTimedOutCUPWithTimedOutEvents(&timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(&expired)) return false;
    triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggered.has_value();
  });
  if (!committed || !triggered) return std::nullopt;
  for (const auto& produced : timedOut)
    engine->writeFilteredEventOnWorkerQueue(produced);
  for (const auto& produced : expired)
    engine->writeFilteredEventOnWorkerQueue(produced);
  return triggered;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    Events* timedOutEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
  const auto engine = core();
  const auto db = engine ? engine->database() : nullptr;
  if (!db) return false;
  platform::ErrorPtr error;
  const auto found = db->timedOutConditionalUserPropertiesWithError(&error);
  if (!found) {
    if (!error) return true;
    report(1, 10001, "Cannot fetch timed out conditional user properties. Error",
           {errorContext(error)});
    return false;
  }
  for (const auto& property : *found) {
    report(7, 10002, "Conditional user property has timed out. Name",
           {nameContext(property->name())});
    error = nullptr;
    if (!db->deleteConditionalUserPropertyWithName(property->name(), &error) && error) {
      report(1, 10003, "Cannot delete timed out condition user property. Name, error",
             {nameContext(property->name()), errorContext(error)});
      return false;
    }
    if (timedOutEvents) {
      appendEvent(*timedOutEvents, eventFrom(property->timedOutEvent(), property->origin(), now()));
    }
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    Events* expiredEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
  const auto engine = core();
  const auto db = engine ? engine->database() : nullptr;
  if (!db) return false;
  platform::ErrorPtr error;
  const auto found = db->expiredConditionalUserPropertiesWithError(&error);
  if (!found) {
    if (!error) return true;
    report(1, 10004, "Cannot fetch expired conditional user properties. Error",
           {errorContext(error)});
    return false;
  }
  for (const auto& property : *found) {
    const auto& expiredEvent = property->expiredEvent();
    report(7, 10005, "Conditional user property has expired. Name, expired event",
           {nameContext(property->name()),
            Value(expiredEvent ? APMFormattedEventName(expiredEvent->name()) : std::string())});
    error = nullptr;
    if (!db->deleteUserAttributeWithName(property->name(), &error) && error) {
      report(1, 10006,
             "Cannot remove conditional user property. Failed to delete the user property. Name, "
             "origin, error",
             {nameContext(property->name()), Value(property->origin()), errorContext(error)});
      return false;
    }
    error = nullptr;
    if (!db->deleteConditionalUserPropertyWithName(property->name(), &error) && error) {
      report(1, 10007, "Cannot delete expired condition user property. Name, error",
             {nameContext(property->name()), errorContext(error)});
      return false;
    }
    if (expiredEvents)
      appendEvent(*expiredEvents, eventFrom(expiredEvent, property->origin(), now()));
  }
  return true;
}

std::optional<APMConditionalUserPropertyController::Events>
APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  const auto engine = core();
  const auto db = engine ? engine->database() : nullptr;
  if (!db) return std::nullopt;
  auto fetch = [&](const std::string& name) -> std::optional<Properties> {
    platform::ErrorPtr error;
    auto found = db->triggeredConditionalUserPropertiesWithEventName(name, &error);
    if (!found && error) {
      report(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
             {Value(APMFormattedEventName(name)), errorContext(error)});
      return std::nullopt;
    }
    return found ? std::move(*found) : Properties{};
  };
  auto found = fetch(eventName);
  if (!found) return std::nullopt;
  if (found->empty()) {
    if (const auto* internal = APMInternalEventNamesByPublicEventNames().find(eventName)) {
      found = fetch(*internal);
      if (!found) return std::nullopt;
    }
  }
  Events triggered;
  for (const auto& property : *found) {
    const double at = now();
    platform::ErrorPtr error;
    if (writeUserProperty(*db, *property, at, &error)) {
      report(7, 10010, "User property updated. Name, origin, value",
             {nameContext(property->name()), Value(property->origin()),
              Value(property->value() ? property->value()->description() : std::string())});
    } else {
      report(1, 10009,
             "Cannot update user property from conditional user property. Name, origin, error",
             {nameContext(property->name()), Value(property->origin()), errorContext(error)});
    }
    appendEvent(triggered, eventFrom(property->triggeredEvent(), property->origin(), at));
    property->setActive(true);
    property->setTriggeredTimestamp(at);
    error = nullptr;
    if (!db->updateConditionalUserProperty(property.get(), &error)) {
      report(1, 10011, "Cannot update conditional user property. Name, origin, error",
             {nameContext(property->name()), Value(property->origin()), errorContext(error)});
      return std::nullopt;
    }
  }
  return triggered;
}
