#include "measurement/experiments/apme_monitor.h"

#include "measurement/storage/apm_monitor.h"

std::shared_ptr<APMEMonitor> APMEMonitor::initWithMonitor(std::shared_ptr<APMMonitor> monitor) {
  return std::make_shared<APMEMonitor>(std::move(monitor));
}

void APMEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message,
                               const platform::ValueList& contexts) const {
  const auto target = monitor_ ? monitor_ : APMProcessMonitor();
  if (target) target->logWithLevel(level, messageCode, message, contexts);
}

void APMEMonitor::clearMonitoringData() const {
  const auto target = monitor_ ? monitor_ : APMProcessMonitor();
  if (target) target->clearMonitoringData();
}
