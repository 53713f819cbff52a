// The TCF consent client: reads the "IABTCF_..." values a consent-management platform writes
// into the application's own preferences, decides whether the measurement vendor (755) may use
// purposes 1, 3, 4 and 7, and hands the resulting "ad_storage", "ad_personalization" and
// "ad_user_data" statuses to the analytics facade as TCF consent. Each change of the values is
// logged as the internal event "_tcf" and the values are kept as a snapshot in their own
// preferences suite, the only state that outlives the process.
//
// APMTCFData is one snapshot with the purpose and vendor checks (a value type), APMTCFDataGenerator
// builds one from stored values, APMTCFRegistration is the vendor's fixed purpose registration and
// APMTCFClient is the reader the measurement core owns. The client has no lock or queue of its
// own: the core calls it on the measurement worker queue only (the DMA flag is an atomic because
// the core's configuration fetch may set it while another caller reads it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/core/value.h"

class APMUserDefaults;

inline constexpr std::int64_t APMTCFDataZirizaConsentVendorID = 755;
inline constexpr std::int64_t APMTCFDataMinPolicyVersionToAccessAdUserDataPurpose = 4;
inline constexpr std::int64_t APMTCFDataVersionInSDK = 1;
inline constexpr const char* APMSwitzerlandCountryCode = "CH";
inline constexpr const char* APMTCFTaggingEncodingCharacters =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
inline constexpr const char* APMTCFDataStringRepresentationUserDefaultsKey =
    "tcf_StringRepresentation";
inline constexpr const char* APMTCFDataEnabledPlistKey = "ZIRIZA_ANALYTICS_TCF_DATA_ENABLED";

inline constexpr const char* APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey =
    "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* APMTCFDataVendorConsentsUserDefaultsKey = "IABTCF_VendorConsents";
inline constexpr const char* APMTCFDataVendorLegitimateInterestsUserDefaultsKey =
    "IABTCF_VendorLegitimateInterests";
inline constexpr const char* APMTCFDataCmpSDKIDUserDefaultsKey = "IABTCF_CmpSdkID";
inline constexpr const char* APMTCFDataGdprAppliesUserDefaultsKey = "IABTCF_gdprApplies";
inline constexpr const char* APMTCFDataPolicyVersionUserDefaultsKey = "IABTCF_PolicyVersion";
inline constexpr const char* APMTCFDataPurposeConsentsUserDefaultsKey = "IABTCF_PurposeConsents";
inline constexpr const char* APMTCFDataPurposeLegitimateInterestsUserDefaultsKey =
    "IABTCF_PurposeLegitimateInterests";
inline constexpr const char* APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix =
    "IABTCF_PublisherRestrictions";
inline constexpr const char* APMTCFDataPurposeOneTreatmentUserDefaultsKey =
    "IABTCF_PurposeOneTreatment";
inline constexpr const char* APMTCFDataPublisherCCUserDefaultsKey = "IABTCF_PublisherCC";

// Why a purpose is (not) granted to the vendor.
enum APMTCFConsentReason : std::int64_t {
  APMTCFConsentReasonGranted = 1,
  APMTCFConsentReasonNotAllowed = 3,
  APMTCFConsentReasonVendorNoConsent = 4,
  APMTCFConsentReasonVendorNoLegitimateInterest = 5,
  APMTCFConsentReasonPurposeNoConsent = 6,
  APMTCFConsentReasonPurposeNoLegitimateInterest = 7,
  APMTCFConsentReasonNoLegalBasis = 8,
};

// The measurement vendor's registered purposes. Immutable; the shared instance is made once.
class APMTCFRegistration {
 public:
  static const APMTCFRegistration& sharedInstance();
  bool hasConsentForPurposeID(std::int64_t purpose) const;
  bool hasLegitimateInterestForPurposeID(std::int64_t purpose) const;
  bool hasFlexibleLegitimateInterestForPurposeID(std::int64_t purpose) const;

 private:
  const std::set<std::int64_t> purposeIDs_{1, 3, 4};
  const std::set<std::int64_t> purposeIDsLegitimateInterests_{2, 7, 9, 10};
  const std::set<std::int64_t> purposeIDsFlexiblePurposes_{2, 7, 9, 10};
};

// One snapshot of the TCF values. Numbers are kept as read (null when absent or not a number),
// strings as optional. Publisher restrictions hold, for purposes 1 to 10, the vendor's one
// restriction character or "".
class APMTCFData {
 public:
  // Every value absent; the enabled flag from the information property list; reads from the
  // application's own preferences.
  APMTCFData();
  APMTCFData(bool isTCFDataEnabled, platform::Value isAdvertiserConsentModeEnabled,
             std::optional<std::string> vendorConsents,
             std::optional<std::string> vendorLegitimateInterests, platform::Value cmpSDKID,
             platform::Value gdprApplies, platform::Value policyVersion,
             std::optional<std::string> purposeConsents,
             std::optional<std::string> purposeLegitimateInterests,
             std::vector<std::string> publisherRestrictions,
             platform::Value isPurposeOneTreatmentEnabled, std::optional<std::string> publisherCC);

