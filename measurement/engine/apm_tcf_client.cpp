#include "measurement/engine/apm_tcf_client.h"

#include <cmath>
#include <cstdio>

#include "measurement/engine/apm_analytics.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_typed_accessors.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/foundation/bundle.h"

namespace {

using platform::Value;

constexpr std::int64_t kVendorBitIndex = APMTCFDataZirizaConsentVendorID - 1;
constexpr std::int64_t kRestrictedPurposes = 10;

bool present(const Value& number) {
  return APMNumberValue(number).has_value();
}
bool truth(const Value& number) {
  return APMNumberValue(number).value_or(0) != 0;
}
std::int64_t integer(const Value& number) {
  return APMInt64Value(number);
}

bool bitSet(const std::optional<std::string>& bits, std::int64_t index) {
  return bits && isBitEnabledAtIndex(*bits, index);
}

// A number as decimal text: booleans as 0/1, integral doubles without a fraction.
std::string decimalText(const Value& number) {
  if (const auto* b = number.ifBool()) return *b ? "1" : "0";
  if (const auto* i = number.ifInt()) return std::to_string(*i);
  const double d = APMNumberValue(number).value_or(0);
  if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(d));
  }
  char text[32];
  std::snprintf(text, sizeof text, "%g", d);
  return text;
}

std::string restrictionKey(std::int64_t purpose) {
  return std::string(APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix) +
         std::to_string(purpose);
}

// The vendor's restriction character for each purpose 1..10, or "" when the purpose's string is
// absent or too short to hold the vendor.
std::vector<std::string> readRestrictions(const APMUserDefaults& defaults) {
  std::vector<std::string> restrictions;
  for (std::int64_t purpose = 1; purpose <= kRestrictedPurposes; ++purpose) {
    const auto text = defaults.stringForKey(Value(restrictionKey(purpose)));
    if (text && static_cast<std::int64_t>(text->size()) > kVendorBitIndex) {
      restrictions.emplace_back(1, (*text)[static_cast<std::size_t>(kVendorBitIndex)]);
    } else {
      restrictions.emplace_back();
    }
  }
  return restrictions;
}

char encoded(std::int64_t value) {
  return value >= 0 && value < 64 ? APMTCFTaggingEncodingCharacters[value] : '0';
}

Value optionalText(const std::optional<std::string>& text) {
  return text ? Value(*text) : Value();
}

std::optional<std::string> textOf(const Value& value) {
  if (const auto* s = value.ifString()) return *s;
  return std::nullopt;
}

Value numberOf(const Value& value) {
  return present(value) ? value : Value();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// APMTCFRegistration

const APMTCFRegistration& APMTCFRegistration::sharedInstance() {
  static const APMTCFRegistration shared;
  return shared;
}

bool APMTCFRegistration::hasConsentForPurposeID(std::int64_t purpose) const {
  return purposeIDs_.contains(purpose);
}
bool APMTCFRegistration::hasLegitimateInterestForPurposeID(std::int64_t purpose) const {
  return purposeIDsLegitimateInterests_.contains(purpose);
}
bool APMTCFRegistration::hasFlexibleLegitimateInterestForPurposeID(std::int64_t purpose) const {
  return purposeIDsFlexiblePurposes_.contains(purpose);
}

// ---------------------------------------------------------------------------------------------
// APMTCFData

APMTCFData::APMTCFData()
    : userDefaults_(APMUserDefaults::sharedUserDefaults()),
      isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()),
      publisherRestrictions_(kRestrictedPurposes) {}

