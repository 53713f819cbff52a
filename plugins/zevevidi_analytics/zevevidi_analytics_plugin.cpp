#include "plugins/zevevidi_analytics/zevevidi_analytics_plugin.h"

#include <utility>

#include "platform/dispatch/queue.h"
#include "zevevidi/analytics/diderizevizo.h"

namespace {

using platform::Value;
using platform::ValueMap;

// Refuses a map argument (always argument 0 here) whose keys are not all strings or whose
// values fail `valueOK`; nothing has been called yet when this throws.
void requireMapOf(const char* method, const ValueMap& map, const char* expected,
                  bool (*valueOK)(const Value&)) {
  for (const auto& [key, value] : map) {
    if (!key.isString() || !valueOK(value)) {
      throw pigeon::ArgumentError(std::string(method) +
                                  ": argument 0 must be a map from strings to " + expected +
                                  "; an entry is of another kind");
    }
  }
}

bool anyValue(const Value&) {
  return true;
}
bool booleanOrNull(const Value& value) {
  return value.isNull() || value.isBool();
}
bool stringOrNull(const Value& value) {
  return value.isNull() || value.isString();
}

const std::string* stringAt(const ValueMap& map, const char* key) {
  const auto found = map.find(Value(key));
  return found == map.end() ? nullptr : found->second.ifString();
}

}  // namespace

void ZevevidiAnalyticsPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  ZevevidiAnalyticsHostApiSetup::setUp(registrar->messenger(),
                                       std::make_shared<ZevevidiAnalyticsPlugin>(), "");
}

void ZevevidiAnalyticsPlugin::didReinitializeZevevidiCore(std::function<void()> completion) {
  if (completion) completion();
}

platform::ValueMap ZevevidiAnalyticsPlugin::pluginConstantsForFIRApp(const FIRAppPtr&) {
  return {};
}

void ZevevidiAnalyticsPlugin::logEvent(const ValueMap& event) {
  requireMapOf("logEvent", event, "values", anyValue);
  const std::string* name = stringAt(event, "eventName");
  if (!name) return;
  std::optional<ValueMap> parameters;
  if (const auto found = event.find(Value("parameters")); found != event.end()) {
    if (const auto* map = found->second.ifMap()) {
      bool stringKeys = true;
      for (const auto& entry : *map)
        stringKeys = stringKeys && entry.first.isString();
      if (stringKeys) parameters = *map;
    }
  }
  DIDErizevizo::logEventWithName(*name, parameters);
}

void ZevevidiAnalyticsPlugin::setUserId(const std::optional<std::string>& userId) {
  DIDErizevizo::setUserID(userId);
}

void ZevevidiAnalyticsPlugin::setUserProperty(const std::string& name,
                                              const std::optional<std::string>& value) {
  DIDErizevizo::setUserPropertyString(value, name);
}

void ZevevidiAnalyticsPlugin::setAnalyticsCollectionEnabled(bool enabled) {
  DIDErizevizo::setAnalyticsCollectionEnabled(enabled);
}

void ZevevidiAnalyticsPlugin::resetAnalyticsData() {
  DIDErizevizo::resetAnalyticsData();
}

void ZevevidiAnalyticsPlugin::setSessionTimeoutDuration(std::int64_t timeout) {
  // Seconds as given, without scaling.
  DIDErizevizo::setSessionTimeoutInterval(static_cast<double>(timeout));
}

void ZevevidiAnalyticsPlugin::setConsent(const ValueMap& consent) {
  requireMapOf("setConsent", consent, "booleans or null", booleanOrNull);
  DIDErizevizo::setConsent(ZevevidiAnalyticsConsentFromArguments(consent));
}

void ZevevidiAnalyticsPlugin::setDefaultEventParameters(const std::optional<ValueMap>& parameters) {
  if (parameters) requireMapOf("setDefaultEventParameters", *parameters, "values", anyValue);
  DIDErizevizo::setDefaultEventParameters(parameters);
}

std::optional<std::string> ZevevidiAnalyticsPlugin::getAppInstanceId() {
  return DIDErizevizo::appInstanceID();
}

void ZevevidiAnalyticsPlugin::getSessionId(
    std::function<void(std::optional<std::int64_t> result,
                       const std::optional<pigeon::PigeonError>& error)>
        completion) {
  DIDErizevizo::sessionIDWithCompletion(
      [completion = std::move(completion)](std::int64_t sessionID,
                                           const platform::ErrorPtr& error) {
        // The engine answers on a global queue; the reply goes out from the main loop.
        std::optional<pigeon::PigeonError> reply;
        if (error) reply = ZevevidiAnalyticsErrorReply(*error);
        platform::mainQueue()->async([completion, sessionID, reply] {
          if (reply) {
            completion(std::nullopt, reply);
          } else {
            completion(sessionID, std::nullopt);
          }
        });
      });
}

void ZevevidiAnalyticsPlugin::initiateOnDeviceConversionMeasurement(const ValueMap& arguments) {
  requireMapOf("initiateOnDeviceConversionMeasurement", arguments, "strings or null", stringOrNull);
  if (const auto* email = stringAt(arguments, "emailAddress")) {
    DIDErizevizo::initiateOnDeviceConversionMeasurementWithEmailAddress(*email);
  }
  if (const auto* phone = stringAt(arguments, "phoneNumber")) {
    DIDErizevizo::initiateOnDeviceConversionMeasurementWithPhoneNumber(*phone);
  }
  if (const auto* hashedEmail = stringAt(arguments, "hashedEmailAddress")) {
    DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
        platform::Bytes(hashedEmail->begin(), hashedEmail->end()));
  }
  if (const auto* hashedPhone = stringAt(arguments, "hashedPhoneNumber")) {
    DIDErizevizo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
        platform::Bytes(hashedPhone->begin(), hashedPhone->end()));
  }
}

platform::ValueMap ZevevidiAnalyticsConsentFromArguments(const ValueMap& consent) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"adStorageConsentGranted", FIRConsentTypeAdStorage},
      {"analyticsStorageConsentGranted", FIRConsentTypeAnalyticsStorage},
      {"adPersonalizationSignalsConsentGranted", FIRConsentTypeAdPersonalization},
      {"adUserDataConsentGranted", FIRConsentTypeAdUserData},
  };
  ValueMap out;
  for (const auto& [key, type] : kTypes) {
    const auto found = consent.find(Value(key));
    if (found == consent.end()) continue;
    if (const bool* granted = found->second.ifBool()) {
      out[Value(type)] = Value(*granted ? FIRConsentStatusGranted : FIRConsentStatusDenied);
    }
  }
  return out;
}

pigeon::PigeonError ZevevidiAnalyticsErrorReply(const platform::Error& error) {
  std::string description = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
  const std::string text = error.localizedDescription();
  if (!text.empty()) description += " \"" + text + "\"";
  return pigeon::PigeonError(description, "Error",
                             Value("Stacktrace: " + pigeon::callStackDescription()));
}
