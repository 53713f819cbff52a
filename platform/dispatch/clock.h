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

  // The clock in force: the mock clock of a live TestEnvironment, else the system clock.
  static Clock& current();
};

}  // namespace platform
