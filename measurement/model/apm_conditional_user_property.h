// APMConditionalUserProperty: a user property set later: when an event of a given name is logged
// within a timeout after creation (or at once when no trigger event is named), for a limited
// time to live, with the events to log when it is triggered, times out or expires. The measurement
// database keeps one row per name ("conditional_properties"). A copyable record; copies share the
// (immutable once stored) events. One thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "measurement/model/apm_value.h"

class APMEvent;

// Bounds of triggerTimeout and timeToLive in seconds, both inclusive.
inline constexpr double APMConditionalUserPropertyMinTriggerTimeout = 0.001;
inline constexpr double APMConditionalUserPropertyMaxTriggerTimeout = 15552000;
inline constexpr double APMConditionalUserPropertyMinTimeToLive = 0.001;
inline constexpr double APMConditionalUserPropertyMaxTimeToLive = 15552000;

class APMConditionalUserProperty {
 public:
  std::shared_ptr<APMConditionalUserProperty> copy() const {
    return std::make_shared<APMConditionalUserProperty>(*this);
  }

  // Whether the user property is currently set from this record.
  bool active() const { return active_; }
  void setActive(bool active) { active_ = active; }
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }
  // None means "clear" when handed to the controller.
  const std::optional<APMValue>& value() const { return value_; }
  void setValue(std::optional<APMValue> value) { value_ = std::move(value); }
  // Empty: activated at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }
  const std::shared_ptr<APMEvent>& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(std::shared_ptr<APMEvent> event) { triggeredEvent_ = std::move(event); }
  const std::shared_ptr<APMEvent>& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(std::shared_ptr<APMEvent> event) { timedOutEvent_ = std::move(event); }
  // Also carries the clear event of a clear request.
  const std::shared_ptr<APMEvent>& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(std::shared_ptr<APMEvent> event) { expiredEvent_ = std::move(event); }
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double seconds) { creationTimestamp_ = seconds; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double seconds) { triggeredTimestamp_ = seconds; }

 private:
  bool active_ = false;
  std::string name_;
  std::string origin_;
  std::optional<APMValue> value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  std::shared_ptr<APMEvent> triggeredEvent_;
  std::shared_ptr<APMEvent> timedOutEvent_;
  std::shared_ptr<APMEvent> expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
};
