// The measurement engine's process-wide consent store: the status in force for each of the four
// consent types, the source that set it, the configuration's default, delegated and regional
// settings, and one diagnostic digit per type. It only holds and answers; accepting, persisting
// and logging consent changes is the analytics facade's work.
//
// All state lives on the serial queue "APMConsentSettingsUtilQueue": getters run synchronously
// on it, setters are queued, so a getter after a setter on the same thread sees its effect.
// Values are stored as given; only strings are ever compared, lowercased, with the statuses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

enum class APMConsentType {
  AdStorage = 1,
  AnalyticsStorage = 2,
  AdUserData = 3,
  AdPersonalization = 4
};
enum class APMConsentStatus { Granted = 1, Denied = 2 };

extern const char* const APMConsentTypeAdStorage;          // "ad_storage"
extern const char* const APMConsentTypeAdUserData;         // "ad_user_data"
extern const char* const APMConsentTypeAdPersonalization;  // "ad_personalization"
extern const char* const APMConsentStatusGranted;          // "granted"
extern const char* const APMConsentStatusDenied;           // "denied"
extern const char* const APMAdStoragePlistKey;
extern const char* const APMAnalyticsStoragePlistKey;
extern const char* const APMAdUserDataPlistKey;
extern const char* const APMAllowAdPersonalizationSignalsPlistKey;

// Consent sources: a smaller number has the higher priority; 5 and 10 rank equal.
enum APMConsentSource : std::int64_t {
  APMConsentSourceTCF = 5,
  APMConsentSourceThirdParty = 10,
  APMConsentSourcePlist = 20,
  APMConsentSourceApplication = 30,
  APMConsentSourceOnStart = 40,
  APMConsentSourceNone = 100,
};

// Diagnostic digits, one per consent type in the diagnostics string (there is no 6).
enum APMConsentDiagnosticSource : int {
  APMConsentDiagnosticReset = 0,
  APMConsentDiagnosticDefault = 1,
  APMConsentDiagnosticDelegated = 2,
  APMConsentDiagnosticPlist = 3,
  APMConsentDiagnosticOnStart = 4,
  APMConsentDiagnosticApplicationOrThirdParty = 5,
  APMConsentDiagnosticTCF = 7,
  APMConsentDiagnosticRegional = 8,
  APMConsentDiagnosticUnset = 9,
};

// "ad_storage", "analytics_storage", "ad_user_data", "ad_personalization" for 1..4, else "".
std::string APMConsentTypeStringFromEnum(int type);
// "granted" for 1, "denied" for 2, else "".
std::string APMConsentStatusStringFromEnum(int status);
// The four consent types in their fixed order.
const platform::ValueList& APMAllConsentTypes();
// Whether `stored` is a string equal to `status` once lowercased.
bool APMIsConsentSettingEqualToValue(const platform::Value& stored, const std::string& status);
// Whether `value` asks for the regional default: "eu_consent_policy" in any case, for ad user data
// and ad personalization only.
bool APMShouldApplyRegionalConsent(const std::string& type, const platform::Value& value);
// The digit a consent source leaves in the diagnostics.
int APMConsentDiagnosticSourceForConsentSource(std::int64_t source);
// A property-list default as a status: "eu_consent_policy" (regional types only), "granted" or
// "denied" from a boolean reading, else none.
std::optional<std::string> APMConsentStatusFromPlistValue(const std::string& type,
                                                          const platform::Value& value);

class APMConsentSettingsUtil {
 public:
  static platform::QueuePtr serialQueue();

  static std::optional<platform::ValueMap> consentSettings();
  static std::optional<platform::ValueMap> defaultSettings();
  static std::optional<platform::ValueMap> delegatedSettings();
  static std::optional<platform::ValueMap> regionalDefaults();

  static std::int64_t consentSource();
  // Also refreshes the diagnostics with the source's digits.
  static void setConsentSource(std::int64_t source);
  static std::int64_t version();
  // Only 1 and 2 are accepted; other values are ignored.
  static void setVersion(std::int64_t version);

  // None resets the source to 100 and refreshes the diagnostics with the source's digits.
  static void setConsentSettings(std::optional<platform::ValueMap> settings);
  static void setDefaultSettings(std::optional<platform::ValueMap> settings);
  static void setDelegatedSettings(std::optional<platform::ValueMap> settings);
  static void setRegionalDefaults(std::optional<platform::ValueMap> settings);
  // Lays `settings` over the current ones (its keys win); source and diagnostics unchanged.
  static void updateSettings(const platform::ValueMap& settings);
  // The same, then the source becomes `source` and each given type takes the source's digit,
  // written only into a diagnostics table that already exists.
  static void updateSettings(const platform::ValueMap& settings, std::int64_t source);

  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  static bool isAdUserDataDenied();
  // false (denied), true (granted) or none.
  static std::optional<bool> adPersonalization();
  static bool didAdUserDataConsentChange(bool previouslyDenied);
  static bool isConsentSourceEqualPriority(std::int64_t source);
  // The acceptance test of a new consent: equal priority, or a current source >= `source`.
  static bool isConsentSourceHigherPriority(std::int64_t source);

  // Only the four consent-type keys of `dictionary`, values unchanged.
  static platform::ValueMap consentSettingsFromDictionary(const platform::ValueMap& dictionary);
  // The consent defaults of the main bundle's information property list.
  static platform::ValueMap consentSettingsFromPlist();

  // "G1" and one character each for ad storage and analytics storage: "0" denied, "1" granted,
  // "-" otherwise.
  static std::string consentSignals();
  // "1" and the four digits, after a refresh that keeps the stored digits of current values.
  static std::string consentDiagnostics();
  static void setDiagnosticSource(int digit, const std::string& type);
  static void resetDiagnosticSources();
  static void refreshDiagnosticSources(bool fromSource);
  // Drops a current ad personalization value and sets its digit to 0.
  static void unsetAdPersonalization();
  static std::string description();
  // Source 100; current, default, delegated and regional settings none; diagnostics all 0.
  static void clearAllSettings();

  // Back to the state of a fresh process (version 1, no diagnostics table).
  static void resetForTesting();
};
