#include "measurement/engine/apm_bundle_signals.h"

#include <algorithm>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_monitor.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace UA = apmpb_field::UserAttribute;

bool isDeniedDigit(char c) {
  return c == '0' || c == 'd' || c == 'D';
}

std::optional<std::string> stringField(const APMPBMeasurementBundle& bundle, int32_t index) {
  return NANOGetString(&bundle, index);
}

void setIfAbsentOrOverwrite(APMPBMeasurementBundle& bundle, int32_t index, const std::string& value,
                            bool overwrite) {
  if (overwrite || !NANOHasField(&bundle, index)) NANOSetString(&bundle, index, value);
}

std::vector<std::shared_ptr<APMPBUserAttribute>>
userAttributes(const APMPBMeasurementBundle& bundle) {
  std::vector<std::shared_ptr<APMPBUserAttribute>> out;
  const auto list = NANOGetArray(&bundle, B::kUserAttributes, APMPBUserAttribute::classObject());
  if (!list) return out;
  for (const auto& item : *list) {
    if (auto attribute = item.asObjectOf<APMPBUserAttribute>()) out.push_back(attribute);
  }
  return out;
}

void setUserAttributes(APMPBMeasurementBundle& bundle,
                       const std::vector<std::shared_ptr<APMPBUserAttribute>>& attributes) {
  const auto values = NANOMessageValues(attributes);
  NANOSetArray(&bundle, B::kUserAttributes, &values);
}

bool isNamed(const APMPBUserAttribute& attribute, std::string_view name) {
  const auto stored = NANOGetString(&attribute, UA::kName);
  return stored && *stored == name;
}

}  // namespace

APMBundleIdentityValues APMBundleIdentityValuesFromIdentity(APMIdentity& identity) {
  APMBundleIdentityValues values;
  auto read = identity.eventIdentifiers();
  // Every supported system level reports a tracking-authorization status.
  values.trackingAuthorizationStatus = read.appleConsentStatus;
  if (read.hasLimitedAdTracking) values.limitedAdTracking = read.limitedAdTracking;
  values.resettableDeviceID = std::move(read.resettableDeviceID);
  values.appInstanceID = std::move(read.appInstanceID);
  values.ephemeralAppInstanceID = std::move(read.ephemeralAppInstanceID);
  return values;
}

bool APMIsAnalyticsStorageDenied(const std::string& consentSignals) {
  return consentSignals.size() > 3 && isDeniedDigit(consentSignals[3]);
}

bool APMIsAdStorageDeniedInSignals(const std::string& consentSignals) {
  return consentSignals.size() > 2 && isDeniedDigit(consentSignals[2]);
}

void APMUpdateConsentSignalsAndIdentifiers(APMPBMeasurementBundle& bundle,
                                           const std::string& consentSignals, bool gateIDFA,
                                           const APMBundleIdentityValues& identity,
                                           bool overwrite) {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty() && NANOHasField(&bundle, B::kConsentSignals)) {
      NANOClearField(&bundle, B::kConsentSignals);
    }
  } else {
    std::string signals = consentSignals;
    if (!overwrite && NANOHasField(&bundle, B::kConsentSignals)) {
      signals = stringField(bundle, B::kConsentSignals).value_or("");
    } else {
      NANOSetString(&bundle, B::kConsentSignals, consentSignals);
    }
    adStorageDenied = APMIsAdStorageDeniedInSignals(signals);
    analyticsStorageDenied = APMIsAnalyticsStorageDenied(signals);
  }

  bool gated = false;
  if (identity.trackingAuthorizationStatus) {
    const std::int64_t status = *identity.trackingAuthorizationStatus;
    if (status != 6)
      NANOSetInt32(&bundle, B::kTrackingAuthorizationStatus,
                   static_cast<int32_t>(std::clamp<std::int64_t>(status, INT32_MIN, INT32_MAX)));
    gated = status != 3 && gateIDFA;
  }

  if (identity.limitedAdTracking && identity.resettableDeviceID && !adStorageDenied && !gated) {
    setIfAbsentOrOverwrite(bundle, B::kResettableDeviceId, *identity.resettableDeviceID, false);
    NANOClearField(&bundle, B::kVendorDeviceId);
  } else if (!analyticsStorageDenied && identity.vendorID) {
    setIfAbsentOrOverwrite(bundle, B::kVendorDeviceId, *identity.vendorID, false);
    NANOClearField(&bundle, B::kResettableDeviceId);
  } else {
    NANOClearField(&bundle, B::kResettableDeviceId);
    NANOClearField(&bundle, B::kVendorDeviceId);
  }
  if (!analyticsStorageDenied && identity.appInstanceID && !identity.appInstanceID->empty()) {
    setIfAbsentOrOverwrite(bundle, B::kAppInstanceId, *identity.appInstanceID, false);
  }
  if (adStorageDenied) NANOClearField(&bundle, B::kResettableDeviceId);
  if (analyticsStorageDenied) {
    NANOClearField(&bundle, B::kVendorDeviceId);
    NANOClearField(&bundle, B::kAppInstanceId);
    NANOClearField(&bundle, B::kSessionStitchingToken);
    NANOClearField(&bundle, B::kAudienceEvaluationResults);
  }
  if (identity.limitedAdTracking) {
    NANOSetBool(&bundle, B::kLimitedAdTracking, *identity.limitedAdTracking);
  }
}

APMDMASettings APMDMASettingsFromRemoteConfig(APMRemoteConfig& remoteConfig) {
  return {remoteConfig.isDMARegion(), remoteConfig.corePlatformServices()};
}