APMTCFData::APMTCFData(bool isTCFDataEnabled, Value isAdvertiserConsentModeEnabled,
                       std::optional<std::string> vendorConsents,
                       std::optional<std::string> vendorLegitimateInterests, Value cmpSDKID,
                       Value gdprApplies, Value policyVersion,
                       std::optional<std::string> purposeConsents,
                       std::optional<std::string> purposeLegitimateInterests,
                       std::vector<std::string> publisherRestrictions,
                       Value isPurposeOneTreatmentEnabled, std::optional<std::string> publisherCC)
    : userDefaults_(APMUserDefaults::sharedUserDefaults()), isTCFDataEnabled_(isTCFDataEnabled),
      isAdvertiserConsentModeEnabled_(numberOf(isAdvertiserConsentModeEnabled)),
      vendorConsents_(std::move(vendorConsents)),
      vendorLegitimateInterests_(std::move(vendorLegitimateInterests)),
      cmpSDKID_(numberOf(cmpSDKID)), gdprApplies_(numberOf(gdprApplies)),
      policyVersion_(numberOf(policyVersion)), purposeConsents_(std::move(purposeConsents)),
      purposeLegitimateInterests_(std::move(purposeLegitimateInterests)),
      publisherRestrictions_(std::move(publisherRestrictions)),
      isPurposeOneTreatmentEnabled_(numberOf(isPurposeOneTreatmentEnabled)),
      publisherCC_(std::move(publisherCC)) {
  publisherRestrictions_.resize(kRestrictedPurposes);
}

void APMTCFData::readFromUserDefaults() {
  if (!userDefaults_) return;
  const auto& d = *userDefaults_;
  isAdvertiserConsentModeEnabled_ =
      d.numberForKey(Value(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey));
  vendorConsents_ = d.stringForKey(Value(APMTCFDataVendorConsentsUserDefaultsKey));
  vendorLegitimateInterests_ =
      d.stringForKey(Value(APMTCFDataVendorLegitimateInterestsUserDefaultsKey));
  cmpSDKID_ = d.numberForKey(Value(APMTCFDataCmpSDKIDUserDefaultsKey));
  gdprApplies_ = d.numberForKey(Value(APMTCFDataGdprAppliesUserDefaultsKey));
  policyVersion_ = d.numberForKey(Value(APMTCFDataPolicyVersionUserDefaultsKey));
  purposeConsents_ = d.stringForKey(Value(APMTCFDataPurposeConsentsUserDefaultsKey));
  purposeLegitimateInterests_ =
      d.stringForKey(Value(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey));
  publisherRestrictions_ = readRestrictions(d);
  isPurposeOneTreatmentEnabled_ =
      d.numberForKey(Value(APMTCFDataPurposeOneTreatmentUserDefaultsKey));
  publisherCC_ = d.stringForKey(Value(APMTCFDataPublisherCCUserDefaultsKey));
}

bool APMTCFData::readTCFDataEnabledStateFromPlist() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return true;
  const Value value = bundle->objectForInfoDictionaryKey(APMTCFDataEnabledPlistKey);
  if (value.isNull()) return true;
  if (value.isNumber() || value.isBool()) return truth(value);
  return false;
}

bool APMTCFData::hasZirizaInVendorConsents() const {
  return bitSet(vendorConsents_, kVendorBitIndex);
}

bool APMTCFData::hasZirizaInVendorLegitimateInterests() const {
  return bitSet(vendorLegitimateInterests_, kVendorBitIndex);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  return present(policyVersion_) &&
         integer(policyVersion_) >= APMTCFDataMinPolicyVersionToAccessAdUserDataPurpose;
}

bool APMTCFData::isAdStoragePurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(1);
}

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}

bool APMTCFData::isPurposeGrantedWithRestrictionCheckForPurposeID(std::int64_t purpose) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose) ==
         APMTCFConsentReasonGranted;
}

APMTCFConsentReason APMTCFData::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    std::int64_t purpose) const {
  switch (legalBasisCheckFromPurposeID(purpose)) {
  case 3:
    if (!hasZirizaInVendorLegitimateInterests()) {
      return APMTCFConsentReasonVendorNoLegitimateInterest;
    }
    return bitSet(purposeLegitimateInterests_, purpose - 1)
               ? APMTCFConsentReasonGranted
               : APMTCFConsentReasonPurposeNoLegitimateInterest;
  case 2:
    if (purpose == 1 && isPurposeOneGrantedWithSpecialTreatment() && hasZirizaInVendorConsents()) {
      return APMTCFConsentReasonGranted;
    }
    if (!hasZirizaInVendorConsents()) return APMTCFConsentReasonVendorNoConsent;
    return bitSet(purposeConsents_, purpose - 1) ? APMTCFConsentReasonGranted
                                                 : APMTCFConsentReasonPurposeNoConsent;
  case 1:
    return APMTCFConsentReasonNoLegalBasis;
  default:
    return APMTCFConsentReasonNotAllowed;
  }
}

