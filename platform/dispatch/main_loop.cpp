// The main loop and the main queue that feeds it.
#include "platform/dispatch/main_loop.h"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/dispatch/dispatch_internal.h"

namespace platform {

namespace {

// The loop's state lives outside the class so the dispatch internals can look at it too.
struct LoopState {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Task> tasks;
  std::atomic<bool> quit{false};
  // Set once and never cleared (the loop outlives every caller); `source` is read without the
  // lock by post(), `sourceOwner` keeps it alive.
  std::shared_ptr<LoopEventSource> sourceOwner;
  std::atomic<LoopEventSource*> source{nullptr};

  bool pop(Task* task) {
    std::lock_guard<std::mutex> guard(mutex);
    if (tasks.empty()) return false;
    *task = std::move(tasks.front());
    tasks.pop_front();
    return true;
  }
};

LoopState& loopState() {
  static LoopState* s = new LoopState;
  return *s;
}

const std::string kMainLabel = "com.lumora.main-thread";

class MainQueue final : public Queue, public std::enable_shared_from_this<MainQueue> {
 public:
  const std::string& label() const override { return kMainLabel; }

  void async(Task task) override { MainLoop::instance().post(std::move(task)); }

  void sync(const Task& task) override {
    if (MainLoop::isMainThread()) {
      assertionFailure(__FILE__, __LINE__,
                       "sync onto the main queue from the main thread; ran in place");
      detail::FrameScope frame(this);
      detail::runTask(task, kMainLabel);
      return;
    }
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    MainLoop::instance().post([&] {
      detail::runTask(task, kMainLabel);
      std::lock_guard<std::mutex> guard(mutex);
      done = true;
      finished.notify_one();
    });
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return done; });
  }

  void asyncAfter(double seconds, Task task) override {
    detail::timerSchedule(seconds, shared_from_this(), std::move(task));
  }

  bool isCurrent() const override { return MainLoop::isMainThread(); }
};

}  // namespace

struct MainLoop::Impl {
  LoopState& state = loopState();
};

QueuePtr mainQueue() {
  static const QueuePtr* queue = new QueuePtr(std::make_shared<MainQueue>());
  return *queue;
}

MainLoop::MainLoop() : impl_(new Impl) {}

MainLoop& MainLoop::instance() {
  // Leaked: threads may still post while the process exits.
  static MainLoop* loop = new MainLoop;
  return *loop;
}

void MainLoop::post(Task task) {
  {
    std::lock_guard<std::mutex> guard(impl_->state.mutex);
    impl_->state.tasks.push_back(std::move(task));
  }
  impl_->state.posted.notify_one();
  if (LoopEventSource* source = impl_->state.source.load()) source->wake();
  detail::activityMainPosted();
}

void MainLoop::setEventSource(std::shared_ptr<LoopEventSource> source) {
  if (!LUMORA_CHECK(isMainThread(), "MainLoop::setEventSource called off the main thread")) return;
  if (!LUMORA_CHECK(source && !impl_->state.source.load(),
                    "MainLoop::setEventSource: one event source per process")) {
    return;
  }
  std::lock_guard<std::mutex> guard(impl_->state.mutex);
  impl_->state.sourceOwner = std::move(source);
  impl_->state.source.store(impl_->state.sourceOwner.get());
}

void MainLoop::run() {
  if (!LUMORA_CHECK(isMainThread(), "MainLoop::run called off the main thread")) return;
  LoopState& state = impl_->state;
  state.quit.store(false);
  const QueuePtr main = mainQueue();
  detail::FrameScope frame(main.get());
  for (;;) {
    LoopEventSource* source = state.source.load();
    if (!source) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.posted.wait(lock, [&] { return state.quit.load() || !state.tasks.empty(); });
        if (state.quit.load()) return;
        task = std::move(state.tasks.front());
        state.tasks.pop_front();
      }
      detail::runTask(task, kMainLabel);
      continue;
    }
    // Turns: the tasks queued when the turn starts, then the source (waiting on it only when no
    // task is left; a post during that wait wakes it).
    std::size_t queued;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      queued = state.tasks.size();
    }
    for (Task task; queued > 0 && !state.quit.load() && state.pop(&task); --queued) {
      detail::runTask(task, kMainLabel);
      task = nullptr;
    }
    if (state.quit.load()) return;
    bool idle;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      idle = state.tasks.empty();
    }
    source->dispatch(idle);
    if (state.quit.load()) return;
  }
}

void MainLoop::quit() {
  {
    std::lock_guard<std::mutex> guard(impl_->state.mutex);
    impl_->state.quit.store(true);
  }
  impl_->state.posted.notify_all();
  if (LoopEventSource* source = impl_->state.source.load()) source->wake();
}

int MainLoop::drain() {
  if (!LUMORA_CHECK(isMainThread(), "MainLoop::drain called off the main thread")) return 0;
  const QueuePtr main = mainQueue();
  detail::FrameScope frame(main.get());
  int ran = 0;
  auto runTasks = [&] {
    Task task;
    while (impl_->state.pop(&task)) {
      detail::runTask(task, kMainLabel);
      task = nullptr;
      ++ran;
    }
  };
  runTasks();
  // One turn only: a source that is always ready (an idle callback) must not keep drain going.
  if (LoopEventSource* source = impl_->state.source.load()) {
    if (source->dispatch(false)) {
      ++ran;
      runTasks();
    }
  }
  return ran;
}

bool detail::mainLoopHasWork() {
  LoopState& state = loopState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return !state.tasks.empty();
}

bool MainLoop::quitRequested() const {
  return impl_->state.quit.load();
}

bool MainLoop::isMainThread() {
  // The thread that started the process is the one whose thread id equals the process id.
  thread_local const bool isMain = gettid() == getpid();
  return isMain;
}

}  // namespace platform
