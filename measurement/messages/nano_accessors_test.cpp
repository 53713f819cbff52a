// Typed field accessors and wrapper classes: reads and writes by named index, deep copies on the
// way in and out, and one row per misuse line.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace field = apmpb_field;
using platform::Value;
using platform::ValueList;

// A message type with the list kinds no real message has, so that every element rule and line
// of the array accessors can be reached.
const int32_t kOddFieldsType[] = {0x28, 0x808, 0x1008, 0x48, 0x8008, 0x08, 0x22};
const MessageFieldInfo kOddFields[] = {
    {1, 0x28, "flags", nullptr}, {2, 0x808, "floats", nullptr}, {3, 0x1008, "doubles", nullptr},
    {4, 0x48, "codes", nullptr}, {5, 0x8008, "blobs", nullptr}, {6, 0x08, "unknown", nullptr},
    {7, 0x22, "single", nullptr}};
const MessageType kOddType = {"OddMessage", 7, kOddFieldsType, kOddFields, nullptr, 0, false, 0};

// A message object the accessors accept, optionally without a record.
class FakeMessage : public NANOMessageBase {
 public:
  explicit FakeMessage(const MessageType* type)
      : info_(type ? MessageInfo::create(*type) : nullptr) {}
  const char* messageID() const override { return "FakeMessage"; }
  MessageInfo* messageInfo() const override { return info_.get(); }
  std::optional<platform::Bytes> protoBuffer() const override { return std::nullopt; }
  std::string className() const override { return "FakeMessage"; }

 private:
  std::unique_ptr<MessageInfo> info_;
};

class AccessorTest : public testing::Test {
 protected:
  std::vector<std::string> console() const { return capture_.lines(MessageLogChannel::kConsole); }
  ScopedMessageDiagnosticCapture capture_;
};

