#include "platform/dispatch/group.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/core/assertion.h"

namespace platform {

struct Group::Impl {
  mutable std::mutex mutex;
  std::condition_variable emptied;
  long count = 0;
  std::vector<std::pair<QueuePtr, Task>> notifies;
};

Group::Group() : impl_(std::make_shared<Impl>()) {}

std::shared_ptr<Group> Group::make() {
  return std::shared_ptr<Group>(new Group());
}

void Group::enter() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  ++impl_->count;
}

void Group::leave() {
  std::vector<std::pair<QueuePtr, Task>> ready;
  bool unbalanced = false;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    if (impl_->count == 0) {
      unbalanced = true;  // the count stays at zero
    } else if (--impl_->count == 0) {
      ready.swap(impl_->notifies);
      impl_->emptied.notify_all();
    }
  }
  if (unbalanced) {
    assertionFailure(__FILE__, __LINE__, "Group::leave without a matching enter");
    return;
  }
  for (auto& [queue, task] : ready)
    queue->async(std::move(task));
}

void Group::notify(const QueuePtr& queue, Task task) {
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    if (impl_->count > 0) {
      impl_->notifies.emplace_back(queue, std::move(task));
      return;
    }
  }
  queue->async(std::move(task));
}

bool Group::wait(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  auto empty = [&] { return impl_->count == 0; };
  if (timeoutSeconds < 0) {
    impl_->emptied.wait(lock, empty);
    return true;
  }
  return impl_->emptied.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), empty);
}

void Group::async(const QueuePtr& queue, Task task) {
  enter();
  queue->async([self = shared_from_this(), task = std::move(task)] {
    // Leave even when the task throws; the queue reports the exception.
    struct Leave {
      Group* group;
      ~Leave() { group->leave(); }
    } leave{self.get()};
    task();
  });
}

long Group::count() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->count;
}

}  // namespace platform
