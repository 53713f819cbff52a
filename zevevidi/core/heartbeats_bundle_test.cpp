#include "zevevidi/core/heartbeats_bundle.h"

#include <gtest/gtest.h>

#include "platform/foundation/date_format.h"
#include "platform/foundation/json.h"

namespace {

using platform::Date;

constexpr double kDay = 86400;
// 2024-03-01 00:00:00 GMT.
constexpr double kMarch1 = 1709251200;

Date day(int n) {
  return Date{kMarch1 + n * kDay};
}
Heartbeat beat(const std::string& agent, int n) {
  return Heartbeat{agent, day(n), {TimePeriod::daily}, 0};
}

std::vector<std::string> agents(const HeartbeatsBundle& b) {
  std::vector<std::string> out;
  for (const auto& h : b.buffer.elements())
    out.push_back(h.agent);
  return out;
}

// The ring's heartbeats from oldest to newest (following the tail, not the slots).
std::vector<std::string> oldestToNewest(HeartbeatsBundle b) {
  std::vector<std::string> out;
  while (auto h = b.buffer.removeNewest())
    out.insert(out.begin(), h->agent);
  return out;
}

TEST(RingBufferTest, PushRemoveAndIterationFollowTheSlots) {
  struct Case {
    const char* name;
    std::size_t capacity;
    std::vector<int> pushes;
    int removes;
    std::vector<int> expectedSlots;  // iteration after the operations
    std::int64_t expectedTail;
  };
  const Case cases[] = {
      {"empty ring", 0, {1, 2}, 1, {}, 0},
      {"partly filled", 3, {1, 2}, 0, {1, 2}, 2},
      {"wrapped overwrites slot 0", 3, {1, 2, 3, 4}, 0, {4, 2, 3}, 1},
      {"remove newest steps the tail back", 3, {1, 2}, 1, {1}, 1},
      {"remove across the start", 3, {1, 2, 3, 4}, 2, {2}, 2},
      {"remove on empty slots yields nothing", 3, {}, 2, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer<int> ring(c.capacity);
    for (int v : c.pushes)
      ring.push(v);
    for (int i = 0; i < c.removes; ++i)
      ring.removeNewest();
    EXPECT_EQ(ring.elements(), c.expectedSlots);
    EXPECT_EQ(ring.tailIndex, c.expectedTail);
    EXPECT_EQ(ring.circularQueue.size(), c.capacity);
  }
}

TEST(RingBufferTest, PushReturnsTheReplacedElementAndRefusesATailOutsideTheRing) {
  RingBuffer<int> ring(2);
  EXPECT_EQ(ring.push(1), std::nullopt);
  EXPECT_EQ(ring.push(2), std::nullopt);
  EXPECT_EQ(ring.push(3), std::optional<int>(1));

  for (std::int64_t tail : {-1, 2, 35}) {
    RingBuffer<int> damaged(2);
    damaged.tailIndex = tail;
    try {
      damaged.push(9);
      ADD_FAILURE() << "push at " << tail << " did not throw";
    } catch (const RingBufferError& e) {
      EXPECT_EQ(e.errorDescription(), "Out-of-bounds push at index " + std::to_string(tail) +
                                          " to ring buffer withend index of 2.");
    }
    EXPECT_EQ(damaged.circularQueue, (std::vector<std::optional<int>>{std::nullopt, std::nullopt}));
  }
}

TEST(HeartbeatsBundleTest, The31stHeartbeatReplacesSlotZeroAndForgetsItsDateInTheCache) {
  HeartbeatsBundle bundle(30);
  for (int i = 0; i < 30; ++i)
    bundle.append(beat("a", i));
  // Make the cache point at the oldest heartbeat's date, as if it were the last one.
  bundle.lastAddedHeartbeatDates[TimePeriod::daily] = day(0);
  Heartbeat replacedBy{"b", day(30), {}, 0};
  bundle.append(replacedBy);
  EXPECT_EQ(bundle.buffer.circularQueue[0]->agent, "b");
  EXPECT_EQ(bundle.lastAddedHeartbeatDates[TimePeriod::daily], distantPastDate());
  EXPECT_EQ(bundle.buffer.tailIndex, 1);
}

TEST(HeartbeatsBundleTest, AppendRecordsTheDateOfEachPeriodAndNothingAtCapacityZero) {
  HeartbeatsBundle bundle(30);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates[TimePeriod::daily], distantPastDate());
  bundle.append(beat("a", 3));
  EXPECT_EQ(bundle.lastAddedHeartbeatDates[TimePeriod::daily], day(3));

  HeartbeatsBundle none(0);
  none.append(beat("a", 1));
  EXPECT_TRUE(none.buffer.elements().empty());
  EXPECT_EQ(none.lastAddedHeartbeatDates[TimePeriod::daily], distantPastDate());
  EXPECT_EQ(none.removeHeartbeat(day(1)), std::nullopt);
  EXPECT_TRUE(none.makeHeartbeatsPayload().isEmpty());
}

TEST(HeartbeatsBundleTest, ADamagedTailResetsTheBundleAndLeavesADiagnosticHeartbeat) {
  HeartbeatsBundle bundle(30);
  bundle.append(beat("old", 0));
  bundle.buffer.tailIndex = 35;
  bundle.append(beat("agent", 5));
  ASSERT_EQ(agents(bundle).size(), 1u);
  EXPECT_EQ(agents(bundle)[0],
            "agent error/Out-of-bounds-push-at-index-35-to-ring-buffer-withend-index-of-30.");
  EXPECT_EQ(bundle.buffer.tailIndex, 1);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates[TimePeriod::daily], day(5));
}

