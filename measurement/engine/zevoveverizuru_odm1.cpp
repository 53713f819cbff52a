// Category ODM1: on-device conversion measurement with user data. A private-set-membership
// client class, looked up by name, builds the request; the core posts it to the client's
// data-set address, and a match is stored ("odm1_value", "_psmvalue") and announced ("_fx").
// Worker queue only; the retry alarm and the network reply run there too.
#include <algorithm>
#include <cmath>
#include <string>

#include "measurement/engine/apm_on_device_conversion.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/process_info.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

using platform::Value;

// A number's value whatever its kind; none for anything else.
std::optional<double> numberOf(const Value& value) {
  if (const auto* i = value.ifInt()) return static_cast<double>(*i);
  if (const auto* d = value.ifDouble()) return *d;
  return std::nullopt;
}

constexpr double kPSMValueExpirationTimeInterval = 7776000;  // 90 days
constexpr const char* kPSMRetryAlarmName = "On-device conversion measurement timer";
constexpr const char* kDebugPSMArgument = "-DebugOnDeviceConversionMeasurement";
constexpr const char* kPSMValueProperty = "_psmvalue";
constexpr const char* kCounterProperties[] = {"_psmcount", "_psmcountph", "_psmcounth",
                                              "_psmcounthph"};

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

double now() {
  return platform::Clock::current().now();
}

// The counter property and URL parameter of a client's input type.
std::pair<const char*, const char*> counterForInputType(std::int64_t inputType) {
  switch (inputType) {
  case 2:
    return {"_psmcountph", "psm_phone_count"};
  case 3:
    return {"_psmcounth", "psm_count"};
  case 4:
    return {"_psmcounthph", "psm_phone_count"};
  default:
    return {"_psmcount", "psm_count"};
  }
}

const std::string* textOf(const platform::ValueMap& map, const char* key) {
  const auto found = map.find(Value(key));
  return found == map.end() ? nullptr : found->second.ifString();
}

std::optional<platform::Bytes> bytesOf(const platform::ValueMap& map, const char* key) {
  const auto found = map.find(Value(key));
  if (found == map.end()) return std::nullopt;
  if (const auto* bytes = found->second.ifBytes()) return *bytes;
  if (const auto* text = found->second.ifString())
    return platform::Bytes(text->begin(), text->end());
  return std::nullopt;
}

}  // namespace

std::shared_ptr<APMPSMClientClass> ZEVOveverizuru::PSMClientClass() {
  auto& registry = platform::ClassRegistry::shared();
  if (auto cls = registry.lookup<APMPSMClientClass>(APMPrivateSetMembershipClientClassName))
    return cls;
  return registry.lookup<APMPSMClientClass>(ODCPrivateSetMembershipClientClassName);
}

bool ZEVOveverizuru::isAPMPrivateSetMembershipClientLinked() {
  return platform::ClassRegistry::shared().lookup<APMPSMClientClass>(
             APMPrivateSetMembershipClientClassName) != nullptr;
}

void ZEVOveverizuru::checkPSMDependencyOnWorkerQueue() {
  if (PSMClientClass()) {
    if (!ODM1Context_) ODM1Context_ = std::make_shared<APMPSMContext>();
    report(7, 23253, "On-device conversion measurement is ready to initiate");
    return;
  }
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  if (db->userAttributeWithName("_psmcount", &error) ||
      db->userAttributeWithName("_psmcountph", &error)) {
    report(4, 23254,
           "On-device conversion measurement dependency is not currently linked. On-device "
           "conversion measurement will fail to initiate.");
  }
}

