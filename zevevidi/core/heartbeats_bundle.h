// The heartbeat records and their on-disk container: a fixed-size ring of heartbeats plus the
// date on which each time period last received one. The controller appends to it and takes
// heartbeats out; the storage saves it as JSON (dates as seconds since 2001-01-01 GMT).
//
// Value types without locks: each bundle is used by one task at a time on its storage queue.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "zevevidi/core/heartbeats_payload.h"

enum class TimePeriod : std::int64_t { daily = 1 };

inline constexpr TimePeriod kAllTimePeriods[] = {TimePeriod::daily};
inline double timeInterval(TimePeriod period) {
  switch (period) {
  case TimePeriod::daily:
    return 86400;
  }
  return 86400;
}

// The platform's distant past: 0001-01-01 00:00:00 GMT.
platform::Date distantPastDate();

struct Heartbeat {
  std::string agent;
  platform::Date date;
  std::vector<TimePeriod> timePeriods;
  int version = 0;

  HeartbeatsPayload makeHeartbeatsPayload() const;
  friend bool operator==(const Heartbeat&, const Heartbeat&) = default;
};

// A push at a slot that is not in the ring (a damaged stored tail index).
class RingBufferError : public std::exception {
 public:
  RingBufferError(std::int64_t pushIndex, std::int64_t endIndex);
  const char* what() const noexcept override { return description_.c_str(); }
  const std::string& errorDescription() const { return description_; }

 private:
  std::string description_;
};

template <class Element> struct RingBuffer {
  std::vector<std::optional<Element>> circularQueue;
  std::int64_t tailIndex = 0;

  RingBuffer() = default;
  explicit RingBuffer(std::size_t capacity) : circularQueue(capacity) {}

  bool tailInRange() const {
    return tailIndex >= 0 && tailIndex < static_cast<std::int64_t>(circularQueue.size());
  }

  // Stores `element` at the tail; returns what it replaced. Throws RingBufferError when the
  // tail is outside the ring. A ring without slots stores nothing.
  std::optional<Element> push(Element element) {
    const auto n = static_cast<std::int64_t>(circularQueue.size());
    if (n == 0) return std::nullopt;
    if (!tailInRange()) throw RingBufferError(tailIndex, n);
    std::optional<Element> old = std::move(circularQueue[tailIndex]);
    circularQueue[tailIndex] = std::move(element);
    tailIndex = tailIndex + 1 == n ? 0 : tailIndex + 1;
    return old;
  }

  // Takes out the most recently pushed element still present. A tail outside the ring (only a
  // damaged stored ring has one) yields nothing and touches no slot.
  std::optional<Element> removeNewest() {
    const auto n = static_cast<std::int64_t>(circularQueue.size());
    if (n == 0 || tailIndex < 0 || tailIndex > n) return std::nullopt;
    tailIndex = tailIndex - 1 < 0 ? n - 1 : tailIndex - 1;
    std::optional<Element> out = std::move(circularQueue[tailIndex]);
    circularQueue[tailIndex].reset();
    return out;
  }

  // The present elements in slot order.
  std::vector<Element> elements() const {
    std::vector<Element> out;
    for (const auto& slot : circularQueue) {
      if (slot) out.push_back(*slot);
    }
    return out;
  }

  friend bool operator==(const RingBuffer&, const RingBuffer&) = default;
};

struct HeartbeatsBundle {
  using Cache = std::map<TimePeriod, platform::Date>;

  std::int64_t capacity = 0;
  Cache lastAddedHeartbeatDates;
  RingBuffer<Heartbeat> buffer;

  // Every period mapped to the distant past.
  static Cache defaultCache();
  explicit HeartbeatsBundle(std::int64_t capacity = 0, Cache cache = defaultCache());

  void append(const Heartbeat& heartbeat);
  std::optional<Heartbeat> removeHeartbeat(platform::Date date);
  HeartbeatsPayload makeHeartbeatsPayload() const;

  // The stored JSON form.
  platform::Value encode() const;
  // None for a value that is not that form (missing key, wrong type, unknown period, a
  // capacity outside 0..kMaxCapacity). The tail index is not checked.
  static std::optional<HeartbeatsBundle> decode(const platform::Value& value);
  static constexpr std::int64_t kMaxCapacity = 10000;

  friend bool operator==(const HeartbeatsBundle&, const HeartbeatsBundle&) = default;
};