void APMUpdateDMAConsentSignals(APMPBMeasurementBundle& bundle,
                                const std::string& consentDiagnostics, bool isAdUserDataDenied,
                                const std::shared_ptr<APMPBUserAttribute>& npaUserAttribute,
                                const APMDMASettings& remote, bool overwrite) {
  setIfAbsentOrOverwrite(bundle, B::kConsentDiagnostics, consentDiagnostics, overwrite);
  if (overwrite || !NANOHasField(&bundle, B::kDmaRegion)) {
    NANOSetBool(&bundle, B::kDmaRegion, remote.isDMARegion);
  }
  if (overwrite || !NANOHasField(&bundle, B::kCorePlatformServices)) {
    // A std::set is already sorted by code unit, as the platform's compare: sorts these names.
    if (isAdUserDataDenied || remote.corePlatformServices.empty()) {
      NANOSetString(&bundle, B::kCorePlatformServices, "-");
    } else if (!remote.isDMARegion) {
      NANOClearField(&bundle, B::kCorePlatformServices);
    } else if (NANOGetBool(&bundle, B::kDmaRegion)) {
      std::string joined;
      for (const auto& name : remote.corePlatformServices)
        joined += name;
      NANOSetString(&bundle, B::kCorePlatformServices, joined);
    }
  }
  if (npaUserAttribute) {
    auto attributes = userAttributes(bundle);
    const auto found = std::find_if(attributes.begin(), attributes.end(),
                                    [](const auto& a) { return isNamed(*a, "_npa"); });
    if (found == attributes.end()) {
      attributes.push_back(npaUserAttribute);
      setUserAttributes(bundle, attributes);
    } else if (overwrite) {
      *found = npaUserAttribute;
      setUserAttributes(bundle, attributes);
    }
  }
}

void APMUpdateDataControls(APMPBMeasurementBundle& bundle, const std::set<std::string>& controls,
                           const APMBundleIdentityValues& identity) {
  const auto has = [&](const char* name) { return controls.count(name) > 0; };
  if (has(APMDataControlAppInstanceID)) {
    NANOClearField(&bundle, B::kAppInstanceId);
    const auto signals = stringField(bundle, B::kConsentSignals).value_or("");
    if (APMIsAnalyticsStorageDenied(signals)) {
      NANOClearField(&bundle, B::kEphemeralAppInstanceId);
    } else {
      NANOSetString(&bundle, B::kEphemeralAppInstanceId, identity.ephemeralAppInstanceID);
    }
  }
  if (has(APMDataControlUserID)) {
    auto attributes = userAttributes(bundle);
    const auto end = std::remove_if(attributes.begin(), attributes.end(),
                                    [](const auto& a) { return isNamed(*a, "_id"); });
    if (end != attributes.end()) {
      attributes.erase(end, attributes.end());
      setUserAttributes(bundle, attributes);
    }
  }
  if (has(APMDataControlOSVersion) || has(APMDataControlDeviceInfo)) {
    if (const auto os = stringField(bundle, B::kOsVersion)) {
      NANOSetString(&bundle, B::kOsVersion, os->substr(0, os->find('.')));
    }
  }
  if (has(APMDataControlDeviceModel) || has(APMDataControlDeviceInfo)) {
    NANOClearField(&bundle, B::kDeviceModel);
  }
  if (has(APMDataControlEnhancedUserID)) NANOClearField(&bundle, B::kSessionStitchingToken);
  if (!controls.empty()) {
    platform::ValueList names;
    for (const auto& name : controls)
      names.emplace_back(name);
    NANOSetArray(&bundle, B::kRedactedFields, &names);
  }
}

bool APMIsFirstOpenBundle(const APMPBMeasurementBundle* bundle) {
  if (!bundle) return false;
  const auto events = NANOGetArray(bundle, B::kEvents, APMPBEvent::classObject());
  if (!events) return false;
  return std::any_of(events->begin(), events->end(), [](const platform::Value& item) {
    const auto event = item.asObjectOf<APMPBEvent>();
    const auto name = event ? NANOGetString(event.get(), apmpb_field::Event::kName) : std::nullopt;
    return name && *name == "_f";
  });
}

std::shared_ptr<APMPBUserAttribute>
APMNPAUserPropertyFromBundle(const APMPBMeasurementBundle& bundle) {
  for (const auto& attribute : userAttributes(bundle)) {
    if (isNamed(*attribute, "_npa")) return attribute;
  }
  return nullptr;
}

bool APMBundlesHaveCompatibleConsentState(const APMPBMeasurementBundle* a,
                                          const APMPBMeasurementBundle* b) {
  if (!a || !b) return false;
  for (const int32_t index :
       {B::kConsentSignals, B::kConsentDiagnostics, B::kCorePlatformServices}) {
    if (stringField(*a, index) != stringField(*b, index)) return false;
  }
  if (NANOGetBool(a, B::kDmaRegion) != NANOGetBool(b, B::kDmaRegion)) return false;
  const auto npaA = APMNPAUserPropertyFromBundle(*a);
  const auto npaB = APMNPAUserPropertyFromBundle(*b);
  if (!npaA && !npaB) return true;
  const auto value = [](const std::shared_ptr<APMPBUserAttribute>& attribute) {
    return attribute ? NANOGetInt64(attribute.get(), UA::kIntValue) : 0;
  };
  return value(npaA) == value(npaB);
}

bool APMIsSubjectToMaxRealtimeCountPerDay(const APMEvent& event) {
  if (APMProcessMonitor()->isDebugModeEnabled()) return false;
  const auto& name = event.name();
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool APMIsSubjectToMaxDCURealtimeCountPerDay(const APMEvent& event) {
  return !APMProcessMonitor()->isDebugModeEnabled() && event.name() == "_dcu";
}
