// Checks that an object's methods run on the one sequence they belong to: a queue (its tasks,
// and syncs onto it), or the main thread. A header that says "main thread only" or "on queue X"
// backs that up with a checker, and every such method starts with
//
//   LUMORA_CHECK_SEQUENCE(sequence_);
//
// A call from elsewhere goes to the assertion handler (abort in debug builds, a log line in
// release builds, captured in tests) and the call carries on, as it did before the check.
//
// A checker made without a binding binds to the sequence of its first check: the innermost queue
// the caller is running a task for, else the main thread, else the calling thread. `detach` makes
// the next check bind again (an object handed over to another queue). A checker bound to a queue
// holds it weakly; once the queue is gone, no call is on it. The checks are cheap (a short lock and
// a walk of the caller's queue stack) and every method is thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/queue.h"

namespace platform {

class SequenceChecker {
 public:
  struct MainThreadTag {};
  static constexpr MainThreadTag kMainThread{};

  // Binds at the first check.
  SequenceChecker() = default;
  // Bound to the main thread.
  explicit SequenceChecker(MainThreadTag);
  // Bound to `queue`.
  explicit SequenceChecker(const QueuePtr& queue);
  SequenceChecker(const SequenceChecker&) = delete;
  SequenceChecker& operator=(const SequenceChecker&) = delete;

  // True when the caller runs on the bound sequence (binding it first when unbound).
  bool calledOnValidSequence() const;
  // Reports a call off the sequence to the assertion handler; returns calledOnValidSequence().
  bool check(const char* file, int line, const char* function) const;

  // Forgets the binding; the next check binds again.
  void detach();
  void bindTo(const QueuePtr& queue);
  void bindToMainThread();

  // "queue 'label'", "the main thread", "thread <id>" or "nothing yet", for messages.
  std::string describe() const;

 private:
  enum class Kind { Unbound, Queue, MainThread, Thread };
  bool validLocked() const;
  std::string describeLocked() const;

  mutable std::mutex mutex_;
  mutable Kind kind_ = Kind::Unbound;
  mutable std::weak_ptr<Queue> queue_;  // set by bindTo
  mutable bool heldWeakly_ = false;
  mutable const Queue* queueIdentity_ = nullptr;
  mutable std::string queueLabel_;
  mutable std::thread::id thread_;
};

}  // namespace platform

#define LUMORA_CHECK_SEQUENCE(checker) ((void)(checker).check(__FILE__, __LINE__, __func__))
