// Audience evaluation of bundled events: 10 audiences of 10 event filters each over 10 event
// names (event counts, int and double parameters, case-insensitive prefix, ANY_OF of five, one
// PATTERN; half of the filters dynamic), 10,000 events of three parameters each through
// APMAudience::evaluateFiltersForEventName on a real database file, in transactions of 1,000
// events with one timestamp cache each.
//
// Reference, in the same run: the same statements (the event's filters, each touched audience's
// stored result once, one upsert per changed audience) through the SQLite C API on a file of the
// same tables, with the same predicates applied to filters decoded once, results kept as raw
// words. Goal: the evaluator within 3 times the reference's time per event. A third figure, the
// same work in memory alone (no database), shows what the decoding and the database cost; it has
// no goal.
//
//   TMPDIR=/dev/shm build-rel/bench/audience_bench
//
// LUMORA_AUDIENCE_BENCH_EVENTS (a multiple of 1,000) runs fewer events, for instruction counts
// under a simulator; the figures above are for the full 10,000.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "measurement/audiences/apm_audience.h"
#include "measurement/audiences/apm_audience_filters.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"

namespace {

using platform::Value;

constexpr int kAudiences = 10;
constexpr int kFiltersPerAudience = 10;
constexpr int kNames = 10;
const int kEvents = [] {
  const char* set = std::getenv("LUMORA_AUDIENCE_BENCH_EVENTS");
  const int count = set ? std::atoi(set) : 0;
  return count > 0 && count % 1000 == 0 ? count : 10000;
}();
constexpr int kPerTransaction = 1000;

const std::string& scratchHome() {
  static const std::string home = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumora-audience-bench-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    if (!made) std::abort();
    setenv("LUMORA_HOME", made, 1);
    return std::string(made);
  }();
  return home;
}

std::string nameOf(int index) {
  return "event_" + std::to_string(index % kNames);
}

std::shared_ptr<APMPBNumberFilter> number(int type, const char* operand, const char* low = nullptr,
                                          const char* high = nullptr) {
  auto filter = APMPBNumberFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), apmpb_field::NumberFilter::kComparisonType, type);
  if (operand) NANOSetString(filter.get(), apmpb_field::NumberFilter::kComparisonValue, operand);
  if (low) NANOSetString(filter.get(), apmpb_field::NumberFilter::kMinComparisonValue, low);
  if (high) NANOSetString(filter.get(), apmpb_field::NumberFilter::kMaxComparisonValue, high);
  return filter;
}

std::shared_ptr<APMPBFilter> onParameter(const char* parameter,
                                         std::shared_ptr<APMPBNumberFilter> numeric,
                                         std::shared_ptr<APMPBStringFilter> text) {
  auto filter = APMPBFilter::initWithMessageInfo();
  NANOSetString(filter.get(), apmpb_field::Filter::kParamName, parameter);
  if (numeric) NANOSetMessage(filter.get(), apmpb_field::Filter::kNumberFilter, numeric.get());
  if (text) NANOSetMessage(filter.get(), apmpb_field::Filter::kStringFilter, text.get());
  return filter;
}

std::shared_ptr<APMPBStringFilter> text(int match, const char* expression,
                                        std::vector<std::string> list = {}) {
  auto filter = APMPBStringFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), apmpb_field::StringFilter::kMatchType, match);
  if (expression) NANOSetString(filter.get(), apmpb_field::StringFilter::kExpression, expression);
  if (!list.empty()) {
    platform::ValueList values;
    for (auto& item : list)
      values.emplace_back(item);
    NANOSetArray(filter.get(), apmpb_field::StringFilter::kExpressionList, &values);
  }
  return filter;
}

