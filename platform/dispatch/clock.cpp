#include "platform/dispatch/clock.h"

#include <time.h>

#include <cerrno>

#include <atomic>

#include "platform/dispatch/dispatch_internal.h"

namespace platform {
namespace {

double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class SystemClock final : public Clock {
 public:
  double now() const override { return readClock(CLOCK_REALTIME); }
  double uptime() const override { return readClock(CLOCK_MONOTONIC); }
  void sleep(double seconds) override {
    if (!(seconds > 0)) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};

std::atomic<Clock*> g_override{nullptr};

}  // namespace

Clock& Clock::current() {
  // Never destroyed: queue threads may still read the time while exit handlers run (a keychain
  // write finishing as the process ends), and must not find a clock already torn down.
  static SystemClock* const system = new SystemClock();
  Clock* c = g_override.load(std::memory_order_acquire);
  return c ? *c : *system;
}

void detail::setClockOverride(Clock* clock) {
  g_override.store(clock, std::memory_order_release);
}

}  // namespace platform
