// Display links of the simulated display: a tick once per refresh period, driven by
// platform::Clock (so a TestEnvironment's advance() makes them tick). Stand in for the
// platform's display-thread link and its main-loop link. The tick interval is the display's
// period when the link starts; duration()/currentTime report the period in force.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

namespace platform {

// The simulated display's refresh period in seconds (default 1/60). Thread-safe.
class SimulatedDisplay {
 public:
  static double refreshPeriod();
  // Ignored unless positive and finite.
  static void setRefreshPeriod(double seconds);
  // The display's number (as in Screen::number).
  static constexpr std::int64_t kDisplayNumber = 1;
};

// Ticks on a thread of its own (its serial queue) while running. Thread-safe; the callback is
// never running once stop() or the destructor has returned.
class CoreVideoDisplayLink {
 public:
  // The link for the active displays; null when there is none.
  static std::unique_ptr<CoreVideoDisplayLink> createWithActiveDisplays();
  ~CoreVideoDisplayLink();
  CoreVideoDisplayLink(const CoreVideoDisplayLink&) = delete;
  CoreVideoDisplayLink& operator=(const CoreVideoDisplayLink&) = delete;

  // Runs on the link's thread at every tick. Set before start.
  void setOutputCallback(std::function<void()> callback);
  // False for a display the simulated server does not have.
  bool setCurrentDisplay(std::int64_t displayNumber);
  void start();
  void stop();
  bool isRunning() const;
  // The refresh period as videoRefreshPeriod / videoTimeScale; false when it is not known.
  bool getCurrentTime(std::int64_t* videoRefreshPeriod, std::int32_t* videoTimeScale) const;

 private:
  CoreVideoDisplayLink();
  QueuePtr queue_;
  mutable std::mutex mutex_;  // guards callback_ and timer_; never held while calling out
  std::shared_ptr<std::function<void()>> callback_;
  std::unique_ptr<Timer> timer_;
};

// Ticks on the main loop while not paused; made paused. Main thread, except isPaused() and
// setPaused(), which are thread-safe.
class MainLoopDisplayLink {
 public:
  explicit MainLoopDisplayLink(std::function<void()> callback);
  ~MainLoopDisplayLink();
  MainLoopDisplayLink(const MainLoopDisplayLink&) = delete;
  MainLoopDisplayLink& operator=(const MainLoopDisplayLink&) = delete;

  bool isPaused() const;
  void setPaused(bool paused);
  // Seconds between two refreshes.
  double duration() const;
  // Stops the link for good.
  void invalidate();

 private:
  mutable std::mutex mutex_;  // guards timer_, invalidated_; never held while calling out
  std::shared_ptr<std::function<void()>> callback_;
  std::unique_ptr<Timer> timer_;
  bool invalidated_ = false;
};

}  // namespace platform