void ZEVOveverizuru::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  const auto db = database();
  if (!db) return;
  const double time = now();
  // 1.
  platform::ErrorPtr error;
  auto row = db->ODMValueWithName(APMDatabaseODM1Value, &error);
  if (row) {
    const auto set = row->find(Value("set_timestamp"));
    const auto setTime = set != row->end() ? numberOf(set->second) : std::nullopt;
    if (setTime && std::fabs(time - *setTime) >= kPSMValueExpirationTimeInterval) {
      platform::ErrorPtr deleteError;
      if (!db->deleteODMValueWithName(APMDatabaseODM1Value, &deleteError)) {
        report(4, 23289, "Failed to delete ODM value. Error",
               {deleteError ? Value(deleteError) : Value()});
      }
    }
  }
  // 2.
  const auto property = db->userAttributeWithName(kPSMValueProperty, &error);
  if (!property) return;
  if (std::fabs(time - property->lastSetTimestamp()) >= kPSMValueExpirationTimeInterval) {
    removeUserAttributeOnWorkerQueue(property);
    for (const char* name : kCounterProperties) {
      if (auto counter = db->userAttributeWithName(name, &error))
        removeUserAttributeOnWorkerQueue(counter);
    }
  } else if (!row) {
    if (const auto* text = property->value().stringValue()) {
      platform::ErrorPtr updateError;
      if (!db->updateODMValue(*text, APMDatabaseODM1Value, property->lastSetTimestamp(),
                              &updateError)) {
        report(1, 23286, "Failed to update ODM value. Error",
               {updateError ? Value(updateError) : Value()});
      }
    }
  }
}

// ---- Starting a run ----

