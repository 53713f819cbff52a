// Engine stand-in throughput: the standard codec on a typical message (a map of 100 mixed
// values) and a message's round trip through the messenger and the main loop.
#include <benchmark/benchmark.h>

#include "bench/bench_ratios.h"
#include "platform/dispatch/main_loop.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/engine/standard_codec.h"

namespace {

using platform::Value;

Value typicalMessage() {
  platform::ValueMap map;
  for (int i = 0; i < 100; ++i) {
    Value v;
    switch (i % 6) {
    case 0:
      v = Value(i);
      break;
    case 1:
      v = Value(i * 1.5);
      break;
    case 2:
      v = Value("a string value of moderate length #" + std::to_string(i));
      break;
    case 3:
      v = Value(i % 2 == 0);
      break;
    case 4:
      v = Value::list({i, "x", Value()});
      break;
    case 5:
      v = Value(platform::Bytes(32, static_cast<std::uint8_t>(i)));
      break;
    }
    map[Value("key_" + std::to_string(i))] = std::move(v);
  }
  return Value(std::move(map));
}

void BM_EncodeTypicalMessage(benchmark::State& state) {
  auto codec = flutter::StandardMessageCodec::sharedInstance();
  Value message = typicalMessage();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto encoded = codec->encode(message);
    bytes += encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeTypicalMessage);

void BM_DecodeTypicalMessage(benchmark::State& state) {
  auto codec = flutter::StandardMessageCodec::sharedInstance();
  auto encoded = codec->encode(typicalMessage());
  for (auto _ : state) {
    auto decoded = codec->decode(encoded);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(encoded.size() * state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTypicalMessage);

// Application -> handler on the main loop -> reply, for a small message.
void BM_MessengerRoundTrip(benchmark::State& state) {
  auto engine = flutter::Engine::create(flutter::DartProject(std::vector<std::string>{}));
  auto driver = flutter::InProcessDriver::attach(engine);
  flutter::BasicMessageChannel("bench.echo", engine)
      .setMessageHandler([](const Value& message, flutter::MessageReply reply) { reply(message); });
  auto message = flutter::StandardMessageCodec::sharedInstance()->encode(Value::list({1, "ping"}));
  auto& loop = platform::MainLoop::instance();
  for (auto _ : state) {
    bool replied = false;
    driver->send("bench.echo", message, [&](const platform::Bytes&) { replied = true; });
    while (!replied)
      loop.drain();
  }
  state.SetItemsProcessed(state.iterations());
  engine->shutDown();
}
BENCHMARK(BM_MessengerRoundTrip);

}  // namespace

// The goal's ratio is printed after the runs.
int main(int argc, char** argv) {
  return bench::runWithRatios(
      argc, argv,
      {{"codec decode / encode", "BM_DecodeTypicalMessage", "BM_EncodeTypicalMessage", 2.0}});
}
