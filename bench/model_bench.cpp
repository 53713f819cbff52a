// The event initialiser (validation and normalisation of every parameter and item) against the
// reference of converting the same events to Event wire bytes. Goal: the initialiser within two
// times the reference.
//
//   build/bench/model_bench
#include <benchmark/benchmark.h>

#include <string>

#include "measurement/model/apm_event.h"

namespace {

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

// 25 parameters: predefined and custom names; strings, integers and doubles; and "items" with 10
// items of 8 parameters each.
ValueMap eventParameters() {
  ValueMap parameters{{Value("currency"), Value("EUR")},
                      {Value("value"), Value(129.5)},
                      {Value("transaction_id"), Value("T-000123456")},
                      {Value("coupon"), Value("WINTER")},
                      {Value("shipping"), Value(4.99)},
                      {Value("tax"), Value(21.0)},
                      {Value("affiliation"), Value("Main store")}};
  for (int i = 0; parameters.size() < 24; ++i) {
    const std::string name = "custom_" + std::to_string(i);
    switch (i % 3) {
    case 0:
      parameters[Value(name)] = Value("value of " + name);
      break;
    case 1:
      parameters[Value(name)] = Value(std::int64_t{1000} + i);
      break;
    default:
      parameters[Value(name)] = Value(0.25 * i);
      break;
    }
  }
  ValueList items;
  for (int i = 0; i < 10; ++i) {
    items.emplace_back(ValueMap{{Value("item_id"), Value("SKU-" + std::to_string(i))},
                                {Value("item_name"), Value("Article number " + std::to_string(i))},
                                {Value("item_category"), Value("Clothing")},
                                {Value("item_variant"), Value("blue")},
                                {Value("price"), Value(12.95 + i)},
                                {Value("quantity"), Value(std::int64_t{1} + i % 3)},
                                {Value("index"), Value(std::int64_t{i})},
                                {Value("size_label"), Value("M")}});
  }
  parameters[Value("items")] = Value(std::move(items));
  return parameters;
}

void BM_EventInitialiser(benchmark::State& state) {
  const ValueMap parameters = eventParameters();
  for (auto _ : state) {
    auto event = APMEvent::initWithOrigin("app", true, "purchase", 1700000000.5, 0, parameters);
    benchmark::DoNotOptimize(event);
  }
}
BENCHMARK(BM_EventInitialiser);

void BM_ReferenceProtoEventBytes(benchmark::State& state) {
  const auto event =
      APMEvent::initWithOrigin("app", true, "purchase", 1700000000.5, 0, eventParameters());
  for (auto _ : state) {
    auto bytes = event->protoEvent()->protoBuffer();
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_ReferenceProtoEventBytes);

}  // namespace

BENCHMARK_MAIN();
