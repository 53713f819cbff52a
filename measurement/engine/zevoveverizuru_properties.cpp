// User properties, first open and lifecycle events, session backfill, ad personalization and
// purchase de-duplication (zevoveverizuru_purchases.cpp). Apart from the session start and the
// session timeout, not built yet: these do nothing; queries answer nothing and callbacks are not
// called.
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/engine/apm_session_reporter.h"
#include "measurement/model/apm_remote_config.h"

#include "measurement/model/apm_event.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_error.h"

void ZEVOveverizuru::setUserAttribute(std::shared_ptr<APMUserAttribute>) {}
void ZEVOveverizuru::removeUserAttribute(std::shared_ptr<APMUserAttribute>) {}
void ZEVOveverizuru::userAttributeWithName(const std::string&,
                                           std::function<void(std::shared_ptr<APMUserAttribute>)>) {
}
void ZEVOveverizuru::userPropertiesIncludingInternal(bool,
                                                     std::function<void(platform::ValueMap)>) {}
void ZEVOveverizuru::maxUserPropertiesForOrigin(const std::string&,
                                                std::function<void(std::int64_t)>) {}
void ZEVOveverizuru::setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute>) {}
bool ZEVOveverizuru::setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<APMUserAttribute>) {
  return false;
}
void ZEVOveverizuru::removeUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute>) {}
bool ZEVOveverizuru::hasUserPropertyUserIDOnWorkerQueue() {
  return false;
}
void ZEVOveverizuru::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {}

void ZEVOveverizuru::reportFirstOpenOnWorkerQueue() {}
void ZEVOveverizuru::reportAppUpdateOnWorkerQueue() {}
void ZEVOveverizuru::reportOSUpdateOnWorkerQueue() {}
// The core's own session start (a background event that extends an expired session): the
// session properties go through the user-property store, the "_s" event down the event road.
void ZEVOveverizuru::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  const auto reporter = sessionReporter();
  if (!reporter || !reporter->isSessionExpired()) return;
  reporter->updatePropertiesForNewSessionStart();
  if (auto property = reporter->sessionIDPropertyWithTimestamp(timestamp)) {
    setUserAttributeOnWorkerQueue(std::move(property));
  }
  if (auto property = reporter->sessionNumberProperty()) {
    setUserAttributeOnWorkerQueue(std::move(property));
  }
  const auto config = remoteConfigInstance();
  const bool inBackground =
      appInBackground && config && config->boolSetting(APMSetting::AppInBackgroundParameterEnabled);
  const std::int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
  if (auto event = APMCreateSessionStartEvent(platform::Value(number), inBackground, timestamp)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
}
void ZEVOveverizuru::reportStoredCampaignEventOnWorkerQueue(const platform::Value&) {}
std::int64_t ZEVOveverizuru::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  return milliseconds / 3600000 * 3600000 + 3600000;
}
bool ZEVOveverizuru::isVersionSameAsOriginalVersion() {
  return false;
}
std::optional<std::string> ZEVOveverizuru::previousFirstOpenCount() {
  return std::nullopt;
}
void ZEVOveverizuru::setPreviousFirstOpenCount(const std::optional<std::string>&) {}
double ZEVOveverizuru::firstOpenTimestamp() {
  return 0;
}
std::optional<platform::ValueMap> ZEVOveverizuru::fileAttributesForPath(const std::string&) {
  return std::nullopt;
}

void ZEVOveverizuru::backfillSessionID(const platform::Value&, const platform::Value&) {}
double ZEVOveverizuru::backfillStartTimestampForSessionID(const platform::Value&) {
  return 0;
}
void ZEVOveverizuru::setSessionTimeoutInterval(double seconds) {
  postToWorkerQueue("ZEVOveverizuru:1565", [seconds](ZEVOveverizuru& core) {
    if (const auto reporter = core.sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}
// No session number is stored yet (user properties are not kept): the answer a caller can act on,
// rather than none at all.
void ZEVOveverizuru::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (completion) completion(0, apm_errorWithCode(13, "Session ID not found"));
}
void ZEVOveverizuru::backfillSessionNumber() {}

platform::Value ZEVOveverizuru::shouldDisableAdPersonalization() {
  return platform::Value();
}
void ZEVOveverizuru::setPersonalizedAdsUserPropertyOnWorkerQueue() {}
void ZEVOveverizuru::updateAdPersonalizationConsentFromNPAValue(const platform::Value&) {}
void ZEVOveverizuru::updateConsentSettingsUtilWithRemoteConfig() {}
void ZEVOveverizuru::updateCachedAdCampaignInfoWithExistingZBRAIDProperty() {}
bool ZEVOveverizuru::shouldAllowAdNetworkRegistration() {
  return true;
}
void ZEVOveverizuru::setUserData(const platform::ValueMap&) {}
void ZEVOveverizuru::setUserDataOnWorkerQueue(const platform::ValueMap&) {}
