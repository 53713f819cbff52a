// APMScheduler: owns the worker queue, the one serial queue on which the measurement engine keeps
// its state. Each submitted block carries a short identifier for diagnostics; a block that throws
// is caught at the block boundary and reported (30000, or 30003 then 30004 for the synchronous
// form), and the queue goes on with the next block. A cheap guard reports methods meant for the
// worker queue that are called on the main thread (30001). Reports go to the process-wide monitor.
//
// No mutable state after construction: callable from any thread. A synchronous submission from
// a block already on the worker queue runs in place and is reported as misuse by the queue.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/queue.h"

inline constexpr const char* APMSchedulerWorkerQueueLabel = "com.ziriza.fira.worker";

class APMScheduler {
 public:
  static std::shared_ptr<APMScheduler> initWithWorkerQueueLabel(std::string label);

  const platform::QueuePtr& workerQueue() const { return workerQueue_; }

  // Runs `block` later on the worker queue. An empty block is not submitted (30005).
  void scheduleOnWorkerQueueBlockID(std::string blockID, std::function<void()> block);
  // Runs `block` on the worker queue and returns once it has run or failed. An empty block
  // returns at once (30002).
  void dispatchSyncOnWorkerQueueBlockID(std::string blockID, const std::function<void()>& block);

  // True off the main thread. On the main thread reports 30001 with the method name and
  // answers false.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

  explicit APMScheduler(std::string label);

 private:
  const platform::QueuePtr workerQueue_;
};
