// Shared machinery of the dispatch facility, private to platform/dispatch: the per-thread stack
// of queues a thread is running tasks for, the elastic worker pool, the activity counter that
// TestEnvironment::runUntilIdle watches, and the clock-driven timer service.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace platform::detail {

// Installs `clock` as Clock::current() (null: back to the system clock).
void setClockOverride(Clock* clock);

// One entry per queue the current thread is running a task for. A sync call pushes a second
// frame on top of the caller's, so "am I on queue X" also holds inside a sync from X.
struct QueueFrame {
  const Queue* queue;
  QueueFrame* previous;
};

class FrameScope {
 public:
  explicit FrameScope(const Queue* queue);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  QueueFrame frame_;
};

// True when `queue` is on the calling thread's frame stack.
bool onFrameStack(const Queue* queue);
// The innermost queue the calling thread runs a task for, or null.
const Queue* innermostFrame();

// Runs a task, catching anything it throws and reporting it with the queue label.
void runTask(const Task& task, const std::string& label) noexcept;

// Work counter for runUntilIdle: every task queued on a serial or global queue (or a sync
// waiting its turn) counts until it has run.
void activityQueued();
void activityDone();
// The main loop got a task; wakes a runUntilIdle waiting for the other queues.
void activityMainPosted();
long activityPending();
// True when the main loop has tasks waiting.
bool mainLoopHasWork();
// Waits (briefly) until the pending count may have reached zero or the main loop got work.
void activityWait();

// Runs jobs on a shared set of threads. Grows a thread whenever every thread is busy, so jobs
// that block (a sync onto another queue, a group wait) cannot starve the rest; threads that
// stay idle for a while exit.
void poolSubmit(std::function<void()> job);

// Timed tasks. Due times are Clock::current().uptime() + delay. Outside a TestEnvironment a
// timer thread hands due tasks to their queues; under one, nothing fires by itself and the
// environment pops due entries as it moves the mock clock.
std::uint64_t timerSchedule(double delaySeconds, QueuePtr queue, Task task);
void timerCancel(std::uint64_t id);
void timerBeginMock(std::uint64_t environment);
// Drops every entry scheduled under `environment` and returns to real time.
void timerEndMock(std::uint64_t environment);
// Pops the earliest entry of the mock environment due at or before `limit`; returns false when
// there is none.
bool timerPopDue(double limit, double* due, QueuePtr* queue, Task* task);

}  // namespace platform::detail
