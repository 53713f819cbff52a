#include "measurement/engine/apm_bundle_signals.h"

#include <gtest/gtest.h>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace UA = apmpb_field::UserAttribute;

APMBundleIdentityValues fullIdentity() {
  APMBundleIdentityValues identity;
  identity.trackingAuthorizationStatus = 3;
  identity.limitedAdTracking = false;
  identity.resettableDeviceID = "IDFA";
  identity.vendorID = "IDFV";
  identity.appInstanceID = "instance";
  identity.ephemeralAppInstanceID = "ephemeral";
  return identity;
}

std::shared_ptr<APMPBMeasurementBundle> bundleWithStrippableFields() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), B::kSessionStitchingToken, "token");
  return bundle;
}

std::shared_ptr<APMPBUserAttribute> attribute(const std::string& name, std::int64_t value) {
  auto a = APMPBUserAttribute::initWithMessageInfo();
  NANOSetString(a.get(), UA::kName, name);
  NANOSetInt64(a.get(), UA::kIntValue, value);
  return a;
}

void setAttributes(APMPBMeasurementBundle& bundle,
                   const std::vector<std::shared_ptr<APMPBUserAttribute>>& attributes) {
  const auto values = NANOMessageValues(attributes);
  NANOSetArray(&bundle, B::kUserAttributes, &values);
}

TEST(APMBundleSignalsTest, ConsentSignalsDecideWhichIdentifiersTravel) {
  const struct {
    const char* signals;
    bool gate;
    std::int64_t status;
    const char* field52;  // nullptr: absent
    bool idfa, idfv, instance, token;
  } cases[] = {
      {"G1--", false, 3, "G1--", true, false, true, true},
      {"G111", false, 3, "G111", true, false, true, true},
      {"G101", false, 3, "G101", false, true, true, true},    // ad storage denied: vendor ID
      {"G110", false, 3, "G110", true, false, false, false},  // analytics denied
      {"G100", false, 3, "G100", false, false, false, false},
      {"G111", true, 2, "G111", false, true, true, true},  // gated: not authorised
      {"", false, 3, nullptr, true, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signals);
    auto bundle = bundleWithStrippableFields();
    auto identity = fullIdentity();
    identity.trackingAuthorizationStatus = c.status;
    APMUpdateConsentSignalsAndIdentifiers(*bundle, c.signals, c.gate, identity, true);
    EXPECT_EQ(NANOGetString(bundle.get(), B::kConsentSignals),
              c.field52 ? std::optional<std::string>(c.field52) : std::nullopt);
    EXPECT_EQ(NANOHasField(bundle.get(), B::kResettableDeviceId), c.idfa);
    EXPECT_EQ(NANOHasField(bundle.get(), B::kVendorDeviceId), c.idfv);
    EXPECT_EQ(NANOHasField(bundle.get(), B::kAppInstanceId), c.instance);
    EXPECT_EQ(NANOHasField(bundle.get(), B::kSessionStitchingToken), c.token);
    EXPECT_EQ(NANOGetInt32(bundle.get(), B::kTrackingAuthorizationStatus), c.status);
  }
}

TEST(APMBundleSignalsTest, WithoutOverwriteTheStoredSignalsDecideAndTrackingStatusSixIsNotWritten) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  auto identity = fullIdentity();
  APMUpdateConsentSignalsAndIdentifiers(*bundle, "G111", false, identity, true);
  ASSERT_TRUE(NANOHasField(bundle.get(), B::kAppInstanceId));

  // Uploaded after a denial: kept as stored without overwrite, stripped with it.
  APMUpdateConsentSignalsAndIdentifiers(*bundle, "G100", false, identity, false);
  EXPECT_EQ(NANOGetString(bundle.get(), B::kConsentSignals), "G111");
  EXPECT_TRUE(NANOHasField(bundle.get(), B::kAppInstanceId));
  EXPECT_TRUE(NANOHasField(bundle.get(), B::kResettableDeviceId));
  APMUpdateConsentSignalsAndIdentifiers(*bundle, "G100", false, identity, true);
  EXPECT_EQ(NANOGetString(bundle.get(), B::kConsentSignals), "G100");
  EXPECT_FALSE(NANOHasField(bundle.get(), B::kAppInstanceId));
  EXPECT_FALSE(NANOHasField(bundle.get(), B::kResettableDeviceId));

  auto fresh = APMPBMeasurementBundle::initWithMessageInfo();
  identity.trackingAuthorizationStatus = 6;
  APMUpdateConsentSignalsAndIdentifiers(*fresh, "G111", false, identity, true);
  EXPECT_FALSE(NANOHasField(fresh.get(), B::kTrackingAuthorizationStatus));
}

