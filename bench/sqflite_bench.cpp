// The SQLite plugin against the SQLite C API in the same process: 10,000 rows inserted inside a
// transaction (the plugin through one "batch" call), then read back with one query. The plugin
// path includes the channel codec (every call is encoded and every reply decoded as the
// application's side does), the hops to the database's queue and back to the main loop, and the
// value conversion. CPU time is the whole process's: the plugin does its SQLite work on the
// database's queue, which the benchmark thread's own CPU time would leave out.
//
//   build/bench/sqflite_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_ratios.h"
#include "platform/core/value.h"
#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "plugins/sqflite/sqflite_plugin.h"

namespace {

using platform::Value;
using platform::ValueList;

constexpr int kRows = 10000;
constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS item (id INTEGER PRIMARY KEY, name TEXT, amount REAL)";
constexpr const char* kInsert = "INSERT INTO item (name, amount) VALUES (?, ?)";
constexpr const char* kSelect = "SELECT id, name, amount FROM item";

std::string freshPath(const char* name) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumora-sqflite-bench";
  std::filesystem::create_directories(dir);
  std::filesystem::path path = dir / name;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(path.string() + suffix);
  }
  return path.string();
}

std::string nameOf(int i) {
  return "item-" + std::to_string(i);
}

// ---- Direct C API ---------------------------------------------------------------------------

struct Row {
  std::int64_t id;
  std::string name;
  double amount;
};

