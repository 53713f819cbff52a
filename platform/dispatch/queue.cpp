// Serial and global queues over one elastic worker pool, plus the bookkeeping every queue kind
// shares (frame stack, task exception reporting, activity counting).
#include "platform/dispatch/queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/core/assertion.h"
#include "platform/dispatch/dispatch_internal.h"
#include "platform/dispatch/main_loop.h"

namespace platform {
namespace detail {
namespace {

thread_local QueueFrame* t_top = nullptr;

using ExceptionSink = std::function<void(const std::string&, const std::string&)>;

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
ExceptionSink& exceptionSink() {
  static ExceptionSink* s = new ExceptionSink;
  return *s;
}

void reportException(const std::string& label, const std::string& what) {
  ExceptionSink sink;
  {
    std::lock_guard<std::mutex> guard(sinkMutex());
    sink = exceptionSink();
  }
  if (sink) {
    sink(label, what);
  } else {
    std::fprintf(stderr, "uncaught exception in a task on queue '%s': %s\n", label.c_str(),
                 what.c_str());
  }
}

// Activity counter. Leaked so that detached pool threads may touch it during process exit.
struct Activity {
  std::atomic<long> pending{0};
  std::atomic<int> waiters{0};
  std::mutex mutex;
  std::condition_variable changed;

  void wake() {
    if (waiters.load() > 0) {
      std::lock_guard<std::mutex> guard(mutex);
      changed.notify_all();
    }
  }
};
Activity& activity() {
  static Activity* a = new Activity;
  return *a;
}

// The elastic pool. Up to a few threads per core start on demand; beyond that a monitor adds a
// thread only when queued jobs have made no progress for a moment (every thread blocked or
// busy for long), so a flood of short tasks does not make a flood of threads, yet jobs that
// block on one another cannot deadlock the pool. Leaked, like the activity counter.
struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable monitorWake;
  std::deque<std::function<void()>> jobs;
  int idle = 0;
  int threads = 0;
  bool monitorRunning = false;
  std::uint64_t started = 0;  // jobs taken so far: the monitor's progress mark
  const int softLimit = std::max(4, static_cast<int>(std::thread::hardware_concurrency()));
  static constexpr int kHardLimit = 512;
  static constexpr auto kIdleExit = std::chrono::seconds(10);
  static constexpr auto kStallCheck = std::chrono::milliseconds(10);

  void submit(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex);
    jobs.push_back(std::move(job));
    if (static_cast<std::size_t>(idle) >= jobs.size()) {
      lock.unlock();
      wake.notify_one();
      return;
    }
    if (threads < softLimit) {
      spawnLocked();
      return;
    }
    if (!monitorRunning) {
      monitorRunning = true;
      std::thread([this] { monitor(); }).detach();
    } else {
      monitorWake.notify_one();
    }
  }

  void spawnLocked() {
    ++threads;
    std::thread([this] { work(); }).detach();
  }

  void monitor() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      monitorWake.wait(lock, [this] { return !jobs.empty(); });
      const std::uint64_t mark = started;
      monitorWake.wait_for(lock, kStallCheck);
      // Stalled: add threads for the waiting jobs, a few at a time.
      if (started == mark) {
        for (int i = 0;
             i < 8 && static_cast<std::size_t>(idle + i) < jobs.size() && threads < kHardLimit;
             ++i) {
          spawnLocked();
        }
      }
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      while (jobs.empty()) {
        ++idle;
        bool woke = wake.wait_for(lock, kIdleExit, [this] { return !jobs.empty(); });
        --idle;
        if (!woke) {
          --threads;
          return;
        }
      }
      std::function<void()> job = std::move(jobs.front());
      jobs.pop_front();
      ++started;
      lock.unlock();
      job();
      job = nullptr;  // release captures before taking the lock again
      lock.lock();
    }
  }
};
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

FrameScope::FrameScope(const Queue* queue) : frame_{queue, t_top} {
  t_top = &frame_;
}
FrameScope::~FrameScope() {
  t_top = frame_.previous;
}

bool onFrameStack(const Queue* queue) {
  for (QueueFrame* f = t_top; f; f = f->previous) {
    if (f->queue == queue) return true;
  }
  return false;
}

const Queue* innermostFrame() {
  return t_top ? t_top->queue : nullptr;
}

void runTask(const Task& task, const std::string& label) noexcept {
  if (!task) return;
  try {
    task();
  } catch (const std::exception& e) {
    reportException(label, e.what());
  } catch (...) {
    reportException(label, "unknown exception");
  }
}

void activityQueued() {
  activity().pending.fetch_add(1);
}
void activityDone() {
  if (activity().pending.fetch_sub(1) == 1) activity().wake();
}
void activityMainPosted() {
  activity().wake();
}
long activityPending() {
  return activity().pending.load();
}
void activityWait() {
  Activity& a = activity();
  a.waiters.fetch_add(1);
  {
    std::unique_lock<std::mutex> lock(a.mutex);
    // The timeout is only a safety net; wake() covers every change the waiter looks for.
    a.changed.wait_for(lock, std::chrono::milliseconds(50),
                       [&] { return a.pending.load() == 0 || mainLoopHasWork(); });
  }
  a.waiters.fetch_sub(1);
}

