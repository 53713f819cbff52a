#include "measurement/model/apm_app_metadata.h"

#include <cmath>
#include <limits>

#include "measurement/storage/apm_monitor.h"

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();

// a + n, held at the int32 range.
std::int32_t saturatingAdd(std::int32_t a, std::int64_t n) {
  const std::int64_t sum = static_cast<std::int64_t>(a) + n;
  if (sum > kInt32Max) return static_cast<std::int32_t>(kInt32Max);
  if (sum < kInt32Min) return static_cast<std::int32_t>(kInt32Min);
  return static_cast<std::int32_t>(sum);
}

}  // namespace

std::optional<std::int32_t> APMDayNumber(double now, double midnightOffset) {
  const double day = std::floor((now - midnightOffset) / 86400.0);
  if (!std::isfinite(day) || day < static_cast<double>(kInt32Min) ||
      day > static_cast<double>(kInt32Max)) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(day);
}

std::optional<std::int32_t> APMInt32FromValue(const platform::Value& value) {
  if (value.isInt()) {
    const std::int64_t n = value.asInt();
    if (n < kInt32Min || n > kInt32Max) return std::nullopt;
    return static_cast<std::int32_t>(n);
  }
  if (value.isDouble()) {
    const double d = value.asDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < static_cast<double>(kInt32Min) ||
        d > static_cast<double>(kInt32Max)) {
      return std::nullopt;
    }
    return static_cast<std::int32_t>(d);
  }
  return std::nullopt;
}

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, std::int32_t lastDeliveryIndex, double lastBundleStartTimestamp,
    double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMProcessMonitor()->logWithLevel(
        2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::make_shared<APMAppMetadata>(lastBundleIndex, lastDeliveryIndex,
                                          lastBundleStartTimestamp, lastBundleEndTimestamp);
}

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
  return initWithLastBundleIndex(lastBundleIndex, 0, lastBundleStartTimestamp,
                                 lastBundleEndTimestamp);
}

void APMAppMetadata::increaseLastBundleIndex(std::int64_t n) {
  const std::int64_t sum = static_cast<std::int64_t>(lastBundleIndex_) + n;
  if (sum >= 0 && sum <= kInt32Max) {
    lastBundleIndex_ = static_cast<std::int32_t>(sum);
    return;
  }
  APMProcessMonitor()->logWithLevel(5, 4001, "Bundle index overflow. Bundle index wraparound.");
  // n - 1 counts the events past the wrap from 0; an n that could not be an event count keeps
  // the index in its range all the same.
  const std::int64_t wrapped = n - 1;
  lastBundleIndex_ = wrapped >= 0 && wrapped <= kInt32Max ? static_cast<std::int32_t>(wrapped) : 0;
}

void APMAppMetadata::incrementLastDeliveryIndex() {
  lastDeliveryIndex_ = lastDeliveryIndex_ == kInt32Max ? 0 : lastDeliveryIndex_ + 1;
  if (lastDeliveryIndex_ == 0) {
    APMProcessMonitor()->logWithLevel(5, 4002,
                                      "Delivery index overflow. Delivery index reset to 0.");
  }
}

std::shared_ptr<APMDailyCounts>
APMDailyCounts::initWithDay(std::int32_t day, std::int32_t conversionsCount,
                            std::int32_t allEventsCount, std::int32_t publicEventsCount,
                            std::int32_t errorEventsCount, std::int32_t realtimeCount,
                            std::int32_t dcuRealtimeCount) {
  auto counts = std::make_shared<APMDailyCounts>();
  counts->day_ = day;
  counts->conversionsCount_ = conversionsCount;
  counts->allEventsCount_ = allEventsCount;
  counts->publicEventsCount_ = publicEventsCount;
  counts->errorEventsCount_ = errorEventsCount;
  counts->realtimeCount_ = realtimeCount;
  counts->dcuRealtimeCount_ = dcuRealtimeCount;
  return counts;
}

void APMDailyCounts::resetWithNewDay(std::int32_t day) {
  day_ = day;
  conversionsCount_ = allEventsCount_ = publicEventsCount_ = errorEventsCount_ = realtimeCount_ =
      dcuRealtimeCount_ = 0;
}

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent,
                                                  bool isConversion,
                                                  std::int32_t byEffectiveEventCount) {
  if (currentDay != day_) resetWithNewDay(currentDay);
  if (isConversion) conversionsCount_ = saturatingAdd(conversionsCount_, 1);
  allEventsCount_ = saturatingAdd(allEventsCount_, byEffectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = saturatingAdd(publicEventsCount_, byEffectiveEventCount);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t currentDay) {
  if (currentDay != day_) resetWithNewDay(currentDay);
  allEventsCount_ = saturatingAdd(allEventsCount_, 1);
  errorEventsCount_ = saturatingAdd(errorEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t currentDay) {
  if (currentDay != day_) resetWithNewDay(currentDay);
  realtimeCount_ = saturatingAdd(realtimeCount_, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(std::int32_t currentDay) {
  if (currentDay != day_) resetWithNewDay(currentDay);
  dcuRealtimeCount_ = saturatingAdd(dcuRealtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  allEventsCount_ = allEventsCount_ <= 1 ? 0 : allEventsCount_ - 1;
}
