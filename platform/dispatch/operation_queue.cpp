#include "platform/dispatch/operation_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/core/assertion.h"

namespace platform {

struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
  std::string name;
  QueuePtr queue;
  mutable std::mutex mutex;  // guards everything below
  std::condition_variable idle;
  std::deque<Task> pending;
  bool suspended = false;
  bool running = false;
  bool closed = false;

  // Hands the next operation to the serial queue when none runs. Called with `mutex` held.
  void pumpLocked() {
    if (suspended || running || closed || pending.empty()) return;
    Task next = std::move(pending.front());
    pending.pop_front();
    running = true;
    std::weak_ptr<Impl> weak = weak_from_this();
    queue->async([weak, next = std::move(next)] {
      struct Finish {
        std::weak_ptr<Impl> weak;
        ~Finish() {
          if (auto self = weak.lock()) self->finished();
        }
      } finish{weak};
      if (weak.expired()) return;
      next();  // an exception goes to the queue's sink once `finish` has moved on
    });
  }

  void finished() {
    std::lock_guard lock(mutex);
    running = false;
    pumpLocked();
    if (!running && pending.empty()) idle.notify_all();
  }
};

OperationQueue::OperationQueue(std::string name, bool suspended) : impl_(std::make_shared<Impl>()) {
  impl_->name = std::move(name);
  impl_->queue = makeSerialQueue(impl_->name);
  impl_->suspended = suspended;
}

OperationQueue::~OperationQueue() {
  std::lock_guard lock(impl_->mutex);
  impl_->closed = true;
  impl_->pending.clear();
  impl_->idle.notify_all();
}

const std::string& OperationQueue::name() const {
  return impl_->name;
}

void OperationQueue::addOperation(Task operation) {
  if (!operation) return;
  std::lock_guard lock(impl_->mutex);
  impl_->pending.push_back(std::move(operation));
  impl_->pumpLocked();
}

void OperationQueue::setSuspended(bool suspended) {
  std::lock_guard lock(impl_->mutex);
  impl_->suspended = suspended;
  impl_->pumpLocked();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->suspended;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pending.size() + (impl_->running ? 1 : 0);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  if (impl_->queue->isCurrent()) {
    assertionFailure(__FILE__, __LINE__,
                     "waitUntilAllOperationsAreFinished called from an operation of " +
                         impl_->name);
    return;
  }
  std::unique_lock lock(impl_->mutex);
  impl_->idle.wait(lock,
                   [this] { return impl_->closed || (!impl_->running && impl_->pending.empty()); });
}

}  // namespace platform
