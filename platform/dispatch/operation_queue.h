// A queue of operations run one at a time, first in first out. Stands in for an operation queue
// limited to one concurrent operation. It may be created suspended (operations accumulate until
// it is resumed) and suspended and resumed at any time; an operation already running finishes.
//
// Operations run on a serial queue of their own, labelled with the queue's name. All methods are
// thread-safe. The object may go away with operations still queued: those that have not started
// are dropped, a running one finishes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/dispatch/queue.h"

namespace platform {

class OperationQueue {
 public:
  explicit OperationQueue(std::string name, bool suspended = false);
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const;
  // Appends an operation; it runs after every operation added before it.
  void addOperation(Task operation);
  void setSuspended(bool suspended);
  bool isSuspended() const;
  // Operations added and not yet finished (the running one included).
  std::size_t operationCount() const;
  // Blocks until no operation is queued or running. While the queue is suspended with operations
  // waiting it blocks until someone resumes it, so callers check isSuspended() first. Called from
  // an operation of this queue it would wait for itself: reported as misuse, and returns at once.
  void waitUntilAllOperationsAreFinished();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