bool ZEVOveverizuru::shouldRetrievePSMResponse() {
  // 1.
  if (!PSMClientClass() || !ODM1Context_) {
    report(1, 23233,
           "Failed to initiate on-device conversion measurement. On-device conversion measurement "
           "dependency not linked in.");
    return false;
  }
  const auto config = remoteConfigInstance();
  const auto db = database();
  if (!config || !db) return false;
  // 2.
  const std::int64_t firstOpenMillis =
      persistedConfig_ ? persistedConfig_->firstOpenTimestampMilliseconds() : 0;
  const double t0 =
      firstOpenMillis != 0 ? static_cast<double>(firstOpenMillis) / 1000 : initTimestamp_;
  if (static_cast<double>(config->integerSetting(APMSetting::MaxSignInDelayInDays)) * 86400 <
      std::fabs(now() - t0)) {
    report(1, 23261,
           "Failed to initiate on-device conversion measurement. Attempted to initiate outside the "
           "first open window.");
    return false;
  }
  // 3.
  if (ODM1Context_->isPSMRequestInProgress) {
    report(1, 23235,
           "Failed to initiate on-device conversion measurement. Request to query data set for "
           "on-device conversion measurement already in progress.");
    return false;
  }
  // 4.
  if (ODM1Context_->PSMStartCount >= config->maxPSMStartCount()) {
    report(1, 23236,
           "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
    return false;
  }
  // 5.
  platform::ErrorPtr error;
  if (db->userAttributeWithName(kPSMValueProperty, &error)) {
    report(1, 23237, "Failed to initiate on-device conversion measurement. Found existing match.");
    return false;
  }
  // 6.
  if (ODM1Context_->PSMRetryCount >= config->integerSetting(APMSetting::MaxPSMRetryCount)) {
    report(1, 23238, "Failed to initiate on-device conversion measurement. Exceeded retry limit.");
    return false;
  }
  return true;
}

bool ZEVOveverizuru::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
  if (emailAddress.empty()) {
    report(1, 23234,
           "Failed to initiate on-device conversion measurement. Email address was empty.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool ZEVOveverizuru::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
  if (phoneNumber.empty()) {
    report(1, 23239,
           "Failed to initiate on-device conversion measurement. Phone number was empty.");
    return false;
  }
  if (const auto cls = PSMClientClass(); cls && !cls->initWithPhoneNumber) {
    report(1, 23262,
           "Failed to initiate on-device conversion measurement. Linked on-device conversion "
           "measurement dependency does not support phone numbers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool ZEVOveverizuru::shouldRetrievePSMResponseWithHashedIdentifier(const platform::Bytes& hashed,
                                                                   bool) {
  if (hashed.empty()) {
    report(1, 23264,
           "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
    return false;
  }
  if (const auto cls = PSMClientClass();
      cls && !cls->initWithHashedEmailAddress && !cls->initWithHashedPhoneNumber) {
    report(1, 23265,
           "Failed to initiate on-device conversion measurement. Linked on-device conversion "
           "measurement dependency does not support hashed identifiers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

std::shared_ptr<APMPSMClient>
ZEVOveverizuru::PSMClientWithEmailAddress(const std::string& emailAddress) {
  const auto cls = PSMClientClass();
  const auto id = identity();
  const auto config = remoteConfigInstance();
  if (!cls || !id || !config) return nullptr;
  const std::string appID = id->appID().value_or("");
  if (cls->initWithEmailAddressPrefixBitLength) {
    return cls->initWithEmailAddressPrefixBitLength(
        emailAddress, appID, config->integerSetting(APMSetting::HashPrefixBitLengthEmail));
  }
  if (cls->initWithEmailAddress) return cls->initWithEmailAddress(emailAddress, appID);
  return nullptr;
}

std::shared_ptr<APMPSMClient>
ZEVOveverizuru::PSMClientWithPhoneNumber(const std::string& phoneNumber) {
  const auto cls = PSMClientClass();
  const auto id = identity();
  const auto config = remoteConfigInstance();
  if (!cls || !id || !config) return nullptr;
  const std::string appID = id->appID().value_or("");
  if (cls->initWithPhoneNumberPrefixBitLength) {
    return cls->initWithPhoneNumberPrefixBitLength(
        phoneNumber, appID, config->integerSetting(APMSetting::HashPrefixBitLengthPhone));
  }
  if (cls->initWithPhoneNumber) return cls->initWithPhoneNumber(phoneNumber, appID);
  return nullptr;
}

std::shared_ptr<APMPSMClient>
ZEVOveverizuru::PSMClientWithHashedEmailAddress(const platform::Bytes& hashed) {
  const auto cls = PSMClientClass();
  const auto id = identity();
  const auto config = remoteConfigInstance();
  if (!cls || !id || !config || !cls->initWithHashedEmailAddress) return nullptr;
  return cls->initWithHashedEmailAddress(
      hashed, id->appID().value_or(""),
      config->integerSetting(APMSetting::HashPrefixBitLengthEmail));
}

std::shared_ptr<APMPSMClient>
ZEVOveverizuru::PSMClientWithHashedPhoneNumber(const platform::Bytes& hashed) {
  const auto cls = PSMClientClass();
  const auto id = identity();
  const auto config = remoteConfigInstance();
  if (!cls || !id || !config || !cls->initWithHashedPhoneNumber) return nullptr;
  return cls->initWithHashedPhoneNumber(
      hashed, id->appID().value_or(""),
      config->integerSetting(APMSetting::HashPrefixBitLengthPhone));
}

void ZEVOveverizuru::initiateODM1ProtocolWithUserData(const platform::ValueMap& userData) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue")) return;
  std::shared_ptr<APMPSMClient> client;
  if (const auto* email = textOf(userData, "email_address")) {
    if (shouldRetrievePSMResponseWithEmailAddress(*email))
      client = PSMClientWithEmailAddress(*email);
  }
  if (!client) {
    if (const auto* phone = textOf(userData, "phone_number")) {
      if (shouldRetrievePSMResponseWithPhoneNumber(*phone))
        client = PSMClientWithPhoneNumber(*phone);
    }
  }
  if (!client) {
    if (const auto hashed = bytesOf(userData, "hashed_email_address")) {
      if (shouldRetrievePSMResponseWithHashedIdentifier(*hashed, false))
        client = PSMClientWithHashedEmailAddress(*hashed);
    }
  }
  if (!client) {
    if (const auto hashed = bytesOf(userData, "hashed_phone_number")) {
      if (shouldRetrievePSMResponseWithHashedIdentifier(*hashed, true))
        client = PSMClientWithHashedPhoneNumber(*hashed);
    }
  }
  if (!client || !ODM1Context_) return;
  ODM1Context_->PSMClient = client;
  report(7, 23225, "Initiated on-device conversion measurement");
  ODM1Context_->PSMRetryCount = 0;
  ODM1Context_->PSMStartCount += 1;
  ODM1Context_->sessionStartTimestamp = 0;
  retrievePSMResponse();
}

// ---- The request ----

std::optional<std::string> ZEVOveverizuru::PSMRequestURL() {
  if (!ODM1Context_ || !ODM1Context_->PSMClient) return std::nullopt;
  const auto& client = ODM1Context_->PSMClient;
  const auto base = client->PSMRequestURLWithRetryCount(ODM1Context_->PSMRetryCount);
  if (!base) return std::nullopt;
  std::string url = *base;
  // 1.
  const auto [property, parameter] = counterForInputType(client->inputType());
  std::int64_t count = 0;
  if (const auto db = database()) {
    platform::ErrorPtr error;
    if (const auto counter = db->userAttributeWithName(property, &error);
        counter && counter->value().isInt64()) {
      count = counter->value().int64Value();
    }
  }
  url = APMURLStringAfterAppendingParam(url, parameter, std::to_string(count));
  // 2.
  const std::int64_t firstOpenSeconds =
      persistedConfig_ ? persistedConfig_->firstOpenTimestampMilliseconds() / 1000 : 0;
  if (firstOpenSeconds > 0 && !(ODM1Context_->sessionStartTimestamp > 0)) {
    url = APMURLStringAfterAppendingParam(url, "timestamp_first_open",
                                          std::to_string(firstOpenSeconds / 60 * 60 + 60));
  }
  // 3.
  if (!GULAppEnvironmentUtil::isFromAppStore() &&
      (monitor()->isDebugModeEnabled() || monitor()->isVerboseLoggingEnabled())) {
    const auto arguments = platform::ProcessInfo::processInfo().arguments();
    if (std::find(arguments.begin(), arguments.end(), kDebugPSMArgument) != arguments.end()) {
      if (const auto key = client->debugKey())
        url = APMURLStringAfterAppendingParam(url, "debug_psm_key", *key);
    }
  }
  return url;
}

void ZEVOveverizuru::retrievePSMResponse() {
  if (!ODM1Context_ || !ODM1Context_->PSMClient) return;
  const auto client = ODM1Context_->PSMClient;
  // 1.
  const platform::Bytes payload = client->payloadWithPSMRequest();
  if (payload.empty()) {
    report(1, 23293, "Payload to query data set for on-device conversion measurement is invalid");
    return;
  }
  // 2.
  const auto url = PSMRequestURL();
  if (!url) {
    report(1, 23227, "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  // 3.
  if (!isNetworkReadyForRequest()) {
    report(7, 23232,
           "Network operation is pending. Request to query data set for on-device conversion "
           "measurement postponed.");
    ODM1Context_->isPSMRequestPostponed = true;
    return;
  }
  // 4.
  if (ODM1Context_->PSMRetryAlarm) ODM1Context_->PSMRetryAlarm->cancel();
  ODM1Context_->isPSMRequestPostponed = false;
  ODM1Context_->isPSMRequestInProgress = true;
  setIsNetworkRequestPending(true);
  if (const auto config = remoteConfigInstance())
    network_->setTimeoutInterval(config->doubleSetting(APMSetting::NetworkTimeout));
  const std::string counter = counterForInputType(client->inputType()).first;
  const bool isSessionValue = ODM1Context_->sessionStartTimestamp > 0;
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  // 5.
  network_->postURL(
      *url, payload, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak, client, counter, isSessionValue](const platform::HTTPURLResponsePtr& response,
                                              const platform::Bytes& data,
                                              const platform::ErrorPtr& error) {
        const auto self = weak.lock();
        if (!self || !self->ODM1Context_) return;
        auto& context = *self->ODM1Context_;
        self->setIsNetworkRequestPending(false);
        self->incrementPSMCountOnWorkerQueueWithName(counter);
        const int status = response ? response->statusCode : 0;
        if (error || !(status == 200 || status == 204 || status == 304)) {
          report(1, 23228,
                 "Failed to query data set for on-device conversion measurement. Will retry "
                 "later. Code, error",
                 {Value(std::int64_t{status}), error ? Value(error) : Value()});
          context.isPSMRequestInProgress = false;
          self->maybeSchedulePSMRetry();
          self->updateSchedule();
          return;
        }
        const std::string value = client->parsedPSMValueFromResponse(data);
        if (!value.empty()) {
          report(7, 23229, "On-device conversion measurement found a match");
          self->handlePSMValueOnWorkerQueue(value, isSessionValue);
        } else {
          report(7, 23230,
                 "On-device conversion measurement did not find a match. Will try again given new "
                 "user data.");
        }
        context.isPSMRequestInProgress = false;
        context.PSMClient = nullptr;
        self->updateSchedule();
      });
}

void ZEVOveverizuru::maybeSchedulePSMRetry() {
  if (!ODM1Context_) return;
  const auto config = remoteConfigInstance();
  if (!config) return;
  auto& context = *ODM1Context_;
  const double delay = config->doubleSetting(APMSetting::PSMRetryInterval) *
                       static_cast<double>(std::uint64_t{1} << (context.PSMRetryCount % 32));
  context.PSMRetryCount += 1;
  if (context.PSMRetryCount >= config->integerSetting(APMSetting::MaxPSMRetryCount)) {
    report(4, 23231,
           "On-device conversion measurement failed to find a match. Reached retry limit.");
    return;
  }
  if (!context.PSMRetryAlarm) {
    context.PSMRetryAlarm =
        APMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kPSMRetryAlarmName);
  }
  if (!context.PSMRetryAlarm) return;
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  context.PSMRetryAlarm->runAfterDelay(delay, [weak] {
    if (const auto self = weak.lock()) self->retrievePSMResponse();
  });
}

void ZEVOveverizuru::handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("handlePSMValueOnWorkerQueue")) return;
  if (value.empty()) return;
  const double time = now();
  // 1.
  if (const auto db = database()) {
    platform::ErrorPtr error;
    if (!db->updateODMValue(value,
                            isSessionValue ? APMDatabaseODM1SessionValue : APMDatabaseODM1Value,
                            time, &error)) {
      report(1, 23286, "Failed to update ODM value. Error", {error ? Value(error) : Value()});
    }
  }
  // 2.
  if (auto text = APMValue::initWithString(value)) {
    setUserAttributeOnWorkerQueue(
        std::make_shared<APMUserAttribute>("auto", kPSMValueProperty, std::move(*text), time));
  }
  // 3.
  if (auto event = APMEvent::initWithOrigin("auto", false, "_fx", time, 0,
                                            platform::ValueMap{{Value("_fxs"), Value("psm")}})) {
    event->setRealtime(true);
    writeEventOnWorkerQueue(event);
  }
}

void ZEVOveverizuru::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
  const auto db = database();
  if (!db) return;
  std::int64_t count = 0;
  platform::ErrorPtr error;
  if (const auto stored = db->userAttributeWithName(name, &error);
      stored && stored->value().isInt64())
    count = stored->value().int64Value();
  setUserAttributeOnWorkerQueue(
      std::make_shared<APMUserAttribute>("auto", name, APMValue(count + 1), now()));
}

std::string APMURLStringAfterAppendingParam(const std::string& url, const std::string& name,
                                            const std::string& value) {
  if (name.empty() || value.empty()) return url;
  return url + "&" + name + "=" + value;
}
