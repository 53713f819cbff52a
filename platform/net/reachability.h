// Host reachability (stands in for the system's host reachability service): a handle watches one
// host name and reports its reachability flags to a callback on the main loop, once after it is
// scheduled and then on every change.
//
// The service is reached through a table of five operations, so a user can swap the Linux
// default (kernel routing state over rtnetlink) for a test double (ReachabilityTestDouble).
// Handles belong to whoever created them and are freed with `release`. After
// `unscheduleFromMainLoop` returns no further callback runs. Table functions are thread-safe;
// callbacks run on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr ReachabilityFlags kReachabilityFlagsReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags kReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags kReachabilityFlagsIsDirect = 1u << 17;

// Opaque handle; each implementation derives its own.
class ReachabilityHandle {
 public:
  virtual ~ReachabilityHandle() = default;
};

using ReachabilityCallback = std::function<void(ReachabilityHandle*, ReachabilityFlags)>;

struct ReachabilityApi {
  // A handle for the host name, or null (an empty name, no resources).
  std::function<ReachabilityHandle*(const char* hostName)> createWithName;
  std::function<bool(ReachabilityHandle*, ReachabilityCallback)> setCallback;
  std::function<bool(ReachabilityHandle*)> scheduleWithMainLoop;
  std::function<bool(ReachabilityHandle*)> unscheduleFromMainLoop;
  std::function<void(ReachabilityHandle*)> release;
};

// The Linux default. A host is reachable while the kernel has a default route (IPv4 or IPv6)
// through an interface other than loopback; loopback names and addresses are always reachable
// (and local). Changes of links, addresses and routes are watched over rtnetlink.
const ReachabilityApi& defaultReachabilityApi();

// Flags the Linux default computes for `host` from the current routing state.
ReachabilityFlags currentReachabilityFlags(const std::string& host);

// A scriptable stand-in: tests inject flags and failures. Callbacks are posted to the main
// queue, as the real service delivers them on the main loop.
class ReachabilityTestDouble {
 public:
  ReachabilityTestDouble();
  ~ReachabilityTestDouble();

  // The table bound to this double; valid while the double lives.
  const ReachabilityApi& api() const { return api_; }

  // The flags every scheduled handle reports; a change is delivered to each of them.
  void setFlags(ReachabilityFlags flags);
  // Delivers the current flags again even though they did not change.
  void deliverAgain();

  void setFailCreate(bool fail);
  void setFailSetCallback(bool fail);
  void setFailSchedule(bool fail);

  int createdHandles() const;
  int liveHandles() const;  // created and not released
  int scheduledHandles() const;
  std::vector<std::string> hostsRequested() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  ReachabilityApi api_;
};

}  // namespace platform
