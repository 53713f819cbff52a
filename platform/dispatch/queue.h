// Task queues. Stands in for the platform's dispatch queues.
//
// - The main queue runs tasks on the process main thread, from the main loop.
// - Serial queues run their tasks one at a time, in order, on a thread of their own.
// - Global queues (one per priority) run tasks concurrently on a small shared pool.
//
// Every queue can answer "am I running on you?". A synchronous call onto the queue one is
// already running on is detected: the task runs in place and the misuse goes to the assertion
// handler, never a deadlock. Timed tasks (asyncAfter) are driven by platform::Clock, so under a
// TestEnvironment they fire when the mock clock is advanced. All methods are thread-safe.
// Queues are owned by shared pointers; a queue lives until its last pending task has run.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

using Task = std::function<void()>;

class Queue {
 public:
  virtual ~Queue() = default;
  virtual const std::string& label() const = 0;
  // Runs `task` later, after every task queued before it (on serial queues).
  virtual void async(Task task) = 0;
  // Runs `task` and waits for it. On the queue itself: runs in place and reports the misuse.
  virtual void sync(const Task& task) = 0;
  // Runs `task` on this queue once `seconds` of clock time have passed.
  virtual void asyncAfter(double seconds, Task task) = 0;
  // True when the calling code runs as a task of this queue (or, for the main queue, on the
  // main thread).
  virtual bool isCurrent() const = 0;
};
using QueuePtr = std::shared_ptr<Queue>;

enum class QueuePriority { Background, Utility, Default, UserInitiated, UserInteractive };

// The main queue (tasks run from the main loop on the main thread).
QueuePtr mainQueue();
// A new serial queue with its own thread; `label` is for diagnostics ("com.heartbeat.storage.x").
QueuePtr makeSerialQueue(std::string label);
// The shared concurrent queue of that priority.
QueuePtr globalQueue(QueuePriority priority = QueuePriority::Default);
// The label of the queue running the caller, or "" when on none of ours.
std::string currentQueueLabel();

// Where an exception that escaped a task is reported (default: a line on stderr). The task is
// abandoned and its queue carries on. The log facility installs itself here.
void setTaskExceptionSink(
    std::function<void(const std::string& queueLabel, const std::string& what)> sink);

}  // namespace platform
