#include "platform/dispatch/pending_work.h"

#include "platform/dispatch/dispatch_internal.h"

namespace platform {

PendingWork::PendingWork() {
  detail::activityQueued();
}

PendingWork::~PendingWork() {
  done();
}

PendingWork::PendingWork(PendingWork&& other) noexcept : active_(other.active_) {
  other.active_ = false;
}

PendingWork& PendingWork::operator=(PendingWork&& other) noexcept {
  if (this != &other) {
    done();
    active_ = other.active_;
    other.active_ = false;
  }
  return *this;
}

void PendingWork::done() {
  if (!active_) return;
  active_ = false;
  detail::activityDone();
}

}  // namespace platform
