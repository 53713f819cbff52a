// Event editing per event: handleEvent on an editing object whose program registered two edit
// callbacks (each reads and sets three parameters) and one create callback (logs one event). The
// reference is the engine storing the same event in its real database: the event logged through
// the analytics facade until the worker has written it to "raw_events", in batches of 1,000,
// in the same run and the same folder. Goal: editing an event costs at most writing it.
//
// TMPDIR chooses the folder of the database (the reference waits for the disk at each commit).
//
//   build-rel/bench/script_editing_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>

#include <nlohmann/json.hpp>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/script/apmp_script_event_editing.h"
#include "tools/script_run.h"

namespace {

using Json = nlohmann::ordered_json;
using platform::Value;

constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";
constexpr int kBatch = 1000;

Json S(const std::string& s) {
  return Json{{"s", s}};
}
Json N(double n) {
  return Json{{"n", n}};
}
Json op(const std::string& name, Json args = Json::array()) {
  return Json{{"op", name}, {"args", std::move(args)}};
}
Json get(const std::string& name) {
  return op("15", {S(name)});
}
Json call(const std::string& receiver, const std::string& method, Json args) {
  return op("2", {get(receiver), S(method), op("7", std::move(args))});
}
Json fn(Json body) {
  Json args = {S(""), op("46", {S("e")})};
  for (auto& statement : body)
    args.push_back(std::move(statement));
  return op("51", std::move(args));
}

// An edit callback: reads three parameters and sets each to a value made from what it read.
Json editCallback(const std::string& suffix) {
  Json body = Json::array();
  for (const char* name : {"level", "score", "zone"}) {
    body.push_back(call("e", "setParamValue",
                        {S(name), op("0", {call("e", "getParamValue", {S(name)}),
                                           name == std::string("zone") ? S(suffix) : N(1)})}));
  }
  body.push_back(op("36", {N(1)}));
  return fn(std::move(body));
}

std::shared_ptr<APMPBProgram> program() {
  const Json createCallback =
      fn({op("logger",
             {S("bonus"), call("e", "getTimestamp", Json::array()), op("8", {S("coins"), N(5)})})});
  Json statements = {
      op("41", {S("rc")}),
      op("3", {S("rc"), op("require", {S("internal.registerCallback")})}),
      op("41", {S("logger")}),
      op("3", {S("logger"), op("require", {S("internal.eventLogger")})}),
      op("rc", {S("a"), editCallback("-a"), op("8", {S("type"), S("edit")})}),
      op("rc", {S("b"), editCallback("-b"), op("8", {S("type"), S("edit")})}),
      op("rc", {S("c"), createCallback, op("8", {S("type"), S("create")})}),
  };
  return lumora::scriptrun::programFromJson(statements);
}

platform::ValueMap parameters() {
  return {{Value("level"), Value(std::int64_t{7})},
          {Value("character"), Value("mage")},
          {Value("score"), Value(1250.5)},
          {Value("zone"), Value("zone-3")},
          {Value("_o"), Value("app")}};
}

void BM_HandleEventTwoEditsOneCreate(benchmark::State& state) {
  APMPScriptEventEditing editing;
  platform::ErrorPtr error;
  editing.loadProgram(*program(), &error);
  if (error) {
    state.SkipWithError("the program did not load");
    return;
  }
  const APMPEvent event = APMPEvent::initWithName("level_up", 1700000000.25, parameters());
  for (auto _ : state) {
    editing.handleEvent(event, &error);
    benchmark::DoNotOptimize(editing.eventContext().outputEvent.parameters.size());
  }
  if (error || !editing.hasEdits() || editing.eventContext().eventsToLog.size() != 1) {
    state.SkipWithError("the callbacks did not edit and create as expected");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleEventTwoEditsOneCreate)->Unit(benchmark::kMicrosecond);

// ---- the reference: the engine writes the event

std::shared_ptr<ZEVOveverizuru> core() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

void afterQueuedEvents() {
  std::promise<void> done;
  APMAnalytics::queueOperationWithBlock([&] {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("bench", [&] { done.set_value(); });
  });
  done.get_future().wait();
}

void startEngine() {
  static const bool started = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumora-editing-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    setenv("LUMORA_HOME", pattern.c_str(), 1);
    APMAnalytics::startWithAppID(kAppID, "app", {});
    for (int i = 0; i < 10000 && !(core() && core()->database()); ++i)
      usleep(1000);
    if (!core() || !core()->database()) std::abort();
    afterQueuedEvents();
    return true;
  }();
  (void)started;
}

void BM_EngineWritesTheEvent(benchmark::State& state) {
  startEngine();
  platform::ValueMap p = parameters();
  p.erase(Value("_o"));
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i)
      APMAnalytics::logEventWithName("level_up", p);
    afterQueuedEvents();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_EngineWritesTheEvent)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
