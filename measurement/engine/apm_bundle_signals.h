// Plain functions that edit one MeasurementBundle so that what leaves the device matches the
// consent state and the server's data controls: the consent-signal text and the identifiers it
// lets travel, the DMA fields, the redactions the data controls ask for, whether two bundles may
// share a batch, and the two real-time count rules of bundling. They keep no state; callers use
// them on the measurement worker queue, one bundle at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "measurement/messages/apmpb_wrappers.h"

class APMEvent;
class APMIdentity;
class APMRemoteConfig;

// What the identity answers that the consent and data-control rules read, taken once so the
// rules run on plain values (and tests can state each answer).
struct APMBundleIdentityValues {
  // The tracking-authorization status, when the platform reports one.
  std::optional<std::int64_t> trackingAuthorizationStatus;
  // Set when the identity has a limited-ad-tracking answer.
  std::optional<bool> limitedAdTracking;
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorID;
  std::optional<std::string> appInstanceID;
  std::string ephemeralAppInstanceID;
};
APMBundleIdentityValues APMBundleIdentityValuesFromIdentity(APMIdentity& identity);

// The consent signals (field 52) and the identifiers they allow (19, 20, 21, 27; 53, 63, 29).
// Without `overwrite` a stored field 52 decides and present identifiers stay.
void APMUpdateConsentSignalsAndIdentifiers(APMPBMeasurementBundle& bundle,
                                           const std::string& consentSignals, bool gateIDFA,
                                           const APMBundleIdentityValues& identity, bool overwrite);
// The DMA fields 71, 72, 73 and the "_npa" user attribute.
struct APMDMASettings {
  bool isDMARegion = false;
  std::set<std::string> corePlatformServices;
};
void APMUpdateDMAConsentSignals(APMPBMeasurementBundle& bundle,
                                const std::string& consentDiagnostics, bool isAdUserDataDenied,
                                const std::shared_ptr<APMPBUserAttribute>& npaUserAttribute,
                                const APMDMASettings& remote, bool overwrite);
APMDMASettings APMDMASettingsFromRemoteConfig(APMRemoteConfig& remoteConfig);
// The server's data controls ("app_instance_id", "user_id", "os_version", "device_info",
// "device_model", "enhanced_user_id"); a non-empty set is recorded in field 64.
void APMUpdateDataControls(APMPBMeasurementBundle& bundle, const std::set<std::string>& controls,
                           const APMBundleIdentityValues& identity);

inline constexpr const char* APMDataControlAppInstanceID = "app_instance_id";
inline constexpr const char* APMDataControlUserID = "user_id";
inline constexpr const char* APMDataControlOSVersion = "os_version";
inline constexpr const char* APMDataControlDeviceInfo = "device_info";
inline constexpr const char* APMDataControlDeviceModel = "device_model";
inline constexpr const char* APMDataControlEnhancedUserID = "enhanced_user_id";

bool APMIsFirstOpenBundle(const APMPBMeasurementBundle* bundle);
bool APMBundlesHaveCompatibleConsentState(const APMPBMeasurementBundle* a,
                                          const APMPBMeasurementBundle* b);
std::shared_ptr<APMPBUserAttribute>
APMNPAUserPropertyFromBundle(const APMPBMeasurementBundle& bundle);
// Longer than three characters and character 3 is "0", "d" or "D".
bool APMIsAnalyticsStorageDenied(const std::string& consentSignals);
bool APMIsAdStorageDeniedInSignals(const std::string& consentSignals);
// Debug mode off and the name is none of "_iap", "_f", "_dcu", "_fx".
bool APMIsSubjectToMaxRealtimeCountPerDay(const APMEvent& event);
// Debug mode off and the name is "_dcu".
bool APMIsSubjectToMaxDCURealtimeCountPerDay(const APMEvent& event);