std::int64_t APMTCFData::legalBasisCheckFromPurposeID(std::int64_t purpose) const {
  const std::int64_t restriction = publisherRestrictionForPurposeID(purpose);
  if (restriction == 0) return 0;
  const auto& registration = APMTCFRegistration::sharedInstance();
  const bool flexible = registration.hasFlexibleLegitimateInterestForPurposeID(purpose);
  if (registration.hasConsentForPurposeID(purpose)) {
    if (restriction == 2) return flexible ? 3 : 1;
    return 2;
  }
  if (registration.hasLegitimateInterestForPurposeID(purpose)) {
    if (restriction == 1) return flexible ? 2 : 1;
    return 3;
  }
  return 0;
}

std::int64_t APMTCFData::publisherRestrictionForPurposeID(std::int64_t purpose) const {
  if (purpose < 1 || purpose > kRestrictedPurposes ||
      static_cast<std::int64_t>(publisherRestrictions_.size()) < purpose) {
    return 3;
  }
  return publisherRestrictionTypeFromString(
      publisherRestrictions_[static_cast<std::size_t>(purpose - 1)]);
}

std::int64_t APMTCFData::publisherRestrictionTypeFromString(const std::string& restriction) {
  if (restriction == "0") return 0;
  if (restriction == "1") return 1;
  if (restriction == "2") return 2;
  return 3;
}

bool APMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return truth(isPurposeOneTreatmentEnabled_) && publisherCC_ == APMSwitzerlandCountryCode;
}

APMTCFData APMTCFDataGenerator::generateData() const {
  return APMTCFData(isTCFDataEnabled, isAdvertiserConsentModeEnabled, vendorConsents,
                    vendorLegitimateInterests, cmpSDKID, gdprApplies, policyVersion,
                    purposeConsents, purposeLegitimateInterests, publisherRestrictions,
                    isPurposeOneTreatmentEnabled, publisherCC);
}

// ---------------------------------------------------------------------------------------------
// APMTCFClient

APMTCFClient::APMTCFClient()
    : userDefaults_(APMUserDefaults::initWithSuiteName(APMTCFUserDefaultSuiteName)) {}

void APMTCFClient::readTCFData() {
  tcfData_.readFromUserDefaults();
}

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() && truth(tcfData_.isAdvertiserConsentModeEnabled()) &&
         truth(tcfData_.gdprApplies());
}

bool APMTCFClient::shouldApplyOneTimeTCFVendorFix() const {
  const auto stored =
      userDefaults_
          ? userDefaults_->stringForKey(Value(APMTCFDataStringRepresentationUserDefaultsKey))
          : std::nullopt;
  const bool storedIsCurrentVersion = stored && stored->find("_v_=2") != std::string::npos;
  return !storedIsCurrentVersion && shouldApplyTCFData() && !tcfData_.hasZirizaInVendorConsents();
}

void APMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(
    bool shouldApplyOneTimeVendorFix, bool isCurrentSameAsPreviousTCFConsent) {
  platform::ValueMap parameters{
      {Value("_tcfd"), Value(tcfBundleParameterValue())},
      {Value("_tcfd2"), Value(tcfd2ParamValue())},
      {Value("_tcfm"), Value(tcfdMigrationParamValueForMigrationDidOccur(
                           shouldApplyOneTimeVendorFix, !isCurrentSameAsPreviousTCFConsent))},
  };
  APMAnalytics::logInternalEventWithOrigin("auto", "_tcf", parameters);
}

