// The two records kept in the single app_metadata row of the measurement database:
// APMAppMetadata, the bundle sequence (last bundle and delivery index, start and end time of the
// last bundle), and APMDailyCounts, the counters the per-day event limits are checked against.
// Plain value records made per read and owned by their reader; not shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/core/value.h"

// floor((now - midnightOffset) / 86400): the installation's day number, its day starting at its
// own fixed time of day. None when the result does not fit 32 bits (or the inputs are not
// finite).
std::optional<std::int32_t> APMDayNumber(double now, double midnightOffset);

// A stored number as int32: an Int in range, or a Double with an integral value in range.
std::optional<std::int32_t> APMInt32FromValue(const platform::Value& value);

class APMAppMetadata {
 public:
  // None (and report 4000) for a negative bundle index.
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 std::int32_t lastDeliveryIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);

  // Adds `n` (the events of a new bundle); past 2147483647 the index wraps to n - 1 (4001).
  void increaseLastBundleIndex(std::int64_t n);
  // Adds 1; 2147483647 wraps to 0 (4002 whenever the new index is 0).
  void incrementLastDeliveryIndex();

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  std::int32_t lastDeliveryIndex() const { return lastDeliveryIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double seconds) { lastBundleStartTimestamp_ = seconds; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double seconds) { lastBundleEndTimestamp_ = seconds; }

  APMAppMetadata(std::int32_t lastBundleIndex, std::int32_t lastDeliveryIndex, double start,
                 double end)
      : lastBundleIndex_(lastBundleIndex), lastDeliveryIndex_(lastDeliveryIndex),
        lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

 private:
  std::int32_t lastBundleIndex_;
  std::int32_t lastDeliveryIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

class APMDailyCounts {
 public:
  static std::shared_ptr<APMDailyCounts>
  initWithDay(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
              std::int32_t publicEventsCount, std::int32_t errorEventsCount,
              std::int32_t realtimeCount, std::int32_t dcuRealtimeCount);

  // Each starts a new day first (every counter 0) when `currentDay` differs from day().
  // Counters stop at 2147483647 instead of overflowing.
  void incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion,
                                    std::int32_t byEffectiveEventCount = 1);
  void incrementErrorEventsCountForCurrentDay(std::int32_t currentDay);
  void incrementRealtimeCountsForCurrentDay(std::int32_t currentDay);
  void incrementDCURealtimeCountsForCurrentDay(std::int32_t currentDay);
  // All events - 1, never below 0.
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }
  std::int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

 private:
  std::int32_t day_ = 0;
  std::int32_t conversionsCount_ = 0;
  std::int32_t allEventsCount_ = 0;
  std::int32_t publicEventsCount_ = 0;
  std::int32_t errorEventsCount_ = 0;
  std::int32_t realtimeCount_ = 0;
  std::int32_t dcuRealtimeCount_ = 0;
};