  // Replaces every TCF value (not the enabled flag) with the application's current ones.
  void readFromUserDefaults();
  // Absent: on; a number (or boolean): its truth; anything else: off.
  static bool readTCFDataEnabledStateFromPlist();

  bool hasZirizaInVendorConsents() const;
  bool hasZirizaInVendorLegitimateInterests() const;
  bool canAccessAdUserDataPurpose() const;
  bool isAdStoragePurposeGranted() const;
  bool isAdPersonalizationPurposeGranted() const;
  bool isAdUserDataPurposeGranted() const;
  bool isPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purpose) const;
  APMTCFConsentReason
  consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purpose) const;
  // 0 not allowed, 1 no usable basis, 2 consent, 3 legitimate interest.
  std::int64_t legalBasisCheckFromPurposeID(std::int64_t purpose) const;
  // 0 not allowed, 1 consent required, 2 legitimate interest required, 3 no restriction.
  std::int64_t publisherRestrictionForPurposeID(std::int64_t purpose) const;
  static std::int64_t publisherRestrictionTypeFromString(const std::string& restriction);
  bool isPurposeOneGrantedWithSpecialTreatment() const;

  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  const platform::Value& isAdvertiserConsentModeEnabled() const {
    return isAdvertiserConsentModeEnabled_;
  }
  const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
  const std::optional<std::string>& vendorLegitimateInterests() const {
    return vendorLegitimateInterests_;
  }
  const platform::Value& cmpSDKID() const { return cmpSDKID_; }
  const platform::Value& gdprApplies() const { return gdprApplies_; }
  const platform::Value& policyVersion() const { return policyVersion_; }
  const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }
  const std::optional<std::string>& purposeLegitimateInterests() const {
    return purposeLegitimateInterests_;
  }
  const std::vector<std::string>& publisherRestrictions() const { return publisherRestrictions_; }
  const platform::Value& isPurposeOneTreatmentEnabled() const {
    return isPurposeOneTreatmentEnabled_;
  }
  const std::optional<std::string>& publisherCC() const { return publisherCC_; }

 private:
  std::shared_ptr<APMUserDefaults> userDefaults_;
  bool isTCFDataEnabled_ = true;
  platform::Value isAdvertiserConsentModeEnabled_;
  std::optional<std::string> vendorConsents_;
  std::optional<std::string> vendorLegitimateInterests_;
  platform::Value cmpSDKID_;
  platform::Value gdprApplies_;
  platform::Value policyVersion_;
  std::optional<std::string> purposeConsents_;
  std::optional<std::string> purposeLegitimateInterests_;
  std::vector<std::string> publisherRestrictions_;
  platform::Value isPurposeOneTreatmentEnabled_;
  std::optional<std::string> publisherCC_;
};

// Settable values passed as they are to APMTCFData's full constructor.
struct APMTCFDataGenerator {
  bool isTCFDataEnabled = true;
  platform::Value isAdvertiserConsentModeEnabled;
  platform::Value cmpSDKID;
  std::optional<std::string> vendorConsents;
  std::optional<std::string> vendorLegitimateInterests;
  platform::Value gdprApplies;
  platform::Value policyVersion;
  std::optional<std::string> purposeConsents;
  std::optional<std::string> purposeLegitimateInterests;
  std::vector<std::string> publisherRestrictions;
  platform::Value isPurposeOneTreatmentEnabled;
  std::optional<std::string> publisherCC;

  APMTCFData generateData() const;
};

class APMTCFClient {
 public:
  // Current values absent; the snapshot suite opened; DMA region on.
  APMTCFClient();

  // Reads the values; when there are any and they differ from the snapshot, logs "_tcf", stores
  // the snapshot and, when TCF applies (or the one-time vendor fix does), sets TCF consent.
  void setConsentFromTCFData();

  bool isDMARegion() const { return isDMARegion_; }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }
  const APMTCFData& tcfData() const { return tcfData_; }

  void readTCFData();
  bool shouldApplyTCFData() const;
  bool shouldApplyOneTimeTCFVendorFix() const;
  void logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                     bool isCurrentSameAsPreviousTCFConsent);
  void storeCurrentData();
  std::string stringRepresentationFromTCFData() const;
  static std::string stringRepresentationFromTCFData(const APMTCFData& data);
  static const char* consentStatusFromEnabled(bool enabled);
  bool persistedValuesEqualCurrentData() const;
  bool hasTCFDataToRead() const;
  void clearPersistedValues();
  // The three statuses of the snapshot the suite holds.
  platform::ValueMap previousConsent() const;
  static platform::ValueMap consentFromTCFData(const APMTCFData& data);
  std::string tcfBundleParameterValue() const;
  std::string tcfd2ParamValue() const;
  std::int64_t tcfd2ParamValueForPurposeID(std::int64_t purpose) const;
  static std::string tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                 bool didMigrationChangeConsent);

 private:
  APMTCFData tcfData_;
  std::shared_ptr<APMUserDefaults> userDefaults_;
  std::atomic<bool> isDMARegion_{true};
};
