// Category URL: opened URLs, campaigns, the attribution cache and the deferred deep link. Not
// built yet: URLs are not handled and no deferred deep link is asked for.
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_user_defaults.h"

void ZEVOveverizuru::handleNonFirstOpenEventURL(const std::string&, double) {}
void ZEVOveverizuru::handleOpenURL(const std::string&, const platform::Value&, double) {}
void ZEVOveverizuru::handleDeepLink(const std::string&, const platform::Value&, double) {}
void ZEVOveverizuru::handleOpenURLOnWorkerQueue(const std::optional<std::string>&,
                                                const platform::Value&, double,
                                                const std::optional<platform::ValueMap>&) {}
bool ZEVOveverizuru::isValidCampaignURLParamDictionary(const platform::ValueMap&) {
  return false;
}
bool ZEVOveverizuru::shouldAllowClickID() {
  return false;
}
void ZEVOveverizuru::handleDebugModeWithURL(const std::string&) {}
void ZEVOveverizuru::handleSZTMDebugModeWithURL(const std::string&) {}
std::optional<platform::ValueMap> ZEVOveverizuru::SZTMPreviewHeaders() {
  return std::nullopt;
}
void ZEVOveverizuru::handleStoredURLAfterAppLaunchWithNotification(const platform::Notification&) {}
bool ZEVOveverizuru::shouldAllowRequestDeferredDeepLink() {
  return false;
}
void ZEVOveverizuru::requestDeferredDeepLink() {}
std::optional<platform::ValueMap>
ZEVOveverizuru::deepLinkInfoFromResponseData(const platform::Bytes&) {
  return std::nullopt;
}
void ZEVOveverizuru::handleDeferredDeepLinkInfo(const platform::ValueMap&) {}
bool ZEVOveverizuru::sendDeepLinkURLToAppDelegateOnMainThread(
    const std::string&, const std::optional<platform::ValueMap>&) {
  return false;
}

void APMSetAttributionCache(APMUserDefaults&, const std::string&) {}
void APMClearAttributionCache(APMUserDefaults&) {}
bool APMIsAttributionCacheExpired(APMUserDefaults&, double) {
  return false;
}
bool APMClearAttributionCacheIfExpired(const std::shared_ptr<APMRemoteConfig>&) {
  return false;
}
std::int64_t APMAttributionTimestampMillisRoundedToPreviousHour(std::int64_t milliseconds) {
  return milliseconds / 3600000 * 3600000;
}
void APMIncludeMeasurementURLCategory() {}