// Filter `i` of audience `a`: one of ten kinds, on name (a + i) mod 10; odd filters dynamic.
std::shared_ptr<APMPBEventFilter> filterOf(int a, int i) {
  auto filter = APMPBEventFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), apmpb_field::EventFilter::kFilterId, i);
  NANOSetString(filter.get(), apmpb_field::EventFilter::kEventName, nameOf(a + i));
  std::vector<std::shared_ptr<APMPBFilter>> parameters;
  switch (i) {
  case 0:
    NANOSetMessage(filter.get(), apmpb_field::EventFilter::kEventCountFilter,
                   number(2, "500").get());
    break;
  case 1:
    parameters.push_back(onParameter("count", number(2, "50"), nullptr));
    break;
  case 2:
    parameters.push_back(onParameter("score", number(1, "0.5"), nullptr));
    break;
  case 3:
    parameters.push_back(onParameter("label", nullptr, text(2, "AB")));
    break;
  case 4:
    parameters.push_back(
        onParameter("label", nullptr, text(6, nullptr, {"ab1", "ab2", "ab3", "cd4", "ef5"})));
    break;
  case 5:
    parameters.push_back(onParameter("label", nullptr, text(1, "^ab[0-9]+$")));
    break;
  case 6:
    parameters.push_back(onParameter("count", number(4, nullptr, "10", "90"), nullptr));
    break;
  case 7:
    parameters.push_back(onParameter("score", number(2, "0.25"), nullptr));
    break;
  case 8:
    parameters.push_back(onParameter("label", nullptr, text(4, "b")));
    break;
  default:
    NANOSetMessage(filter.get(), apmpb_field::EventFilter::kEventCountFilter,
                   number(3, "1000").get());
    parameters.push_back(onParameter("count", number(1, "70"), nullptr));
    break;
  }
  if (!parameters.empty()) {
    const auto values = NANOMessageValues(parameters);
    NANOSetArray(filter.get(), apmpb_field::EventFilter::kFilters, &values);
  }
  if (i % 2 == 1) NANOSetBool(filter.get(), apmpb_field::EventFilter::kDynamic, true);
  return filter;
}

struct Event {
  std::string name;
  platform::ValueMap parameters;
  double timestamp;
};

