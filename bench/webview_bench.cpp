// Script messages through the web view bridge: 10,000 messages with a 10-entry map body, posted
// by a page of the simulated engine and delivered to the application side over the in-process
// driver (an announcement and a call each), against the same 20,000 messages' standard values
// sent with pigeon's callApplication. The goal is the bridge within 2 times of the plain sends.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/webkit/user_content_controller.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "plugins/webview_flutter_wkwebview/messages.h"
#include "plugins/webview_flutter_wkwebview/user_content_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

namespace {

using platform::Value;

constexpr int kMessages = 10000;
const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";
const std::string kAnnounce = kPrefix + "WKScriptMessage.pigeon_newInstance";
const std::string kCall = kPrefix + "WKScriptMessageHandler.didReceiveScriptMessage";

Value body() {
  platform::ValueMap map;
  for (int i = 0; i < 10; ++i)
    map[Value("key" + std::to_string(i))] = i % 2 ? Value(i) : Value("value " + std::to_string(i));
  return Value(std::move(map));
}

// One engine with the plugin and an application side that answers [null] and counts.
struct Bridge {
  Bridge() {
    engine = flutter::Engine::create();
    webview::WebViewFlutterPlugin::registerWith(
        engine->registrarForPlugin(webview::WebViewFlutterPlugin::kKey));
    registrar = std::dynamic_pointer_cast<webview::WebViewFlutterPlugin>(
                    engine->valuePublishedByPlugin(webview::WebViewFlutterPlugin::kKey))
                    ->proxyApiRegistrar();
    driver = flutter::InProcessDriver::attach(engine);
    const auto nullReply =
        webview::WebKitLibraryPigeonCodec::shared()->encode(Value::list({Value()}));
    for (const auto& channel : {kAnnounce, kCall}) {
      driver->setAnswer(channel, [this, nullReply](const platform::Bytes&) {
        answered.fetch_add(1, std::memory_order_relaxed);
        return nullReply;
      });
    }
  }
  ~Bridge() {
    driver->detach();
    platform::MainLoop::instance().drain();
    engine->shutDown();
  }
  void waitFor(long count) {
    while (answered.load(std::memory_order_relaxed) < count)
      platform::MainLoop::instance().drain();
  }

  flutter::EnginePtr engine;
  std::shared_ptr<webview::ProxyApiRegistrar> registrar;
  std::shared_ptr<flutter::InProcessDriver> driver;
  std::atomic<long> answered{0};
};

// `burst`: the page posts all 10,000 messages before the main loop delivers any (the engine
// holds them all, so delivery reads them back from memory that has gone cold); otherwise each
// message is delivered before the next is posted, as the plain sends below are delivered one
// by one.
void scriptMessages(benchmark::State& state, bool burst) {
  Bridge bridge;
  const Value message = body();
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh registry per round: the application side never releases the messages here.
    auto& manager = bridge.registrar->instanceManager();
    manager.removeAllObjects();
    auto controller = std::make_shared<platform::webkit::UserContentController>();
    auto handler = std::make_shared<webview::ScriptMessageHandlerImpl>(bridge.registrar);
    manager.addDartCreatedInstance(handler, 20);
    manager.addDartCreatedInstance(controller, 30);
    controller->addScriptMessageHandler(handler, "bridge");
    const long start = bridge.answered.load();
    state.ResumeTiming();

    for (int i = 0; i < kMessages; ++i) {
      controller->postScriptMessage("bridge", message);
      if (!burst) bridge.waitFor(start + 2L * (i + 1));
    }
    bridge.waitFor(start + 2L * kMessages);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_ScriptMessagesThroughTheBridge(benchmark::State& state) {
  scriptMessages(state, false);
}
BENCHMARK(BM_ScriptMessagesThroughTheBridge)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScriptMessagesThroughTheBridgeInABurst(benchmark::State& state) {
  scriptMessages(state, true);
}
BENCHMARK(BM_ScriptMessagesThroughTheBridgeInABurst)->Unit(benchmark::kMillisecond)->Iterations(5);

// The same traffic as standard values: [identifier, name, body] and [handler, controller,
// message] with the references as plain integers.
void BM_SameValuesWithCallApplication(benchmark::State& state) {
  Bridge bridge;
  const Value message = body();
  const auto codec = webview::WebKitLibraryPigeonCodec::shared();
  const auto messenger = bridge.engine;
  for (auto _ : state) {
    const long target = bridge.answered.load() + 2L * kMessages;
    for (int i = 0; i < kMessages; ++i) {
      const std::int64_t id = 65536 + i;
      pigeon::callApplication(messenger, codec, kAnnounce, {Value(id), Value("bridge"), message},
                              false, [](pigeon::CallResult) {});
      pigeon::callApplication(messenger, codec, kCall, {Value(20), Value(30), Value(id)}, false,
                              [](pigeon::CallResult) {});
    }
    bridge.waitFor(target);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_SameValuesWithCallApplication)->Unit(benchmark::kMillisecond)->Iterations(5);

// Prints the runs as usual, then the bridge's CPU time over the plain sends' for each pairing.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (!run.error_occurred) cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto reference = cpu_.find("BM_SameValuesWithCallApplication");
    if (reference == cpu_.end() || reference->second <= 0) return;
    for (const auto& [name, label] :
         {std::pair<std::string, std::string>{"BM_ScriptMessagesThroughTheBridge", "one by one"},
          {"BM_ScriptMessagesThroughTheBridgeInABurst", "in a burst"}}) {
      if (auto it = cpu_.find(name); it != cpu_.end()) {
        std::printf("bridge %s / callApplication (CPU): %.2fx (goal: within 2x)\n", label.c_str(),
                    it->second / reference->second);
      }
    }
  }

 private:
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
