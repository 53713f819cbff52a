// APMSessionReporter: sessions and engagement time. A session is a run of activity without a gap
// longer than the timeout; when the application becomes active after a longer gap a new session
// starts ("_s" with "_sid" and "_sno", both also kept as internal user properties). Engagement
// time goes out as "_e" with "_et" milliseconds: from the "Engagement timer" while the
// application stays active, on resign active and on screen changes.
//
// Owned by the measurement core (made at start, reporting off until the core enables it). The
// screen-view reporter relays activation, resignation and screen changes to it.
//
// Threads: the notification relays run on the main thread or on the screen-view reporter's
// queue, the core's calls on the worker queue, the timer on the main queue. The alarm is only
// touched on the main queue (arming from elsewhere is posted there). The two engagement start
// times are guarded by `uptimeMutex_` (nothing is called while it is held); the switches are
// atomics; the persisted values go through APMPersistedConfig, which serialises its own access.
// Events and user properties go through the analytics facade.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/core/value.h"

class APMAlarm;
class APMEvent;
class APMPersistedConfig;
class APMUserAttribute;
struct APMScreen;

inline constexpr const char* kAPMSessionReporterEngagementTimerDidFire =
    "kAPMSessionReporterEngagementTimerDidFire";
inline constexpr const char* APMSessionReporterEngagementTimerName = "Engagement timer";

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
 public:
  // Where "_sid" and "_sno" go: the facade's internal user-property entry unless a test replaces
  // it. Process-wide; an empty function restores the facade.
  using InternalUserPropertySink = std::function<void(
      const platform::Value& value, const std::string& name, const std::string& origin)>;
  static void setInternalUserPropertySinkForTesting(InternalUserPropertySink sink);

  static std::shared_ptr<APMSessionReporter>
  initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig);
  explicit APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig);
  ~APMSessionReporter();

  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const { return reportingEnabled_; }
  // A negative value becomes 0 (33001).
  void setTimeoutSessionInterval(double seconds);
  double timeoutSessionInterval() const { return timeoutSessionInterval_; }

  // |clock time - last activity time| > timeout.
  bool isSessionExpired();
  bool shouldStartNewSession();
  // When the session has not expired: last activity := now, true. Otherwise false, no change.
  bool extendSession();
  void updatePropertiesForNewSessionStart();
  std::shared_ptr<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
  std::shared_ptr<APMUserAttribute> sessionNumberProperty();
  // "_sid" then "_sno" (origin "auto"); null values remove them.
  void setSessionID(const platform::Value& sessionID, const platform::Value& sessionNumber);

  void logSessionStartEvent();
  void logUserEngagementEvent();
  // The milliseconds reported; 0 when nothing was logged.
  std::int64_t logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen, bool isRedundant);
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const APMScreen* screen);
  void handleScreenDidChangeFromScreen(const APMScreen* previous, const APMScreen* next);
  void rescheduleUserEngagementTimer();
  // Seconds; never negative (33004).
  double incurredEngagementTime();
  std::int64_t cutFreerideEngagementTimeMillis();

  // Monotonic seconds since boot, so a wall-clock step changes no engagement time.
  static double currentUptime();
  static double currentClockTime();

  // Whether the engagement timer is armed (tests and the probe).
  bool hasScheduledEngagementTimer() const;

 private:
  double engagementTimeLocked(double now) const;  // uptimeMutex_ held
  void cancelEngagementTimer();
  void onMainQueue(std::function<void(APMSessionReporter&)> body);

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMAlarm> userEngagementTimer_;  // main queue only
  mutable std::mutex uptimeMutex_;
  double engagementStartUptime_ = 0;
  double freerideEngagementStartUptime_ = 0;
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> timeoutSessionInterval_{1800};
  std::atomic<bool> timerArmed_{false};
};

// The "_s" event of the core's own session start: "_sid" (timestamp truncated), "_sno", and
// "_aib" = 1 in the background or else the current screen parameters.
std::shared_ptr<APMEvent> APMCreateSessionStartEvent(const platform::Value& sessionNumber,
                                                     bool appInBackground, double timestamp);
