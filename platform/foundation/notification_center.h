// Named notifications delivered to observers. Stands in for the platform's notification centre.
//
// post() calls every matching observer synchronously, on the poster's thread, in the order the
// observers were added, and returns when all have run. An observer matches by name (empty:
// every name) and by object (null: any object). Observers are removed by the token that
// adding them returned. The centre holds no lock while observers run, so they may post, add
// and remove freely: an observer added during a post is not called by that post, one removed
// during a post is not called after its removal. An exception thrown by an observer is logged
// and the remaining observers still run. Thread-safe. The object is an identity only: the
// centre never dereferences it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/value.h"

namespace platform {

struct Notification {
  std::string name;
  const void* object = nullptr;
  ValueMap userInfo;
};

using NotificationHandler = std::function<void(const Notification&)>;

// Returned by addObserverForName; pass it to removeObserver. Copyable; 0 is no observer.
struct NotificationToken {
  std::uint64_t id = 0;
  explicit operator bool() const { return id != 0; }
  friend bool operator==(const NotificationToken&, const NotificationToken&) = default;
};

class NotificationCenter {
 public:
  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide centre.
  static NotificationCenter& defaultCenter();

  NotificationToken addObserverForName(std::string name, const void* object,
                                       NotificationHandler handler);
  // Idempotent; an unknown token is ignored.
  void removeObserver(NotificationToken token);

  void postNotification(const Notification& notification);
  void postNotificationName(std::string name, const void* object = nullptr, ValueMap userInfo = {});

  std::size_t observerCount() const;

 private:
  struct Entry;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  std::uint64_t nextId_ = 1;
};

}  // namespace platform
