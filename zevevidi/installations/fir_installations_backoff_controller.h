// FIRInstallationsBackoffController: decides whether the next registration or token request may
// go to the installations service, from the last outcome only (its kind, its time and how many
// outcomes of that kind came in a row). State lives in memory; a new process starts allowed.
//
// Both operations take the controller's lock for their whole duration, so events and checks
// from different queues are serialised. The date provider is called under that lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/core/value.h"

enum FIRInstallationsBackoffEvent : std::int64_t {
  FIRInstallationsBackoffEventSuccess = 0,
  FIRInstallationsBackoffEventRecoverableFailure = 1,
  FIRInstallationsBackoffEventUnrecoverableFailure = 2,
};

class FIRInstallationsBackoffControllerProtocol {
 public:
  virtual ~FIRInstallationsBackoffControllerProtocol() = default;
  virtual bool isNextRequestAllowed() = 0;
  virtual void registerEvent(FIRInstallationsBackoffEvent event) = 0;
};

using FIRCurrentDateProvider = std::function<platform::Date()>;
// Reads platform::Clock (the mock clock under a TestEnvironment).
FIRCurrentDateProvider FIRRealCurrentDateProvider();

struct FIRInstallationsBackoffEventData {
  FIRInstallationsBackoffEvent eventType = FIRInstallationsBackoffEventSuccess;
  platform::Date lastEventDate;
  std::int64_t eventCount = 1;
  double backoffTimeInterval = 0;
};

class FIRInstallationsBackoffController : public FIRInstallationsBackoffControllerProtocol {
 public:
  static constexpr double kMaxRecoverableBackoffInterval = 30 * 60;
  static constexpr double kUnrecoverableBackoffInterval = 24 * 60 * 60;

  FIRInstallationsBackoffController();
  explicit FIRInstallationsBackoffController(FIRCurrentDateProvider currentDateProvider);

  bool isNextRequestAllowed() override;
  void registerEvent(FIRInstallationsBackoffEvent event) override;

  // Seconds requests stay blocked after the `eventCount`-th event of that kind in a row.
  static double backoffTimeIntervalWithEvent(FIRInstallationsBackoffEvent event,
                                             std::int64_t eventCount);
  // min(2^attempt + randomMilliseconds, 1800) seconds; safe for any attempt number.
  static double recoverableErrorBackoffTimeForAttemptNumber(std::int64_t attempt);
  // A random fraction of a second in steps of 0.001, from 0 to 0.999.
  static double randomMilliseconds();

  std::optional<FIRInstallationsBackoffEventData> lastEventData() const;

 private:
  const FIRCurrentDateProvider currentDateProvider_;
  mutable std::mutex mutex_;
  std::optional<FIRInstallationsBackoffEventData> lastEventData_;
};
