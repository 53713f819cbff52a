// The filter timestamp caches of one bundling pass. Besides its evaluated and true bits, an
// audience's result records when its dynamic, session-scoped and sequence filters were last found
// true. APMAudienceTimestampsCache loads an audience's stored times from its result the first time
// the audience is touched, takes the times of new true evaluations and hands them back as the
// `dynamic_filter_timestamps` and `sequence_filter_timestamps` lists of the audience's next
// ResultData. APMSequenceTimestampsCache keeps the list of times per sequence filter of one
// audience. Times are seconds since 1970: doubles in memory, whole seconds (truncated towards
// zero) in the messages.
//
// Owned by whoever runs the pass (the engine, or one evaluation call without a cache). Worker
// queue only; no locks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_audience_records.h"

// Seconds as the messages carry them: truncated towards zero, saturated at the int64 range; a
// value that is not a number is 0.
std::int64_t APMAudienceWholeSeconds(double seconds);

class APMSequenceTimestampsCache {
 public:
  // None without an audience identifier.
  static std::shared_ptr<APMSequenceTimestampsCache>
  initWithAudienceID(std::optional<std::int32_t> audienceID);
  explicit APMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

  std::int32_t audienceID() const { return audienceID_; }

  // Appends the time unless the last one falls in the same whole second; an earlier time is
  // reported (42000) and still taken. Nothing happens without a filter identifier.
  void addEventFilterTimestamp(double timestamp, std::optional<std::int32_t> filterID);
  // A property filter keeps only its latest time; an earlier one is reported (42001) and taken.
  void setUserPropertyTimestamp(double timestamp, std::optional<std::int32_t> filterID);
  // A copy of the filter's list, or none.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
  // One message per filter, ascending filter identifier, its times sorted ascending.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
  sequenceFilterResultTimestamps() const;

 private:
  std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
  std::int32_t audienceID_;
};

class APMAudienceTimestampsCache {
 public:
  static std::shared_ptr<APMAudienceTimestampsCache> init() {
    return std::make_shared<APMAudienceTimestampsCache>();
  }

  // Loads the stored times of the audience from its current result (none: nothing stored) into
  // whichever of the two maps does not hold the audience yet; the first load of a pass wins.
  void populateCachedTimestamps(const std::shared_ptr<APMFilterResult>& result,
                                std::int32_t audienceID);
  void addEvaluationTimestamp(double timestamp, const APMEventFilter& filter);
  void addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter);

  // Ascending filter identifier; empty when nothing is known of the audience.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
  dynamicTimestampsForAudienceID(std::int32_t audienceID) const;
  // None when the audience has no sequence cache.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
  sequenceTimestampsForAudienceID(std::int32_t audienceID) const;

 private:
  void addTimestamp(double timestamp, std::int32_t audienceID, std::int32_t filterID, bool sequence,
                    bool dynamicOrSessionScoped, bool isEventFilter);

  std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<std::int32_t, std::shared_ptr<APMSequenceTimestampsCache>>
      cachedSequenceEvaluationTimestamps_;
};