TEST(HeartbeatsBundleTest, RemoveByDateClosesTheGapAndKeepsTheOrder) {
  HeartbeatsBundle bundle(5);
  for (int i = 0; i < 4; ++i)
    bundle.append(beat("h" + std::to_string(i), i));
  auto cache = bundle.lastAddedHeartbeatDates;

  auto removed = bundle.removeHeartbeat(day(1));
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->agent, "h1");
  EXPECT_EQ(agents(bundle), (std::vector<std::string>{"h0", "h2", "h3"}));
  EXPECT_EQ(bundle.lastAddedHeartbeatDates, cache);

  // No match: every heartbeat goes out and back in, rotated in the slots, same ring order.
  EXPECT_EQ(bundle.removeHeartbeat(day(9)), std::nullopt);
  EXPECT_EQ(agents(bundle), (std::vector<std::string>{"h2", "h3", "h0"}));
  EXPECT_EQ(oldestToNewest(bundle), (std::vector<std::string>{"h0", "h2", "h3"}));
}

TEST(HeartbeatsBundleTest, RemoveByDateOnADamagedRingNeverLeavesTheRing) {
  for (std::int64_t tail : {-7, 31, 1000000}) {
    SCOPED_TRACE(tail);
    HeartbeatsBundle bundle(30);
    bundle.append(beat("a", 0));
    bundle.buffer.tailIndex = tail;
    EXPECT_EQ(bundle.removeHeartbeat(day(0)), std::nullopt);
    EXPECT_EQ(bundle, HeartbeatsBundle(30));
  }
}

TEST(HeartbeatsBundleTest, PayloadGroupsDatesByAgentSortedByAgent) {
  HeartbeatsBundle bundle(30);
  bundle.append(beat("b", 0));
  bundle.append(beat("a", 1));
  bundle.append(beat("b", 2));
  HeartbeatsPayload payload = bundle.makeHeartbeatsPayload();
  ASSERT_EQ(payload.userAgentPayloads.size(), 2u);
  EXPECT_EQ(payload.userAgentPayloads[0], (HeartbeatsPayload::UserAgentPayload{"a", {day(1)}}));
  EXPECT_EQ(payload.userAgentPayloads[1],
            (HeartbeatsPayload::UserAgentPayload{"b", {day(0), day(2)}}));
  EXPECT_EQ(payload.version, 2);
  EXPECT_EQ(HeartbeatsBundle(30).makeHeartbeatsPayload(), HeartbeatsPayload::emptyPayload());
}

TEST(HeartbeatsBundleTest, EncodedFormOfANewBundle) {
  auto json = platform::dataWithJSONObject(HeartbeatsBundle(30).encode());
  ASSERT_TRUE(json.has_value());
  std::string nulls;
  for (int i = 0; i < 30; ++i)
    nulls += i ? ",null" : "null";
  EXPECT_EQ(*json, "{\"buffer\":{\"circularQueue\":[" + nulls +
                       "],\"tailIndex\":0},\"capacity\":30,\"lastAddedHeartbeatDates\":[1,"
                       "-63114076800]}");
}

TEST(HeartbeatsBundleTest, DecodingRoundTripsAndRefusesMalformedForms) {
  HeartbeatsBundle bundle(3);
  bundle.append(beat("a/b", 0));
  bundle.append(beat("c", 1));
  auto text = platform::dataWithJSONObject(bundle.encode());
  ASSERT_TRUE(text);
  auto back = HeartbeatsBundle::decode(*platform::JSONObjectWithData(*text));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, bundle);

  const char* malformed[] = {
      R"({"capacity":30,"lastAddedHeartbeatDates":[1,0]})",
      R"({"capacity":"30","lastAddedHeartbeatDates":[1,0],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[2,0],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[1],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[1,0],"buffer":{"circularQueue":[{"agent":"a"}],"tailIndex":0}})",
      R"({"capacity":99999999999,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"([1,2,3])",
  };
  for (const char* m : malformed) {
    SCOPED_TRACE(m);
    auto value = platform::JSONObjectWithData(m);
    ASSERT_TRUE(value);
    EXPECT_FALSE(HeartbeatsBundle::decode(*value).has_value());
  }
  // A tail outside the ring is accepted as stored; append repairs it later.
  auto odd = platform::JSONObjectWithData(
      R"({"capacity":2,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[null,null],"tailIndex":35}})");
  auto decoded = HeartbeatsBundle::decode(*odd);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->buffer.tailIndex, 35);
  EXPECT_TRUE(decoded->lastAddedHeartbeatDates.empty());
}

}  // namespace
