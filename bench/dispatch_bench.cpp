// Dispatch costs: serial-queue task throughput and the latency of posting to the main loop
// from another thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"

namespace {

using platform::MainLoop;

// Tasks queued from one thread, then one sync to wait for them all.
void BM_SerialQueueThroughput(benchmark::State& state) {
  auto queue = platform::makeSerialQueue("bench.serial");
  const int batch = static_cast<int>(state.range(0));
  std::uint64_t sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i)
      queue->async([&sum, i] { sum += static_cast<unsigned>(i); });
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SerialQueueThroughput)->Arg(1)->Arg(100)->Arg(10000);

// Four producers feeding one serial queue.
void BM_SerialQueueContended(benchmark::State& state) {
  auto queue = platform::makeSerialQueue("bench.contended");
  constexpr int kProducers = 4, kEach = 2500;
  std::atomic<std::uint64_t> ran{0};
  for (auto _ : state) {
    std::thread producers[kProducers];
    for (auto& p : producers) {
      p = std::thread([&] {
        for (int i = 0; i < kEach; ++i) {
          queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        }
      });
    }
    for (auto& p : producers)
      p.join();
    queue->sync([] {});
  }
  state.SetItemsProcessed(state.iterations() * kProducers * kEach);
}
BENCHMARK(BM_SerialQueueContended)->UseRealTime();

// A synchronous hop onto an idle serial queue (runs on the caller's thread).
void BM_SerialQueueSync(benchmark::State& state) {
  auto queue = platform::makeSerialQueue("bench.sync");
  int n = 0;
  for (auto _ : state)
    queue->sync([&n] { ++n; });
  benchmark::DoNotOptimize(n);
}
BENCHMARK(BM_SerialQueueSync);

// Time from post() on another thread until the task starts on the main loop.
void BM_MainLoopPostLatency(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  std::atomic<int> request{0};
  std::atomic<bool> stop{false};
  Clock::time_point posted;
  std::thread poster([&] {
    int served = 0;
    while (!stop.load()) {
      if (request.load(std::memory_order_acquire) == served) continue;
      ++served;
      posted = Clock::now();
      MainLoop::instance().post([&] {
        const auto started = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(started - posted).count());
        MainLoop::instance().quit();
      });
    }
  });
  for (auto _ : state) {
    request.fetch_add(1, std::memory_order_release);
    MainLoop::instance().run();
  }
  stop = true;
  poster.join();
}
BENCHMARK(BM_MainLoopPostLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Posting and draining on the main thread: the per-task cost of the loop itself.
void BM_MainLoopPostAndDrain(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i)
      MainLoop::instance().post([&n] { ++n; });
    MainLoop::instance().drain();
  }
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_MainLoopPostAndDrain);

}  // namespace

BENCHMARK_MAIN();
