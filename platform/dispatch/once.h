// A once-only guard that can be reset (std::call_once cannot). Thread-safe: concurrent callers
// of run() block until the first finishes.
#pragma once

#include <functional>
#include <mutex>

namespace platform {

class OnceGuard {
 public:
  // Runs `fn` if no earlier call ran it since construction or the last reset. Returns whether
  // it ran.
  bool run(const std::function<void()>& fn);
  void reset();
  bool done() const;

 private:
  mutable std::recursive_mutex mutex_;
  bool done_ = false;
};

}  // namespace platform
