// APMAudience: the audience evaluator of the measurement core. It stores the audience definitions
// of each accepted configuration as event and property filter rows (updateAudiences), keeps per
// audience a record of which filters have been evaluated and which are true, updates it for every
// bundled event and user property, hands the current results out for each bundle (the current
// results then become the previous ones) and clears session-scoped filters at a session start.
// Whether the user belongs to an audience is decided by the server from the bundled results.
//
// Result bits: filter f owns bit f mod 64 of word f div 64 of the ResultData `status` ("has been
// evaluated") and `results` ("was true") lists. Filter identifiers lie in 0..99 (the largest
// per-audience filter limit); a stored row outside that range is treated as corrupt.
//
// Stored rows are untrusted: blobs that do not decode, identifiers out of range and `status` and
// `results` lists of different lengths are skipped or read as "not set", never indexed past.
//
// The engine owns the one instance; the database is held weakly. Worker queue only, inside the
// engine's transactions (configuration fetch, bundling pass); no locks. Every database operation
// counts as failed only when it answers "no" together with an error.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "measurement/audiences/apm_audience_timestamps_cache.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_audience_records.h"
#include "platform/core/value.h"

class APMDatabase;
class APMEvent;
class APMEventAggregates;
class APMUserAttribute;

// The largest filter identifier any configuration may use, plus one.
inline constexpr std::int32_t APMAudienceFilterIDLimit = 100;

std::int32_t APMIndexFromFilterID(std::int32_t filterID);
std::int32_t APMBitShiftFromFilterID(std::int32_t filterID);
// At least one `status` word is not 0.
bool APMIsAudienceEvaluated(const std::vector<std::uint64_t>& status);
// A filter is evaluated unless it is already true and neither dynamic, sequence nor
// session-scoped.
bool APMShouldEvaluateFilter(bool wasTrue, bool dynamic, bool sequence, bool sessionScoped);
// A property filter takes a new outcome when it is true, or when the filter is dynamic and not
// session-scoped.
bool APMShouldUpdatePropertyFilterEvaluationResult(bool newOutcome,
                                                   const APMPropertyFilter& filter);
// The UserAttribute message as a user property (empty origin, set time in seconds); none (6039)
// without a value or when the record refuses the name or the value.
std::shared_ptr<APMUserAttribute> APMConvertNanoToUserProperty(const APMPBUserAttribute& property);

// The records of stored filter rows and their decoded messages, kept while a row's stored bytes
// and name stay the same, so an event does not decode the same unchanged filter again (the
// record's flags come from the decoded message); a row whose bytes changed is decoded afresh.
// The decoded messages are only read. At most one entry per audience and filter identifier.
class APMAudienceDecodedFilters {
 public:
  // The row's record, its flags as its message says (all false when the bytes do not decode).
  std::shared_ptr<APMEventFilter> eventFilterRow(std::int32_t audienceID, std::int32_t filterID,
                                                 const std::string& eventName,
                                                 std::span<const std::uint8_t> data);
  std::shared_ptr<APMPropertyFilter> propertyFilterRow(std::int32_t audienceID,
                                                       std::int32_t filterID,
                                                       const std::string& propertyName,
                                                       std::span<const std::uint8_t> data);
  // The row's message; none when its bytes do not decode.
  std::shared_ptr<APMPBEventFilter> eventFilter(const APMEventFilter& row);
  std::shared_ptr<APMPBPropertyFilter> propertyFilter(const APMPropertyFilter& row);

 private:
  // 100 audiences of 100 filters, the most a configuration can hold.
  static constexpr std::size_t kLimit = 10000;
  template <class Record> struct Entry {
    std::shared_ptr<Record> row;
    std::shared_ptr<NANOMessageBase> message;  // none when the bytes do not decode
  };
  template <class Record>
  using Entries = std::map<std::pair<std::int32_t, std::int32_t>, Entry<Record>>;
  Entries<APMEventFilter> eventFilters_;
  Entries<APMPropertyFilter> propertyFilters_;
};

// The `status` and `results` lists of each audience's result as last read or written, kept with
// the stored bytes they belong to, so a result unchanged since the last event is not decoded
// again; other bytes are decoded afresh.
class APMAudienceDecodedResults {
 public:
  struct Lists {
    std::shared_ptr<APMPBResultData> data;  // the decoded message; none for lists written here
    std::vector<std::uint64_t> status, results;
  };
  // The lists kept for exactly these bytes, or null.
  const Lists* find(std::int32_t audienceID, const platform::Bytes& bytes) const;
  void keep(std::int32_t audienceID, const platform::Bytes& bytes, Lists lists);

 private:
  // Far more than a configuration's 100 audiences: stale rows cannot grow it without bound.
  static constexpr std::size_t kLimit = 10000;
  std::map<std::int32_t, std::pair<platform::Bytes, Lists>> kept_;
};

class APMAudience {
 public:
  using LeafResults = std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>;

  // None without a database.
  static std::shared_ptr<APMAudience> initWithDatabase(std::shared_ptr<APMDatabase> database);
  explicit APMAudience(std::shared_ptr<APMDatabase> database) : database_(std::move(database)) {}

  // --- Definitions (apm_audience.cpp) ---
  // Validates the configuration's audiences and replaces every stored filter with theirs. More
  // audiences than the limit: reported (6008), nothing changes, true. False (with its report)
  // when a database step fails; the caller rolls its transaction back.
  bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  // Over the stored-result limit, deletes the results of audiences that are neither in the
  // stored filters nor in `audienceIDs`.
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs);

  // --- Evaluation (apm_audience_evaluation.cpp) ---
  // `cache` none: a fresh cache for this call alone.
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* aggregates,
                               const std::shared_ptr<APMAudienceTimestampsCache>& cache);
  bool evaluateFiltersForEventName(const std::string& eventName,
                                   const platform::ValueMap& eventParameters,
                                   const APMEventAggregates* aggregates, double eventTimestamp,
                                   const std::shared_ptr<APMAudienceTimestampsCache>& cache);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                      const std::shared_ptr<APMAudienceTimestampsCache>& cache,
                                      double evaluationTimestamp);
  // `evaluationTime` none: the property's set time. A property that cannot be converted is
  // reported (6039) and skipped: the answer is true, so one bad stored property cannot fail every
  // bundling pass.
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                          const std::shared_ptr<APMAudienceTimestampsCache>& cache,
                                          std::optional<double> evaluationTime);
  // The evaluated audiences' results for the next bundle, ascending audience identifier; their
  // current results become the previous ones. `results` is none after a failure.
  bool resultsForBundling(std::optional<LeafResults>* results);
  bool clearEvaluationResultsForSessionScopedFilters();

  static bool isFilterResultTrueForFilterID(const std::shared_ptr<APMFilterResult>& result,
                                            std::int32_t filterID);
  static std::shared_ptr<APMFilterResult>
  updatedFilterResultWithFilterID(std::int32_t filterID, std::int32_t audienceID,
                                  const std::shared_ptr<APMFilterResult>& currentFilterResult,
                                  bool newEvaluationResult,
                                  const APMAudienceTimestampsCache& audienceTimestampsCache);

 private:
  std::weak_ptr<APMDatabase> database_;
  APMAudienceDecodedFilters decoded_;
  APMAudienceDecodedResults decodedResults_;
};
