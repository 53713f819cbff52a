// APMAudience: evaluating events and user properties against the stored filters, handing the
// results out for a bundle and clearing session-scoped filters at a session start.
#include <algorithm>
#include <map>

#include "measurement/audiences/apm_audience.h"
#include "measurement/audiences/apm_audience_filters.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_monitor.h"

namespace {

namespace ResultField = apmpb_field::ResultData;
namespace LeafField = apmpb_field::AudienceLeafFilterResult;
namespace UserAttributeField = apmpb_field::UserAttribute;
namespace DynamicField = apmpb_field::DynamicFilterResultTimestamp;
namespace SequenceField = apmpb_field::SequenceFilterResultTimestamp;

using Words = std::vector<std::uint64_t>;

void report(std::int64_t level, std::int64_t code, std::string_view message,
            platform::ValueList contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

platform::Value errorValue(const platform::ErrorPtr& error) {
  return error ? platform::Value(error) : platform::Value();
}

bool validFilterID(std::int32_t filterID) {
  return filterID >= 0 && filterID < APMAudienceFilterIDLimit;
}

Words wordsOf(const NANOMessageBase* data, std::int32_t field) {
  Words words;
  const auto values = data ? NANOGetArray(data, field) : std::nullopt;
  for (const auto& value : values.value_or(platform::ValueList{})) {
    words.push_back(value.isInt() ? static_cast<std::uint64_t>(value.asInt()) : 0);
  }
  return words;
}

void setWords(NANOMessageBase* data, std::int32_t field, const Words& words) {
  platform::ValueList values;
  values.reserve(words.size());
  for (const std::uint64_t word : words)
    values.emplace_back(static_cast<std::int64_t>(word));
  NANOSetArray(data, field, &values);
}

std::shared_ptr<APMPBResultData> decodeResultData(const platform::Bytes& bytes) {
  if (bytes.empty()) return nullptr;
  return APMPBResultData::initWithBuffer(bytes);
}

std::uint64_t bitOf(std::int32_t filterID) {
  return std::uint64_t{1} << APMBitShiftFromFilterID(filterID);
}

// A word beyond the end of a list reads as 0.
bool bitSet(const Words& words, std::int32_t filterID) {
  const auto index = static_cast<std::size_t>(APMIndexFromFilterID(filterID));
  return index < words.size() && (words[index] & bitOf(filterID)) != 0;
}

void clearBit(Words& words, std::int32_t filterID) {
  const auto index = static_cast<std::size_t>(APMIndexFromFilterID(filterID));
  if (index < words.size()) words[index] &= ~bitOf(filterID);
}

template <class Wrapper>
std::vector<std::shared_ptr<Wrapper>> messagesOf(const NANOMessageBase* message,
                                                 std::int32_t field) {
  std::vector<std::shared_ptr<Wrapper>> out;
  const auto values = message ? NANOGetArray(message, field, Wrapper::classObject()) : std::nullopt;
  for (const auto& value : values.value_or(platform::ValueList{})) {
    if (auto item = value.template asObjectOf<Wrapper>()) out.push_back(std::move(item));
  }
  return out;
}

// The bit lists of one stored result, decoded once per result object.
struct ResultWords {
  const APMFilterResult* owner = nullptr;
  std::shared_ptr<APMPBResultData> data;  // none when built here rather than decoded
  Words status, results;
};

ResultWords wordsOfResult(const std::shared_ptr<APMFilterResult>& result) {
  ResultWords out;
  out.owner = result.get();
  if (!result || result->currentResults().empty()) return out;
  out.data = decodeResultData(result->currentResults());
  out.status = wordsOf(out.data.get(), ResultField::kStatus);
  out.results = wordsOf(out.data.get(), ResultField::kResults);
  return out;
}

bool truthOf(const std::shared_ptr<APMFilterResult>& result, const ResultWords& words,
             std::int32_t filterID) {
  if (!result || result->currentResults().empty()) return false;
  if (words.status.empty() || words.results.empty()) {
    report(2, 6023,
           "Audience filter result is non-nil and is missing status or results array. Audience "
           "result will not be bundled. Audience ID, result data",
           {platform::Value(std::int64_t{result->audienceID()}),
            words.data ? platform::Value(platform::ObjectPtr(words.data)) : platform::Value()});
    return false;
  }
  return validFilterID(filterID) && bitSet(words.status, filterID) &&
         bitSet(words.results, filterID);
}

// The new result with the filter's bits set; `words` becomes its lists.
std::shared_ptr<APMFilterResult> updatedResult(std::int32_t filterID, std::int32_t audienceID,
                                               const std::shared_ptr<APMFilterResult>& current,
                                               ResultWords& words, bool newEvaluationResult,
                                               const APMAudienceTimestampsCache& cache) {
  // 2. Each list is padded on its own: a stored pair of unequal lengths is never indexed past.
  const auto index = static_cast<std::size_t>(APMIndexFromFilterID(filterID));
  if (words.status.size() <= index) words.status.resize(index + 1, 0);
  if (words.results.size() <= index) words.results.resize(index + 1, 0);
  // 3.
  words.status[index] |= bitOf(filterID);
  if (newEvaluationResult) {
    words.results[index] |= bitOf(filterID);
  } else {
    words.results[index] &= ~bitOf(filterID);
  }
  // 4.
  auto data = APMPBResultData::initWithMessageInfo();
  setWords(data.get(), ResultField::kStatus, words.status);
  setWords(data.get(), ResultField::kResults, words.results);
  const auto dynamic = NANOMessageValues(cache.dynamicTimestampsForAudienceID(audienceID));
  NANOSetArray(data.get(), ResultField::kDynamicFilterTimestamps, &dynamic);
  if (const auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
    const auto values = NANOMessageValues(*sequence);
    NANOSetArray(data.get(), ResultField::kSequenceFilterTimestamps, &values);
  }
  // 5.
  auto result = APMFilterResult::initWithAudienceID(
      audienceID, data->protoBuffer().value_or(platform::Bytes{}),
      current ? current->previousResults() : platform::Bytes{});
  words.owner = result.get();
  words.data.reset();
  return result;
}

// The working maps of one evaluation call: each audience's result is read from the database at
// most once; updated results are written back together.
class WorkingResults {
 public:
  WorkingResults(APMDatabase& database, APMAudienceDecodedResults& decoded)
      : database_(database), decoded_(decoded) {}

  // False with `error` when the database read fails.
  bool current(std::int32_t audienceID, std::shared_ptr<APMFilterResult>* out,
               platform::ErrorPtr* error) {
    if (const auto found = updated_.find(audienceID); found != updated_.end()) {
      *out = found->second;
      return true;
    }
    if (const auto found = read_.find(audienceID); found != read_.end()) {
      *out = found->second;
      return true;
    }
    auto result = database_.filterResultForAudienceID(audienceID, error);
    if (!result && error && *error) return false;
    read_[audienceID] = result;
    *out = std::move(result);
    return true;
  }
  void update(std::shared_ptr<APMFilterResult> result) {
    updated_[result->audienceID()] = std::move(result);
  }
  // The lists of the audience's current result, decoded when that result was not seen yet.
  ResultWords& wordsFor(std::int32_t audienceID, const std::shared_ptr<APMFilterResult>& current) {
    ResultWords& words = words_[audienceID];
    if (words.owner == current.get() && current) return words;
    if (!current || current->currentResults().empty()) {
      words = wordsOfResult(current);
      return words;
    }
    if (const auto* kept = decoded_.find(audienceID, current->currentResults())) {
      words = {current.get(), kept->data, kept->status, kept->results};
      return words;
    }
    words = wordsOfResult(current);
    decoded_.keep(audienceID, current->currentResults(), {words.data, words.status, words.results});
    return words;
  }
  // True when nothing changed or everything was stored.
  bool store(platform::ErrorPtr* error) {
    if (updated_.empty()) return true;
    APMDatabase::FilterResults results;
    for (const auto& [audienceID, result] : updated_)
      results.push_back(result);
    if (!database_.updateFilterResults(results, error) && *error) return false;
    // What was written is what the next event reads back.
    for (const auto& [audienceID, result] : updated_) {
      const auto found = words_.find(audienceID);
      if (found != words_.end() && found->second.owner == result.get()) {
        decoded_.keep(audienceID, result->currentResults(),
                      {nullptr, found->second.status, found->second.results});
      }
    }
    return true;
  }

 private:
  APMDatabase& database_;
  APMAudienceDecodedResults& decoded_;
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> updated_;
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> read_;
  std::map<std::int32_t, ResultWords> words_;
};

// Outcome of one event filter row; none (6035) when its blob does not decode or its identifier
// is outside the range any configuration may use.
APMAudienceOutcome APMGetEventFilterEvaluationResult(const APMEventFilter& row,
                                                     const platform::ValueMap& parameters,
                                                     const APMEventAggregates* aggregates,
                                                     APMAudienceDecodedFilters& decoded) {
  const auto filter = validFilterID(row.filterID()) ? decoded.eventFilter(row) : nullptr;
  if (!filter) {
    report(1, 6035,
           "Event filter contains no data or corrupt data. Event will not be evaluated. Event "
           "name, filter ID, audience ID, dynamic",
           {platform::Value(APMFormattedEventName(row.eventName())),
            platform::Value(std::int64_t{row.filterID()}),
            platform::Value(std::int64_t{row.audienceID()}), platform::Value(row.isDynamic())});
    return std::nullopt;
  }
  return APMAudienceEvaluateEventFilter(filter, row.eventName(), parameters, aggregates);
}

APMAudienceOutcome APMGetPropertyFilterEvaluationResult(bool wasTrue, const APMPropertyFilter& row,
                                                        const APMUserAttribute& property,
                                                        APMAudienceDecodedFilters& decoded) {
  const auto filter = validFilterID(row.filterID()) ? decoded.propertyFilter(row) : nullptr;
  if (!filter) {
    report(1, 6036,
           "User property filter contains no data or corrupt data. User property will not be "
           "evaluated. User property name, filter ID, audience ID, dynamic",
           {platform::Value(APMFormattedUserPropertyName(row.propertyName())),
            platform::Value(std::int64_t{row.filterID()}),
            platform::Value(std::int64_t{row.audienceID()}), platform::Value(row.isDynamic())});
    return std::nullopt;
  }
  const auto outcome = APMAudienceEvaluatePropertyFilter(filter, &property);
  if (wasTrue && !row.isDynamic() && !row.isSequence() && !row.isSessionScoped() &&
      outcome != true) {
    return std::nullopt;
  }
  return outcome;
}

}  // namespace

namespace {

const std::string& recordName(const APMEventFilter& row) {
  return row.eventName();
}

const std::string& recordName(const APMPropertyFilter& row) {
  return row.propertyName();
}

// The kept record of a stored row while its name and bytes are unchanged; else a new record, its
// flags from the freshly decoded message, kept in its place.
template <class Wrapper, class Record, class Entries>
std::shared_ptr<Record> rowOnce(Entries& entries, std::size_t limit, std::int32_t audienceID,
                                std::int32_t filterID, const std::string& name,
                                std::span<const std::uint8_t> data, std::int32_t sessionScopedField,
                                std::int32_t dynamicField, std::int32_t sequenceField) {
  if (entries.size() > limit) entries.clear();
  auto& entry = entries[{audienceID, filterID}];
  if (entry.row && recordName(*entry.row) == name &&
      std::equal(data.begin(), data.end(), entry.row->data().begin(), entry.row->data().end())) {
    return entry.row;
  }
  platform::Bytes bytes(data.begin(), data.end());
  std::shared_ptr<Wrapper> message = bytes.empty() ? nullptr : Wrapper::initWithBuffer(bytes);
  const auto flag = [&message](std::int32_t field) {
    return message && NANOGetBool(message.get(), field);
  };
  entry.row =
      Record::initWithAudienceID(audienceID, filterID, name, std::move(bytes),
                                 flag(sessionScopedField), flag(dynamicField), flag(sequenceField));
  entry.message = std::move(message);
  return entry.row;
}

// The kept message of a record made above; a record from elsewhere is decoded on the spot.
template <class Wrapper, class Record, class Entries>
std::shared_ptr<Wrapper> messageOf(const Entries& entries, const Record& row) {
  const auto found = entries.find({row.audienceID(), row.filterID()});
  if (found != entries.end() && found->second.row.get() == &row) {
    return std::static_pointer_cast<Wrapper>(found->second.message);
  }
  return row.data().empty() ? nullptr : Wrapper::initWithBuffer(row.data());
}

}  // namespace

std::shared_ptr<APMEventFilter>
APMAudienceDecodedFilters::eventFilterRow(std::int32_t audienceID, std::int32_t filterID,
                                          const std::string& eventName,
                                          std::span<const std::uint8_t> data) {
  // A filter identifier may belong to an event filter or a property filter, never both: the two
  // kinds are kept apart all the same, so one cannot stand in for the other.
  namespace field = apmpb_field::EventFilter;
  return rowOnce<APMPBEventFilter, APMEventFilter>(eventFilters_, kLimit, audienceID, filterID,
                                                   eventName, data, field::kSessionScoped,
                                                   field::kDynamic, field::kSequence);
}

std::shared_ptr<APMPropertyFilter>
APMAudienceDecodedFilters::propertyFilterRow(std::int32_t audienceID, std::int32_t filterID,
                                             const std::string& propertyName,
                                             std::span<const std::uint8_t> data) {
  namespace field = apmpb_field::PropertyFilter;
  return rowOnce<APMPBPropertyFilter, APMPropertyFilter>(
      propertyFilters_, kLimit, audienceID, filterID, propertyName, data, field::kSessionScoped,
      field::kDynamic, field::kSequence);
}

std::shared_ptr<APMPBEventFilter>
APMAudienceDecodedFilters::eventFilter(const APMEventFilter& row) {
  return messageOf<APMPBEventFilter>(eventFilters_, row);
}

std::shared_ptr<APMPBPropertyFilter>
APMAudienceDecodedFilters::propertyFilter(const APMPropertyFilter& row) {
  return messageOf<APMPBPropertyFilter>(propertyFilters_, row);
}

const APMAudienceDecodedResults::Lists*
APMAudienceDecodedResults::find(std::int32_t audienceID, const platform::Bytes& bytes) const {
  const auto found = kept_.find(audienceID);
  return found != kept_.end() && found->second.first == bytes ? &found->second.second : nullptr;
}

void APMAudienceDecodedResults::keep(std::int32_t audienceID, const platform::Bytes& bytes,
                                     Lists lists) {
  if (kept_.size() > kLimit) kept_.clear();
  auto& entry = kept_[audienceID];
  entry.first = bytes;
  entry.second = std::move(lists);
}

std::int32_t APMIndexFromFilterID(std::int32_t filterID) {
  return filterID / 64;
}

std::int32_t APMBitShiftFromFilterID(std::int32_t filterID) {
  return filterID % 64;
}

bool APMIsAudienceEvaluated(const std::vector<std::uint64_t>& status) {
  for (const std::uint64_t word : status) {
    if (word != 0) return true;
  }
  return false;
}

bool APMShouldEvaluateFilter(bool wasTrue, bool dynamic, bool sequence, bool sessionScoped) {
  return !wasTrue || dynamic || sequence || sessionScoped;
}

bool APMShouldUpdatePropertyFilterEvaluationResult(bool newOutcome,
                                                   const APMPropertyFilter& filter) {
  return newOutcome || (filter.isDynamic() && !filter.isSessionScoped());
}

std::shared_ptr<APMUserAttribute> APMConvertNanoToUserProperty(const APMPBUserAttribute& property) {
  std::optional<APMValue> value;
  if (NANOHasField(&property, UserAttributeField::kStringValue)) {
    if (const auto text = NANOGetString(&property, UserAttributeField::kStringValue)) {
      value = APMValue::initWithString(*text);
    }
  } else if (NANOHasField(&property, UserAttributeField::kDoubleValue)) {
    value = APMValue(NANOGetDouble(&property, UserAttributeField::kDoubleValue));
  } else if (NANOHasField(&property, UserAttributeField::kIntValue)) {
    value = APMValue(NANOGetInt64(&property, UserAttributeField::kIntValue));
  }
  std::shared_ptr<APMUserAttribute> converted;
  if (value) {
    const double setTime =
        static_cast<double>(NANOGetInt64(&property, UserAttributeField::kSetTimestampMillis)) /
        1000.0;
    converted = APMUserAttribute::initWithOrigin(
        "", NANOGetString(&property, UserAttributeField::kName).value_or(""), *value, setTime);
  }
  if (!converted) report(2, 6039, "Could not convert user property from nano format.");
  return converted;
}

bool APMAudience::isFilterResultTrueForFilterID(const std::shared_ptr<APMFilterResult>& result,
                                                std::int32_t filterID) {
  return truthOf(result, wordsOfResult(result), filterID);
}

std::shared_ptr<APMFilterResult> APMAudience::updatedFilterResultWithFilterID(
    std::int32_t filterID, std::int32_t audienceID,
    const std::shared_ptr<APMFilterResult>& currentFilterResult, bool newEvaluationResult,
    const APMAudienceTimestampsCache& audienceTimestampsCache) {
  // 1.
  ResultWords words = wordsOfResult(currentFilterResult);
  return updatedResult(filterID, audienceID, currentFilterResult, words, newEvaluationResult,
                       audienceTimestampsCache);
}

bool APMAudience::evaluateFiltersForEvent(
    const APMEvent& event, const APMEventAggregates* aggregates,
    const std::shared_ptr<APMAudienceTimestampsCache>& cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates,
                                     event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(
    const std::string& eventName, const platform::ValueMap& eventParameters,
    const APMEventAggregates* aggregates, double eventTimestamp,
    const std::shared_ptr<APMAudienceTimestampsCache>& audienceTimestampsCache) {
  const auto db = database_.lock();
  if (!db) return false;
  const auto formattedName = [&eventName] {
    return platform::Value(APMFormattedEventName(eventName));
  };
  // 1.
  platform::ErrorPtr error;
  const auto filters = db->eventFiltersForEventName(
      eventName,
      [this](std::int32_t audienceID, std::int32_t filterID, const std::string& name,
             std::span<const std::uint8_t> data) {
        return decoded_.eventFilterRow(audienceID, filterID, name, data);
      },
      &error);
  if (!filters && error) {
    report(1, 6000,
           "Unable to query event filters for event. Event will not be evaluated. Event name, "
           "error",
           {formattedName(), errorValue(error)});
    return false;
  }
  if (!filters || filters->empty()) return true;
  // 2.
  const auto cache =
      audienceTimestampsCache ? audienceTimestampsCache : APMAudienceTimestampsCache::init();
  // 3.
  WorkingResults working(*db, decodedResults_);
  for (const auto& row : *filters) {
    if (!row) continue;
    std::shared_ptr<APMFilterResult> current;
    if (!working.current(row->audienceID(), &current, &error)) {
      report(1, 6001,
             "Unable to query filter result for audience. Event will not be evaluated. Event "
             "name, error",
             {formattedName(), errorValue(error)});
      return false;
    }
    ResultWords& words = working.wordsFor(row->audienceID(), current);
    const bool wasTrue = truthOf(current, words, row->filterID());
    if (!APMShouldEvaluateFilter(wasTrue, row->isDynamic(), row->isSequence(),
                                 row->isSessionScoped())) {
      continue;
    }
    const auto outcome =
        APMGetEventFilterEvaluationResult(*row, eventParameters, aggregates, decoded_);
    if (!outcome) continue;
    cache->populateCachedTimestamps(current, row->audienceID());
    // An event filter, once true, stays true until a session start clears it.
    const bool result = *outcome || wasTrue;
    if (*outcome) cache->addEvaluationTimestamp(eventTimestamp, *row);
    working.update(
        updatedResult(row->filterID(), row->audienceID(), current, words, result, *cache));
  }
  // 4.
  error.reset();
  if (!working.store(&error)) {
    report(1, 6003,
           "Unable to save updated Audience filter results. Event will not be evaluated. Event "
           "name, error",
           {formattedName(), errorValue(error)});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForUserProperty(
    const APMUserAttribute& property,
    const std::shared_ptr<APMAudienceTimestampsCache>& audienceTimestampsCache,
    double evaluationTimestamp) {
  const auto db = database_.lock();
  if (!db) return false;
  const auto formattedName = [&property] {
    return platform::Value(APMFormattedUserPropertyName(property.name()));
  };
  platform::ErrorPtr error;
  const auto filters = db->propertyFiltersForPropertyName(
      property.name(),
      [this](std::int32_t audienceID, std::int32_t filterID, const std::string& name,
             std::span<const std::uint8_t> data) {
        return decoded_.propertyFilterRow(audienceID, filterID, name, data);
      },
      &error);
  if (!filters && error) {
    report(1, 6004,
           "Unable to query property filters for property. Property will not be evaluated. "
           "Property name, error",
           {formattedName(), errorValue(error)});
    return false;
  }
  if (!filters || filters->empty()) return true;
  const auto cache =
      audienceTimestampsCache ? audienceTimestampsCache : APMAudienceTimestampsCache::init();
  WorkingResults working(*db, decodedResults_);
  for (const auto& row : *filters) {
    if (!row) continue;
    std::shared_ptr<APMFilterResult> current;
    if (!working.current(row->audienceID(), &current, &error)) {
      report(1, 6005,
             "Unable to query filter result for audience. Property will not be evaluated. "
             "Property name, error",
             {formattedName(), errorValue(error)});
      return false;
    }
    ResultWords& words = working.wordsFor(row->audienceID(), current);
    const bool wasTrue = truthOf(current, words, row->filterID());
    if (!APMShouldEvaluateFilter(wasTrue, row->isDynamic(), row->isSequence(),
                                 row->isSessionScoped())) {
      continue;
    }
    const auto outcome = APMGetPropertyFilterEvaluationResult(wasTrue, *row, property, decoded_);
    if (!outcome) continue;
    cache->populateCachedTimestamps(current, row->audienceID());
    if (*outcome) cache->addEvaluationTimestamp(evaluationTimestamp, *row);
    const bool result =
        APMShouldUpdatePropertyFilterEvaluationResult(*outcome, *row) ? *outcome : wasTrue;
    working.update(
        updatedResult(row->filterID(), row->audienceID(), current, words, result, *cache));
  }
  error.reset();
  if (!working.store(&error)) {
    report(1, 6007,
           "Unable to save updated Audience filter results. User property will not be "
           "evaluated. User property name, error",
           {formattedName(), errorValue(error)});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForNanoUserProperty(
    const APMPBUserAttribute& property,
    const std::shared_ptr<APMAudienceTimestampsCache>& audienceTimestampsCache,
    std::optional<double> evaluationTime) {
  const auto converted = APMConvertNanoToUserProperty(property);
  // Reported by the conversion. Skipped rather than failed: a stored property that can never be
  // converted would otherwise fail every retry of the bundling pass and block every upload.
  if (!converted) return true;
  return evaluateFiltersForUserProperty(*converted, audienceTimestampsCache,
                                        evaluationTime.value_or(converted->lastSetTimestamp()));
}

bool APMAudience::resultsForBundling(std::optional<LeafResults>* results) {
  if (results) *results = LeafResults{};
  const auto db = database_.lock();
  if (!db) {
    if (results) results->reset();
    return false;
  }
  // 1.
  platform::ErrorPtr error;
  const auto stored = db->allFilterResults(&error);
  if (!stored && error) {
    report(1, 6019,
           "Unable to query Audience filter results. Audience results will not be bundled. Error",
           {errorValue(error)});
    if (results) results->reset();
    return false;
  }
  // 2. Ascending audience identifier (the map's order).
  LeafResults out;
  APMDatabase::FilterResults prepared;
  for (const auto& [audienceID, result] :
       stored.value_or(std::map<std::int32_t, std::shared_ptr<APMFilterResult>>{})) {
    if (!result) continue;
    const platform::Value audienceValue(std::int64_t{audienceID});
    // An empty stored blob decodes as an empty message and is skipped below (6021).
    auto current = APMPBResultData::initWithBuffer(result->currentResults());
    if (!current) {
      report(2, 6020,
             "Current result data is nil. Audience result will not be bundled. Audience ID",
             {audienceValue});
      continue;
    }
    if (!APMIsAudienceEvaluated(wordsOf(current.get(), ResultField::kStatus))) {
      report(2, 6021,
             "Current result status is 0. Audience result will not be bundled. Audience ID",
             {audienceValue});
      continue;
    }
    auto leaf = APMPBAudienceLeafFilterResult::initWithMessageInfo();
    NANOSetInt32(leaf.get(), LeafField::kAudienceId, audienceID);
    if (!result->previousResults().empty()) {
      NANOSetBool(leaf.get(), LeafField::kNewAudience, false);
      const auto previous = APMPBResultData::initWithBuffer(result->previousResults());
      if (previous && previous->protoBuffer() == current->protoBuffer()) {
        // Unchanged since the last bundle: only the newest time of the first sequence entry is
        // carried on.
        auto sequence = messagesOf<APMPBSequenceFilterResultTimestamp>(
            current.get(), ResultField::kSequenceFilterTimestamps);
        if (!sequence.empty()) {
          const auto times = NANOGetArray(sequence.front().get(), SequenceField::kEvalTimestamps);
          if (times && times->size() > 1) {
            const platform::ValueList newest{times->back()};
            NANOSetArray(sequence.front().get(), SequenceField::kEvalTimestamps, &newest);
            const auto values = NANOMessageValues(sequence);
            NANOSetArray(current.get(), ResultField::kSequenceFilterTimestamps, &values);
          }
        }
      } else if (previous) {
        NANOSetMessage(leaf.get(), LeafField::kPreviousData, previous.get());
      }
    } else {
      NANOSetBool(leaf.get(), LeafField::kNewAudience, true);
    }
    NANOSetMessage(leaf.get(), LeafField::kCurrentData, current.get());
    out.push_back(leaf);
    prepared.push_back(APMFilterResult::initWithAudienceID(
        audienceID, current->protoBuffer().value_or(platform::Bytes{}), result->currentResults()));
  }
  // 3. Nothing evaluated, nothing to store: the database refuses an empty list, and failing here
  // would fail every bundling pass of an app that has no results yet.
  error.reset();
  if (!prepared.empty() && !db->updateFilterResults(prepared, &error) && error) {
    report(1, 6022,
           "Unable to save updated Audience filter results. Audience results will not be "
           "bundled. Error",
           {errorValue(error)});
    if (results) results->reset();
    return false;
  }
  if (results) *results = std::move(out);
  return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  const auto db = database_.lock();
  if (!db) return false;
  // 1.
  platform::ErrorPtr error;
  const auto sessionScoped = db->allSessionScopedFilters(&error);
  if (!sessionScoped && error) {
    report(1, 6040,
           "Unable to query all session scoped filters. Session scoped results will not be "
           "cleared. Error",
           {errorValue(error)});
    return false;
  }
  // 2.
  error.reset();
  const auto stored = db->allFilterResults(&error);
  if (!stored && error) {
    report(1, 6041,
           "Unable to query all filter results. Session scoped results will not be cleared. Error",
           {errorValue(error)});
    return false;
  }
  if (!sessionScoped || !stored) return true;
  // 3.
  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    const auto found = stored->find(audienceID);
    if (found == stored->end() || !found->second) continue;
    const auto& result = found->second;
    const auto current = decodeResultData(result->currentResults());
    Words status = wordsOf(current.get(), ResultField::kStatus);
    Words results = wordsOf(current.get(), ResultField::kResults);
    std::set<std::int32_t> cleared;
    for (const std::int32_t filterID : filterIDs) {
      // A stored identifier outside the configurable range is corrupt: it owns no bit.
      if (!validFilterID(filterID)) continue;
      clearBit(status, filterID);
      clearBit(results, filterID);
      cleared.insert(filterID);
    }
    error.reset();
    if (APMIsAudienceEvaluated(status)) {
      auto data = APMPBResultData::initWithMessageInfo();
      setWords(data.get(), ResultField::kStatus, status);
      setWords(data.get(), ResultField::kResults, results);
      platform::ValueList dynamic;
      for (const auto& entry : messagesOf<APMPBDynamicFilterResultTimestamp>(
               current.get(), ResultField::kDynamicFilterTimestamps)) {
        if (!cleared.count(NANOGetInt32(entry.get(), DynamicField::kFilterId))) {
          dynamic.emplace_back(platform::ObjectPtr(entry));
        }
      }
      NANOSetArray(data.get(), ResultField::kDynamicFilterTimestamps, &dynamic);
      platform::ValueList sequence;
      for (const auto& entry : messagesOf<APMPBSequenceFilterResultTimestamp>(
               current.get(), ResultField::kSequenceFilterTimestamps)) {
        if (!cleared.count(NANOGetInt32(entry.get(), SequenceField::kFilterId))) {
          sequence.emplace_back(platform::ObjectPtr(entry));
        }
      }
      NANOSetArray(data.get(), ResultField::kSequenceFilterTimestamps, &sequence);
      const auto updated = APMFilterResult::initWithAudienceID(
          audienceID, data->protoBuffer().value_or(platform::Bytes{}), result->currentResults());
      if (!db->updateFilterResults({updated}, &error) && error) {
        report(2, 6043,
               "Unable to update filter results. Session scoped results will not be cleared. "
               "Error",
               {errorValue(error)});
        return false;
      }
    } else if (!db->deleteFilterResults({result}, &error) && error) {
      report(1, 6042,
             "Unable to delete filter results. Session scoped results will not be cleared. Error",
             {errorValue(error)});
      return false;
    }
  }
  return true;
}
