// The clock-driven timer service behind asyncAfter and Timer.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/dispatch_internal.h"

namespace platform::detail {
namespace {

struct Entry {
  QueuePtr queue;
  Task task;
  std::uint64_t environment;  // 0: real time
};

// Key: (due uptime, sequence) so equal due times fire in scheduling order.
using Key = std::pair<double, std::uint64_t>;

// Leaked: the timer thread lives for the rest of the process.
struct Service {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<Key, Entry> entries;
  std::map<std::uint64_t, Key> keys;  // id -> key, for cancel
  std::uint64_t nextId = 1;
  std::uint64_t mockEnvironment = 0;
  bool threadStarted = false;

  // Real-time loop: hands due entries to their queues. Idle while a mock environment lives.
  void loop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      auto it = entries.begin();
      while (it != entries.end() && it->second.environment != 0)
        ++it;
      if (mockEnvironment != 0 || it == entries.end()) {
        changed.wait(lock);
        continue;
      }
      double now = Clock::current().uptime();
      if (it->first.first > now) {
        changed.wait_for(lock, std::chrono::duration<double>(it->first.first - now));
        continue;
      }
      Entry entry = std::move(it->second);
      keys.erase(it->first.second);
      entries.erase(it);
      lock.unlock();
      entry.queue->async(std::move(entry.task));
      entry = Entry{};
      lock.lock();
    }
  }
};

Service& service() {
  static Service* s = new Service;
  return *s;
}

}  // namespace

std::uint64_t timerSchedule(double delaySeconds, QueuePtr queue, Task task) {
  Service& s = service();
  // NaN and negative delays mean "as soon as possible".
  if (!(delaySeconds > 0)) delaySeconds = 0;
  const double due = Clock::current().uptime() + delaySeconds;
  std::unique_lock<std::mutex> lock(s.mutex);
  const std::uint64_t id = s.nextId++;
  s.entries.emplace(Key{due, id}, Entry{std::move(queue), std::move(task), s.mockEnvironment});
  s.keys.emplace(id, Key{due, id});
  if (s.mockEnvironment == 0 && !s.threadStarted) {
    s.threadStarted = true;
    std::thread([&s] { s.loop(); }).detach();
  }
  lock.unlock();
  s.changed.notify_all();
  return id;
}

void timerCancel(std::uint64_t id) {
  Service& s = service();
  Entry dropped;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto k = s.keys.find(id);
    if (k == s.keys.end()) return;
    auto it = s.entries.find(k->second);
    dropped = std::move(it->second);
    s.entries.erase(it);
    s.keys.erase(k);
  }
  // `dropped` dies here, outside the lock: its captures may schedule or cancel timers.
}

void timerBeginMock(std::uint64_t environment) {
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.mockEnvironment = environment;
}

void timerEndMock(std::uint64_t environment) {
  Service& s = service();
  std::vector<Entry> dropped;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    for (auto it = s.entries.begin(); it != s.entries.end();) {
      if (it->second.environment == environment) {
        s.keys.erase(it->first.second);
        dropped.push_back(std::move(it->second));
        it = s.entries.erase(it);
      } else {
        ++it;
      }
    }
    if (s.mockEnvironment == environment) s.mockEnvironment = 0;
  }
  s.changed.notify_all();
}

bool timerPopDue(double limit, double* due, QueuePtr* queue, Task* task) {
  Service& s = service();
  Entry entry;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.mockEnvironment == 0) return false;
    auto it = s.entries.begin();
    while (it != s.entries.end() && it->second.environment != s.mockEnvironment)
      ++it;
    if (it == s.entries.end() || it->first.first > limit) return false;
    *due = it->first.first;
    entry = std::move(it->second);
    s.keys.erase(it->first.second);
    s.entries.erase(it);
  }
  *queue = std::move(entry.queue);
  *task = std::move(entry.task);
  return true;
}

}  // namespace platform::detail
