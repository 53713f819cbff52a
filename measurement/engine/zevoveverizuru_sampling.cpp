// Category Sampling. Not built yet: sampling keeps every event.
#include "measurement/engine/zevoveverizuru.h"

std::optional<std::vector<std::shared_ptr<APMPBEvent>>>
ZEVOveverizuru::sampleEvents(const std::vector<std::shared_ptr<APMPBEvent>>& events,
                             platform::ErrorPtr*) {
  return events;
}
bool ZEVOveverizuru::canEventBeSampled(const APMPBEvent&) {
  return false;
}
bool ZEVOveverizuru::isEventBundledAfterRoll(std::int32_t) {
  return true;
}
void APMAddSamplingParam(APMPBEvent&, std::int32_t) {}