void APMTCFClient::storeCurrentData() {
  if (!userDefaults_) return;
  auto& d = *userDefaults_;
  const auto& data = tcfData_;
  d.setObject(Value(data.isTCFDataEnabled()), Value(APMTCFDataEnabledPlistKey));
  d.setObject(data.isAdvertiserConsentModeEnabled(),
              Value(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey));
  d.setObject(optionalText(data.vendorConsents()), Value(APMTCFDataVendorConsentsUserDefaultsKey));
  d.setObject(optionalText(data.vendorLegitimateInterests()),
              Value(APMTCFDataVendorLegitimateInterestsUserDefaultsKey));
  d.setObject(data.cmpSDKID(), Value(APMTCFDataCmpSDKIDUserDefaultsKey));
  d.setObject(data.gdprApplies(), Value(APMTCFDataGdprAppliesUserDefaultsKey));
  d.setObject(data.policyVersion(), Value(APMTCFDataPolicyVersionUserDefaultsKey));
  d.setObject(optionalText(data.purposeConsents()),
              Value(APMTCFDataPurposeConsentsUserDefaultsKey));
  d.setObject(optionalText(data.purposeLegitimateInterests()),
              Value(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey));
  platform::ValueList restrictions;
  for (const auto& r : data.publisherRestrictions())
    restrictions.emplace_back(r);
  d.setObject(Value(std::move(restrictions)),
              Value(APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix));
  d.setObject(data.isPurposeOneTreatmentEnabled(),
              Value(APMTCFDataPurposeOneTreatmentUserDefaultsKey));
  d.setObject(optionalText(data.publisherCC()), Value(APMTCFDataPublisherCCUserDefaultsKey));
  d.setObject(Value(stringRepresentationFromTCFData()),
              Value(APMTCFDataStringRepresentationUserDefaultsKey));
  d.synchronize();
}

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  return stringRepresentationFromTCFData(tcfData_);
}

std::string APMTCFClient::stringRepresentationFromTCFData(const APMTCFData& data) {
  std::vector<std::string> parts{"_v_=2", std::string("isTCFDataEnabled=") +
                                              (data.isTCFDataEnabled() ? "1" : "0")};
  auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  if (present(data.isAdvertiserConsentModeEnabled())) {
    parts.push_back("isAdvertiserConsentModeEnabled=" +
                    flag(truth(data.isAdvertiserConsentModeEnabled())));
  }
  if (present(data.cmpSDKID())) {
    parts.push_back("cmpSDKID=" + std::to_string(integer(data.cmpSDKID())));
  }
  if (data.vendorConsents()) {
    parts.push_back("hasZirizaInVendorConsents=" + flag(data.hasZirizaInVendorConsents()));
  }
  if (data.vendorLegitimateInterests()) {
    parts.push_back("hasZirizaInVendorLegitimateInterests=" +
                    flag(data.hasZirizaInVendorLegitimateInterests()));
  }
  if (present(data.gdprApplies())) {
    parts.push_back("gdprApplies=" + flag(truth(data.gdprApplies())));
  }
  if (present(data.policyVersion())) {
    parts.push_back("policyVersion=" + std::to_string(integer(data.policyVersion())));
  }
  if (data.purposeConsents()) parts.push_back("purposeConsents=" + *data.purposeConsents());
  if (data.purposeLegitimateInterests()) {
    parts.push_back("purposeLegitimateInterests=" + *data.purposeLegitimateInterests());
  }
  bool anyRestriction = false;
  std::string restrictions;
  for (std::size_t i = 0; i < data.publisherRestrictions().size(); ++i) {
    if (i) restrictions += '|';
    restrictions += data.publisherRestrictions()[i];
    anyRestriction = anyRestriction || !data.publisherRestrictions()[i].empty();
  }
  if (anyRestriction) parts.push_back("publisherRestrictions=" + restrictions);
  if (present(data.isPurposeOneTreatmentEnabled())) {
    parts.push_back("isPurposeOneTreatmentEnabled=" +
                    decimalText(data.isPurposeOneTreatmentEnabled()));
  }
  if (data.publisherCC()) parts.push_back("publisherCC=" + *data.publisherCC());
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) joined += ',';
    joined += parts[i];
  }
  return joined;
}

const char* APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? "granted" : "denied";
}

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  const auto stored =
      userDefaults_
          ? userDefaults_->stringForKey(Value(APMTCFDataStringRepresentationUserDefaultsKey))
          : std::nullopt;
  return stored && *stored == stringRepresentationFromTCFData();
}

bool APMTCFClient::hasTCFDataToRead() const {
  return stringRepresentationFromTCFData() != "_v_=2,isTCFDataEnabled=1";
}

void APMTCFClient::clearPersistedValues() {
  if (userDefaults_) userDefaults_->clearAllData();
}

