#include "measurement/storage/apm_scheduler.h"

#include "measurement/storage/apm_monitor.h"

namespace {

// Runs the block and turns an escaping exception into the report of `code`; true when the
// block returned normally.
bool runGuarded(const std::function<void()>& block, const std::string& blockID, std::int64_t code,
                const char* message) {
  try {
    block();
    return true;
  } catch (...) {
    APMProcessMonitor()->logWithLevel(
        1, code, std::string(message) + " Block ID=" + blockID + ". Exception",
        {platform::Value(platform::ObjectPtr(APMExceptionContext::fromCurrentException()))});
    return false;
  }
}

}  // namespace

APMScheduler::APMScheduler(std::string label)
    : workerQueue_(platform::makeSerialQueue(std::move(label))) {}

std::shared_ptr<APMScheduler> APMScheduler::initWithWorkerQueueLabel(std::string label) {
  return std::make_shared<APMScheduler>(std::move(label));
}

void APMScheduler::scheduleOnWorkerQueueBlockID(std::string blockID, std::function<void()> block) {
  if (!block) {
    APMProcessMonitor()->logWithLevel(
        1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  workerQueue_->async([blockID = std::move(blockID), block = std::move(block)] {
    runGuarded(block, blockID, 30000, "Exception on worker queue.");
  });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string blockID,
                                                    const std::function<void()>& block) {
  if (!block) {
    APMProcessMonitor()->logWithLevel(
        1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool completed = false;
  workerQueue_->sync([&] {
    completed =
        runGuarded(block, blockID, 30003, "Exception on worker queue when processing sync block.");
  });
  if (!completed) {
    APMProcessMonitor()->logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
  }
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!platform::mainQueue()->isCurrent()) return true;
  const std::string name = methodName.empty() ? "<empty method name>" : std::string(methodName);
  APMProcessMonitor()->logWithLevel(1, 30001,
                                    "Method " + name + " should execute on background thread");
  return false;
}
