#include "measurement/model/apm_event_aggregates.h"

#include <limits>

#include "measurement/model/apm_data_type_validator.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/core/value.h"

namespace {

void incrementWrapping(std::int32_t& counter, std::int64_t code, const char* message) {
  if (counter == std::numeric_limits<std::int32_t>::max()) {
    counter = 0;
    APMProcessMonitor()->logWithLevel(5, code, message);
    return;
  }
  ++counter;
}

}  // namespace

std::shared_ptr<APMEventAggregates>
APMEventAggregates::initWithName(const std::string& name, std::int32_t lifetimeCount,
                                 std::int32_t currentBundleCount, std::int32_t currentSessionCount,
                                 double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(platform::Value(name), nullptr)) {
    return nullptr;
  }
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    APMProcessMonitor()->logWithLevel(
        5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<APMEventAggregates>(name, lifetimeCount, currentBundleCount,
                                              currentSessionCount, lastFireTimestamp);
}

void APMEventAggregates::incrementLifetimeCount() {
  incrementWrapping(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  incrementWrapping(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
  incrementWrapping(currentSessionCount_, 17003,
                    "Session count overflow. Session count reset to 0.");
}
