#include "zevevidi/core/heartbeats_bundle.h"

#include <algorithm>

#include "platform/foundation/date_format.h"

using platform::Date;
using platform::Value;
using platform::ValueList;
using platform::ValueMap;

Date distantPastDate() {
  // 0001-01-01 00:00:00 GMT is this many seconds before the reference date.
  return platform::dateWithTimeIntervalSinceReferenceDate(-63114076800.0);
}

RingBufferError::RingBufferError(std::int64_t pushIndex, std::int64_t endIndex)
    : description_("Out-of-bounds push at index " + std::to_string(pushIndex) +
                   " to ring buffer with" + "end index of " + std::to_string(endIndex) + ".") {}

HeartbeatsPayload Heartbeat::makeHeartbeatsPayload() const {
  return HeartbeatsPayload{{{agent, {date}}}, 2};
}

HeartbeatsBundle::Cache HeartbeatsBundle::defaultCache() {
  Cache cache;
  for (TimePeriod p : kAllTimePeriods)
    cache[p] = distantPastDate();
  return cache;
}

HeartbeatsBundle::HeartbeatsBundle(std::int64_t capacity, Cache cache)
    : capacity(capacity), lastAddedHeartbeatDates(std::move(cache)),
      buffer(static_cast<std::size_t>(std::clamp<std::int64_t>(capacity, 0, kMaxCapacity))) {}

void HeartbeatsBundle::append(const Heartbeat& heartbeat) {
  if (capacity <= 0) return;
  try {
    auto replaced = buffer.push(heartbeat);
    if (replaced) {
      for (auto& [period, date] : lastAddedHeartbeatDates) {
        if (date == replaced->date) date = distantPastDate();
      }
    }
    for (TimePeriod p : heartbeat.timePeriods)
      lastAddedHeartbeatDates[p] = heartbeat.date;
  } catch (const RingBufferError& error) {
    // A damaged ring: start over, and leave a heartbeat that names the failure so the next
    // flush reports it.
    *this = HeartbeatsBundle(capacity);
    std::string message = error.errorDescription();
    std::replace(message.begin(), message.end(), ' ', '-');
    Heartbeat diagnostic{heartbeat.agent + " error/" + message, heartbeat.date,
                         heartbeat.timePeriods, 0};
    try {
      buffer.push(diagnostic);
      for (TimePeriod p : diagnostic.timePeriods)
        lastAddedHeartbeatDates[p] = diagnostic.date;
    } catch (const RingBufferError&) {
    }
  }
}

std::optional<Heartbeat> HeartbeatsBundle::removeHeartbeat(Date date) {
  if (!buffer.circularQueue.empty() && !buffer.tailInRange()) {
    // A damaged ring read from disk: nothing in it can be trusted or reached safely.
    *this = HeartbeatsBundle(capacity);
    return std::nullopt;
  }
  std::vector<Heartbeat> taken;
  std::optional<Heartbeat> match;
  while (auto newest = buffer.removeNewest()) {
    if (newest->date == date) {
      match = std::move(newest);
      break;
    }
    taken.push_back(std::move(*newest));
  }
  for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
    try {
      buffer.push(*it);
    } catch (const RingBufferError&) {
    }
  }
  return match;
}

HeartbeatsPayload HeartbeatsBundle::makeHeartbeatsPayload() const {
  std::map<std::string, std::vector<Date>> byAgent;
  for (const auto& heartbeat : buffer.elements()) {
    byAgent[heartbeat.agent].push_back(heartbeat.date);
  }
  HeartbeatsPayload payload;
  payload.version = 2;
  for (auto& [agent, dates] : byAgent)
    payload.userAgentPayloads.push_back({agent, dates});
  return payload;
}