void exec(sqlite3* db, const char* sql) {
  sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

void directInsert(sqlite3* db) {
  exec(db, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kInsert, -1, &st, nullptr);
  for (int i = 0; i < kRows; ++i) {
    std::string name = nameOf(i);
    sqlite3_bind_text(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(st, 2, i * 0.5);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  exec(db, "COMMIT");
}

std::vector<Row> directQuery(sqlite3* db) {
  std::vector<Row> rows;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kSelect, -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(st, 1);
    rows.push_back(Row{sqlite3_column_int64(st, 0),
                       std::string(reinterpret_cast<const char*>(text),
                                   static_cast<std::size_t>(sqlite3_column_bytes(st, 1))),
                       sqlite3_column_double(st, 2)});
  }
  sqlite3_finalize(st);
  return rows;
}

void BM_DirectInsert(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open(freshPath("direct.db").c_str(), &db);
  exec(db, kCreate);
  for (auto _ : state) {
    state.PauseTiming();
    exec(db, "DELETE FROM item");
    state.ResumeTiming();
    directInsert(db);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_close(db);
}
BENCHMARK(BM_DirectInsert)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_DirectQuery(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open(freshPath("direct-query.db").c_str(), &db);
  exec(db, kCreate);
  directInsert(db);
  for (auto _ : state) {
    auto rows = directQuery(db);
    if (rows.size() != kRows) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_close(db);
}
BENCHMARK(BM_DirectQuery)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// ---- Through the plugin's channel -----------------------------------------------------------

class PluginFixture {
 public:
  explicit PluginFixture(const char* file) {
    engine_ = flutter::Engine::create();
    sqflite::SqflitePlugin::registerWithRegistrar(engine_->registrarForPlugin("SqflitePlugin"));
    auto opened = call("openDatabase", Value::map({{Value("path"), Value(freshPath(file))}}));
    const Value* id = opened.value().find(Value("id"));
    id_ = id ? id->asInt() : -1;
    call("execute", args({{"sql", kCreate}}));
  }
  ~PluginFixture() { call("closeDatabase", args({})); }

  Value args(std::initializer_list<std::pair<const Value, Value>> items) const {
    Value m = Value::map(items);
    m.set(Value("id"), Value(id_));
    return m;
  }

  // Sends the call as the application's side does (encoded with the method codec), runs the
  // main loop until the reply is in, and decodes it. The main loop sleeps until work is posted,
  // so no polling interval is part of the figure.
  flutter::MethodResponse call(const std::string& method, const Value& arguments,
                               bool* ok = nullptr) {
    return call(flutter::MethodCall{method, arguments}, ok);
  }
  // The call made up front: a MethodCall built inside the timed loop would copy the whole
  // argument value (10,000 entries for a batch) on every run, which is the benchmark's own work.
  flutter::MethodResponse call(const flutter::MethodCall& methodCall, bool* ok = nullptr) {
    auto codec = flutter::StandardMethodCodec::sharedInstance();
    auto reply = std::make_shared<platform::Bytes>();
    engine_->dispatchFromApplication(sqflite::kSqfliteChannelName,
                                     codec->encodeMethodCall(methodCall),
                                     [reply](const platform::Bytes& bytes) {
                                       *reply = bytes;
                                       platform::MainLoop::instance().quit();
                                     });
    platform::MainLoop::instance().run();
    auto response = codec->decodeEnvelope(*reply);
    bool success = response && response->isSuccess();
    if (ok) *ok = success;
    if (!success) return flutter::MethodResponse(Value());
    // Handed back whole, not copied: a copy of a reply of 10,000 rows would be the benchmark's
    // own work, not the plugin's.
    return std::move(*response);
  }

  // One "batch" call of kRows inserts. A batch runs at once even while a transaction id is
  // open, so it needs none.
  flutter::MethodCall batchCall(bool noResult) const {
    return {"batch", args({{"operations", insertOperations()}, {"noResult", noResult}})};
  }

  // The batch between BEGIN and COMMIT under a transaction id.
  bool insertAll(const flutter::MethodCall& batch, bool noResult) {
    bool ok = false;
    auto begun =
        call("execute",
             args({{"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}}), &ok);
    if (!ok) return false;
    Value transactionId = *begun.value().find(Value("transactionId"));
    auto results = call(batch, &ok);
    if (!ok || (!noResult && results.value().size() != kRows)) return false;
    call("execute",
         args({{"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", transactionId}}),
         &ok);
    return ok;
  }

  static Value insertOperations() {
    ValueList operations;
    operations.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
      operations.push_back(
          Value::map({{Value("method"), Value("insert")},
                      {Value("sql"), Value(kInsert)},
                      {Value("arguments"), Value::list({Value(nameOf(i)), Value(i * 0.5)})}}));
    }
    return Value(std::move(operations));
  }

 private:
  flutter::EnginePtr engine_;
  std::int64_t id_ = -1;
};

void pluginInsert(benchmark::State& state, bool noResult) {
  PluginFixture plugin(noResult ? "plugin-noresult.db" : "plugin.db");
  // Building the call's values is the application's side of the work, not the plugin's;
  // encoding them is timed.
  const flutter::MethodCall batch = plugin.batchCall(noResult);
  for (auto _ : state) {
    state.PauseTiming();
    plugin.call("execute", plugin.args({{"sql", "DELETE FROM item"}}));
    state.ResumeTiming();
    if (!plugin.insertAll(batch, noResult)) state.SkipWithError("batch failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_PluginBatchInsert(benchmark::State& state) {
  pluginInsert(state, false);
}
BENCHMARK(BM_PluginBatchInsert)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_PluginBatchInsertNoResult(benchmark::State& state) {
  pluginInsert(state, true);
}
BENCHMARK(BM_PluginBatchInsertNoResult)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_PluginQuery(benchmark::State& state) {
  PluginFixture plugin("plugin-query.db");
  plugin.insertAll(plugin.batchCall(true), true);
  for (auto _ : state) {
    auto result = plugin.call("query", plugin.args({{"sql", kSelect}}));
    const Value* rows = result.value().find(Value("rows"));
    if (!rows || rows->size() != kRows) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_PluginQuery)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

// The goal's ratio is printed after the runs.
int main(int argc, char** argv) {
  return bench::runWithRatios(
      argc, argv,
      {{"plugin batch insert / direct insert", "BM_PluginBatchInsert", "BM_DirectInsert", 1.5},
       {"plugin query / direct query", "BM_PluginQuery", "BM_DirectQuery", 2.0}});
}
