#include "measurement/audiences/apm_audience_timestamps_cache.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_monitor.h"

namespace {

namespace ResultField = apmpb_field::ResultData;
namespace DynamicField = apmpb_field::DynamicFilterResultTimestamp;
namespace SequenceField = apmpb_field::SequenceFilterResultTimestamp;

void report(std::int64_t level, std::int64_t code, std::string_view message) {
  APMProcessMonitor()->logWithLevel(level, code, message, {});
}

}  // namespace

std::int64_t APMAudienceWholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  // 2^63 is exact as a double; anything at or past it saturates.
  if (seconds >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (seconds <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::trunc(seconds));
}

// --- APMSequenceTimestampsCache ---

std::shared_ptr<APMSequenceTimestampsCache>
APMSequenceTimestampsCache::initWithAudienceID(std::optional<std::int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::make_shared<APMSequenceTimestampsCache>(*audienceID);
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp,
                                                         std::optional<std::int32_t> filterID) {
  if (!filterID) return;
  auto& list = allSequenceTimestampsByFilterID_[*filterID];
  if (!list.empty() && timestamp < list.back()) {
    report(5, 42000, "Adding a sequence timestamp less than the last added timestamp");
  }
  // One time per whole second: a second true evaluation within the same second adds nothing.
  if (!list.empty() && APMAudienceWholeSeconds(list.back()) == APMAudienceWholeSeconds(timestamp)) {
    return;
  }
  list.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp,
                                                          std::optional<std::int32_t> filterID) {
  if (!filterID) return;
  auto& list = allSequenceTimestampsByFilterID_[*filterID];
  if (!list.empty() && timestamp < list.back()) {
    report(5, 42001, "Setting a sequence timestamp less than the last set timestamp");
  }
  list.assign(1, timestamp);
}

std::optional<std::vector<double>>
APMSequenceTimestampsCache::sequenceTimestampsForFilterID(std::int32_t filterID) const {
  const auto found = allSequenceTimestampsByFilterID_.find(filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> out;
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    auto message = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
    NANOSetInt32(message.get(), SequenceField::kFilterId, filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      platform::ValueList values;
      values.reserve(sorted.size());
      for (const double time : sorted)
        values.emplace_back(APMAudienceWholeSeconds(time));
      NANOSetArray(message.get(), SequenceField::kEvalTimestamps, &values);
    }
    out.push_back(std::move(message));
  }
  return out;
}

// --- APMAudienceTimestampsCache ---

void APMAudienceTimestampsCache::populateCachedTimestamps(
    const std::shared_ptr<APMFilterResult>& result, std::int32_t audienceID) {
  const bool needDynamic = !cachedDynamicFilterEvaluationTimestamps_.count(audienceID);
  const bool needSequence = !cachedSequenceEvaluationTimestamps_.count(audienceID);
  if (!needDynamic && !needSequence) return;
  std::shared_ptr<APMPBResultData> data;
  if (result && !result->currentResults().empty()) {
    data = APMPBResultData::initWithBuffer(result->currentResults());
  }
  if (needDynamic) {
    auto& byFilter = cachedDynamicFilterEvaluationTimestamps_[audienceID];
    const auto entries = data ? NANOGetArray(data.get(), ResultField::kDynamicFilterTimestamps,
                                             APMPBDynamicFilterResultTimestamp::classObject())
                              : std::nullopt;
    for (const auto& entry : entries.value_or(platform::ValueList{})) {
      const auto message = entry.asObjectOf<APMPBDynamicFilterResultTimestamp>();
      if (!message) continue;
      byFilter[NANOGetInt32(message.get(), DynamicField::kFilterId)] =
          static_cast<double>(NANOGetInt64(message.get(), DynamicField::kEvalTimestamp));
    }
  }
  if (needSequence) {
    auto cache = std::make_shared<APMSequenceTimestampsCache>(audienceID);
    const auto entries = data ? NANOGetArray(data.get(), ResultField::kSequenceFilterTimestamps,
                                             APMPBSequenceFilterResultTimestamp::classObject())
                              : std::nullopt;
    for (const auto& entry : entries.value_or(platform::ValueList{})) {
      const auto message = entry.asObjectOf<APMPBSequenceFilterResultTimestamp>();
      if (!message) continue;
      const auto times = NANOGetArray(message.get(), SequenceField::kEvalTimestamps);
      // Only the newest stored time of each filter is carried on.
      if (!times || times->empty() || !times->back().isInt()) continue;
      cache->addEventFilterTimestamp(static_cast<double>(times->back().asInt()),
                                     NANOGetInt32(message.get(), SequenceField::kFilterId));
    }
    cachedSequenceEvaluationTimestamps_[audienceID] = std::move(cache);
  }
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const APMEventFilter& filter) {
  addTimestamp(timestamp, filter.audienceID(), filter.filterID(), filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped(), true);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const APMPropertyFilter& filter) {
  addTimestamp(timestamp, filter.audienceID(), filter.filterID(), filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped(), false);
}

void APMAudienceTimestampsCache::addTimestamp(double timestamp, std::int32_t audienceID,
                                              std::int32_t filterID, bool sequence,
                                              bool dynamicOrSessionScoped, bool isEventFilter) {
  if (sequence) {
    auto& cache = cachedSequenceEvaluationTimestamps_[audienceID];
    if (!cache) cache = std::make_shared<APMSequenceTimestampsCache>(audienceID);
    if (isEventFilter) {
      cache->addEventFilterTimestamp(timestamp, filterID);
    } else {
      cache->setUserPropertyTimestamp(timestamp, filterID);
    }
    return;
  }
  if (!dynamicOrSessionScoped) return;
  const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  const auto stored = audience->second.find(filterID);
  const double current = stored == audience->second.end() ? 0.0 : stored->second;
  if (timestamp > current) {
    audience->second[filterID] = timestamp;
  } else {
    report(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> out;
  const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return out;
  for (const auto& [filterID, time] : audience->second) {
    auto message = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
    NANOSetInt32(message.get(), DynamicField::kFilterId, filterID);
    NANOSetInt64(message.get(), DynamicField::kEvalTimestamp, APMAudienceWholeSeconds(time));
    out.push_back(std::move(message));
  }
  return out;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
  const auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (found == cachedSequenceEvaluationTimestamps_.end() || !found->second) return std::nullopt;
  return found->second->sequenceFilterResultTimestamps();
}
