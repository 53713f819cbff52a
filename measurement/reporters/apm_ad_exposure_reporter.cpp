#include "measurement/reporters/apm_ad_exposure_reporter.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

using platform::Value;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

std::mutex& hooksMutex() {
  static std::mutex mutex;
  return mutex;
}
APMAdExposureHooks& hooks() {
  static APMAdExposureHooks installed;
  return installed;
}

platform::ValueMap currentScreenParameters() {
  std::function<platform::ValueMap()> read;
  {
    std::lock_guard lock(hooksMutex());
    read = hooks().screenParameters;
  }
  return read ? read() : platform::ValueMap{};
}

bool isAppActive() {
  std::function<bool()> read;
  {
    std::lock_guard lock(hooksMutex());
    read = hooks().isAppActive;
  }
  return read && read();
}

// (end - start) in whole milliseconds, truncated toward zero; none when it does not fit.
std::optional<std::int64_t> milliseconds(double start, double end) {
  const double ms = std::trunc((end - start) * 1000.0);
  if (!std::isfinite(ms) || ms < -9.2e18 || ms > 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(ms);
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  static const std::shared_ptr<APMAdExposureReporter> instance =
      std::make_shared<APMAdExposureReporter>();
  return instance;
}

void APMAdExposureReporter::setHooks(APMAdExposureHooks installed) {
  std::lock_guard lock(hooksMutex());
  hooks() = std::move(installed);
}

APMAdExposureReporter::APMAdExposureReporter()
    : adExposureStartTime_(currentTime()),
      queue_(platform::makeSerialQueue(APMAdExposureReporterQueueName)) {
  // The registration is removed by the destructor; the shared instance lives for the process.
  engagementToken_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      APMAdExposureEngagementNotification, nullptr,
      [this](const platform::Notification&) { handleEngagementTimer(); });
}

APMAdExposureReporter::~APMAdExposureReporter() {
  platform::NotificationCenter::defaultCenter().removeObserver(engagementToken_);
}

void APMAdExposureReporter::logEvents(const std::vector<PendingEvent>& events) {
  for (const auto& event : events)
    APMLogInternalEvent("am", event.name, event.parameters);
}

double APMAdExposureReporter::currentTime() {
  return platform::Clock::current().uptime();
}

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    report(5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, adUnitID, time] {
    const auto self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= APMAdExposureMaxAdUnits) {
      report(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID", {Value(adUnitID)});
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    const auto it = self->adUnitCounts_.find(adUnitID);
    if (it == self->adUnitCounts_.end()) {
      self->adUnitStartTimes_[adUnitID] = time;
      self->adUnitCounts_[adUnitID] = 1;
    } else {
      ++it->second;
    }
  });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    report(5, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  const platform::ValueMap parameters = currentScreenParameters();
  std::vector<PendingEvent> events;
  queue_->sync([&] {
    const auto it = adUnitCounts_.find(adUnitID);
    if (it == adUnitCounts_.end()) {
      report(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", {Value(adUnitID)});
      return;
    }
    if (it->second >= 2) {
      --it->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueue(adUnitID, time, parameters);
    adUnitCounts_.erase(adUnitID);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueue(time, parameters);
      adExposureStartTime_ = time;
    }
    events.swap(pending_);
  });
  logEvents(events);
}

void APMAdExposureReporter::handleScreenDidChangeFromScreenParameters(
    const platform::ValueMap* previous) {
  if (!previous) return;
  logExposureEventsWithScreenParameters(*previous);
}

void APMAdExposureReporter::handleEngagementTimer() {
  logExposureEventsWithScreenParameters(currentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreenParameters(
    const platform::ValueMap& parameters) {
  const platform::ValueMap used = parameters.empty() ? currentScreenParameters() : parameters;
  const double time = currentTime();
  std::vector<PendingEvent> events;
  queue_->sync([&] {
    logExposureEventsOnSerialQueueWithEndTime(time, used);
    events.swap(pending_);
  });
  logEvents(events);
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(
    const platform::ValueMap& parameters) {
  const double time = currentTime();
  std::vector<PendingEvent> events;
  queue_->sync([&] {
    logExposureEventsOnSerialQueueWithEndTime(time, parameters);
    events.swap(pending_);
  });
  logEvents(events);
}

void APMAdExposureReporter::resetForTesting() {
  const double time = currentTime();
  queue_->sync([&] {
    adUnitCounts_.clear();
    adUnitStartTimes_.clear();
    adExposureStartTime_ = time;
  });
  reportingEnabled_ = true;
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [id, start] : adUnitStartTimes_)
    start = time;
  adExposureStartTime_ = time;
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(
    double endTime, const platform::ValueMap& parameters) {
  for (const auto& [id, count] : adUnitCounts_)
    logAdUnitExposureEventOnSerialQueue(id, endTime, parameters);
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, parameters);
  // A slice that was not logged is dropped too: its time is never carried into the next one.
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(
    const std::string& adUnitID, double endTime, const platform::ValueMap& parameters) {
  if (!reportingEnabled_) {
    report(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    report(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!isAppActive()) {
    report(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  const auto start = adUnitStartTimes_.find(adUnitID);
  const auto ms = milliseconds(start == adUnitStartTimes_.end() ? endTime : start->second, endTime);
  if (!ms || *ms < 1000) {
    report(8, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  platform::ValueMap event = parameters;
  event[Value("_ai")] = Value(adUnitID);
  event[Value("_xt")] = Value(*ms);
  pending_.push_back({"_xu", std::move(event)});
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime,
                                                            const platform::ValueMap& parameters) {
  if (!reportingEnabled_) {
    report(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!isAppActive()) {
    report(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const auto ms = milliseconds(adExposureStartTime_, endTime);
  if (!ms || *ms < 1000) {
    report(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  platform::ValueMap event = parameters;
  event[Value("_xt")] = Value(*ms);
  pending_.push_back({"_xa", std::move(event)});
}
