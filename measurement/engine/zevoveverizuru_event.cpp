// Category Event: the event pipeline and the write path with its daily limits. Not built yet:
// events are not processed or stored.
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/model/apm_event.h"
#include "measurement/model/apm_user_attribute.h"

void ZEVOveverizuru::handleInternalEventOnWorkerQueue(std::shared_ptr<APMEvent>) {}
void ZEVOveverizuru::handleEventOnWorkerQueue(std::shared_ptr<APMEvent>) {}
std::shared_ptr<APMEvent> ZEVOveverizuru::eventAfterSafelistingEvent(std::shared_ptr<APMEvent>) {
  return nullptr;
}
void ZEVOveverizuru::processSessionFromEvent(const std::shared_ptr<APMEvent>&) {}
bool ZEVOveverizuru::dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>&) {
  return false;
}
bool ZEVOveverizuru::shouldDropDuplicatedSessionStartWithRolloutEvent(
    const std::shared_ptr<APMEvent>&) {
  return true;
}
std::shared_ptr<APMEvent>
ZEVOveverizuru::appExceptionEventWithZevevidiFeatureRollouts(std::shared_ptr<APMEvent>) {
  return nullptr;
}
void ZEVOveverizuru::writeSessionStartEventOnWorkerQueue(std::shared_ptr<APMEvent>) {}
void ZEVOveverizuru::writeEventOnWorkerQueue(std::shared_ptr<APMEvent>) {}
void ZEVOveverizuru::writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent>) {}
bool ZEVOveverizuru::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>&) {
  return false;
}
bool ZEVOveverizuru::shouldProcessEvent(const std::shared_ptr<APMEvent>&, APMDailyCounts&, bool) {
  return false;
}
bool ZEVOveverizuru::isRealtimeEvent(const std::shared_ptr<APMEvent>&, APMDailyCounts&) {
  return false;
}
void ZEVOveverizuru::maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>&) {}
bool ZEVOveverizuru::writeEvent(const std::shared_ptr<APMEvent>&, bool, bool) {
  return false;
}
std::shared_ptr<APMPBMeasurementBundle> ZEVOveverizuru::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>&) {
  return nullptr;
}
void ZEVOveverizuru::logFirstOpenConsentedEvent(double) {}
