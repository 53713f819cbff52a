// An upload batch built only through the wrapper classes, the typed accessors and the named
// indexes, read back by protoc (an independent decoder) with the generated .proto and compared
// with a text fixture.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "measurement/messages/apm_message_values.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace field = apmpb_field;
using platform::Value;
using platform::ValueList;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// protoc's text rendering of `bytes` as a message of `type`.
std::string protocDecode(const platform::Bytes& bytes, const std::string& type) {
  char input[] = "/tmp/lumora-protoc-in-XXXXXX";
  int fd = mkstemp(input);
  EXPECT_GE(fd, 0);
  FILE* file = fdopen(fd, "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  std::string command = std::string("protoc --decode=devazerirerize.") + type + " -I " +
                        LUMORA_MESSAGES_DIR + " measurement_messages.proto < " + input;
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
  }
  std::remove(input);
  return out;
}

std::shared_ptr<APMPBEventParam> param(const std::string& name) {
  auto p = APMPBEventParam::initWithMessageInfo();
  NANOSetString(p.get(), field::EventParam::kName, name);
  return p;
}

// One array item: an unnamed parameter whose own list holds the item's entries.
std::shared_ptr<APMPBEventParam> arrayItem(const std::string& id, int64_t quantity) {
  namespace P = field::EventParam;
  auto item_id = param("item_id");
  NANOSetString(item_id.get(), P::kStringValue, id);
  auto count = param("quantity");
  NANOSetInt64(count.get(), P::kIntValue, quantity);
  auto item = APMPBEventParam::initWithMessageInfo();
  ValueList entries = NANOMessageValues(std::vector{item_id, count});
  NANOSetArray(item.get(), P::kParamValue, &entries);
  return item;
}

std::shared_ptr<APMPBEvent> purchaseEvent() {
  namespace P = field::EventParam;
  auto currency = param("currency");
  NANOSetString(currency.get(), P::kStringValue, "EUR");
  auto quantity = param("quantity");
  NANOSetInt64(quantity.get(), P::kIntValue, -3);
  auto value = param("value");
  NANOSetDouble(value.get(), P::kDoubleValue, 9.75);
  auto items = param("items");
  ValueList item_list = NANOMessageValues(std::vector{arrayItem("A-1", 2), arrayItem("B-2", 1)});
  NANOSetArray(items.get(), P::kParamValue, &item_list);

  namespace E = field::Event;
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetString(event.get(), E::kName, "purchase");
  NANOSetInt64(event.get(), E::kTimestampMillis, 1765000000123);
  NANOSetInt64(event.get(), E::kPreviousTimestampMillis, 1764999999000);
  ValueList params = NANOMessageValues(std::vector{currency, quantity, value, items});
  NANOSetArray(event.get(), E::kParams, &params);
  return event;
}

std::shared_ptr<APMPBAudienceLeafFilterResult> audienceResult() {
  auto data = APMPBResultData::initWithMessageInfo();
  APMResultDataRecordFilter(data.get(), 0, true);
  APMResultDataRecordFilter(data.get(), 65, false);

  auto dynamic = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(dynamic.get(), field::DynamicFilterResultTimestamp::kFilterId, 0);
  NANOSetInt64(dynamic.get(), field::DynamicFilterResultTimestamp::kEvalTimestamp, 1765000000);
  ValueList dynamics = NANOMessageValues(std::vector{dynamic});
  NANOSetArray(data.get(), field::ResultData::kDynamicFilterTimestamps, &dynamics);

  auto sequence = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(sequence.get(), field::SequenceFilterResultTimestamp::kFilterId, 65);
  ValueList times{Value(1764990000), Value(1765000000)};
  NANOSetArray(sequence.get(), field::SequenceFilterResultTimestamp::kEvalTimestamps, &times);
  ValueList sequences = NANOMessageValues(std::vector{sequence});
  NANOSetArray(data.get(), field::ResultData::kSequenceFilterTimestamps, &sequences);

  namespace R = field::AudienceLeafFilterResult;
  auto result = APMPBAudienceLeafFilterResult::initWithMessageInfo();
  NANOSetInt32(result.get(), R::kAudienceId, 12);
  NANOSetMessage(result.get(), R::kCurrentData, data.get());
  NANOSetBool(result.get(), R::kNewAudience, true);
  return result;
}

std::shared_ptr<APMPBAdCampaignInfo> campaign() {
  namespace A = field::AdCampaignInfo;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo();
  NANOSetString(info.get(), A::kZclid, "click-1");
  NANOSetString(info.get(), A::kZadSource, "search");
  NANOSetInt64(info.get(), A::kTimestampMillis, 1765000000000);
  std::vector<std::shared_ptr<APMPBDeepLinkZadParamsEntry>> entries;
  for (auto [key, value] : {std::pair{"zad_source", "search"}, std::pair{"zad_term", "shoes"}}) {
    auto entry = APMPBDeepLinkZadParamsEntry::initWithMessageInfo();
    NANOSetString(entry.get(), field::DeepLinkZadParamsEntry::kKey, key);
    NANOSetString(entry.get(), field::DeepLinkZadParamsEntry::kValue, value);
    entries.push_back(entry);
  }
  ValueList list = NANOMessageValues(entries);
  NANOSetArray(info.get(), A::kDeepLinkZadParams, &list);
  return info;
}

