#include "zevevidi/utilities/gul_reachability_checker.h"

#include <cstdio>
#include <string>

#include "zevevidi/utilities/gul_logger.h"

namespace {

constexpr const char* kGULReachabilityCategory = "[GULReachability]";

void logReachability(GULLoggerLevel level, int code, const std::string& text) {
  char messageCode[16];
  std::snprintf(messageCode, sizeof messageCode, "I-REA%06d", code);
  GULOSLogBasic(level, kGULLogSubsystem, kGULReachabilityCategory, false, messageCode, text.c_str(),
                nullptr);
}

const char* statusName(GULReachabilityStatus status) {
  switch (status) {
  case kGULReachabilityUnknown:
    return "Unknown";
  case kGULReachabilityNotReachable:
    return "Disconnected";
  default:
    return "Connected";
  }
}

}  // namespace

GULReachabilityChecker::GULReachabilityChecker(std::weak_ptr<GULReachabilityDelegate> delegate,
                                               std::string host)
    : reachabilityApi_(&platform::defaultReachabilityApi()), host_(std::move(host)),
      reachabilityDelegate_(std::move(delegate)) {}

std::shared_ptr<GULReachabilityChecker> GULReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<GULReachabilityDelegate> delegate, const std::string& host) {
  if (host.empty()) {
    logReachability(GULLoggerLevelError, 902001, "Invalid host specified");
    return nullptr;
  }
  return std::make_shared<GULReachabilityChecker>(std::move(delegate), host);
}

GULReachabilityChecker::~GULReachabilityChecker() {
  reachabilityDelegate_.reset();
  stop();
}

bool GULReachabilityChecker::start() {
  if (!reachability_) {
    platform::ReachabilityHandle* handle = reachabilityApi_->createWithName(host_.c_str());
    if (!handle) return false;
    // The table delivers nothing after unscheduling, which stop() (and so the destructor)
    // does on this same thread, so the callback never outlives the checker.
    auto callback = [this](platform::ReachabilityHandle*, platform::ReachabilityFlags flags) {
      reachabilityFlagsChanged(flags);
    };
    if (!reachabilityApi_->setCallback(handle, callback) ||
        !reachabilityApi_->scheduleWithMainLoop(handle)) {
      reachabilityApi_->release(handle);
      logReachability(GULLoggerLevelError, 902002, "Failed to start reachability handle");
      return false;
    }
    reachability_ = handle;
  }
  logReachability(GULLoggerLevelDebug, 902003, "Monitoring the network status");
  return true;
}

void GULReachabilityChecker::stop() {
  if (!reachability_) return;
  reachabilityStatus_ = kGULReachabilityUnknown;
  reachabilityApi_->unscheduleFromMainLoop(reachability_);
  reachabilityApi_->release(reachability_);
  reachability_ = nullptr;
}

void GULReachabilityChecker::setReachabilityApi(const platform::ReachabilityApi* api) {
  if (reachability_) {
    logReachability(GULLoggerLevelError, 902000,
                    "Cannot change reachability API while reachability is running. Call stop "
                    "first.");
    return;
  }
  if (api) reachabilityApi_ = api;
}

GULReachabilityStatus GULReachabilityChecker::statusForFlags(platform::ReachabilityFlags flags) {
  if (!(flags & platform::kReachabilityFlagsReachable)) return kGULReachabilityNotReachable;
  if (!(flags & platform::kReachabilityFlagsConnectionRequired)) return kGULReachabilityViaWifi;
  const bool automatic = flags & (platform::kReachabilityFlagsConnectionOnTraffic |
                                  platform::kReachabilityFlagsConnectionOnDemand);
  const bool needsUser = flags & platform::kReachabilityFlagsInterventionRequired;
  return automatic && !needsUser ? kGULReachabilityViaWifi : kGULReachabilityNotReachable;
}

void GULReachabilityChecker::reachabilityFlagsChanged(platform::ReachabilityFlags flags) {
  const GULReachabilityStatus status = statusForFlags(flags);
  if (status == reachabilityStatus_) return;
  logReachability(GULLoggerLevelDebug, 902004,
                  "Network status has changed. Code:" + std::to_string(status) +
                      ", status:" + statusName(status));
  reachabilityStatus_ = status;
  if (auto delegate = reachabilityDelegate_.lock()) {
    delegate->reachability_statusChanged(*this, status);
  }
}
