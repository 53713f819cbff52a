// A coalescing "data add" source: add(n) from any thread; the handler runs on the target queue
// with the sum of everything added since it last ran (many adds, one handler call).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/queue.h"

namespace platform {

class DataAddSource {
 public:
  DataAddSource(QueuePtr queue, std::function<void(std::uint64_t)> handler);
  ~DataAddSource();
  void add(std::uint64_t n);
  // No handler runs after cancel() returns: a handler running on another thread is waited
  // for (from inside the handler, cancel returns at once). The destructor cancels.
  void cancel();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
