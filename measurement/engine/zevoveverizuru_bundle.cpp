// Category Bundle: raw events gathered into measurement bundles. Not built yet: nothing is
// bundled.
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/model/apm_event.h"
#include "measurement/model/apm_user_attribute.h"

bool ZEVOveverizuru::bundleRawEvents() {
  return false;
}
std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
ZEVOveverizuru::rawEventsWithMetadataFingerprint(std::int64_t) {
  return std::nullopt;
}
std::optional<std::vector<std::shared_ptr<APMEvent>>>
ZEVOveverizuru::processRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>&,
                                 std::int64_t) {
  return std::nullopt;
}
bool ZEVOveverizuru::checkConversion(const APMRawEventData&, APMDailyCounts&) {
  return false;
}
bool ZEVOveverizuru::checkRealtime(const APMRawEventData&, APMDailyCounts&) {
  return false;
}
std::shared_ptr<APMRawEventData>
ZEVOveverizuru::internalEventFromPublicEvent(std::shared_ptr<APMRawEventData> rawEvent) {
  return rawEvent;
}
std::shared_ptr<APMRawEventData>
ZEVOveverizuru::validatePurchaseEvent(std::shared_ptr<APMRawEventData> rawEvent) {
  return rawEvent;
}
bool ZEVOveverizuru::updateUserEngagement(std::int64_t, APMPBMeasurementBundle&, bool) {
  return false;
}
void ZEVOveverizuru::handleAnalyticsStorageConsentTransitions(APMPBMeasurementBundle&) {}
std::shared_ptr<APMEvent>
ZEVOveverizuru::purchaseEventWithCustomerTypeParam(std::shared_ptr<APMEvent> event) {
  return event;
}
bool ZEVOveverizuru::updateAppMetadataForBundle(APMPBMeasurementBundle&, double, double) {
  return false;
}
void ZEVOveverizuru::addBundleMetadataIntoBundle(APMPBMeasurementBundle&, double, double) {}

bool APMHasRealTimeEvents(const std::vector<std::shared_ptr<APMEvent>>&) {
  return false;
}
