// Raw-event rows through the measurement database: 10,000 rows of one metadata fingerprint (an
// event with 8 parameters each) inserted in transactions of 1,000. The reference is the same
// rows through one prepared statement of the SQLite C API, in the same transactions, on a
// connection with SQLite's defaults to a file in the same folder. Goal: the database's insert of
// ready rows within 1.5 times the reference. Also measured: insertRawEvent from ready events,
// the row conversion included.
//
//   build-release/bench/measurement_database_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/storage/apm_file_locations.h"

namespace {

using platform::Value;

constexpr int kRows = 10000;
constexpr int kPerTransaction = 1000;
constexpr std::int64_t kFingerprint = 0x1234567890;

// The state root for the run: a fresh folder under the temporary directory.
std::string scratchHome() {
  static const std::string home = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumora-database-bench-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    setenv("LUMORA_HOME", made ? made : "/tmp", 1);
    return std::string(made ? made : "/tmp");
  }();
  return home;
}

std::vector<std::shared_ptr<APMEvent>> events() {
  std::vector<std::shared_ptr<APMEvent>> out;
  out.reserve(kRows);
  for (int i = 0; i < kRows; ++i) {
    platform::ValueMap parameters{{Value("currency"), Value("EUR")},
                                  {Value("value"), Value(12.5 + i)},
                                  {Value("transaction_id"), Value("T-" + std::to_string(i))},
                                  {Value("quantity"), Value(std::int64_t{i % 7})},
                                  {Value("coupon"), Value("WINTER")},
                                  {Value("shipping"), Value(4.99)},
                                  {Value("tax"), Value(std::int64_t{21})}};
    // With "_o" the event holds 8 parameters.
    out.push_back(
        APMEvent::initWithOrigin("app", false, "purchase", 1.7e9 + i, 0, std::move(parameters)));
  }
  return out;
}

std::vector<APMSqliteRecord> readyRows() {
  std::vector<APMSqliteRecord> rows;
  rows.reserve(kRows);
  for (const auto& event : events()) {
    const auto raw = APMRawEventData::initWithEvent(event, 0, kFingerprint);
    rows.push_back(*APMDictionaryFromRawEvent(raw.get(), false, nullptr));
  }
  return rows;
}

std::shared_ptr<APMDatabase> openDatabase() {
  scratchHome();
  auto database = APMDatabase::initWithDatabaseName(APMDatabaseFileName, nullptr, nullptr);
  if (!database) std::abort();
  return database;
}

void emptyRawEvents(APMDatabase& database) {
  database.store()->executeSQL("DELETE FROM raw_events", nullptr);
}

void BM_DatabaseInsertReadyRows(benchmark::State& state) {
  auto database = openDatabase();
  const auto rows = readyRows();
  for (auto _ : state) {
    state.PauseTiming();
    emptyRawEvents(*database);
    state.ResumeTiming();
    for (int start = 0; start < kRows; start += kPerTransaction) {
      database->performTransaction([&] {
        for (int i = start; i < start + kPerTransaction; ++i) {
          if (!database->insertDataType(rows[i], "raw_events", nullptr)) return false;
        }
        return true;
      });
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_DatabaseInsertReadyRows)->Unit(benchmark::kMillisecond);

void BM_DatabaseInsertRawEvent(benchmark::State& state) {
  auto database = openDatabase();
  const auto ready = events();
  for (auto _ : state) {
    state.PauseTiming();
    emptyRawEvents(*database);
    state.ResumeTiming();
    for (int start = 0; start < kRows; start += kPerTransaction) {
      database->performTransaction([&] {
        for (int i = start; i < start + kPerTransaction; ++i) {
          if (!database->insertRawEvent(ready[i], kFingerprint, false, nullptr)) return false;
        }
        return true;
      });
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_DatabaseInsertRawEvent)->Unit(benchmark::kMillisecond);

// The reference: the same rows, one prepared statement, SQLite's defaults.
void BM_DirectPreparedStatement(benchmark::State& state) {
  const std::string path = scratchHome() + "/direct.sql";
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS raw_events ( name TEXT NOT NULL, timestamp REAL NOT "
               "NULL, metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime "
               "INTEGER)",
               nullptr, nullptr, nullptr);
  const auto rows = readyRows();
  const auto column = [](const APMSqliteRecord& row, const char* name) -> const Value& {
    return row.at(Value(name));
  };
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, "
                     "name, timestamp) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(db, "DELETE FROM raw_events", nullptr, nullptr, nullptr);
    state.ResumeTiming();
    for (int start = 0; start < kRows; start += kPerTransaction) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      for (int i = start; i < start + kPerTransaction; ++i) {
        const auto& row = rows[i];
        const auto& data = column(row, "data").asBytes();
        const auto& name = column(row, "name").asString();
        sqlite3_bind_blob(insert, 1, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, column(row, "is_realtime").asInt());
        sqlite3_bind_int64(insert, 3, column(row, "metadata_fingerprint").asInt());
        sqlite3_bind_text(insert, 4, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        sqlite3_bind_double(insert, 5, column(row, "timestamp").asDouble());
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
      sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_DirectPreparedStatement)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