const std::vector<Event>& events() {
  static const std::vector<Event> all = [] {
    std::vector<Event> out;
    for (int e = 0; e < kEvents; ++e) {
      out.push_back({nameOf(e * 7 + e / kNames),
                     {{Value("count"), Value(std::int64_t{e % 100})},
                      {Value("score"), Value((e % 97) / 97.0)},
                      {Value("label"), Value((e % 3 ? "AB" : "cd") + std::to_string(e % 7))}},
                     1'700'000'000.0 + e * 0.25});
    }
    return out;
  }();
  return all;
}

// Counts per name as the bundling pass keeps them.
class Counts {
 public:
  std::shared_ptr<APMEventAggregates> count(const Event& event) {
    auto& aggregates = byName_[event.name];
    if (!aggregates) {
      aggregates = APMEventAggregates::initWithName(event.name, 1, 1, 1, event.timestamp);
    } else {
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementCurrentSessionCount();
    }
    return aggregates;
  }

 private:
  std::map<std::string, std::shared_ptr<APMEventAggregates>> byName_;
};

// --- The evaluator ---

struct Evaluator {
  std::shared_ptr<APMPersistedConfig> config;
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMAudience> audience;
};

Evaluator& evaluator() {
  static Evaluator made = [] {
    scratchHome();
    Evaluator e;
    e.config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    e.database = APMDatabase::initWithDatabaseName(APMDatabaseFileName, e.config, nullptr);
    e.audience = APMAudience::initWithDatabase(e.database);
    std::vector<std::shared_ptr<APMPBAudience>> audiences;
    for (int a = 0; a < kAudiences; ++a) {
      auto message = APMPBAudience::initWithMessageInfo();
      NANOSetInt32(message.get(), apmpb_field::Audience::kAudienceId, a);
      std::vector<std::shared_ptr<APMPBEventFilter>> filters;
      for (int i = 0; i < kFiltersPerAudience; ++i)
        filters.push_back(filterOf(a, i));
      const auto values = NANOMessageValues(filters);
      NANOSetArray(message.get(), apmpb_field::Audience::kEventFilters, &values);
      audiences.push_back(message);
    }
    if (!e.audience || !e.audience->updateAudiences(audiences)) std::abort();
    return e;
  }();
  return made;
}

// Every stored result goes, through a connection of our own, so each run does the same work.
void clearStoredResults() {
  sqlite3* db = nullptr;
  sqlite3_open_v2(APMFilePathForDatabaseName(APMDatabaseFileName).c_str(), &db,
                  SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_exec(db, "DELETE FROM audience_filter_values", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db);
}

// The fastest run of each of the two compared programs, for the ratio printed at the end.
double bestEvaluatorSeconds = 0;
double bestReferenceSeconds = 0;

void keepBest(double& best, std::chrono::steady_clock::time_point started) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (best == 0 || seconds < best) best = seconds;
}

void BM_EvaluatorOnDatabase(benchmark::State& state) {
  Evaluator& e = evaluator();
  for (auto _ : state) {
    state.PauseTiming();
    clearStoredResults();
    Counts counts;
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    const auto& all = events();
    for (int start = 0; start < kEvents; start += kPerTransaction) {
      const bool ok = e.database->performTransaction([&] {
        const auto cache = APMAudienceTimestampsCache::init();
        for (int k = start; k < start + kPerTransaction; ++k) {
          const auto& event = all[static_cast<std::size_t>(k)];
          const auto aggregates = counts.count(event);
          if (!e.audience->evaluateFiltersForEventName(event.name, event.parameters,
                                                       aggregates.get(), event.timestamp, cache)) {
            return false;
          }
        }
        return true;
      });
      if (!ok) state.SkipWithError("evaluation failed");
    }
    keepBest(bestEvaluatorSeconds, started);
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_EvaluatorOnDatabase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// --- The reference: the C API, filters decoded once ---

struct DecodedFilter {
  int audienceID;
  int filterID;
  bool dynamic;
  std::shared_ptr<APMPBEventFilter> message;
};

struct Words {
  std::vector<std::uint64_t> status, results;
};

class Reference {
 public:
  Reference() {
    const std::string path = scratchHome() + "/reference.sql";
    std::filesystem::remove(path);
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    exec("CREATE TABLE event_filters (audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, "
         "event_name TEXT NOT NULL, session_scoped BOOLEAN, data BLOB NOT NULL, PRIMARY KEY "
         "(audience_id, filter_id))");
    exec("CREATE TABLE audience_filter_values (audience_id INTEGER NOT NULL PRIMARY KEY, "
         "current_results BLOB, previous_results BLOB)");
    sqlite3_stmt* insert = prepare("INSERT INTO event_filters VALUES (?, ?, ?, 0, ?)");
    for (int a = 0; a < kAudiences; ++a) {
      for (int i = 0; i < kFiltersPerAudience; ++i) {
        const auto filter = filterOf(a, i);
        const auto data = *filter->protoBuffer();
        sqlite3_bind_int(insert, 1, a);
        sqlite3_bind_int(insert, 2, i);
        sqlite3_bind_text(insert, 3, nameOf(a + i).c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        decoded_[a * 100 + i] = {a, i, i % 2 == 1, filter};
      }
    }
    sqlite3_finalize(insert);
    selectFilters_ =
        prepare("SELECT audience_id, filter_id FROM event_filters WHERE event_name = ?");
    selectResult_ =
        prepare("SELECT current_results FROM audience_filter_values WHERE audience_id = ?");
    upsert_ = prepare("INSERT OR REPLACE INTO audience_filter_values (audience_id, "
                      "current_results, previous_results) VALUES (?, ?, NULL)");
  }
  ~Reference() {
    sqlite3_finalize(selectFilters_);
    sqlite3_finalize(selectResult_);
    sqlite3_finalize(upsert_);
    sqlite3_close_v2(db_);
  }

  void reset() { exec("DELETE FROM audience_filter_values"); }
  void exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  void evaluate(const Event& event, const APMEventAggregates& aggregates) {
    sqlite3_bind_text(selectFilters_, 1, event.name.c_str(), -1, SQLITE_STATIC);
    std::vector<const DecodedFilter*> rows;
    while (sqlite3_step(selectFilters_) == SQLITE_ROW) {
      rows.push_back(&decoded_[sqlite3_column_int(selectFilters_, 0) * 100 +
                               sqlite3_column_int(selectFilters_, 1)]);
    }
    sqlite3_reset(selectFilters_);
    std::map<int, Words> read, updated;
    for (const DecodedFilter* row : rows) {
      auto found = updated.find(row->audienceID);
      Words current;
      if (found != updated.end()) {
        current = found->second;
      } else if (auto cached = read.find(row->audienceID); cached != read.end()) {
        current = cached->second;
      } else {
        current = load(row->audienceID);
        read[row->audienceID] = current;
      }
      const std::size_t index = static_cast<std::size_t>(row->filterID / 64);
      const std::uint64_t bit = std::uint64_t{1} << (row->filterID % 64);
      const bool wasTrue = index < current.status.size() && index < current.results.size() &&
                           (current.status[index] & bit) && (current.results[index] & bit);
      if (wasTrue && !row->dynamic) continue;
      const auto outcome =
          APMAudienceEvaluateEventFilter(row->message, event.name, event.parameters, &aggregates);
      if (!outcome) continue;
      if (current.status.size() <= index) current.status.resize(index + 1);
      if (current.results.size() <= index) current.results.resize(index + 1);
      current.status[index] |= bit;
      if (*outcome || wasTrue) {
        current.results[index] |= bit;
      } else {
        current.results[index] &= ~bit;
      }
      updated[row->audienceID] = current;
    }
    for (const auto& [audienceID, words] : updated) {
      std::vector<std::uint64_t> blob = words.status;
      blob.insert(blob.end(), words.results.begin(), words.results.end());
      sqlite3_bind_int(upsert_, 1, audienceID);
      sqlite3_bind_blob(upsert_, 2, blob.data(), static_cast<int>(blob.size() * 8),
                        SQLITE_TRANSIENT);
      sqlite3_step(upsert_);
      sqlite3_reset(upsert_);
    }
  }

 private:
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
    return statement;
  }
  Words load(int audienceID) {
    Words words;
    sqlite3_bind_int(selectResult_, 1, audienceID);
    if (sqlite3_step(selectResult_) == SQLITE_ROW) {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(selectResult_, 0));
      const std::size_t count =
          static_cast<std::size_t>(sqlite3_column_bytes(selectResult_, 0)) / 8;
      std::vector<std::uint64_t> all(count);
      if (count) std::memcpy(all.data(), bytes, count * 8);
      words.status.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count / 2));
      words.results.assign(all.begin() + static_cast<std::ptrdiff_t>(count / 2), all.end());
    }
    sqlite3_reset(selectResult_);
    return words;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* selectFilters_ = nullptr;
  sqlite3_stmt* selectResult_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  std::map<int, DecodedFilter> decoded_;
};

void BM_ReferenceCApiDecodedOnce(benchmark::State& state) {
  Reference reference;
  for (auto _ : state) {
    state.PauseTiming();
    reference.reset();
    Counts counts;
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    const auto& all = events();
    for (int start = 0; start < kEvents; start += kPerTransaction) {
      reference.exec("BEGIN EXCLUSIVE");
      for (int k = start; k < start + kPerTransaction; ++k) {
        const auto& event = all[static_cast<std::size_t>(k)];
        reference.evaluate(event, *counts.count(event));
      }
      reference.exec("COMMIT");
    }
    keepBest(bestReferenceSeconds, started);
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_ReferenceCApiDecodedOnce)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// --- In memory alone: no database, filters decoded once (no goal) ---

void BM_InMemoryDecodedOnce(benchmark::State& state) {
  std::map<std::string, std::vector<DecodedFilter>> byName;
  for (int a = 0; a < kAudiences; ++a) {
    for (int i = 0; i < kFiltersPerAudience; ++i)
      byName[nameOf(a + i)].push_back({a, i, i % 2 == 1, filterOf(a, i)});
  }
  for (auto _ : state) {
    std::map<int, Words> results;
    Counts counts;
    for (const auto& event : events()) {
      const auto aggregates = counts.count(event);
      for (const auto& row : byName[event.name]) {
        Words& words = results[row.audienceID];
        const std::uint64_t bit = std::uint64_t{1} << row.filterID;
        if (words.status.empty()) words.status.assign(1, 0), words.results.assign(1, 0);
        const bool wasTrue = (words.status[0] & bit) && (words.results[0] & bit);
        if (wasTrue && !row.dynamic) continue;
        const auto outcome = APMAudienceEvaluateEventFilter(row.message, event.name,
                                                            event.parameters, aggregates.get());
        if (!outcome) continue;
        words.status[0] |= bit;
        if (*outcome || wasTrue) words.results[0] |= bit;
      }
    }
    benchmark::DoNotOptimize(results);
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_InMemoryDecodedOnce)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (bestEvaluatorSeconds > 0 && bestReferenceSeconds > 0) {
    std::printf("evaluator / reference time: %.2f (goal: at most 3)\n",
                bestEvaluatorSeconds / bestReferenceSeconds);
  }
  return 0;
}
