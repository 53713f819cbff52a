// Category ODM1: on-device conversion measurement with user data. The client classes are looked
// up by name and none is registered in this system, so no run ever starts.
#include "measurement/engine/zevoveverizuru.h"

#include "platform/foundation/class_registry.h"

bool ZEVOveverizuru::isAPMPrivateSetMembershipClientLinked() {
  return platform::ClassRegistry::shared().contains("APMPrivateSetMembershipClient");
}
void ZEVOveverizuru::checkPSMDependencyOnWorkerQueue() {}
void ZEVOveverizuru::maybeDeleteExpiredPSMValueOnWorkerQueue() {}
void ZEVOveverizuru::initiateODM1ProtocolWithUserData(const platform::ValueMap&) {}
bool ZEVOveverizuru::shouldRetrievePSMResponse() {
  return false;
}
std::optional<std::string> ZEVOveverizuru::PSMRequestURL() {
  return std::nullopt;
}
void ZEVOveverizuru::retrievePSMResponse() {}
void ZEVOveverizuru::maybeSchedulePSMRetry() {}
void ZEVOveverizuru::handlePSMValueOnWorkerQueue(const std::string&, bool) {}
void ZEVOveverizuru::incrementPSMCountOnWorkerQueueWithName(const std::string&) {}

std::string APMURLStringAfterAppendingParam(const std::string& url, const std::string& name,
                                            const std::string& value) {
  if (name.empty() || value.empty()) return url;
  return url + "&" + name + "=" + value;
}
