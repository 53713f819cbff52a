#include "platform/dispatch/sequence_checker.h"

#include <sstream>

#include "platform/core/assertion.h"
#include "platform/dispatch/dispatch_internal.h"
#include "platform/dispatch/main_loop.h"

namespace platform {
namespace {

bool isGlobalQueue(const Queue* queue) {
  for (QueuePriority p : {QueuePriority::Background, QueuePriority::Utility, QueuePriority::Default,
                          QueuePriority::UserInitiated, QueuePriority::UserInteractive}) {
    if (globalQueue(p).get() == queue) return true;
  }
  return false;
}

}  // namespace

SequenceChecker::SequenceChecker(MainThreadTag) : kind_(Kind::MainThread) {}

SequenceChecker::SequenceChecker(const QueuePtr& queue) {
  bindTo(queue);
}

bool SequenceChecker::calledOnValidSequence() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (kind_ == Kind::Unbound) {
    // The main queue and a concurrent queue are no sequence of their own: a task of the main
    // queue is bound as the main thread, one of a global queue as its thread.
    const Queue* top = detail::innermostFrame();
    if (top && top != mainQueue().get() && !isGlobalQueue(top)) {
      kind_ = Kind::Queue;
      queueIdentity_ = top;
      queueLabel_ = top->label();
      queue_.reset();
      heldWeakly_ = false;
    } else if (MainLoop::isMainThread()) {
      kind_ = Kind::MainThread;
    } else {
      kind_ = Kind::Thread;
      thread_ = std::this_thread::get_id();
    }
    return true;
  }
  return validLocked();
}

bool SequenceChecker::validLocked() const {
  switch (kind_) {
  case Kind::Unbound:
    return true;
  case Kind::MainThread:
    return MainLoop::isMainThread();
  case Kind::Thread:
    return std::this_thread::get_id() == thread_;
  case Kind::Queue:
    if (!heldWeakly_) {
      // Bound by a first call, which ran on the queue: compared by identity.
      return detail::onFrameStack(queueIdentity_);
    }
    if (QueuePtr queue = queue_.lock()) return queue->isCurrent();
    return false;
  }
  return false;
}

bool SequenceChecker::check(const char* file, int line, const char* function) const {
  if (calledOnValidSequence()) return true;
  std::ostringstream message;
  message << (function ? function : "a method") << " belongs to " << describe()
          << " but was called from ";
  const std::string current = currentQueueLabel();
  if (current.empty()) {
    message << "thread " << std::this_thread::get_id();
  } else {
    message << "queue '" << current << "'";
  }
  assertionFailure(file, line, message.str());
  return false;
}

void SequenceChecker::detach() {
  std::lock_guard<std::mutex> guard(mutex_);
  kind_ = Kind::Unbound;
  queue_.reset();
  queueIdentity_ = nullptr;
  queueLabel_.clear();
  thread_ = {};
}

void SequenceChecker::bindTo(const QueuePtr& queue) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!queue) {
    kind_ = Kind::Unbound;
    return;
  }
  kind_ = Kind::Queue;
  queue_ = queue;
  heldWeakly_ = true;
  queueIdentity_ = queue.get();
  queueLabel_ = queue->label();
}

void SequenceChecker::bindToMainThread() {
  std::lock_guard<std::mutex> guard(mutex_);
  kind_ = Kind::MainThread;
  queue_.reset();
  queueIdentity_ = nullptr;
}

std::string SequenceChecker::describe() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return describeLocked();
}

std::string SequenceChecker::describeLocked() const {
  switch (kind_) {
  case Kind::Unbound:
    return "nothing yet";
  case Kind::MainThread:
    return "the main thread";
  case Kind::Thread: {
    std::ostringstream out;
    out << "thread " << thread_;
    return out.str();
  }
  case Kind::Queue:
    return "queue '" + queueLabel_ + "'";
  }
  return "";
}

}  // namespace platform