TEST_F(AccessorTest, EveryMisuseLogsItsLineAndChangesNothing) {
  namespace E = field::Event;
  namespace B = field::MeasurementBundle;
  FakeMessage bare(nullptr);
  FakeMessage odd(&kOddType);
  auto event = APMPBEvent::initWithMessageInfo();
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  auto flag = APMPBFlag::initWithMessageInfo();
  auto param = APMPBEventParam::initWithMessageInfo();
  auto filter = APMPBFilter::initWithMessageInfo();
  ValueList one_int{Value(1)};
  ValueList one_string{Value("x")};

  struct Row {
    std::function<void()> misuse;
    std::string line;
  };
  const std::string uninit = "ProtocolBuffer message hasn't been initialized. ";
  const Row rows[] = {
      {[&] { NANOHasField(nullptr, 0); },
       uninit + "HasField operation can't be performed. Message name (null)"},
      {[&] { NANOHasField(&bare, 0); },
       uninit + "HasField operation can't be performed. Message name FakeMessage"},
      {[&] { NANOClearField(&bare, 0); }, uninit + "ClearField can't be performed"},
      {[&] { NANOGetBool(&bare, 0); }, uninit + "GetBool can't be performed"},
      {[&] { NANOSetBool(&bare, 0, true); }, uninit + "SetBool can't be performed"},
      {[&] { NANOGetInt32(&bare, 0); }, uninit + "GetInt32 can't be performed"},
      {[&] { NANOSetInt32(&bare, 0, 1); }, uninit + "SetInt32 can't be performed"},
      {[&] { NANOGetInt64(nullptr, 0); }, uninit + "GetInt64 can't be performed"},
      {[&] { NANOSetInt64(&bare, 0, 1); }, uninit + "SetInt64 can't be performed"},
      {[&] { NANOGetDouble(&bare, 0); }, uninit + "GetDouble can't be performed"},
      {[&] { NANOSetDouble(&bare, 0, 1); }, uninit + "SetDouble can't be performed"},
      {[&] { NANOGetString(&bare, 0); }, uninit + "GetString can't be performed"},
      {[&] { NANOSetString(&bare, 0, "x"); }, uninit + "SetString can't be performed"},
      {[&] { NANOGetMessage(&bare, 0, APMPBEvent::classObject()); },
       uninit + "GetMessage can't be performed"},
      {[&] { NANOSetMessage(&bare, 0, event.get()); }, uninit + "SetMessage can't be performed"},
      {[&] { NANOGetArray(&bare, 0); }, uninit + "GetArray can't be performed"},
      {[&] { NANOSetArray(&bare, 0, &one_int); }, uninit + "SetArray can't be performed"},
      {[&] { NANOGetBool(event.get(), E::kName); },
       "<Nano/Failure> Field type isn't a scalar BOOL. Message: Event, field ID: 1"},
      {[&] { NANOSetInt32(event.get(), E::kTimestampMillis, 1); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: Event, field ID: 2"},
      {[&] { NANOGetInt64(event.get(), E::kField5); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: Event, field ID: 4"},
      {[&] { NANOGetDouble(param.get(), field::EventParam::kFloatValue); },
       "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: EventParam, field ID: 3"},
      {[&] { NANOSetString(event.get(), E::kParams, "x"); },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: Event, field ID: 0"},
      {[&] { NANOSetMessage(event.get(), E::kName, event.get()); },
       "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Event, field ID: 1"},
      {[&] { NANOSetArray(event.get(), E::kName, &one_string); },
       "<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1"},
      {[&] { NANOGetString(event.get(), 5); },
       "<Nano/Failure> Field index out of range. Message: Event, field ID: 5"},
      {[&] { NANOHasField(event.get(), -1); },
       "<Nano/Failure> Field index out of range. Message: Event, field ID: -1"},
      {[&] {
         ValueList values{Value("yes")};
         NANOSetArray(&odd, 0, &values);
       },
       "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: string"},
      {[&] { NANOSetArray(bundle.get(), B::kExperimentIds, &one_string); },
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: string"},
      {[&] {
         ValueList values{Value(platform::Bytes{1})};
         NANOSetArray(bundle.get(), B::kExperimentIds, &values);
       },
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: bytes"},
      {[&] {
         auto data = APMPBResultData::initWithMessageInfo();
         ValueList values{Value()};
         NANOSetArray(data.get(), field::ResultData::kStatus, &values);
       },
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: (null)"},
      {[&] { NANOSetArray(&odd, 1, &one_string); },
       "<ERROR> Invalid object type. Float fields expect NSNumber. Type: string"},
      {[&] { NANOSetArray(&odd, 2, &one_string); },
       "<ERROR> Invalid object type. Double fields expect NSNumber. Type: string"},
      {[&] { NANOSetArray(&odd, 3, &one_string); },
       "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: string"},
      {[&] { NANOSetArray(bundle.get(), B::kRedactedFields, &one_int); },
       "<ERROR> Invalid object type. String fields expect NSString. Type: int"},
      {[&] { NANOSetArray(&odd, 4, &one_string); },
       "<ERROR> Invalid object type. Bytes fields expect NSData. Type: string"},
      {[&] { NANOSetArray(event.get(), E::kParams, &one_string); },
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: string"},
      {[&] {
         ValueList values{Value(platform::ObjectPtr(flag))};
         NANOSetArray(event.get(), E::kParams, &values);
       },
       "<ERROR> Invalid message type. Message: Event, field ID: 0 expects EventParam. Type: Flag"},
      {[&] { NANOSetMessage(filter.get(), field::Filter::kStringFilter, flag.get()); },
       "<ERROR> Invalid message type. Message: Filter, field ID: 0 expects StringFilter. Type: "
       "Flag"},
      {[&] { NANOSetMessage(filter.get(), field::Filter::kStringFilter, nullptr); },
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: (null)"},
      {[&] {
         ValueList values{Value(1e30)};
         NANOSetArray(bundle.get(), B::kExperimentIds, &values);
       },
       "<ERROR> Number out of range for Int32 fields. Type: double"},
      {[&] {
         NANOSetMessage(filter.get(), field::Filter::kNumberFilter,
                        APMPBNumberFilter::initWithMessageInfo().get());
         NANOGetMessage(filter.get(), field::Filter::kNumberFilter, nullptr);
       },
       "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)"},
      {[&] {
         FakeMessage broken(&apmpb_type::Event);
         broken.messageInfo()->slot(E::kParams) = std::monostate{};
         NANOGetArray(&broken, E::kParams, APMPBEventParam::classObject());
       },
       "<ERROR> Repeated field should have been allocated"},
      {[&] {
         FakeMessage holed(&apmpb_type::Event);
         holed.messageInfo()->array(E::kParams)->messages.push_back(nullptr);
         NANOGetArray(&holed, E::kParams, APMPBEventParam::classObject());
       },
       "<ERROR> Unable to convert NULL data to an ObjC object"},
      {[&] {
         odd.messageInfo()->array(5)->scalars = {1};
         NANOGetArray(&odd, 5);
       },
       "<ERROR> Unable to convert byte data to an ObjC object. Unknown type. 8"},
      {[&] { NANOSetArray(&odd, 5, &one_int); },
       "<ERROR> Unable to convert ObjC object to byte data. Unknown type. 8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    capture_.clear();
    row.misuse();
    EXPECT_EQ(console(), std::vector<std::string>{row.line});
    EXPECT_TRUE(capture_.lines(MessageLogChannel::kStandardOutput).empty());
  }

  // Nothing the rows tried reached a message.
  EXPECT_EQ(event->protoBuffer(), platform::Bytes{});
  EXPECT_EQ(bundle->protoBuffer(), platform::Bytes{});
  EXPECT_FALSE(NANOHasField(filter.get(), field::Filter::kStringFilter));
}

TEST_F(AccessorTest, ClearingAFieldOutsideTheTypeUsesTheCodecLine) {
  auto batch = APMPBMeasurementBatch::initWithMessageInfo();
  NANOClearField(batch.get(), 4);
  EXPECT_EQ(capture_.lines(MessageLogChannel::kStandardOutput),
            std::vector<std::string>{
                "<ERROR> MeasurementBatch: Cannot deallocate field 4: Unknown field"});
}

TEST_F(AccessorTest, ScalarsReadBackWhatWasSetAndAbsentFieldsReadEmpty) {
  namespace F = field::Flag;
  namespace D = field::ConsentDefaultEntry;
  auto flag = APMPBFlag::initWithMessageInfo();
  EXPECT_FALSE(NANOHasField(flag.get(), F::kIntValue));
  EXPECT_EQ(NANOGetInt64(flag.get(), F::kIntValue), 0);
  EXPECT_EQ(NANOGetDouble(flag.get(), F::kDoubleValue), 0.0);
  EXPECT_FALSE(NANOGetBool(flag.get(), F::kBoolValue));
  EXPECT_EQ(NANOGetString(flag.get(), F::kName), std::nullopt);

  NANOSetInt64(flag.get(), F::kIntValue, INT64_MIN);
  NANOSetDouble(flag.get(), F::kDoubleValue, -0.5);
  NANOSetBool(flag.get(), F::kBoolValue, true);
  NANOSetString(flag.get(), F::kName, "");
  EXPECT_EQ(NANOGetInt64(flag.get(), F::kIntValue), INT64_MIN);
  EXPECT_EQ(NANOGetDouble(flag.get(), F::kDoubleValue), -0.5);
  EXPECT_TRUE(NANOGetBool(flag.get(), F::kBoolValue));
  EXPECT_EQ(NANOGetString(flag.get(), F::kName), std::string());
  EXPECT_TRUE(NANOHasField(flag.get(), F::kName));

  NANOSetString(flag.get(), F::kName, std::nullopt);
  NANOClearField(flag.get(), F::kIntValue);
  EXPECT_FALSE(NANOHasField(flag.get(), F::kName));
  EXPECT_FALSE(NANOHasField(flag.get(), F::kIntValue));

  // A 32-bit enum set to -1 reads back as -1 and travels as a 32-bit unsigned varint.
  auto entry = APMPBConsentDefaultEntry::initWithMessageInfo();
  NANOSetInt32(entry.get(), D::kConsentType, -1);
  EXPECT_EQ(NANOGetInt32(entry.get(), D::kConsentType), -1);
  EXPECT_EQ(entry->protoBuffer(), (platform::Bytes{0x08, 0xff, 0xff, 0xff, 0xff, 0x0f}));
  EXPECT_TRUE(console().empty());
}

TEST_F(AccessorTest, StringsThatAreNotUtf8ReadAsNone) {
  namespace R = field::MeasurementBundle;
  auto bundle = APMPBMeasurementBundle::initWithBuffer(
      platform::Bytes{0x42, 0x02, 0xc3, 0x28,          // field 8: broken sequence
                      0x82, 0x04, 0x01, 0xff,          // field 64: invalid byte
                      0x82, 0x04, 0x02, 0x6f, 0x6b});  // field 64: "ok"
  ASSERT_NE(bundle, nullptr);
  EXPECT_TRUE(NANOHasField(bundle.get(), R::kPlatform));
  EXPECT_EQ(NANOGetString(bundle.get(), R::kPlatform), std::nullopt);
  EXPECT_EQ(NANOGetArray(bundle.get(), R::kRedactedFields), (ValueList{Value("ok")}));
}

TEST_F(AccessorTest, ListsConvertElementsAndAFailingElementEmptiesTheList) {
  namespace B = field::MeasurementBundle;
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  EXPECT_EQ(NANOGetArray(bundle.get(), B::kRedactedFields), ValueList{});

  ValueList ids{Value(7), Value(4294967295.0), Value(3.9), Value(true)};
  NANOSetArray(bundle.get(), B::kExperimentIds, &ids);
  EXPECT_EQ(NANOGetArray(bundle.get(), B::kExperimentIds),
            (ValueList{Value(7), Value(int64_t{4294967295}), Value(3), Value(1)}));

  ValueList names{Value("a"), Value("b")};
  NANOSetArray(bundle.get(), B::kRedactedFields, &names);
  ValueList mixed{Value("c"), Value(2), Value("d")};
  NANOSetArray(bundle.get(), B::kRedactedFields, &mixed);
  EXPECT_EQ(NANOGetArray(bundle.get(), B::kRedactedFields), ValueList{});
  EXPECT_EQ(console(),
            std::vector<std::string>{
                "<ERROR> Invalid object type. String fields expect NSString. Type: int"});

  // Unsigned 64-bit words keep all their bits; NaN is no number for an integer list.
  auto data = APMPBResultData::initWithMessageInfo();
  ValueList words{Value(int64_t{-1}), Value(18446744073709549568.0)};
  NANOSetArray(data.get(), field::ResultData::kStatus, &words);
  EXPECT_EQ(data->messageInfo()->array(field::ResultData::kStatus)->scalars,
            (std::vector<uint64_t>{~0ull, 18446744073709549568ull}));
  ValueList nan{Value(std::nan(""))};
  NANOSetArray(data.get(), field::ResultData::kStatus, &nan);
  EXPECT_EQ(NANOGetArray(data.get(), field::ResultData::kStatus), ValueList{});

  // None empties a list; a singular field refuses a list and keeps its value.
  NANOSetArray(bundle.get(), B::kExperimentIds, nullptr);
  EXPECT_EQ(NANOGetArray(bundle.get(), B::kExperimentIds), ValueList{});
  NANOSetString(bundle.get(), B::kAppId, "app");
  NANOSetArray(bundle.get(), B::kAppId, &names);
  EXPECT_EQ(NANOGetString(bundle.get(), B::kAppId), "app");
}

TEST_F(AccessorTest, MessagesCrossTheAccessorsAsDeepCopies) {
  namespace E = field::Event;
  namespace P = field::EventParam;
  auto event = APMPBEvent::initWithMessageInfo();
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), P::kName, "before");
  ValueList params = NANOMessageValues(std::vector{param});
  NANOSetArray(event.get(), E::kParams, &params);
  NANOSetString(param.get(), P::kName, "after");  // the event holds its own copy

  auto read = NANOGetArray(event.get(), E::kParams, APMPBEventParam::classObject());
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 1u);
  auto element = (*read)[0].asObjectOf<APMPBEventParam>();
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(NANOGetString(element.get(), P::kName), "before");
  NANOSetString(element.get(), P::kName, "changed");  // and hands out copies
  auto again = NANOGetArray(event.get(), E::kParams, APMPBEventParam::classObject());
  EXPECT_EQ(NANOGetString((*again)[0].asObjectOf<APMPBEventParam>().get(), P::kName), "before");

  // A class of another type gives no element and no line.
  EXPECT_EQ(NANOGetArray(event.get(), E::kParams, APMPBFlag::classObject()), ValueList{});

  // An element of another message type empties the list, as any refused element does.
  ValueList wrong{Value(platform::ObjectPtr(param)),
                  Value(platform::ObjectPtr(APMPBFlag::initWithMessageInfo()))};
  NANOSetArray(event.get(), E::kParams, &wrong);
  EXPECT_EQ(NANOGetArray(event.get(), E::kParams, APMPBEventParam::classObject()), ValueList{});
  EXPECT_EQ(console().size(), 1u);
  capture_.clear();

  auto filter = APMPBFilter::initWithMessageInfo();
  auto number = APMPBNumberFilter::initWithMessageInfo();
  NANOSetString(number.get(), field::NumberFilter::kComparisonValue, "5");
  NANOSetMessage(filter.get(), field::Filter::kNumberFilter, number.get());
  NANOSetString(number.get(), field::NumberFilter::kComparisonValue, "6");
  auto held = NANOGetMessage<APMPBNumberFilter>(filter.get(), field::Filter::kNumberFilter);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(NANOGetString(held.get(), field::NumberFilter::kComparisonValue), "5");
  NANOSetString(held.get(), field::NumberFilter::kComparisonValue, "7");
  EXPECT_EQ(NANOGetString(
                NANOGetMessage<APMPBNumberFilter>(filter.get(), field::Filter::kNumberFilter).get(),
                field::NumberFilter::kComparisonValue),
            "5");
  EXPECT_EQ(
      NANOGetMessage(filter.get(), field::Filter::kNumberFilter, APMPBStringFilter::classObject()),
      nullptr);
  EXPECT_EQ(NANOGetMessage<APMPBStringFilter>(filter.get(), field::Filter::kStringFilter), nullptr);
  EXPECT_TRUE(console().empty());
}

TEST_F(AccessorTest, WrappersOwnCopiesAndRefuseOtherTypes) {
  auto record = apmpb_new(apmpb_type::Event);
  EXPECT_EQ(APMPBFlag::initWithMessageInfo(record.get()), nullptr);

  auto first = APMPBEvent::initWithMessageInfo(record.get());
  auto second = APMPBEvent::initWithMessageInfo(record.get());
  NANOSetString(first.get(), field::Event::kName, "first");
  EXPECT_FALSE(NANOHasField(second.get(), field::Event::kName));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(record->slot(field::Event::kName)));

  EXPECT_EQ(first->messageID(), APMPBEventMessageId);
  EXPECT_EQ(first->messageInfo()->message_id(), APMPBEventMessageId);
  EXPECT_EQ(first->className(), "APMPBEvent");

  auto empty = APMPBMeasurementBatch::initWithBuffer(platform::Bytes{});
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->protoBuffer(), platform::Bytes{});
  EXPECT_EQ(APMPBMeasurementBatch::initWithBuffer(platform::Bytes{0x0a, 0x05, 0x01}), nullptr);

  auto bytes = first->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  auto decoded = APMPBEvent::initWithBuffer(*bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->protoBuffer(), bytes);
}

}  // namespace
