// The fixed vocabularies of the measurement core: the internal names ("_s", "_et", "_fot") it
// logs its own events, parameters and user properties under, the public names an app developer
// sees for them, the names of the error-event codes, and the small predicates over event and
// parameter names that validation, normalisation, the pipeline and debug formatting share.
//
// Every table is built once on first use and never changes; every function is safe from any
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/value.h"

class APMEvent;

// A name table in its fixed order (public name first, internal name second), with a lookup by
// either side. The order decides which public name debug formatting shows where an internal name
// has two.
class APMNameTable {
 public:
  explicit APMNameTable(std::vector<std::pair<std::string, std::string>> entries);

  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
  // The value stored under `key`, or null.
  const std::string* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  std::map<std::string, std::string, std::less<>> byKey_;
};

// Public event name to internal event name (32 entries).
const APMNameTable& APMInternalEventNames();
// Internal event name to public event name; "_cmp" keeps the first of its two public names.
const APMNameTable& APMExternalEventNames();
// The public names of internal events that apps may log themselves ("ad_impression").
const APMNameTable& APMInternalEventNamesByPublicEventNames();
// Public user-property name to internal name (10 entries).
const APMNameTable& APMInternalUserPropertyNames();
// Public parameter name to internal name (55 entries).
const APMNameTable& APMInternalParameterNames();
// Error code to its name (25 entries; 24 to 27 have none). Null for a code without a name.
const char* APMErrorEventCodeName(std::int64_t code);

// True for a non-empty name whose first character is not "_"; an empty name is reported.
bool APMEventUtilIsPublicName(std::string_view name);
// True when the event's name is "_err"; an event with an empty name is reported.
bool APMEventUtilIsErrorEvent(const APMEvent& event);
// "_assc" and "_assr", and "_iap" whose "subscription" parameter is int64 1.
bool APMEventUtilIsSubscriptionEvent(const APMEvent& event);
bool APMEventUtilIsValidEcommerceEventName(std::string_view name);
bool APMEventUtilIsPredefinedEcommerceItemsParam(std::string_view name);
bool APMEventUtilIsConversionEventName(std::string_view name);
bool APMIsPurchaseEventName(std::string_view name);
// Every event but "_err" receives the default event parameters.
bool APMEventAllowsDefaultEventParameters(std::string_view eventName);
// The number of items over all array parameters of the event.
std::int64_t APMEventUtilNestedParamCount(const APMEvent* event);
