#include "measurement/script/apmp_context.h"

#include <algorithm>

#include "measurement/script/apmp_runtime.h"
#include "platform/dispatch/clock.h"

APMPContext::APMPContext(APMPRuntime* runtime)
    : runtime_(runtime), deadline_(platform::Clock::current().uptime() + APMPRunDeadlineSeconds) {}

bool APMPContext::countInstruction() {
  if (failed()) return false;
  if (runtime_ && !runtime_->countInstruction()) {
    fail(APMPErrorLimit);
    return false;
  }
  return tick();
}

bool APMPContext::tick(std::uint32_t steps) {
  stepsSinceCheck_ += steps;
  if (stepsSinceCheck_ >= APMPDeadlineCheckInterval) {
    stepsSinceCheck_ = 0;
    return checkDeadline();
  }
  return true;
}

bool APMPContext::checkDeadline() {
  if (platform::Clock::current().uptime() > deadline_) {
    fail(APMPErrorLimit);
    return false;
  }
  return true;
}

bool APMPContext::charge(std::size_t bytes) {
  bytes_ += bytes;
  if (bytes_ > APMPMaxRunBytes) {
    fail(APMPErrorLimit);
    return false;
  }
  return true;
}

bool APMPContext::checkStringLength(std::size_t codeUnits) {
  if (codeUnits > APMPMaxStringLength) {
    fail(APMPErrorLimit);
    return false;
  }
  return true;
}

bool APMPContext::enter() {
  if (depth_ >= APMPMaxDepth) {
    fail(APMPErrorLimit);
    return false;
  }
  ++depth_;
  return true;
}

bool APMPContext::isJoining(const APMPCell* cell) const {
  return std::find(joining_.begin(), joining_.end(), cell) != joining_.end();
}

bool APMPContext::isComparing(const APMPCell* a, const APMPCell* b) const {
  for (const auto& [x, y] : comparing_) {
    if ((x == a && y == b) || (x == b && y == a)) return true;
  }
  return false;
}
