#include "measurement/engine/apm_engine_startup.h"

#include <chrono>
#include <future>
#include <memory>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"

namespace {

constexpr std::chrono::seconds kUnloadWait{5};

// True once `queue` has run every task queued before this call, false at `deadline`.
bool runQueuedWork(const platform::QueuePtr& queue,
                   std::chrono::steady_clock::time_point deadline) {
  if (!queue) return true;
  auto reached = std::make_shared<std::promise<void>>();
  auto future = reached->get_future();
  queue->async([reached] { reached->set_value(); });
  return future.wait_until(deadline) == std::future_status::ready;
}

}  // namespace

void APMEngineLoad() {
  APMAnalytics::load();
  ZEVOveverizuru::load();
}

void APMEngineUnload() {
  const auto deadline = std::chrono::steady_clock::now() + kUnloadWait;
  // Work moves from the facade's operation queue to its serial queue (whose start block makes
  // the core) and on to the worker, and one step can queue the next (a logged event's write, the
  // upload asked for when the application resigns active). So the queues are passed in that
  // order, a few rounds, before static objects go.
  for (int round = 0; round < 3; ++round) {
    if (!APMAnalytics::runQueuedOperationsUntil(deadline)) return;
    if (!runQueuedWork(APMAnalytics::queue(), deadline)) return;
    if (!ZEVOveverizuru::hasSharedInstance()) continue;
    const auto core = ZEVOveverizuru::sharedInstance();
    if (core && core->scheduler() && !runQueuedWork(core->scheduler()->workerQueue(), deadline))
      return;
  }
}
