// Category ODM2: on-device conversion service values. The service class is looked up by name
// and none is registered in this system, so the service is never asked.
#include "measurement/engine/zevoveverizuru.h"

void ZEVOveverizuru::checkODM2DependencyOnWorkerQueue() {}
bool ZEVOveverizuru::isAdsOnDeviceConversionEnabled() {
  return false;
}
void ZEVOveverizuru::updateAdsOnDeviceConversionMeasurement() {}
void ZEVOveverizuru::handleAdsOnDeviceConversionValue(const std::optional<std::string>&,
                                                      const platform::ErrorPtr&) {}