platform::ValueMap APMTCFClient::consentFromTCFData(const APMTCFData& data) {
  return {
      {Value("ad_storage"), Value(consentStatusFromEnabled(data.isAdStoragePurposeGranted()))},
      {Value("ad_personalization"),
       Value(consentStatusFromEnabled(data.isAdPersonalizationPurposeGranted()))},
      {Value("ad_user_data"), Value(consentStatusFromEnabled(data.isAdUserDataPurposeGranted()))},
  };
}

platform::ValueMap APMTCFClient::previousConsent() const {
  APMTCFDataGenerator generator;
  if (userDefaults_) {
    const auto& d = *userDefaults_;
    generator.isTCFDataEnabled = d.boolForKey(Value(APMTCFDataEnabledPlistKey));
    generator.isAdvertiserConsentModeEnabled =
        d.numberForKey(Value(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey));
    generator.cmpSDKID = d.numberForKey(Value(APMTCFDataCmpSDKIDUserDefaultsKey));
    generator.vendorConsents = d.stringForKey(Value(APMTCFDataVendorConsentsUserDefaultsKey));
    generator.vendorLegitimateInterests =
        d.stringForKey(Value(APMTCFDataVendorLegitimateInterestsUserDefaultsKey));
    generator.gdprApplies = d.numberForKey(Value(APMTCFDataGdprAppliesUserDefaultsKey));
    generator.policyVersion = d.numberForKey(Value(APMTCFDataPolicyVersionUserDefaultsKey));
    generator.purposeConsents = d.stringForKey(Value(APMTCFDataPurposeConsentsUserDefaultsKey));
    generator.purposeLegitimateInterests =
        d.stringForKey(Value(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey));
    if (const auto stored =
            d.arrayForKey(Value(APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix))) {
      for (const auto& item : *stored)
        generator.publisherRestrictions.push_back(textOf(item).value_or(""));
    }
    generator.isPurposeOneTreatmentEnabled =
        d.numberForKey(Value(APMTCFDataPurposeOneTreatmentUserDefaultsKey));
    generator.publisherCC = d.stringForKey(Value(APMTCFDataPublisherCCUserDefaultsKey));
  }
  return consentFromTCFData(generator.generateData());
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  const std::int64_t cmp = integer(tcfData_.cmpSDKID());
  const std::int64_t version = integer(tcfData_.policyVersion());
  std::int64_t flags = 0;
  if (isDMARegion_) flags |= 1;
  if (truth(tcfData_.gdprApplies())) flags |= 2;
  if (tcfData_.isTCFDataEnabled()) flags |= 4;
  if (truth(tcfData_.isAdvertiserConsentModeEnabled())) flags |= 8;
  std::string value = std::to_string(APMTCFDataVersionInSDK);
  if (cmp >= 0 && cmp <= 4095) {
    value += encoded((cmp >> 6) & 63);
    value += encoded(cmp & 63);
  } else {
    value += "00";
  }
  value += encoded(version);
  value += encoded(flags);
  return value;
}

std::string APMTCFClient::tcfd2ParamValue() const {
  std::string value = "2";
  for (const std::int64_t purpose : {1, 3, 4, 7})
    value += std::to_string(tcfd2ParamValueForPurposeID(purpose));
  return value;
}

std::int64_t APMTCFClient::tcfd2ParamValueForPurposeID(std::int64_t purpose) const {
  return tcfData_.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose);
}

std::string
APMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                          bool didMigrationChangeConsent) {
  return std::string(migrationDidOccur ? "1" : "0") + (didMigrationChangeConsent ? "1" : "0");
}

void APMTCFClient::setConsentFromTCFData() {
  readTCFData();
  if (!hasTCFDataToRead() || persistedValuesEqualCurrentData()) return;
  const platform::ValueMap current = consentFromTCFData(tcfData_);
  const bool fix = shouldApplyOneTimeTCFVendorFix();
  const platform::ValueMap previous = previousConsent();
  logTCFChangedEventShouldApplyOneTimeVendorFix(fix, previous == current);
  storeCurrentData();
  if (fix || shouldApplyTCFData()) APMAnalytics::setConsent(current, "consent_settings_tcf");
}
