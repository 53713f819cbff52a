#include "measurement/script/apmp_runtime_entity_converter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_test_support.h"

namespace {

namespace field = apmpb_field::RuntimeEntity;

class APMPConverterTest : public ::testing::Test {
 protected:
  APMPValueRef in(const platform::Value& v, APMPContext& ctx) {
    return APMPRuntimeEntityConverter::runtimeValueFromNSObject(v, runtime.globalScope(), ctx);
  }
  APMPRuntime runtime;
};

TEST_F(APMPConverterTest, PlatformValuesIn) {
  APMPContext ctx(&runtime);
  EXPECT_EQ(in(platform::Value(), ctx), APMPNull());
  EXPECT_EQ(in(platform::Value(true), ctx), APMPBoolean(true));
  const APMPValueRef one = in(platform::Value(1), ctx);
  ASSERT_TRUE(one->isNumber());
  EXPECT_EQ(APMPAs<APMPNumberValue>(*one).value(), 1);
  EXPECT_TRUE(in(platform::Value(2.5), ctx)->isNumber());
  EXPECT_EQ(APMPAs<APMPStringValue>(*in(platform::Value("h\xc3\xa9"), ctx)).value(), u"h\u00e9");

  const APMPValueRef map =
      in(platform::Value::map({{5, "five"}, {"k", platform::Value::list({1, "x"})}}), ctx);
  ASSERT_TRUE(map->isMap());
  const auto& m = APMPAs<APMPMapValue>(*map);
  EXPECT_TRUE(m.hasProperty(u"5"));
  const APMPValueRef list = m.valueForProperty(u"k");
  ASSERT_TRUE(list->isArray());
  EXPECT_EQ(apmp_test::ascii(list->stringValueOrError(ctx)), "1,x");
  EXPECT_FALSE(ctx.failed());
  // Made for the runtime's scope: tracked by its object manager.
  EXPECT_EQ(runtime.objectManager().trackedValueCount(), 2u);
}

TEST_F(APMPConverterTest, PlatformKindsWithoutAScriptCounterpartFailWith13) {
  for (const platform::Value& v : {platform::Value::date(0), platform::Value(platform::Bytes{1}),
                                   platform::Value::list({1, platform::Value::date(0)}),
                                   platform::Value::map({{"d", platform::Value::date(0)}}),
                                   platform::Value(std::string("\xff"))}) {
    APMPContext ctx(&runtime);
    EXPECT_TRUE(in(v, ctx)->isUndefined());
    EXPECT_EQ(ctx.errorCode(), APMPErrorPlatformObject) << v.debugString();
  }
}

TEST_F(APMPConverterTest, DeepPlatformValuesFailWith18) {
  platform::Value deep = platform::Value::list({1});
  for (int i = 0; i < 600; ++i)
    deep = platform::Value::list({deep});
  APMPContext ctx(&runtime);
  EXPECT_TRUE(in(deep, ctx)->isUndefined());
  EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
}

TEST_F(APMPConverterTest, ValuesOut) {
  APMPContext ctx(&runtime);
  auto out = [&](const APMPValueRef& v) {
    return APMPRuntimeEntityConverter::objectFromRuntimeValue(*v, ctx);
  };
  EXPECT_EQ(out(APMPNull()), std::nullopt);
  EXPECT_EQ(out(APMPUndefined()), platform::Value(""));
  EXPECT_EQ(out(apmp_test::str(u"007")), platform::Value(7.0));
  EXPECT_EQ(out(apmp_test::str(u" ")), platform::Value(0.0));
  EXPECT_EQ(out(apmp_test::str(u"abc")), platform::Value("abc"));
  EXPECT_EQ(out(APMPBoolean(true)), platform::Value(1.0));
  EXPECT_EQ(out(apmp_test::num(std::nan(""))), platform::Value("NaN"));
  EXPECT_EQ(out(apmp_test::str(u"\xd800x")), platform::Value("\xef\xbf\xbdx"));
  auto array = APMPMake<APMPArrayValue>(
      APMPValueList{apmp_test::num(1), APMPNull(), apmp_test::str(u"x"), APMPHoleValue()});
  EXPECT_EQ(out(array), platform::Value::list({1.0, "x", ""}));
  EXPECT_FALSE(ctx.failed());
}

TEST_F(APMPConverterTest, CyclesOutFailWith10AndDeepDataWith18) {
  {
    auto map = APMPMake<APMPMapValue>();
    APMPContext ctx(&runtime);
    map->setValue(map, u"self", ctx);
    APMPRuntimeEntityConverter::objectFromRuntimeValue(*map, ctx);
    EXPECT_EQ(ctx.errorCode(), APMPErrorArgumentKind);
    map->sweep();
  }
  {
    // The same array twice, side by side, is no cycle.
    auto inner = APMPMake<APMPArrayValue>(APMPValueList{apmp_test::num(1)});
    auto outer = APMPMake<APMPArrayValue>(APMPValueList{inner, inner});
    APMPContext ctx(&runtime);
    EXPECT_EQ(APMPRuntimeEntityConverter::objectFromRuntimeValue(*outer, ctx),
              platform::Value::list({platform::Value::list({1.0}), platform::Value::list({1.0})}));
    EXPECT_FALSE(ctx.failed());
  }
  {
    APMPRef<APMPArrayValue> deep = APMPMake<APMPArrayValue>();
    for (int i = 0; i < 600; ++i)
      deep = APMPMake<APMPArrayValue>(APMPValueList{deep});
    APMPContext ctx(&runtime);
    APMPRuntimeEntityConverter::objectFromRuntimeValue(*deep, ctx);
    EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
  }
}

TEST_F(APMPConverterTest, AnObjectProviderConvertsAFreshObjectPerCall) {
  int calls = 0;
  runtime.setModuleCreator(
      [&] {
        return APMPValueRef(APMPMake<APMPObjectProvider>(u"internal.appMetadata", [&] {
          ++calls;
          return platform::Value::map({{"platform", "macos"}, {"duz_version", 111500}});
        }));
      },
      u"internal.appMetadata");
  using apmp_test::op;
  using apmp_test::str;
  // The module value is called through a variable holding it; the arguments are ignored.
  APMPContext ctx(&runtime);
  const APMPValueRef result = runtime.executeStatements(
      {op(APMPCommandVar, {str(u"meta")}),
       op(APMPCommandAssign, {str(u"meta"), op(u"require", {str(u"internal.appMetadata")})}),
       op(APMPCommandCreateArray, {op(u"meta", {apmp_test::num(1)}), op(u"meta")})},
      ctx);
  ASSERT_FALSE(ctx.failed()) << ctx.errorCode();
  const auto& both = APMPAs<APMPArrayValue>(*result);
  ASSERT_EQ(both.count(), 2u);
  EXPECT_NE(both.elements()[0], both.elements()[1]);
  const auto& first = APMPAs<APMPMapValue>(*both.elements()[0]);
  EXPECT_EQ(APMPAs<APMPNumberValue>(*first.valueForProperty(u"duz_version")).value(), 111500);
  EXPECT_EQ(calls, 2);
}

TEST_F(APMPConverterTest, EntityTextThatIsNotUtf8FailsTheConversion) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  NANOSetInt32(entity.get(), field::kType, 1);
  NANOSetString(entity.get(), field::kStringValue, std::string("\xc3"));
  {
    APMPContext ctx;
    APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity->messageInfo(), ctx);
    EXPECT_EQ(ctx.errorCode(), APMPErrorEntityType);
  }
  NANOSetInt32(entity.get(), field::kType, 4);
  NANOSetString(entity.get(), field::kFunctionName, std::string("f\xff"));
  {
    APMPContext ctx;
    APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity->messageInfo(), ctx);
    EXPECT_EQ(ctx.errorCode(), APMPErrorStatementName);
  }
}

}  // namespace
