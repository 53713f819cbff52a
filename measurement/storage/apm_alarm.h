// APMAlarm: a named one-shot timer that runs a block once after a delay on a queue its owner
// chooses (the upload schedule, the engagement timer, the on-device conversion retry, the
// experiments and the search-ad reporter each keep one). Arming again replaces the pending
// firing; every step is reported to the process-wide monitor under the alarm's name (2000-2004).
//
// Takes no lock: the owner arms and cancels it from the queue it gave the alarm, where the block
// also runs. The timer is a platform::Timer, so under a TestEnvironment it fires when the mock
// clock passes its due time. Destroying the alarm cancels a pending firing.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

class APMAlarm : public std::enable_shared_from_this<APMAlarm> {
 public:
  // An empty name becomes "Timer".
  static std::shared_ptr<APMAlarm> initWithDispatchQueue(platform::QueuePtr queue,
                                                         std::string name);
  ~APMAlarm();

  // Cancels a pending firing and runs `block` on the queue `delaySeconds` from now. NaN or a
  // delay of 0 or below fires as soon as the queue is free; a delay longer than the timer can
  // hold is clamped to that. An empty block is refused (2000) and changes nothing.
  void runAfterDelay(double delaySeconds, std::function<void()> block);
  void cancel();
  bool hasActiveTimer() const;
  // Wall-clock time of the pending firing, seconds since 1970; none when nothing is pending.
  std::optional<double> scheduledTimestamp() const { return scheduledTimestamp_; }
  const std::string& name() const { return name_; }

  // The longest delay the timer takes: the whole nanoseconds a signed 64-bit count holds.
  static constexpr double kMaximumDelaySeconds = 9223372036.0;
  // The delay the timer is set to: whole nanoseconds in [0, kMaximumDelaySeconds], as seconds.
  static double timerDelayFromDelay(double delaySeconds);

  APMAlarm(platform::QueuePtr queue, std::string name);

 private:
  void fire(const std::function<void()>& block);

  const platform::QueuePtr queue_;
  const std::string name_;
  std::unique_ptr<platform::Timer> timer_;
  std::optional<double> scheduledTimestamp_;
};
