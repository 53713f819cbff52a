// The shared reading and writing rules: consent names, value precedence of event parameters, user
// attributes and flags, and the filter bit sets of result data.
#include <gtest/gtest.h>

#include "measurement/messages/apm_message_values.h"
#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace field = apmpb_field;
using platform::Value;
using platform::ValueList;

TEST(MessageValuesTest, ConsentNames) {
  const std::pair<int32_t, const char*> types[] = {{0, ""},
                                                   {1, "ad_storage"},
                                                   {2, "analytics_storage"},
                                                   {3, "ad_user_data"},
                                                   {4, "ad_personalization"},
                                                   {5, ""},
                                                   {-1, ""}};
  for (auto [value, name] : types)
    EXPECT_EQ(APMConsentTypeName(value), name) << value;
  const std::pair<int32_t, const char*> statuses[] = {
      {0, ""}, {1, "granted"}, {2, "denied"}, {3, ""}};
  for (auto [value, name] : statuses)
    EXPECT_EQ(APMConsentStatusName(value), name) << value;
}

TEST(MessageValuesTest, EventParamsCarryOneValueAndReadByPrecedence) {
  namespace P = field::EventParam;
  struct Row {
    Value value;
    int32_t field;
  };
  const Row rows[] = {
      {Value(1.5), P::kDoubleValue}, {Value(7), P::kIntValue}, {Value("s"), P::kStringValue}};
  for (const Row& row : rows) {
    auto param = APMEventParamFromValue("p", row.value);
    ASSERT_NE(param, nullptr);
    for (int32_t f : {P::kStringValue, P::kIntValue, P::kDoubleValue}) {
      EXPECT_EQ(NANOHasField(param.get(), f), f == row.field) << row.value.debugString();
    }
    EXPECT_EQ(APMEventParamValue(param.get()), row.value);
  }
  EXPECT_EQ(APMEventParamFromValue("p", Value(true)), nullptr);
  EXPECT_EQ(APMEventParamFromValue("p", Value(ValueList{Value(1)})), nullptr);

  // A reader takes string, then integer, then double.
  auto both = APMPBEventParam::initWithMessageInfo();
  NANOSetDouble(both.get(), P::kDoubleValue, 2.5);
  NANOSetInt64(both.get(), P::kIntValue, 4);
  EXPECT_EQ(APMEventParamValue(both.get()), Value(4));
  NANOSetString(both.get(), P::kStringValue, "wins");
  EXPECT_EQ(APMEventParamValue(both.get()), Value("wins"));
  EXPECT_EQ(APMEventParamValue(APMPBEventParam::initWithMessageInfo().get()), std::nullopt);

  // Arrays: one map per item; lists inside an item are not written.
  Value items(ValueList{Value::map({{"id", "a"}, {"n", 2}, {"deeper", Value(ValueList{})}}),
                        Value::map({{"price", 1.25}})});
  auto array = APMEventParamFromValue("items", items);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(APMEventParamValue(array.get()),
            Value(ValueList{Value::map({{"id", "a"}, {"n", 2}}), Value::map({{"price", 1.25}})}));
}

TEST(MessageValuesTest, UserAttributesWriteOneValueAndReadStringFirst) {
  namespace U = field::UserAttribute;
  auto attribute = APMPBUserAttribute::initWithMessageInfo();
  EXPECT_EQ(APMUserAttributeValue(attribute.get()), std::nullopt);
  ASSERT_TRUE(APMUserAttributeSetValue(attribute.get(), Value(3.5)));
  EXPECT_FALSE(NANOHasField(attribute.get(), U::kIntValue));
  EXPECT_EQ(APMUserAttributeValue(attribute.get()), Value(3.5));
  NANOSetInt64(attribute.get(), U::kIntValue, 9);
  EXPECT_EQ(APMUserAttributeValue(attribute.get()), Value(3.5));  // double before integer
  NANOSetString(attribute.get(), U::kStringValue, "s");
  EXPECT_EQ(APMUserAttributeValue(attribute.get()), Value("s"));  // string before both
  EXPECT_FALSE(APMUserAttributeSetValue(attribute.get(), Value()));
}

