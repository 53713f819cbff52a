// APMConditionalUserPropertyController: keeps the conditional user properties of the measurement
// database ("conditional_properties") and moves them through their life: set (active at once
// when no trigger event is named), triggered by a matching event within its trigger timeout,
// timed out, expired after its time to live, cleared. Every change runs inside one database
// transaction on the measurement worker queue; the events a change produces are written through
// the core's event road only after the transaction commits.
//
// One process-wide controller without state of its own: it reaches the measurement core's
// shared instance (worker queue, database, enabled flag) on each call. The set, clear and query
// entry points may be called from any thread; set and clear return at once, the query blocks its
// caller until the worker queue answers (at most 30 seconds; on the worker queue itself it runs
// in place). The ...OnWorkerQueue methods and the event-processing steps run on the worker queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/model/apm_conditional_user_property.h"
#include "platform/core/value.h"

class APMEvent;

// Whether the property's origin, name, value (when present), trigger timeout and time to live
// are acceptable; the validator and 11000/11001 say why not.
bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property);

class APMConditionalUserPropertyController {
 public:
  using Properties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
  using Events = std::vector<std::shared_ptr<APMEvent>>;

  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

  // Any thread. A copy of `property` named `name`, stamped with the creation time, is stored on
  // the worker queue (a copy without a value removes the stored one). Invalid ones are dropped.
  void setConditionalUserProperty(const std::shared_ptr<const APMConditionalUserProperty>& property,
                                  const std::string& name);
  // Any thread. Removes the stored property `name`; `clearEvent` (may be null) is logged after.
  void clearConditionalUserPropertyWithClearEvent(std::shared_ptr<APMEvent> clearEvent,
                                                  const std::string& name);
  // Any thread; blocks until the worker queue answers, at most 30 seconds. `prefix` and `origin`
  // are null (any) or strings. None on a refused argument, when disabled, on a database error
  // or when the worker queue did not answer in time.
  std::optional<Properties> conditionalUserPropertiesWithNamePrefix(const platform::Value& prefix,
                                                                    const platform::Value& origin);

  // Worker queue.
  void
  setConditionalUserPropertyOnWorkerQueue(std::shared_ptr<APMConditionalUserProperty> property);
  void
  removeConditionalUserPropertyOnWorkerQueue(std::shared_ptr<APMConditionalUserProperty> request);

  // Worker queue: times out, expires and triggers properties for the event being written, in
  // one transaction. Writes the timed-out then the expired events (filtered road) after commit
  // and returns the triggered events for the caller to write after the event itself; none (and
  // nothing written) when the transaction was abandoned.
  std::optional<Events> processEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  // The three steps of processEventOnWorkerQueue, inside its transaction. False (or none)
  // abandons it.
  bool removeTimedOutCUPWithTimedOutEvents(Events* timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(Events* expiredEvents);
  std::optional<Events>
  updateConditionalUserPropertiesWithEventNameOnWorkerQueue(const std::string& eventName);
};
