#include "measurement/storage/apm_alarm.h"

#include <cmath>
#include <cstdint>

#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

void report(std::int64_t level, std::int64_t code, const std::string& text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

}  // namespace

std::shared_ptr<APMAlarm> APMAlarm::initWithDispatchQueue(platform::QueuePtr queue,
                                                          std::string name) {
  return std::make_shared<APMAlarm>(std::move(queue), std::move(name));
}

APMAlarm::APMAlarm(platform::QueuePtr queue, std::string name)
    : queue_(std::move(queue)), name_(name.empty() ? std::string("Timer") : std::move(name)) {}

APMAlarm::~APMAlarm() {
  cancel();
}

double APMAlarm::timerDelayFromDelay(double delaySeconds) {
  // Multiplying first and converting after overflows a 64-bit count for delays the retry
  // settings allow (a day doubled twenty-four times), which is undefined; so the delay is
  // bounded in seconds before it becomes nanoseconds.
  if (!(delaySeconds > 0)) return 0;  // NaN, zero and negative delays: as soon as possible
  if (delaySeconds >= kMaximumDelaySeconds) return kMaximumDelaySeconds;
  const auto nanoseconds = static_cast<std::int64_t>(delaySeconds * 1e9);
  return static_cast<double>(nanoseconds) / 1e9;
}

void APMAlarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
  if (!block) {
    report(1, 2000, name_ + " tried to schedule an empty block");
    return;
  }
  cancel();
  const double now = platform::Clock::current().now();
  scheduledTimestamp_ = now + (std::isnan(delaySeconds) ? 0.0 : delaySeconds);
  // The handler holds the alarm weakly: the alarm's owner decides how long it lives, and a
  // destroyed alarm has cancelled its timer anyway.
  std::weak_ptr<APMAlarm> weak = weak_from_this();
  timer_ = std::make_unique<platform::Timer>(queue_, timerDelayFromDelay(delaySeconds), 0.0,
                                             [weak, block = std::move(block)] {
                                               if (auto self = weak.lock()) self->fire(block);
                                             });
  report(7, 2002, name_ + " scheduled to fire in approx. (s)", {platform::Value(delaySeconds)});
}

void APMAlarm::fire(const std::function<void()>& block) {
  report(7, 2001, name_ + " fired");
  // The block is copied first: cancelling keeps the timer, but the block may re-arm the alarm,
  // which replaces the timer that holds the handler we are running in.
  const std::function<void()> run = block;
  cancel();
  run();
}

void APMAlarm::cancel() {
  if (!scheduledTimestamp_) return;
  report(7, 2003, name_ + " canceled");
  if (hasActiveTimer()) {
    timer_->cancel();
  } else {
    report(4, 2004, name_ + " is not active");
  }
  scheduledTimestamp_.reset();
}

bool APMAlarm::hasActiveTimer() const {
  return timer_ && !timer_->cancelled();
}
