// The only source of time in the process: wall time since 1970 and a monotonic uptime. Stands in
// for the system clocks. The system clock is the default; a TestEnvironment installs a mock clock
// for its lifetime. Thread-safe.
#pragma once

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970-01-01 00:00:00 UTC, with sub-second precision.
  virtual double now() const = 0;
  // Monotonic seconds since an arbitrary start; never goes backwards.
  virtual double uptime() const = 0;
  // Blocks the calling thread for `seconds` of this clock's time. The system clock sleeps for
  // real; a mock clock moves itself forward by that much and returns at once (time passes for
  // everyone, as it would while the thread slept), so a timed wait ends in mock time. Timers
  // that fall due that way fire at the environment's next runUntilIdle() or advance().
  virtual void sleep(double seconds) = 0;

  // The clock in force: the mock clock of a live TestEnvironment, else the system clock.
  static Clock& current();
};

}  // namespace platform
