#include "platform/dispatch/data_add_source.h"

#include <atomic>
#include <limits>
#include <mutex>

namespace platform {

struct DataAddSource::Impl : std::enable_shared_from_this<DataAddSource::Impl> {
  QueuePtr queue;
  std::function<void(std::uint64_t)> handler;
  std::mutex mutex;
  std::uint64_t sum = 0;
  bool scheduled = false;
  std::atomic<bool> cancelled{false};
  // Held while the handler runs so cancel() from another thread waits for it; recursive so the
  // handler may cancel its own source.
  std::recursive_mutex running;

  void add(std::uint64_t n) {
    if (n == 0 || cancelled.load()) return;
    {
      std::lock_guard<std::mutex> guard(mutex);
      // Saturate rather than wrap: a wrapped sum would report less than was added.
      sum = sum > std::numeric_limits<std::uint64_t>::max() - n
                ? std::numeric_limits<std::uint64_t>::max()
                : sum + n;
      if (scheduled) return;
      scheduled = true;
    }
    queue->async([self = shared_from_this()] { self->deliver(); });
  }

  void deliver() {
    std::uint64_t total;
    {
      std::lock_guard<std::mutex> guard(mutex);
      total = sum;
      sum = 0;
      scheduled = false;
    }
    if (total == 0 || cancelled.load()) return;
    std::lock_guard<std::recursive_mutex> guard(running);
    if (!cancelled.load()) handler(total);
  }

  void cancel() {
    cancelled.store(true);
    std::lock_guard<std::recursive_mutex> guard(running);
  }
};

DataAddSource::DataAddSource(QueuePtr queue, std::function<void(std::uint64_t)> handler)
    : impl_(std::make_shared<Impl>()) {
  impl_->queue = std::move(queue);
  impl_->handler = std::move(handler);
}

DataAddSource::~DataAddSource() {
  cancel();
}

void DataAddSource::add(std::uint64_t n) {
  impl_->add(n);
}

void DataAddSource::cancel() {
  impl_->cancel();
}

}  // namespace platform