namespace {

Value dateValue(Date d) {
  return Value(platform::timeIntervalSinceReferenceDate(d));
}

std::optional<Date> readDate(const Value& v) {
  double seconds = 0;
  if (!v.isNumber() || !v.toDouble(&seconds)) return std::nullopt;
  return platform::dateWithTimeIntervalSinceReferenceDate(seconds);
}

std::optional<TimePeriod> readPeriod(const Value& v) {
  if (!v.isInt() || v.asInt() != static_cast<std::int64_t>(TimePeriod::daily)) return std::nullopt;
  return TimePeriod::daily;
}

const Value* key(const Value& object, const char* name) {
  return object.isMap() ? object.find(Value(name)) : nullptr;
}

Value encodeHeartbeat(const Heartbeat& h) {
  ValueList periods;
  for (TimePeriod p : h.timePeriods)
    periods.emplace_back(static_cast<std::int64_t>(p));
  ValueMap m;
  m[Value("agent")] = Value(h.agent);
  m[Value("date")] = dateValue(h.date);
  m[Value("version")] = Value(h.version);
  m[Value("timePeriods")] = Value(std::move(periods));
  return Value(std::move(m));
}

std::optional<Heartbeat> decodeHeartbeat(const Value& v) {
  const Value* agent = key(v, "agent");
  const Value* date = key(v, "date");
  const Value* version = key(v, "version");
  const Value* periods = key(v, "timePeriods");
  if (!agent || !agent->isString() || !date || !version || !version->isInt() || !periods ||
      !periods->isList()) {
    return std::nullopt;
  }
  auto d = readDate(*date);
  if (!d) return std::nullopt;
  Heartbeat h{agent->asString(), *d, {}, static_cast<int>(version->asInt())};
  for (const Value& p : periods->asList()) {
    auto period = readPeriod(p);
    if (!period) return std::nullopt;
    h.timePeriods.push_back(*period);
  }
  return h;
}

}  // namespace

Value HeartbeatsBundle::encode() const {
  ValueList cache;
  for (const auto& [period, date] : lastAddedHeartbeatDates) {
    cache.emplace_back(static_cast<std::int64_t>(period));
    cache.push_back(dateValue(date));
  }
  ValueList slots;
  for (const auto& slot : buffer.circularQueue) {
    slots.push_back(slot ? encodeHeartbeat(*slot) : Value());
  }
  ValueMap ring;
  ring[Value("circularQueue")] = Value(std::move(slots));
  ring[Value("tailIndex")] = Value(buffer.tailIndex);
  ValueMap m;
  m[Value("capacity")] = Value(capacity);
  m[Value("lastAddedHeartbeatDates")] = Value(std::move(cache));
  m[Value("buffer")] = Value(std::move(ring));
  return Value(std::move(m));
}

std::optional<HeartbeatsBundle> HeartbeatsBundle::decode(const Value& value) {
  const Value* cap = key(value, "capacity");
  const Value* cache = key(value, "lastAddedHeartbeatDates");
  const Value* ring = key(value, "buffer");
  if (!cap || !cap->isInt() || !cache || !cache->isList() || !ring) return std::nullopt;
  if (cap->asInt() < 0 || cap->asInt() > kMaxCapacity) return std::nullopt;
  const Value* slots = key(*ring, "circularQueue");
  const Value* tail = key(*ring, "tailIndex");
  if (!slots || !slots->isList() || !tail || !tail->isInt()) return std::nullopt;
  const ValueList& pairs = cache->asList();
  if (pairs.size() % 2 != 0) return std::nullopt;

  HeartbeatsBundle bundle(0, {});
  bundle.capacity = cap->asInt();
  for (std::size_t i = 0; i < pairs.size(); i += 2) {
    auto period = readPeriod(pairs[i]);
    auto date = readDate(pairs[i + 1]);
    if (!period || !date) return std::nullopt;
    bundle.lastAddedHeartbeatDates[*period] = *date;
  }
  for (const Value& slot : slots->asList()) {
    if (slot.isNull()) {
      bundle.buffer.circularQueue.emplace_back();
      continue;
    }
    auto h = decodeHeartbeat(slot);
    if (!h) return std::nullopt;
    bundle.buffer.circularQueue.emplace_back(std::move(*h));
  }
  bundle.buffer.tailIndex = tail->asInt();
  return bundle;
}
