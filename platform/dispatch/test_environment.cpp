#include "platform/dispatch/test_environment.h"

#include <atomic>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/dispatch_internal.h"
#include "platform/dispatch/main_loop.h"

namespace platform {
namespace {

// One mock clock for the process, reused by each environment, so a stray reader on another
// thread never sees a destroyed clock.
class MockClock final : public Clock {
 public:
  double now() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return wall_;
  }
  double uptime() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return uptime_;
  }
  void reset(double wall, double uptime) {
    std::lock_guard<std::mutex> guard(mutex_);
    wall_ = wall;
    uptime_ = uptime;
  }
  // Time passing: both clocks move together.
  void advanceTo(double uptime) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (uptime <= uptime_) return;
    wall_ += uptime - uptime_;
    uptime_ = uptime;
  }
  void setWall(double wall) {
    std::lock_guard<std::mutex> guard(mutex_);
    wall_ = wall;
  }
  void sleep(double seconds) override {
    if (!(seconds > 0)) return;
    std::lock_guard<std::mutex> guard(mutex_);
    wall_ += seconds;
    uptime_ += seconds;
  }

 private:
  mutable std::mutex mutex_;
  double wall_ = 0;
  double uptime_ = 0;
};

MockClock& mockClock() {
  static MockClock* clock = new MockClock;
  return *clock;
}

constexpr double kMockUptimeStart = 1000.0;

std::atomic<std::uint64_t> g_nextEnvironment{1};
std::atomic<std::uint64_t> g_liveEnvironment{0};

}  // namespace

TestEnvironment::TestEnvironment(double startTime) {
  LUMORA_ASSERT(MainLoop::isMainThread(), "TestEnvironment made off the main thread");
  const std::uint64_t id = g_nextEnvironment.fetch_add(1);
  std::uint64_t expected = 0;
  if (!g_liveEnvironment.compare_exchange_strong(expected, id)) {
    assertionFailure(__FILE__, __LINE__, "a second TestEnvironment while one is alive");
    return;
  }
  id_ = id;
  // A round start keeps sums of round delays exact, so tests may compare times with ==.
  mockClock().reset(startTime, kMockUptimeStart);
  detail::setClockOverride(&mockClock());
  detail::timerBeginMock(id);
}

TestEnvironment::~TestEnvironment() {
  if (id_ == 0) return;  // never started: the live environment is someone else's
  // Timers that never came due die with the environment; posted tasks stay queued.
  detail::timerEndMock(id_);
  detail::setClockOverride(nullptr);
  g_liveEnvironment.store(0);
}

double TestEnvironment::now() const {
  return mockClock().now();
}

double TestEnvironment::uptime() const {
  return mockClock().uptime();
}

void TestEnvironment::advance(double seconds) {
  if (!LUMORA_CHECK(seconds >= 0, "TestEnvironment::advance by a negative time")) return;
  const double target = mockClock().uptime() + seconds;
  runUntilIdle();
  double due;
  QueuePtr queue;
  Task task;
  // One timer at a time, each at its own due time, with everything it causes settled before
  // the next: so timers set by a firing timer fire in order too.
  while (detail::timerPopDue(target, &due, &queue, &task)) {
    mockClock().advanceTo(due);
    queue->async(std::move(task));
    queue = nullptr;
    runUntilIdle();
  }
  mockClock().advanceTo(target);
  runUntilIdle();
}

void TestEnvironment::runUntilIdle() {
  if (!LUMORA_CHECK(MainLoop::isMainThread(), "runUntilIdle called off the main thread")) return;
  MainLoop& loop = MainLoop::instance();
  for (;;) {
    int ran = loop.drain();
    double due;
    QueuePtr queue;
    Task task;
    bool fired = false;
    while (detail::timerPopDue(mockClock().uptime(), &due, &queue, &task)) {
      queue->async(std::move(task));
      fired = true;
    }
    if (ran > 0 || fired) continue;
    // Pending before the main loop: a task that posts to the main loop and then finishes
    // must not slip between the two checks.
    if (detail::activityPending() == 0 && !detail::mainLoopHasWork()) return;
    detail::activityWait();
  }
}

void TestEnvironment::setWallClock(double secondsSince1970) {
  mockClock().setWall(secondsSince1970);
}

}  // namespace platform
