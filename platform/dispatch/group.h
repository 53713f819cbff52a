// A dispatch group: counts outstanding work, wakes waiters and runs notify blocks when the
// count reaches zero. Thread-safe. Held by shared pointer.
#pragma once

#include <memory>

#include "platform/dispatch/queue.h"

namespace platform {

class Group : public std::enable_shared_from_this<Group> {
 public:
  static std::shared_ptr<Group> make();
  void enter();
  // One leave per enter; an unbalanced leave goes to the assertion handler.
  void leave();
  // Runs `task` on `queue` once the group is empty (at once if it is empty now).
  void notify(const QueuePtr& queue, Task task);
  // Blocks until the group is empty or `timeoutSeconds` of real time pass (negative: forever).
  // Returns true when the group emptied.
  bool wait(double timeoutSeconds = -1);
  // enter, run `task` on `queue`, leave.
  void async(const QueuePtr& queue, Task task);
  long count() const;

 private:
  Group();
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
