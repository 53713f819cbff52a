// Mock-time environment for tests (after the model of a mock-time task environment). While one
// lives, Clock::current() is a mock clock that only moves when told, and timers and asyncAfter
// tasks fire only when `advance` passes their due time. Create it on the main thread; one at a
// time.
//
//   TestEnvironment env;
//   queue->asyncAfter(1800, [&] { fired = true; });
//   env.advance(1800);   // fires due timers in due-time order, then runs until idle
#pragma once

namespace platform {

class TestEnvironment {
 public:
  // `startTime` is the mock wall clock in seconds since 1970.
  explicit TestEnvironment(double startTime = 1700000000.0);
  ~TestEnvironment();
  TestEnvironment(const TestEnvironment&) = delete;
  TestEnvironment& operator=(const TestEnvironment&) = delete;

  double now() const;
  // Starts at 1000 seconds; round delays then add up exactly.
  double uptime() const;
  // Moves the mock clock forward, firing every timer that falls due on the way, in due order,
  // each at its own due time; pumps the main loop and waits for the other queues as it goes.
  void advance(double seconds);
  // Returns when the main loop has nothing posted, every queue is idle and no timer is due.
  void runUntilIdle();
  // Sets the wall clock without firing timers (a clock change, not time passing).
  void setWallClock(double secondsSince1970);

 private:
  unsigned long long id_ = 0;  // 0 when this environment failed to start (another was alive)
};

}  // namespace platform
