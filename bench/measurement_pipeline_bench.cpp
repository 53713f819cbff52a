// The road of an event: 10,000 events of five parameters logged through the analytics facade,
// timed until the worker has stored them all in "raw_events" (each event commits its own
// transaction, with its daily counts, aggregates and metadata). The reference is the same
// "raw_events" rows (read back from the engine's database) inserted with one prepared statement
// of the SQLite C API into a database of the same schema and settings in the same folder, one
// exclusive transaction per row. Goal: the facade's rate at least half the reference's (run
// both: the reference prints the share as "facade_share").
//
// Each commit waits for the disk; TMPDIR chooses the folder of both databases (a memory-backed
// one, e.g. /dev/shm, leaves the processor work alone).
//
//   TMPDIR=/dev/shm build-rel/bench/measurement_pipeline_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_sqlite_store.h"
#include "zevevidi/utilities/gul_gzip.h"

namespace {

using platform::Value;

constexpr int kEvents = 10000;
constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";

// The state root for the run: a fresh folder under the temporary directory.
const std::string& scratchHome() {
  static const std::string home = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumora-pipeline-bench-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    if (!made) std::abort();
    setenv("LUMORA_HOME", made, 1);
    return std::string(made);
  }();
  return home;
}

std::shared_ptr<ZEVOveverizuru> core() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

// Runs `body` on the worker queue after everything the facade has queued so far (the facade's
// serial queue hands each event to the worker queue in order) and waits for it.
void afterQueuedEvents(std::function<void()> body = [] {}) {
  std::promise<void> done;
  APMAnalytics::queueOperationWithBlock([&] {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("bench", [&] {
      body();
      done.set_value();
    });
  });
  done.get_future().wait();
}

// The facade started once for the process, with the worker idle.
void startEngine() {
  static const bool started = [] {
    scratchHome();
    APMAnalytics::startWithAppID(kAppID, "app", {});
    for (int i = 0; i < 10000 && !(core() && core()->database()); ++i)
      usleep(1000);
    if (!core() || !core()->database()) std::abort();
    afterQueuedEvents();
    return true;
  }();
  (void)started;
}

platform::ValueMap parameters(int i) {
  return {{Value("level"), Value(std::int64_t{i % 90})},
          {Value("character"), Value("mage")},
          {Value("score"), Value(1250.5 + i)},
          {Value("zone"), Value("zone-" + std::to_string(i % 12))},
          {Value("bonus"), Value(std::int64_t{i % 3})}};
}

std::int64_t storedEvents() {
  std::int64_t count = -1;
  afterQueuedEvents([&] {
    count = core()
                ->database()
                ->store()
                ->rowCountForTableWithName("raw_events", "name", Value("level_up"), nullptr)
                .value_or(-1);
  });
  return count;
}

// Empties "raw_events" and today's counts, so every pass stores all its events.
void resetStoredEvents() {
  afterQueuedEvents([] {
    auto database = core()->database();
    database->store()->executeSQL("DELETE FROM raw_events", nullptr);
    const auto counts = APMDailyCounts::initWithDay(database->currentDayNumber(), 0, 0, 0, 0, 0, 0);
    database->updateDailyCounts(counts.get(), nullptr);
  });
}

// The facade's rate in this run (events per second of its timed passes), for the reference to
// print the share it reaches; 0 when it did not run.
double gFacadeEventsPerSecond = 0;

void BM_FacadeToRawEvents(benchmark::State& state) {
  startEngine();
  const auto all = [] {
    std::vector<platform::ValueMap> out;
    for (int i = 0; i < kEvents; ++i)
      out.push_back(parameters(i));
    return out;
  }();
  std::chrono::duration<double> timed{0};
  for (auto _ : state) {
    state.PauseTiming();
    resetStoredEvents();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& p : all)
      APMAnalytics::logEventWithName("level_up", p);
    afterQueuedEvents();
    timed += std::chrono::steady_clock::now() - start;
  }
  const auto stored = storedEvents();
  if (stored != kEvents) {
    state.SkipWithError(("stored " + std::to_string(stored) + " of the events").c_str());
  } else if (timed.count() > 0) {
    gFacadeEventsPerSecond = static_cast<double>(state.iterations() * kEvents) / timed.count();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_FacadeToRawEvents)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

struct RawRow {
  std::string name;
  std::int64_t timestamp = 0;
  std::int64_t fingerprint = 0;
  std::vector<unsigned char> data;
  std::int64_t realtime = 0;
};

// The engine's rows of one pass and the CREATE statements of its database.
struct EngineOutput {
  std::vector<RawRow> rows;
  std::vector<std::string> schema;
};

