// The measurement SQLite store: insert-or-replace through the statement cache against preparing
// the same statement for every record (what the store did before it cached the statements it
// builds), and reading rows back. Records carry a 1 KiB blob, bound without a copy.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "measurement/storage/apm_sqlite_store.h"

namespace {

class ScratchStore {
 public:
  ScratchStore() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumora-store-bench-XXXXXX").string();
    folder_ = mkdtemp(pattern.data()) ? pattern : std::string();
    store_ = APMSqliteStore::initWithDatabasePath(folder_ + "/bench.sql", nullptr);
    store_->executeSQL("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT "
                       "NULL, retry_count INTEGER)",
                       nullptr);
  }
  ~ScratchStore() {
    store_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  APMSqliteStore& store() { return *store_; }

 private:
  std::string folder_;
  std::shared_ptr<APMSqliteStore> store_;
};

APMSqliteRecord record(std::int64_t n) {
  return {
      {platform::Value("data"), platform::Value(platform::Bytes(1024, 0x5a))},
      {platform::Value("bundle_end_timestamp"), platform::Value(1.7e9 + static_cast<double>(n))},
      {platform::Value("retry_count"), platform::Value(n)}};
}

// 100 records in one transaction per iteration.
void BM_UpsertCached(benchmark::State& state) {
  ScratchStore scratch;
  std::int64_t n = 0;
  for (auto _ : state) {
    scratch.store().performTransactionWithError(nullptr, [&] {
      for (int i = 0; i < 100; ++i)
        scratch.store().upsertRecord(record(n++), "queue", nullptr);
      return true;
    });
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_UpsertCached);

void BM_UpsertPreparedEachTime(benchmark::State& state) {
  ScratchStore scratch;
  const std::string sql =
      "INSERT OR REPLACE INTO queue (bundle_end_timestamp, data, retry_count) VALUES (?, ?, ?);";
  std::int64_t n = 0;
  for (auto _ : state) {
    scratch.store().performTransactionWithError(nullptr, [&] {
      for (int i = 0; i < 100; ++i) {
        const auto values = record(n++);
        platform::ValueList parameters;
        for (const auto& [column, value] : values)
          parameters.push_back(value);
        sqlite3_stmt* statement = scratch.store().prepareSQL(sql, nullptr);
        scratch.store().bindValues(parameters, statement, nullptr);
        scratch.store().executeSQLStatement(statement, nullptr);
      }
      return true;
    });
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_UpsertPreparedEachTime);

void BM_RecordsForQuery(benchmark::State& state) {
  ScratchStore scratch;
  scratch.store().performTransactionWithError(nullptr, [&] {
    for (int i = 0; i < 1000; ++i)
      scratch.store().upsertRecord(record(i), "queue", nullptr);
    return true;
  });
  for (auto _ : state) {
    auto rows = scratch.store().recordsForQuery("SELECT rowid, * FROM queue ORDER BY rowid LIMIT ?",
                                                {platform::Value(1000)}, nullptr);
    benchmark::DoNotOptimize(rows);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_RecordsForQuery);

}  // namespace

BENCHMARK_MAIN();
