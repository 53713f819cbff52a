#include "platform/dispatch/once.h"

namespace platform {

bool OnceGuard::run(const std::function<void()>& fn) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (done_) return false;
  // Marked before running, so a re-entrant call from inside `fn` does not run it twice.
  done_ = true;
  try {
    if (fn) fn();
  } catch (...) {
    // It did not complete: the next caller tries again.
    done_ = false;
    throw;
  }
  return true;
}

void OnceGuard::reset() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  done_ = false;
}

bool OnceGuard::done() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return done_;
}

}  // namespace platform
