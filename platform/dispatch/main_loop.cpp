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
  detail::activityMainPosted();
}

void MainLoop::run() {
  if (!LUMORA_CHECK(isMainThread(), "MainLoop::run called off the main thread")) return;
  impl_->state.quit.store(false);
  const QueuePtr main = mainQueue();
  detail::FrameScope frame(main.get());
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(impl_->state.mutex);
      impl_->state.posted.wait(
          lock, [&] { return impl_->state.quit.load() || !impl_->state.tasks.empty(); });
      if (impl_->state.quit.load()) return;
      task = std::move(impl_->state.tasks.front());
      impl_->state.tasks.pop_front();
    }
    detail::runTask(task, kMainLabel);
  }
}

void MainLoop::quit() {
  {
    std::lock_guard<std::mutex> guard(impl_->state.mutex);
    impl_->state.quit.store(true);
  }
  impl_->state.posted.notify_all();
}

int MainLoop::drain() {
  if (!LUMORA_CHECK(isMainThread(), "MainLoop::drain called off the main thread")) return 0;
  const QueuePtr main = mainQueue();
  detail::FrameScope frame(main.get());
  int ran = 0;
  Task task;
  while (impl_->state.pop(&task)) {
    detail::runTask(task, kMainLabel);
    task = nullptr;
    ++ran;
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
