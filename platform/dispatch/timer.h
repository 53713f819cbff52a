// A timer on a queue, driven by platform::Clock: fires once after `delay`, then every `interval`
// seconds when the interval is positive. Stands in for dispatch timer sources, alarms and
// display links. Cancel is idempotent and safe from any thread; the destructor cancels. Once
// cancel() returns, the handler is neither running nor will run again (called from inside the
// handler, it returns at once and the handler just finishes), so the owner may go away.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/queue.h"

namespace platform {

class Timer {
 public:
  Timer(QueuePtr queue, double delaySeconds, double intervalSeconds, std::function<void()> fire);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void cancel();
  bool cancelled() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
