#include "zevevidi/installations/fir_installations_backoff_controller.h"

#include <algorithm>
#include <cmath>

#include "platform/core/random.h"
#include "platform/dispatch/clock.h"

FIRCurrentDateProvider FIRRealCurrentDateProvider() {
  return [] { return platform::Date{platform::Clock::current().now()}; };
}

FIRInstallationsBackoffController::FIRInstallationsBackoffController()
    : FIRInstallationsBackoffController(FIRRealCurrentDateProvider()) {}

FIRInstallationsBackoffController::FIRInstallationsBackoffController(
    FIRCurrentDateProvider currentDateProvider)
    : currentDateProvider_(currentDateProvider ? std::move(currentDateProvider)
                                               : FIRRealCurrentDateProvider()) {}

bool FIRInstallationsBackoffController::isNextRequestAllowed() {
  std::lock_guard lock(mutex_);
  if (!lastEventData_) return true;
  const double elapsed =
      currentDateProvider_().secondsSince1970 - lastEventData_->lastEventDate.secondsSince1970;
  return elapsed >= lastEventData_->backoffTimeInterval;
}

void FIRInstallationsBackoffController::registerEvent(FIRInstallationsBackoffEvent event) {
  std::lock_guard lock(mutex_);
  std::int64_t count = 1;
  if (lastEventData_ && lastEventData_->eventType == event) {
    // A run this long is blocked at the cap anyway; the count only must not wrap.
    count = lastEventData_->eventCount < INT64_MAX ? lastEventData_->eventCount + 1 : INT64_MAX;
  }
  FIRInstallationsBackoffEventData data;
  data.eventType = event;
  data.lastEventDate = currentDateProvider_();
  data.eventCount = count;
  data.backoffTimeInterval = backoffTimeIntervalWithEvent(event, count);
  lastEventData_ = data;
}

double
FIRInstallationsBackoffController::backoffTimeIntervalWithEvent(FIRInstallationsBackoffEvent event,
                                                                std::int64_t eventCount) {
  switch (event) {
  case FIRInstallationsBackoffEventSuccess:
    return 0;
  case FIRInstallationsBackoffEventRecoverableFailure:
    return recoverableErrorBackoffTimeForAttemptNumber(eventCount);
  case FIRInstallationsBackoffEventUnrecoverableFailure:
    return kUnrecoverableBackoffInterval;
  }
  return 0;
}

double FIRInstallationsBackoffController::recoverableErrorBackoffTimeForAttemptNumber(
    std::int64_t attempt) {
  // 2^11 already passes the cap, so larger attempts never reach the power (no shift past 63
  // bits, no overflow).
  if (attempt >= 11) return kMaxRecoverableBackoffInterval;
  const double power = std::ldexp(1.0, static_cast<int>(std::max<std::int64_t>(attempt, 0)));
  return std::min(power + randomMilliseconds(), kMaxRecoverableBackoffInterval);
}

double FIRInstallationsBackoffController::randomMilliseconds() {
  return static_cast<double>(platform::random32() % 1000) * 0.001;
}

std::optional<FIRInstallationsBackoffEventData>
FIRInstallationsBackoffController::lastEventData() const {
  std::lock_guard lock(mutex_);
  return lastEventData_;
}