// The rows of the facade benchmark's last pass, or of a pass of their own when it did not run.
const EngineOutput& engineOutput() {
  static const EngineOutput output = [] {
    startEngine();
    if (storedEvents() != kEvents) {
      resetStoredEvents();
      for (int i = 0; i < kEvents; ++i)
        APMAnalytics::logEventWithName("level_up", parameters(i));
      afterQueuedEvents();
    }
    EngineOutput out;
    sqlite3* db = nullptr;
    const std::string path = APMFilePathForDatabaseName(APMDatabaseFileName);
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      std::abort();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND sql NOT NULL",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW)
      out.schema.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    sqlite3_prepare_v2(db,
                       "SELECT name, timestamp, metadata_fingerprint, data, is_realtime FROM "
                       "raw_events WHERE name = 'level_up' ORDER BY rowid",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      RawRow row;
      row.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      row.timestamp = sqlite3_column_int64(statement, 1);
      row.fingerprint = sqlite3_column_int64(statement, 2);
      const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 3));
      row.data.assign(bytes, bytes + sqlite3_column_bytes(statement, 3));
      row.realtime = sqlite3_column_int64(statement, 4);
      out.rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (out.rows.size() != static_cast<std::size_t>(kEvents)) std::abort();
    return out;
  }();
  return output;
}

void BM_RawInsertOneTransactionPerRow(benchmark::State& state) {
  const auto& engine = engineOutput();
  const std::string path = scratchHome() + "/reference.sql";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  for (const auto& create : engine.schema)
    sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  std::chrono::duration<double> timed{0};
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(db, "DELETE FROM raw_events", nullptr, nullptr, nullptr);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& row : engine.rows) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      sqlite3_bind_text(insert, 1, row.name.data(), static_cast<int>(row.name.size()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(insert, 2, row.timestamp);
      sqlite3_bind_int64(insert, 3, row.fingerprint);
      sqlite3_bind_blob(insert, 4, row.data.data(), static_cast<int>(row.data.size()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, row.realtime);
      if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
      sqlite3_reset(insert);
      sqlite3_exec(db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr);
    }
    timed += std::chrono::steady_clock::now() - start;
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kEvents);
  // The goal: the facade at 0.5 of this rate or more.
  if (gFacadeEventsPerSecond > 0 && timed.count() > 0) {
    const double rowsPerSecond = static_cast<double>(state.iterations() * kEvents) / timed.count();
    state.counters["facade_share"] = gFacadeEventsPerSecond / rowsPerSecond;
  }
}
BENCHMARK(BM_RawInsertOneTransactionPerRow)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// ---- Bundling ----
//
// The same 10,000 stored "level_up" rows bundled by the core (bundleRawEvents until nothing is
// left: batches of the configured size, aggregates, daily counts and app metadata kept, events
// deleted, each bundle gzipped into "queue", one exclusive transaction per batch). The reference
// reads the rows with the SQLite C API from a database of the same schema, decodes them, encodes
// one bundle per 1,000 events with the codec, gzips it and inserts it into "queue", one exclusive
// transaction per bundle. Goal: the core's rate at least a third of the reference's.

constexpr int kEventsPerBundle = 1000;  // the default "measurement.upload.max_events_per_bundle"

struct MetadataRow {
  std::int64_t fingerprint = 0;
  std::vector<unsigned char> data;
};

// The metadata rows the stored events point at, read before any bundling deletes them.
const std::vector<MetadataRow>& engineMetadata() {
  static const std::vector<MetadataRow> rows = [] {
    engineOutput();
    std::vector<MetadataRow> out;
    sqlite3* db = nullptr;
    const std::string path = APMFilePathForDatabaseName(APMDatabaseFileName);
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      std::abort();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT metadata_fingerprint, metadata FROM raw_events_metadata", -1,
                       &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      MetadataRow row;
      row.fingerprint = sqlite3_column_int64(statement, 0);
      const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 1));
      row.data.assign(bytes, bytes + sqlite3_column_bytes(statement, 1));
      out.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (out.empty()) std::abort();
    return out;
  }();
  return rows;
}

