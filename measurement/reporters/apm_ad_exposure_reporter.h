// APMAdExposureReporter: measures how long ad units are on screen. An ad component calls
// beginAdUnitExposure / endAdUnitExposure; the screen-view reporter relays screen changes and
// activation; the session reporter's hourly engagement notification cuts long exposures into
// slices. Exposure becomes two internal events of origin "am": "_xu" (one unit) and "_xa" (the
// time at least one unit was exposed), with the screen's parameters.
//
// One shared instance for the process. Times come from the monotonic uptime of platform::Clock,
// so a wall-clock change neither drops nor invents exposure. The engine, which sits above this
// folder, installs the hooks that answer the current screen's parameters and whether the
// application is active. Threads: callers come from any thread; the tracked units and start
// times belong to the serial queue "APMAdExposureReporter". Begin hops there asynchronously,
// every other operation synchronously; times and screen parameters are taken by the caller
// before the hop, and the events are logged by the caller after it, so nothing waits on another
// queue from inside this one (the facade may read the screen-view reporter's queue, which calls
// in here).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

inline constexpr const char* APMAdExposureReporterQueueName = "APMAdExposureReporter";
inline constexpr const char* APMAdExposureEngagementNotification =
    "kAPMSessionReporterEngagementTimerDidFire";
inline constexpr std::size_t APMAdExposureMaxAdUnits = 100;

struct APMAdExposureHooks {
  // The current screen's "_si", "_sc", "_sn" (empty without a screen).
  std::function<platform::ValueMap()> screenParameters;
  std::function<bool()> isAppActive;
};

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // Installed by the engine at start; empty hooks answer no parameters and "not active".
  static void setHooks(APMAdExposureHooks hooks);

  APMAdExposureReporter();
  ~APMAdExposureReporter();

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  // The previous screen's parameters; none for a first screen (nothing happens then).
  void handleScreenDidChangeFromScreenParameters(const platform::ValueMap* previous);
  void handleEngagementTimer();
  void handleAppDidBecomeActive();
  // The resigning screen's parameters; empty ones fall back to the current screen's.
  void handleAppWillResignActiveWithScreenParameters(const platform::ValueMap& parameters);
  void logExposureEventsWithScreenParameters(const platform::ValueMap& parameters);

  bool isReportingEnabled() const { return reportingEnabled_; }
  void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

  // Tests: forget every tracked unit and restart the total at now.
  void resetForTesting();

 private:
  struct PendingEvent {
    std::string name;
    platform::ValueMap parameters;
  };
  static void logEvents(const std::vector<PendingEvent>& events);
  static double currentTime();
  void updateStartTimesOnSerialQueue(double time);
  void logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                 const platform::ValueMap& parameters);
  void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                           const platform::ValueMap& parameters);
  void logAdExposureEventOnSerialQueue(double endTime, const platform::ValueMap& parameters);

  // Serial queue only.
  std::map<std::string, std::int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;
  std::vector<PendingEvent> pending_;  // made on the queue, logged by the caller after the hop

  const platform::QueuePtr queue_;
  std::atomic<bool> reportingEnabled_{true};
  platform::NotificationToken engagementToken_{};
};
