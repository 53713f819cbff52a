#include "measurement/engine/apm_engine_startup.h"

#include <chrono>
#include <future>
#include <memory>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/script/apmp_script_event_editing.h"

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
  // The script runtime offers the event model its editing objects.
  APMPScriptEventEditingLoad();
  APMAnalytics::load();
  ZEVOveverizuru::load();
}

void APMEngineUnload() {
  const auto deadline = std::chrono::steady_clock::now() + kUnloadWait;
  // The serial queue first: its start block is what makes the core and queues work for it.
  if (!runQueuedWork(APMAnalytics::queue(), deadline)) return;
  if (!ZEVOveverizuru::hasSharedInstance()) return;
  const auto core = ZEVOveverizuru::sharedInstance();
  if (core && core->scheduler()) runQueuedWork(core->scheduler()->workerQueue(), deadline);
}
