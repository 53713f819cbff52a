#include "platform/foundation/notification_center.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "platform/log/log.h"

namespace platform {

struct NotificationCenter::Entry {
  std::uint64_t id;
  std::string name;
  const void* object;
  NotificationHandler handler;
  std::atomic<bool> removed{false};

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (!object || object == n.object);
  }
};

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Leaked: observers may be removed from destructors of other static objects.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationToken NotificationCenter::addObserverForName(std::string name, const void* object,
                                                         NotificationHandler handler) {
  if (!handler) return {};
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->object = object;
  entry->handler = std::move(handler);
  std::lock_guard<std::mutex> guard(mutex_);
  entry->id = nextId_++;
  entries_.push_back(entry);
  return NotificationToken{entry->id};
}

void NotificationCenter::removeObserver(NotificationToken token) {
  std::shared_ptr<Entry> gone;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e->id == token.id; });
    if (it == entries_.end()) return;
    gone = *it;
    gone->removed.store(true);
    entries_.erase(it);
  }
  // `gone` (and the handler's captures) may die here, outside the lock.
}

void NotificationCenter::postNotification(const Notification& notification) {
  std::vector<std::shared_ptr<Entry>> targets;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& e : entries_) {
      if (e->matches(notification)) targets.push_back(e);
    }
  }
  for (const auto& e : targets) {
    if (e->removed.load()) continue;
    try {
      e->handler(notification);
    } catch (const std::exception& ex) {
      Log::cached("com.lumora.platform", "notifications")
          ->error("observer of '" + notification.name + "' threw: " + ex.what());
    } catch (...) {
      Log::cached("com.lumora.platform", "notifications")
          ->error("observer of '" + notification.name + "' threw an unknown exception");
    }
  }
}

void NotificationCenter::postNotificationName(std::string name, const void* object,
                                              ValueMap userInfo) {
  postNotification(Notification{std::move(name), object, std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

}  // namespace platform