TEST(MessageValuesTest, FlagsWriteOneValueAndReadIntegerFirst) {
  namespace F = field::Flag;
  auto real = APMFlagFromValue("ratio", Value(1.5));
  EXPECT_EQ(real->protoBuffer(), (platform::Bytes{0x0a, 0x05, 'r', 'a', 't', 'i', 'o', 0x21, 0, 0,
                                                  0, 0, 0, 0, 0xf8, 0x3f}));
  auto whole = APMFlagFromValue("n", Value(2));
  EXPECT_EQ(whole->protoBuffer(), (platform::Bytes{0x0a, 0x01, 'n', 0x10, 0x02}));
  EXPECT_EQ(APMFlagFromValue("b", Value(true))->protoBuffer(),
            (platform::Bytes{0x0a, 0x01, 'b', 0x10, 0x01}));

  auto mixed = APMPBFlag::initWithMessageInfo();
  NANOSetBool(mixed.get(), F::kBoolValue, true);
  EXPECT_EQ(APMFlagValue(mixed.get()), Value(true));
  NANOSetString(mixed.get(), F::kStringValue, "x");
  EXPECT_EQ(APMFlagValue(mixed.get()), Value("x"));
  NANOSetDouble(mixed.get(), F::kDoubleValue, 0.5);
  EXPECT_EQ(APMFlagValue(mixed.get()), Value(0.5));
  NANOSetInt64(mixed.get(), F::kIntValue, 3);
  EXPECT_EQ(APMFlagValue(mixed.get()), Value(3));
  EXPECT_EQ(APMFlagValue(APMPBFlag::initWithMessageInfo().get()), std::nullopt);
}

TEST(MessageValuesTest, ResultDataFilterBits) {
  namespace R = field::ResultData;
  auto data = APMPBResultData::initWithMessageInfo();
  ASSERT_TRUE(APMResultDataRecordFilter(data.get(), 130, true));
  EXPECT_EQ(NANOGetArray(data.get(), R::kStatus), (ValueList{Value(0), Value(0), Value(4)}));
  EXPECT_EQ(NANOGetArray(data.get(), R::kResults), (ValueList{Value(0), Value(0), Value(4)}));
  EXPECT_TRUE(APMResultDataFilterIsTrue(data.get(), 130));
  EXPECT_FALSE(APMResultDataFilterIsTrue(data.get(), 129));
  EXPECT_FALSE(APMResultDataFilterIsTrue(data.get(), 500));

  ASSERT_TRUE(APMResultDataRecordFilter(data.get(), 3, true));
  ASSERT_TRUE(APMResultDataRecordFilter(data.get(), 3, false));
  EXPECT_TRUE(APMResultDataHasFilter(data.get(), 3));
  EXPECT_FALSE(APMResultDataFilterIsTrue(data.get(), 3));
  EXPECT_EQ(NANOGetArray(data.get(), R::kStatus), (ValueList{Value(8), Value(0), Value(4)}));
  EXPECT_EQ(NANOGetArray(data.get(), R::kResults), (ValueList{Value(0), Value(0), Value(4)}));

  // A stored state whose results are empty answers false whatever its status says.
  auto stored = APMPBResultData::initWithMessageInfo();
  ValueList status{Value(1)};
  NANOSetArray(stored.get(), R::kStatus, &status);
  EXPECT_TRUE(APMResultDataHasFilter(stored.get(), 0));
  EXPECT_FALSE(APMResultDataFilterIsTrue(stored.get(), 0));

  EXPECT_FALSE(APMResultDataRecordFilter(data.get(), -1, true));
  EXPECT_FALSE(APMResultDataFilterIsTrue(nullptr, 0));
}

}  // namespace
