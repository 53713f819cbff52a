// APMEMonitor: the experiments client's door to the measurement monitor. Every class of the
// experiments client reports through the one shared instance (`APMEManager::monitor()`), with
// six-digit codes in blocks of 10000 per class: 80xxxx manager, 81xxxx database, 82xxxx task
// manager, 83xxxx client, 84xxxx snapshot, 85xxxx flag functions, 86xxxx SDK property, 87xxxx
// experiment, 88xxxx request builder.
//
// Holds the monitor strongly; without one it forwards to the process-wide measurement monitor of
// the moment (APMProcessMonitor()), which is what the shared instance does. Callable from any
// thread (the monitor is).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/core/value.h"

class APMMonitor;

class APMEMonitor {
 public:
  static std::shared_ptr<APMEMonitor> initWithMonitor(std::shared_ptr<APMMonitor> monitor);

  // The measurement monitor's central entry; contexts as given (up to three in practice).
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::ValueList& contexts = {}) const;
  void clearMonitoringData() const;

  explicit APMEMonitor(std::shared_ptr<APMMonitor> monitor) : monitor_(std::move(monitor)) {}

 private:
  const std::shared_ptr<APMMonitor> monitor_;
};
