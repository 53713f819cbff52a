#include "platform/dispatch/timer.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "platform/dispatch/dispatch_internal.h"

namespace platform {

struct Timer::Impl : std::enable_shared_from_this<Timer::Impl> {
  QueuePtr queue;
  double interval = 0;
  std::function<void()> fire;
  std::atomic<bool> cancelled{false};
  // Held while `fire` runs, so cancel() from another thread returns only once a running handler
  // has finished; recursive so the handler may cancel its own timer.
  std::recursive_mutex firing;
  std::mutex armLock;
  std::uint64_t armed = 0;

  void arm(double delay) {
    std::lock_guard<std::mutex> guard(armLock);
    if (cancelled.load()) return;
    std::weak_ptr<Impl> weak = weak_from_this();
    armed = detail::timerSchedule(delay, queue, [weak] {
      if (auto self = weak.lock()) self->onFire();
    });
  }

  void onFire() {
    if (cancelled.load()) return;
    std::exception_ptr thrown;
    {
      std::lock_guard<std::recursive_mutex> guard(firing);
      if (cancelled.load()) return;
      try {
        fire();
      } catch (...) {
        thrown = std::current_exception();
      }
    }
    // Measured from this firing, so under the mock clock a repeating timer lands exactly on
    // delay + k * interval. A handler that threw keeps its schedule; the queue reports it.
    if (interval > 0) arm(interval);
    if (thrown) std::rethrow_exception(thrown);
  }

  void cancel() {
    if (cancelled.exchange(true)) return;
    std::uint64_t id;
    {
      std::lock_guard<std::mutex> guard(armLock);
      id = armed;
    }
    if (id) detail::timerCancel(id);
    // Wait for a handler running on another thread.
    std::lock_guard<std::recursive_mutex> guard(firing);
  }
};

Timer::Timer(QueuePtr queue, double delaySeconds, double intervalSeconds,
             std::function<void()> fire)
    : impl_(std::make_shared<Impl>()) {
  impl_->queue = std::move(queue);
  impl_->interval = intervalSeconds > 0 ? intervalSeconds : 0;
  impl_->fire = std::move(fire);
  impl_->arm(delaySeconds);
}

Timer::~Timer() {
  cancel();
}

void Timer::cancel() {
  impl_->cancel();
}

bool Timer::cancelled() const {
  return impl_->cancelled.load();
}

}  // namespace platform