// Puts the rows (and their metadata) back into "raw_events" of `db` and empties "queue".
bool refillRawEvents(sqlite3* db, const EngineOutput& engine,
                     const std::vector<MetadataRow>& metadata) {
  bool ok = sqlite3_exec(db,
                         "BEGIN EXCLUSIVE TRANSACTION; DELETE FROM raw_events; DELETE FROM "
                         "queue",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) "
                     "VALUES (?, ?)",
                     -1, &insert, nullptr);
  for (const auto& row : metadata) {
    sqlite3_bind_int64(insert, 1, row.fingerprint);
    sqlite3_bind_blob(insert, 2, row.data.data(), static_cast<int>(row.data.size()), SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE && ok;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  for (const auto& row : engine.rows) {
    sqlite3_bind_text(insert, 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, row.timestamp);
    sqlite3_bind_int64(insert, 3, row.fingerprint);
    sqlite3_bind_blob(insert, 4, row.data.data(), static_cast<int>(row.data.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 5, row.realtime);
    ok = sqlite3_step(insert) == SQLITE_DONE && ok;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  return sqlite3_exec(db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
}

std::int64_t countRows(sqlite3* db, const char* query) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, query, -1, &statement, nullptr);
  const std::int64_t n =
      sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  return n;
}

// Seconds of one core bundling pass (the last one run), for the reference's ratio counter.
double coreBundlingSeconds = 0;

void BM_BundleStoredEvents(benchmark::State& state) {
  const auto& engine = engineOutput();
  const auto& metadata = engineMetadata();
  // A second connection to the core's database refills it between passes, while the worker is
  // idle.
  sqlite3* db = nullptr;
  const std::string path = APMFilePathForDatabaseName(APMDatabaseFileName);
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    state.SkipWithError("cannot open the core's database");
    return;
  }
  sqlite3_busy_timeout(db, 5000);
  std::int64_t bundles = 0;
  for (auto _ : state) {
    state.PauseTiming();
    afterQueuedEvents();
    if (!refillRawEvents(db, engine, metadata)) {
      state.SkipWithError(sqlite3_errmsg(db));
      break;
    }
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    afterQueuedEvents([&] {
      bundles = 0;
      while (core()->bundleRawEvents())
        ++bundles;
    });
    coreBundlingSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  const auto left = countRows(db, "SELECT COUNT(*) FROM raw_events");
  const auto queued = countRows(db, "SELECT COUNT(*) FROM queue");
  sqlite3_close(db);
  if (left != 0 || queued != bundles || queued < kEvents / kEventsPerBundle) {
    state.SkipWithError(
        ("left " + std::to_string(left) + " rows, queued " + std::to_string(queued) + " bundles")
            .c_str());
  }
  state.counters["bundles"] = static_cast<double>(bundles);
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_BundleStoredEvents)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_BundleReferenceReadEncodeGzipInsert(benchmark::State& state) {
  namespace B = apmpb_field::MeasurementBundle;
  const auto& engine = engineOutput();
  const auto& metadata = engineMetadata();
  const std::string path = scratchHome() + "/bundle-reference.sql";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  for (const auto& create : engine.schema)
    sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT rowid, data FROM raw_events WHERE rowid > ? ORDER BY rowid LIMIT ?",
                     -1, &select, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO queue (data, bundle_end_timestamp, is_realtime, retry_count) "
                     "VALUES (?, ?, 0, 0)",
                     -1, &insert, nullptr);
  std::int64_t decoded = 0;
  double referenceSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!refillRawEvents(db, engine, metadata)) {
      state.SkipWithError(sqlite3_errmsg(db));
      break;
    }
    decoded = 0;
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    std::int64_t last = 0;
    for (bool more = true; more;) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      std::vector<std::shared_ptr<APMPBEvent>> events;
      sqlite3_bind_int64(select, 1, last);
      sqlite3_bind_int64(select, 2, kEventsPerBundle);
      while (sqlite3_step(select) == SQLITE_ROW) {
        last = sqlite3_column_int64(select, 0);
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(select, 1));
        if (auto event = APMPBEvent::initWithBuffer(
                bytes, static_cast<std::size_t>(sqlite3_column_bytes(select, 1))))
          events.push_back(std::move(event));
      }
      sqlite3_reset(select);
      more = !events.empty();
      if (more) {
        decoded += static_cast<std::int64_t>(events.size());
        auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
        const auto values = NANOMessageValues(events);
        NANOSetArray(bundle.get(), B::kEvents, &values);
        NANOSetString(bundle.get(), B::kAppId, kAppID);
        const auto encoded = bundle->protoBuffer();
        const auto gzipped =
            encoded ? GULGzip::gul_dataByGzippingData(*encoded, nullptr) : std::nullopt;
        if (!gzipped) {
          state.SkipWithError("encoding failed");
          more = false;
        } else {
          sqlite3_bind_blob(insert, 1, gzipped->data(), static_cast<int>(gzipped->size()),
                            SQLITE_STATIC);
          sqlite3_bind_double(insert, 2, static_cast<double>(last));
          if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
          sqlite3_reset(insert);
        }
      }
      sqlite3_exec(db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr);
    }
    referenceSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  sqlite3_finalize(select);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  if (decoded != kEvents) {
    state.SkipWithError(("decoded " + std::to_string(decoded) + " of the rows").c_str());
  }
  // The core's rate as a share of this one's (goal: at least 0.33), from the last pass of each;
  // run both benchmarks together for it.
  if (coreBundlingSeconds > 0)
    state.counters["core_rate_share"] = referenceSeconds / coreBundlingSeconds;
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_BundleReferenceReadEncodeGzipInsert)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
