// GULReachabilityChecker watches whether one named host can be reached, through the platform's
// host reachability table (platform/net/reachability.h), and tells one delegate each time the
// three-valued status changes. The network client owns one per instance.
//
// Lives on the main thread: start, stop and the status callbacks all happen there. The delegate
// is held weakly. Held by shared pointer; the destructor clears the delegate and stops.
#pragma once

#include <memory>
#include <string>

#include "platform/net/reachability.h"

enum GULReachabilityStatus : int {
  kGULReachabilityUnknown = 0,
  kGULReachabilityNotReachable = 1,
  kGULReachabilityViaWifi = 2,
  // Never produced here; consumers treat it like kGULReachabilityViaWifi.
  kGULReachabilityViaCellular = 3,
};

class GULReachabilityChecker;

class GULReachabilityDelegate {
 public:
  virtual ~GULReachabilityDelegate() = default;
  virtual void reachability_statusChanged(GULReachabilityChecker& reachability,
                                          GULReachabilityStatus status) = 0;
};

class GULReachabilityChecker {
 public:
  // Null (after an error log) for an empty host.
  static std::shared_ptr<GULReachabilityChecker>
  initWithReachabilityDelegate(std::weak_ptr<GULReachabilityDelegate> delegate,
                               const std::string& host);
  ~GULReachabilityChecker();

  // True when the checker is active afterwards.
  bool start();
  // Forgets the status (0) without telling the delegate.
  void stop();
  bool isActive() const { return reachability_ != nullptr; }

  GULReachabilityStatus reachabilityStatus() const { return reachabilityStatus_; }
  const std::string& host() const { return host_; }
  std::shared_ptr<GULReachabilityDelegate> reachabilityDelegate() const {
    return reachabilityDelegate_.lock();
  }
  void setReachabilityDelegate(std::weak_ptr<GULReachabilityDelegate> delegate) {
    reachabilityDelegate_ = std::move(delegate);
  }
  const platform::ReachabilityApi* reachabilityApi() const { return reachabilityApi_; }
  // Refused (error 902000) while active. The table must outlive the checker.
  void setReachabilityApi(const platform::ReachabilityApi* api);

  // The status the flags stand for.
  static GULReachabilityStatus statusForFlags(platform::ReachabilityFlags flags);

  GULReachabilityChecker(std::weak_ptr<GULReachabilityDelegate> delegate, std::string host);

 private:
  void reachabilityFlagsChanged(platform::ReachabilityFlags flags);

  GULReachabilityStatus reachabilityStatus_ = kGULReachabilityUnknown;
  const platform::ReachabilityApi* reachabilityApi_;
  platform::ReachabilityHandle* reachability_ = nullptr;
  std::string host_;
  std::weak_ptr<GULReachabilityDelegate> reachabilityDelegate_;
};
