// The audience filter predicates: whether one event or one user property satisfies one stored
// filter of an audience (EventFilter, PropertyFilter), through the per-value Filter and its
// StringFilter and NumberFilter, each with a validity test. Every predicate answers true, false,
// or none: none means the filter cannot be evaluated (the caller keeps its stored result) and
// comes with a monitor report. Plain functions, nothing cached between calls; any thread (the
// engine calls them on its worker queue).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_value.h"
#include "platform/core/value.h"

// StringFilter match types.
enum APMAudienceStringMatch : std::int32_t {
  APMAudienceStringMatchUnset = 0,
  APMAudienceStringMatchPattern = 1,
  APMAudienceStringMatchPrefix = 2,
  APMAudienceStringMatchSuffix = 3,
  APMAudienceStringMatchContains = 4,
  APMAudienceStringMatchWholeText = 5,
  APMAudienceStringMatchAnyOf = 6,
};

// NumberFilter comparison types.
enum APMAudienceComparison : std::int32_t {
  APMAudienceComparisonUnset = 0,
  APMAudienceComparisonBelow = 1,
  APMAudienceComparisonAbove = 2,
  APMAudienceComparisonSameValue = 3,
  APMAudienceComparisonRange = 4,
};

// ICU's regular-expression match budget for a server-delivered pattern: time in units of about
// 10,000 match steps, and backtracking stack in bytes.
inline constexpr std::int32_t APMAudienceRegexTimeLimit = 50;
inline constexpr std::int32_t APMAudienceRegexStackLimit = 1 << 20;

// The parsed operands of one exact-decimal evaluation.
class APMAudienceComparisonValues {
 public:
  bool valid() const { return valid_; }
  void setValid(bool valid) { valid_ = valid; }
  const std::optional<APMDecimalNumber>& comparisonValue() const { return comparisonValue_; }
  void setComparisonValue(std::optional<APMDecimalNumber> value) {
    comparisonValue_ = std::move(value);
  }
  const std::optional<APMDecimalNumber>& minComparisonValue() const { return minComparisonValue_; }
  void setMinComparisonValue(std::optional<APMDecimalNumber> value) {
    minComparisonValue_ = std::move(value);
  }
  const std::optional<APMDecimalNumber>& maxComparisonValue() const { return maxComparisonValue_; }
  void setMaxComparisonValue(std::optional<APMDecimalNumber> value) {
    maxComparisonValue_ = std::move(value);
  }

 private:
  bool valid_ = true;
  std::optional<APMDecimalNumber> comparisonValue_;
  std::optional<APMDecimalNumber> maxComparisonValue_;
  std::optional<APMDecimalNumber> minComparisonValue_;
};

using APMAudienceOutcome = std::optional<bool>;

// An event (its name, its parameters as the event keeps them, its name's aggregates after
// counting it) against an event filter.
APMAudienceOutcome APMAudienceEvaluateEventFilter(const std::shared_ptr<APMPBEventFilter>& filter,
                                                  const std::string& eventName,
                                                  const platform::ValueMap& parameters,
                                                  const APMEventAggregates* aggregates);
APMAudienceOutcome
APMAudienceEvaluatePropertyFilter(const std::shared_ptr<APMPBPropertyFilter>& filter,
                                  const APMUserAttribute* property);
APMAudienceOutcome APMAudienceEvaluateFilterWithValue(const std::shared_ptr<APMPBFilter>& filter,
                                                      const APMValue& value);

bool APMAudienceIsValidStringFilter(const std::shared_ptr<APMPBStringFilter>& filter);
// `text` null: no text to evaluate.
APMAudienceOutcome
APMAudienceEvaluateStringFilterWithString(const std::shared_ptr<APMPBStringFilter>& filter,
                                          const std::string* text);

bool APMAudienceIsValidNumberFilter(const std::shared_ptr<APMPBNumberFilter>& filter);
APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithDouble(const std::shared_ptr<APMPBNumberFilter>& filter,
                                          double value);
APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithInt64(const std::shared_ptr<APMPBNumberFilter>& filter,
                                         std::int64_t value);
APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithDecimalNumber(const std::shared_ptr<APMPBNumberFilter>& filter,
                                                 const APMDecimalNumber& value);