std::shared_ptr<APMPBUserAttribute> attribute(const std::string& name, const Value& value) {
  namespace U = field::UserAttribute;
  auto a = APMPBUserAttribute::initWithMessageInfo();
  NANOSetInt64(a.get(), U::kSetTimestampMillis, 1764000000000);
  NANOSetString(a.get(), U::kName, name);
  EXPECT_TRUE(APMUserAttributeSetValue(a.get(), value));
  return a;
}

TEST(UploadBatchTest, BatchBuiltThroughTheAccessorsDecodesWithProtoc) {
  namespace B = field::MeasurementBundle;
  auto first = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetInt32(first.get(), B::kProtocolVersion, 1);
  ValueList events = NANOMessageValues(std::vector{purchaseEvent()});
  NANOSetArray(first.get(), B::kEvents, &events);
  ValueList attributes = NANOMessageValues(
      std::vector{attribute("_fot", Value(1764000000000)), attribute("favourite", Value("tea"))});
  NANOSetArray(first.get(), B::kUserAttributes, &attributes);
  NANOSetInt64(first.get(), B::kStartTimestampMillis, 1765000000123);
  NANOSetInt64(first.get(), B::kEndTimestampMillis, 1765000000123);
  NANOSetInt64(first.get(), B::kPreviousBundleStartTimestampMillis, 1764990000000);
  NANOSetInt64(first.get(), B::kPreviousBundleEndTimestampMillis, 1764999999000);
  NANOSetString(first.get(), B::kPlatform, "macos");
  NANOSetString(first.get(), B::kOsVersion, "14");
  NANOSetString(first.get(), B::kAppId, "com.example.lumora");
  NANOSetString(first.get(), B::kVendorDeviceId, "");
  NANOSetBool(first.get(), B::kLimitedAdTracking, false);
  ValueList results = NANOMessageValues(std::vector{audienceResult()});
  NANOSetArray(first.get(), B::kAudienceEvaluationResults, &results);
  ValueList experiments{Value(101), Value(202)};
  NANOSetArray(first.get(), B::kExperimentIds, &experiments);
  NANOSetInt32(first.get(), B::kTrackingAuthorizationStatus, 3);
  ValueList redacted{Value(std::string(APMDataControlOSVersion))};
  NANOSetArray(first.get(), B::kRedactedFields, &redacted);
  NANOSetMessage(first.get(), B::kAdCampaignInfo, campaign().get());
  NANOSetInt32(first.get(), B::kCapabilityFlags, 15);

  auto second = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetInt32(second.get(), B::kProtocolVersion, 1);
  auto session = APMPBEvent::initWithMessageInfo();
  NANOSetString(session.get(), field::Event::kName, "session_start");
  ValueList second_events = NANOMessageValues(std::vector{session});
  NANOSetArray(second.get(), B::kEvents, &second_events);
  NANOSetString(second.get(), B::kAppId, "com.example.lumora");

  auto batch = APMPBMeasurementBatch::initWithMessageInfo();
  ValueList bundles = NANOMessageValues(std::vector{first, second});
  NANOSetArray(batch.get(), field::MeasurementBatch::kBundles, &bundles);
  NANOSetString(batch.get(), field::MeasurementBatch::kUploadSubdomain, "eu");

  auto bytes = batch->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(protocDecode(*bytes, "MeasurementBatch"),
            readFile(std::string(LUMORA_MESSAGES_DIR) + "/testdata/upload_batch.txt"));

  // The event-parameter helper writes an array value exactly as the hand-built parameter above.
  auto items = APMEventParamFromValue(
      "items", Value(ValueList{Value::map({{"item_id", "A-1"}, {"quantity", 2}}),
                               Value::map({{"item_id", "B-2"}, {"quantity", 1}})}));
  auto built =
      NANOGetArray(purchaseEvent().get(), field::Event::kParams, APMPBEventParam::classObject());
  ASSERT_TRUE(items && built && built->size() == 4);
  EXPECT_EQ(items->protoBuffer(), (*built)[3].asObjectOf<APMPBEventParam>()->protoBuffer());
}

TEST(UploadBatchTest, EnumValuesOutsideTheNamedMembersDecodeUnderTheirFieldName) {
  // A newer service may send enum values this table does not name; protoc still shows them.
  auto entry = APMPBConsentDefaultEntry::initWithMessageInfo();
  NANOSetInt32(entry.get(), field::ConsentDefaultEntry::kConsentType, 9);
  NANOSetInt32(entry.get(), field::ConsentDefaultEntry::kConsentStatus, 1);
  auto bytes = entry->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(protocDecode(*bytes, "ConsentConfig.ConsentDefaultEntry"),
            "consent_type: 9\nconsent_status: 1\n");
}

}  // namespace
