// Marks work that runs outside every queue (a transfer on a thread of its own, say) as in
// flight, so that TestEnvironment::runUntilIdle also waits for it. Create one when the work
// starts and let it go when the work has handed its result to a queue. Movable, thread-safe,
// and cheap enough for product code (one atomic add and subtract).
#pragma once

namespace platform {

class PendingWork {
 public:
  PendingWork();
  ~PendingWork();
  PendingWork(PendingWork&& other) noexcept;
  PendingWork& operator=(PendingWork&& other) noexcept;
  PendingWork(const PendingWork&) = delete;
  PendingWork& operator=(const PendingWork&) = delete;

  // Ends the mark early; idempotent.
  void done();

 private:
  bool active_ = true;
};

}  // namespace platform
