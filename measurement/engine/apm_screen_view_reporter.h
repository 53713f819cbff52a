// APMScreenViewReporter: the screen the user is on, as the application reports it with the public
// event "screen_view" (the facade hands that event here instead of logging it). Numbers screens
// with an increasing instance identifier, logs "_vs" with the current and previous screen's
// parameters, gives the current screen's parameters to other events, and relays application
// activation, resignation and screen changes to the core's session reporter and, when one is
// registered under "APMAdExposureReporter", to the ad exposure reporter.
//
// One instance per process, made on first use and never released. Threads: the notification
// handlers run on the posting thread (the main thread); trackScreenWithParameters on the
// caller's thread. The current and previous screens belong to the serial queue
// "APMScreenViewReporter": the screen is replaced synchronously there, and the relay and the
// "_vs" event are queued there, so screen views go out in call order. The activity flags and the
// instance counter are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/apm_screen.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

inline constexpr const char* APMScreenViewReporterQueueLabel = "APMScreenViewReporter";
inline constexpr const char* APMAdExposureReporterClassName = "APMAdExposureReporter";

// The ad exposure reporter of the commerce reporters, looked up by name when it is registered.
class APMAdExposureReporterClass {
 public:
  virtual ~APMAdExposureReporterClass() = default;
  virtual void handleAppDidBecomeActive() = 0;
  virtual void handleAppWillResignActiveWithScreen(const APMScreen* screen) = 0;
  virtual void handleScreenDidChangeFromScreen(const APMScreen* previous,
                                               const APMScreen* next) = 0;
};

// "_si" always; "_sc" when the class is present and valid (31014 empty, 31015 invalid, then
// "_si" only); "_sn" when the name is present and valid.
platform::ValueMap APMScreenParameters(const APMScreen& screen);
// "_pi"; "_pc" and "_pn" when present and valid.
platform::ValueMap APMPreviousScreenParameters(const APMScreen& screen);
// Automatic screen reporting does not exist here.
bool APMIsScreenReportingEnabled();

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();

  APMScreenViewReporter();
  ~APMScreenViewReporter();

  bool isAppActive() const { return isAppActive_; }
  // The "screen_view" parameters and the event time (seconds since 1970).
  void trackScreenWithParameters(const platform::ValueMap& parameters, double timestamp);
  // The current screen's "_si", "_sc", "_sn"; empty when inactive or without a screen.
  platform::ValueMap screenParameters();
  // False when there is no current screen or it has neither name nor class.
  bool getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass);
  void setScreenName(const std::optional<std::string>& name,
                     const std::optional<std::string>& screenClass);
  void postScreenDidChangeNotificationWithPreviousScreen(const std::optional<APMScreen>& previous,
                                                         const APMScreen& next);
  void logViewScreenEventWithPreviousScreen(const std::optional<APMScreen>& previous,
                                            const std::optional<APMScreen>& next,
                                            const platform::ValueMap& parameters);
  void handleApplicationDidBecomeActive(const platform::Notification& notification);
  void handleApplicationWillResignActive(const platform::Notification& notification);
  std::int64_t incrementScreenInstanceID();

  // Tests: no screen, not active, not initialised (the process-wide instance stays).
  void resetForTesting();
  void setScreenInstanceIDForTesting(std::int64_t value) {
    currentScreenInstanceID_ = static_cast<std::uint64_t>(value);
  }

 private:
  // Active once the application has been active; "inactive" only after that and while not.
  bool isInactive() const { return !isAppActive_ && appHasBeenInitialized_; }
  void subscribe();
  // Runs `body` on queue_ and waits; in place when already there.
  void onQueue(const std::function<void()>& body);

  const platform::QueuePtr queue_;
  std::optional<APMScreen> currentScreen_;   // queue_ only
  std::optional<APMScreen> previousScreen_;  // queue_ only
  const bool allowScreenParameters_ = true;
  const bool allowPostScreenDidChangeNotification_ = true;
  const bool allowScreenViewEvent_ = true;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  // Unsigned so that the step past the largest value wraps instead of overflowing.
  std::atomic<std::uint64_t> currentScreenInstanceID_;
  platform::NotificationToken didBecomeActiveToken_;
  platform::NotificationToken willResignActiveToken_;
  platform::NotificationToken didResignKeyToken_;
};
