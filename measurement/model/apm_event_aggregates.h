// APMEventAggregates: the counters the measurement database keeps per event name (table
// "events"): how often the event was counted in total, for the bundle being built and in the
// current session, when it last fired and was last bundled, and the sampling state bundling
// needs. A plain record made per read and owned by its reader; one thread at a time (the
// measurement worker queue).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class APMEventAggregates {
 public:
  // None when the name fails the internal event-name rule (nothing logged here) or a count is
  // negative (17000).
  static std::shared_ptr<APMEventAggregates>
  initWithName(const std::string& name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
               std::int32_t currentSessionCount, double lastFireTimestamp);

  // Each adds 1; a counter at 2147483647 becomes 0 instead (17001, 17002, 17003).
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }

  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double seconds) { lastFireTimestamp_ = seconds; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double seconds) { lastBundledTimestamp_ = seconds; }
  // The "_eid" of the last sampled complex event, when there was one.
  const std::optional<std::int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  void setLastSampledComplexEventID(std::optional<std::int64_t> id) {
    lastSampledComplexEventID_ = id;
  }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

  APMEventAggregates(std::string name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
                     std::int32_t currentSessionCount, double lastFireTimestamp)
      : lifetimeCount_(lifetimeCount), currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount), name_(std::move(name)),
        lastFireTimestamp_(lastFireTimestamp) {}

 private:
  bool lastExemptFromSampling_ = false;
  std::int32_t lifetimeCount_;
  std::int32_t currentBundleCount_;
  std::int32_t currentSessionCount_;
  std::int32_t lastSamplingRate_ = 1;
  std::int32_t lastBundledDay_ = 0;
  std::string name_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<std::int64_t> lastSampledComplexEventID_;
};