TEST(APMBundleSignalsTest, DataControlsRedactTheirFieldsAndAreRecorded) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), B::kConsentSignals, "G111");
  NANOSetString(bundle.get(), B::kAppInstanceId, "instance");
  NANOSetString(bundle.get(), B::kOsVersion, "14.2.1");
  NANOSetString(bundle.get(), B::kDeviceModel, "Model1,1");
  NANOSetString(bundle.get(), B::kSessionStitchingToken, "token");
  setAttributes(*bundle, {attribute("_id", 1), attribute("level", 3), attribute("_id", 2)});

  APMUpdateDataControls(*bundle, {"app_instance_id", "user_id", "device_info", "enhanced_user_id"},
                        fullIdentity());
  EXPECT_FALSE(NANOHasField(bundle.get(), B::kAppInstanceId));
  EXPECT_EQ(NANOGetString(bundle.get(), B::kEphemeralAppInstanceId), "ephemeral");
  EXPECT_EQ(NANOGetString(bundle.get(), B::kOsVersion), "14");
  EXPECT_FALSE(NANOHasField(bundle.get(), B::kDeviceModel));
  EXPECT_FALSE(NANOHasField(bundle.get(), B::kSessionStitchingToken));
  const auto attributes =
      NANOGetArray(bundle.get(), B::kUserAttributes, APMPBUserAttribute::classObject());
  ASSERT_TRUE(attributes);
  ASSERT_EQ(attributes->size(), 1u);
  EXPECT_EQ(NANOGetString(attributes->front().asObjectOf<APMPBUserAttribute>().get(), UA::kName),
            "level");
  const auto redacted = NANOGetArray(bundle.get(), B::kRedactedFields);
  ASSERT_TRUE(redacted);
  EXPECT_EQ(redacted->size(), 4u);

  // Analytics storage denied: no ephemeral ID either.
  auto denied = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(denied.get(), B::kConsentSignals, "G100");
  NANOSetString(denied.get(), B::kEphemeralAppInstanceId, "old");
  APMUpdateDataControls(*denied, {"app_instance_id"}, fullIdentity());
  EXPECT_FALSE(NANOHasField(denied.get(), B::kEphemeralAppInstanceId));
}

TEST(APMBundleSignalsTest, DMAFieldsAndTheNPAAttribute) {
  const struct {
    bool adUserDataDenied;
    bool dmaRegion;
    std::set<std::string> services;
    const char* field73;
  } cases[] = {
      {false, true, {"b", "a"}, "ab"},
      {true, true, {"a"}, "-"},
      {false, true, {}, "-"},
      {false, false, {"a"}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field73 ? c.field73 : "(absent)");
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
    APMUpdateDMAConsentSignals(*bundle, "diag", c.adUserDataDenied, nullptr,
                               {c.dmaRegion, c.services}, true);
    EXPECT_EQ(NANOGetString(bundle.get(), B::kConsentDiagnostics), "diag");
    EXPECT_EQ(NANOGetBool(bundle.get(), B::kDmaRegion), c.dmaRegion);
    EXPECT_EQ(NANOGetString(bundle.get(), B::kCorePlatformServices),
              c.field73 ? std::optional<std::string>(c.field73) : std::nullopt);
  }

  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  setAttributes(*bundle, {attribute("_npa", 0)});
  APMUpdateDMAConsentSignals(*bundle, "diag", false, attribute("_npa", 1), {}, false);
  EXPECT_EQ(NANOGetInt64(APMNPAUserPropertyFromBundle(*bundle).get(), UA::kIntValue), 0);
  APMUpdateDMAConsentSignals(*bundle, "diag", false, attribute("_npa", 1), {}, true);
  EXPECT_EQ(NANOGetInt64(APMNPAUserPropertyFromBundle(*bundle).get(), UA::kIntValue), 1);
}

TEST(APMBundleSignalsTest, CompatibleConsentState) {
  const auto make = [](const char* signals, std::optional<std::int64_t> npa) {
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
    if (signals) NANOSetString(bundle.get(), B::kConsentSignals, signals);
    if (npa) setAttributes(*bundle, {attribute("_npa", *npa)});
    return bundle;
  };
  const struct {
    const char* a;
    std::optional<std::int64_t> npaA;
    const char* b;
    std::optional<std::int64_t> npaB;
    bool compatible;
  } cases[] = {
      {"G111", std::nullopt, "G111", std::nullopt, true},
      {"G111", std::nullopt, "G110", std::nullopt, false},
      {nullptr, std::nullopt, nullptr, std::nullopt, true},
      {"G111", std::nullopt, nullptr, std::nullopt, false},
      {"G111", 0, "G111", 1, false},
      {"G111", 0, "G111", std::nullopt, true},
      {"G111", 1, "G111", std::nullopt, false},
  };
  for (const auto& c : cases) {
    const auto a = make(c.a, c.npaA);
    const auto b = make(c.b, c.npaB);
    EXPECT_EQ(APMBundlesHaveCompatibleConsentState(a.get(), b.get()), c.compatible)
        << (c.a ? c.a : "-") << " " << (c.b ? c.b : "-");
  }
  EXPECT_FALSE(APMBundlesHaveCompatibleConsentState(nullptr, make("G111", 0).get()));
}

TEST(APMBundleSignalsTest, FirstOpenBundleAndStorageDenial) {
  EXPECT_FALSE(APMIsFirstOpenBundle(nullptr));
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  EXPECT_FALSE(APMIsFirstOpenBundle(bundle.get()));
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (const char* name : {"_e", "_f"}) {
    auto event = APMPBEvent::initWithMessageInfo();
    NANOSetString(event.get(), apmpb_field::Event::kName, name);
    events.push_back(event);
  }
  const auto values = NANOMessageValues(events);
  NANOSetArray(bundle.get(), B::kEvents, &values);
  EXPECT_TRUE(APMIsFirstOpenBundle(bundle.get()));

  for (const auto& [signals, denied] : std::vector<std::pair<std::string, bool>>{{"G110", true},
                                                                                 {"G11d", true},
                                                                                 {"G11D", true},
                                                                                 {"G111", false},
                                                                                 {"G11", false},
                                                                                 {"G1--", false}}) {
    EXPECT_EQ(APMIsAnalyticsStorageDenied(signals), denied) << signals;
  }
}

}  // namespace
