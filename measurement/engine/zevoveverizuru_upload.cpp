// Upload, upload schedule and configuration fetch. Not built yet: nothing is uploaded, no
// schedule is kept and no configuration is fetched, so these do nothing (and answer "no data",
// "nothing due").
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/storage/apm_scheduler.h"

void ZEVOveverizuru::uploadDataOrRegisterAlarm() {}
void ZEVOveverizuru::uploadData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
}
bool ZEVOveverizuru::isNetworkReadyForRequest() {
  return false;
}
bool ZEVOveverizuru::hasDataToUpload() {
  return false;
}
void ZEVOveverizuru::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>&) {}
void ZEVOveverizuru::networkUploadCompletionHandlerWithResponse(const platform::HTTPURLResponsePtr&,
                                                                const platform::ErrorPtr&) {}
void ZEVOveverizuru::incrementRetryCounter() {}
bool ZEVOveverizuru::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>&) {
  return false;
}
void ZEVOveverizuru::updateSchedule() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
}
double ZEVOveverizuru::nextUploadingTime() {
  return 0;
}
void ZEVOveverizuru::terminateBackgroundTask() {
  if (persistedConfig_) persistedConfig_->synchronizeToDisk();
}
void ZEVOveverizuru::fetchRemoteConfig() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchRemoteConfig");
}
void ZEVOveverizuru::networkRemoteConfigFetchCompletionHandler(const platform::HTTPURLResponsePtr&,
                                                               const platform::Bytes&,
                                                               const platform::ErrorPtr&) {}