void poolSubmit(std::function<void()> job) {
  pool().submit(std::move(job));
}

}  // namespace detail

namespace {

using detail::activityDone;
using detail::activityQueued;
using detail::FrameScope;
using detail::runTask;

class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}

  const std::string& label() const override { return label_; }

  void async(Task task) override {
    activityQueued();
    std::unique_lock<std::mutex> lock(mutex_);
    items_.push_back(Item{std::move(task), nullptr});
    if (active_) return;
    active_ = true;
    lock.unlock();
    scheduleDrain();
  }

  void sync(const Task& task) override {
    if (isCurrent()) {
      assertionFailure(__FILE__, __LINE__,
                       "sync onto queue '" + label_ + "' from a task of that queue; ran in place");
      FrameScope frame(this);
      runTask(task, label_);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (active_) {
      // Wait in line: the drainer hands the queue over when it reaches our place.
      SyncWaiter waiter;
      activityQueued();
      items_.push_back(Item{nullptr, &waiter});
      waiter.turn.wait(lock, [&] { return waiter.ready; });
    } else {
      active_ = true;
    }
    lock.unlock();
    {
      FrameScope frame(this);
      runTask(task, label_);
    }
    lock.lock();
    if (items_.empty()) {
      active_ = false;
      return;
    }
    lock.unlock();
    scheduleDrain();
  }

  void asyncAfter(double seconds, Task task) override {
    detail::timerSchedule(seconds, shared_from_this(), std::move(task));
  }

  bool isCurrent() const override { return detail::onFrameStack(this); }

 private:
  struct SyncWaiter {
    std::condition_variable turn;
    bool ready = false;
  };
  struct Item {
    Task task;
    SyncWaiter* waiter;  // set for a sync caller waiting its turn
  };

  void scheduleDrain() {
    detail::poolSubmit([self = shared_from_this()] { self->drain(); });
  }

  // Runs on a pool thread while active_ is set; owns the queue until it runs dry or hands it to
  // a sync caller.
  void drain() {
    FrameScope frame(this);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (items_.empty()) {
        active_ = false;
        return;
      }
      Item item = std::move(items_.front());
      items_.pop_front();
      if (item.waiter) {
        item.waiter->ready = true;
        item.waiter->turn.notify_one();
        lock.unlock();
        activityDone();
        return;
      }
      lock.unlock();
      runTask(item.task, label_);
      item.task = nullptr;  // captures die before the task counts as done
      activityDone();
      lock.lock();
    }
  }

  const std::string label_;
  std::mutex mutex_;
  std::deque<Item> items_;
  bool active_ = false;  // a drain is scheduled or running, or a sync caller owns the queue
};

class GlobalQueue final : public Queue, public std::enable_shared_from_this<GlobalQueue> {
 public:
  explicit GlobalQueue(std::string label) : label_(std::move(label)) {}
  const std::string& label() const override { return label_; }

  void async(Task task) override {
    activityQueued();
    detail::poolSubmit([this, task = std::move(task)]() mutable {
      {
        FrameScope frame(this);
        runTask(task, label_);
        task = nullptr;
      }
      activityDone();
    });
  }

  // Concurrent queue: the task simply runs on the caller's thread, marked as on this queue.
  void sync(const Task& task) override {
    FrameScope frame(this);
    runTask(task, label_);
  }

  void asyncAfter(double seconds, Task task) override {
    detail::timerSchedule(seconds, shared_from_this(), std::move(task));
  }

  bool isCurrent() const override { return detail::onFrameStack(this); }

 private:
  const std::string label_;
};

}  // namespace

QueuePtr makeSerialQueue(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

QueuePtr globalQueue(QueuePriority priority) {
  // Priorities keep their own labels but share the pool: nothing here runs long enough for
  // scheduling classes to matter. Leaked: pool threads may use them during exit.
  static const QueuePtr* queues = new QueuePtr[5]{
      std::make_shared<GlobalQueue>("com.lumora.global.background"),
      std::make_shared<GlobalQueue>("com.lumora.global.utility"),
      std::make_shared<GlobalQueue>("com.lumora.global.default"),
      std::make_shared<GlobalQueue>("com.lumora.global.user-initiated"),
      std::make_shared<GlobalQueue>("com.lumora.global.user-interactive"),
  };
  int index = static_cast<int>(priority);
  if (index < 0 || index > 4) index = 2;
  return queues[index];
}

std::string currentQueueLabel() {
  if (detail::t_top) return detail::t_top->queue->label();
  return MainLoop::isMainThread() ? mainQueue()->label() : std::string();
}

void setTaskExceptionSink(
    std::function<void(const std::string& queueLabel, const std::string& what)> sink) {
  std::lock_guard<std::mutex> guard(detail::sinkMutex());
  detail::exceptionSink() = std::move(sink);
}

}  // namespace platform
