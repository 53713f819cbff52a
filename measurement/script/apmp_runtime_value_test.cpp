#include "measurement/script/apmp_runtime_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_test_support.h"

namespace {

using apmp_test::ascii;

TEST(APMPNumberToStringTest, LayoutMatchesTheScriptForms) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {-0.0, "0"},
      {0.0, "0"},
      {1e21, "1e+21"},
      {std::nextafter(1e21, 0.0), "999999999999999900000"},
      {1e20, "100000000000000000000"},
      {1e-6, "0.000001"},
      {1e-7, "1e-7"},
      {-1.5e-7, "-1.5e-7"},
      {1.5e-7, "1.5e-7"},
      {-2.5e25, "-2.5e+25"},
      {1.0 / 3.0, "0.3333333333333333"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {-42, "-42"},
      {123456789, "123456789"},
      {std::nan(""), "NaN"},
      {INFINITY, "Infinity"},
      {-INFINITY, "-Infinity"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ascii(APMPNumberToString(c.value)), c.text) << c.text;
  }
}

TEST(APMPStringToNumberTest, GrammarAndLimits) {
  const double nan = std::nan("");
  const struct {
    std::u16string text;
    double value;
  } cases[] = {
      {u" \n12\t ", 12},
      {u"", 0},
      {u"   ", 0},
      {u"\u00a0\u2028 7 \u3000", 7},
      {u"1e400", INFINITY},
      {u"-1e400", -INFINITY},
      {u"1e-400", 0},
      {u"0e999999999999999999", 0},
      {u"0x10", nan},
      {u"1e", nan},
      {u"1 2", nan},
      {u"+Infinity", nan},
      {u"infinity", nan},
      {u"inf", nan},
      {u"nan", nan},
      {u".", nan},
      {u"--1", nan},
      {u"+1", 1},
      {u".5", 0.5},
      {u"5.", 5},
      {u"1.5E+2", 150},
      {u"007", 7},
      {u"NaN", nan},
      {u"Infinity", INFINITY},
      {u"-Infinity", -INFINITY},
      {u"0.1", 0.1},
      {u"9007199254740993", 9007199254740992.0},
  };
  for (const auto& c : cases) {
    const double got = APMPStringToNumber(c.text);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(got)) << ascii(c.text);
    } else {
      EXPECT_EQ(got, c.value) << ascii(c.text);
    }
  }
  EXPECT_TRUE(std::signbit(APMPStringToNumber(u"-0")));
}

TEST(APMPIntegerConversionTest, ModuloTwoToTheThirtyTwoWithoutOutOfRangeCasts) {
  const double two31 = 2147483648.0;
  EXPECT_EQ(APMPToInt32(two31), -2147483647 - 1);
  EXPECT_EQ(APMPToInt32(-two31 - 1), 2147483647);
  EXPECT_EQ(APMPToInt32(two31 + 5), -2147483647 - 1 + 5);
  EXPECT_EQ(APMPToInt32(4294967296.0 + 5), 5);
  EXPECT_EQ(APMPToInt32(2.9), 2);
  EXPECT_EQ(APMPToInt32(-2.9), -2);
  EXPECT_EQ(APMPToInt32(-1), -1);
  EXPECT_EQ(APMPToInt32(1e300), 0);
  EXPECT_EQ(APMPToInt32(std::nan("")), 0);
  EXPECT_EQ(APMPToInt32(-INFINITY), 0);
  EXPECT_EQ(APMPToUInt32(-1), 4294967295u);
  EXPECT_EQ(APMPToUInt32(-two31 - 1), 2147483647u);
  EXPECT_EQ(APMPToUInt32(two31 + 5), 2147483653u);
  EXPECT_EQ(APMPToUInt32(-1e300), 0u);
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.0)));
  EXPECT_EQ(APMPToInteger(-2.7), -2);
  EXPECT_EQ(APMPToInteger(std::nan("")), 0);
  EXPECT_EQ(APMPToInteger(INFINITY), INFINITY);
}

TEST(APMPRuntimeValueTest, ConversionsTypeNamesAndTheIndexTest) {
  APMPContext ctx;
  auto array = APMPMake<APMPArrayValue>(APMPValueList{APMPNumberValue::make(5)});
  auto map = APMPMake<APMPMapValue>();
  EXPECT_EQ(array->doubleValueOrError(ctx), 5);
  EXPECT_TRUE(std::isnan(map->doubleValueOrError(ctx)));
  EXPECT_EQ(ascii(map->stringValueOrError(ctx)), "[object Object]");
  EXPECT_TRUE(std::isnan(APMPUndefined()->doubleValueOrError(ctx)));
  EXPECT_EQ(APMPNull()->doubleValueOrError(ctx), 0);
  EXPECT_FALSE(APMPNumberValue::make(-0.0)->booleanValueOrError(ctx));
  EXPECT_FALSE(APMPNumberValue::make(std::nan(""))->booleanValueOrError(ctx));
  EXPECT_FALSE(ctx.failed());

  EXPECT_EQ(APMPTypeName(*APMPNull()), u"object");
  EXPECT_EQ(APMPTypeName(*array), u"object");
  EXPECT_EQ(APMPTypeName(*APMPBoolean(true)), u"boolean");
  EXPECT_EQ(APMPTypeName(*APMPUndefined()), u"undefined");

  for (const auto& key : {apmp_test::str(u""), apmp_test::str(u" 1.0 "), apmp_test::str(u"1e2"),
                          apmp_test::str(u"007"), apmp_test::num(-0.0)}) {
    EXPECT_TRUE(APMPIsZeroOrPositiveInteger(*key)) << ascii(key->stringValueOrError(ctx));
  }
  for (const auto& key : {apmp_test::num(-1), apmp_test::num(1.5), apmp_test::num(INFINITY),
                          apmp_test::str(u"x"), APMPBoolean(true), APMPNull()}) {
    EXPECT_FALSE(APMPIsZeroOrPositiveInteger(*key)) << ascii(key->stringValueOrError(ctx));
  }
}

TEST(APMPRuntimeValueTest, StatementsAndSignalsFailEveryConversion) {
  const APMPValueRef values[] = {apmp_test::op(u"15"), APMPControlValue::breakValue(),
                                 APMPHoleValue()};
  for (const auto& v : values) {
    APMPContext text, number, truth;
    EXPECT_EQ(v->stringValueOrError(text), u"");
    EXPECT_TRUE(std::isnan(v->doubleValueOrError(number)));
    EXPECT_FALSE(v->booleanValueOrError(truth));
    EXPECT_EQ(text.errorCode(), APMPErrorStringConversion);
    EXPECT_EQ(number.errorCode(), APMPErrorNumberConversion);
    EXPECT_EQ(truth.errorCode(), APMPErrorBooleanConversion);
  }
}

TEST(APMPRuntimeValueTest, StrictAndStructuralEquality) {
  APMPContext ctx;
  const auto nan = apmp_test::num(std::nan(""));
  EXPECT_FALSE(APMPStrictEqualityCompare(*nan, *nan, ctx));
  EXPECT_TRUE(APMPStructurallyEqual(*nan, *apmp_test::num(std::nan("")), ctx));
  EXPECT_FALSE(APMPStrictEqualityCompare(*apmp_test::num(1), *APMPBoolean(true), ctx));
  EXPECT_TRUE(
      APMPStrictEqualityCompare(*APMPBoolean(true), *APMPMake<APMPBooleanValue>(true), ctx));
  EXPECT_TRUE(APMPStrictEqualityCompare(*apmp_test::str(u"a"), *apmp_test::str(u"a"), ctx));

  auto a = APMPMake<APMPMapValue>();
  auto b = APMPMake<APMPMapValue>();
  a->setValue(apmp_test::num(1), u"x", ctx);
  b->setValue(apmp_test::num(1), u"x", ctx);
  EXPECT_TRUE(APMPStructurallyEqual(*a, *b, ctx));
  EXPECT_FALSE(APMPStrictEqualityCompare(*a, *b, ctx));

  // Cycles compare without recursing for ever: a pair already under comparison counts as equal.
  auto c = APMPMake<APMPArrayValue>();
  auto d = APMPMake<APMPArrayValue>();
  c->setValue(c, *apmp_test::num(0), ctx);
  d->setValue(d, *apmp_test::num(0), ctx);
  EXPECT_TRUE(APMPStructurallyEqual(*c, *d, ctx));
  EXPECT_FALSE(ctx.failed());
  c->sweep();
  d->sweep();
}

TEST(APMPRuntimeValueTest, NestingBeyondTheBoundFailsWith18) {
  // 600 arrays nested in each other: joining and comparing stop at 512 levels.
  APMPRef<APMPArrayValue> inner = APMPMake<APMPArrayValue>(APMPValueList{apmp_test::num(1)});
  APMPRef<APMPArrayValue> other = APMPMake<APMPArrayValue>(APMPValueList{apmp_test::num(1)});
  for (int i = 0; i < 600; ++i) {
    inner = APMPMake<APMPArrayValue>(APMPValueList{inner});
    other = APMPMake<APMPArrayValue>(APMPValueList{other});
  }
  {
    APMPContext ctx;
    EXPECT_EQ(inner->stringValueOrError(ctx), u"");
    EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
  }
  {
    APMPContext ctx;
    EXPECT_FALSE(APMPStructurallyEqual(*inner, *other, ctx));
    EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
  }
}

TEST(APMPRuntimeValueTest, TearingDownADeepStructureDoesNotRecurse) {
  // A million nested arrays would overflow the stack if each destructor released the next.
  APMPRef<APMPArrayValue> chain = APMPMake<APMPArrayValue>();
  for (int i = 0; i < 1000000; ++i)
    chain = APMPMake<APMPArrayValue>(APMPValueList{chain});
  chain = nullptr;
  SUCCEED();
}

TEST(APMPContextTest, FirstErrorStaysAndSizeBoundsFailWith18) {
  APMPContext ctx;
  ctx.fail(9);
  ctx.fail(10);
  EXPECT_EQ(ctx.errorCode(), 9);

  APMPContext strings;
  EXPECT_TRUE(
      APMPStringValue::make(std::u16string(APMPMaxStringLength, u'x'), strings)->isString());
  EXPECT_TRUE(
      APMPStringValue::make(std::u16string(APMPMaxStringLength + 1, u'x'), strings)->isUndefined());
  EXPECT_EQ(strings.errorCode(), APMPErrorLimit);

  APMPContext bytes;
  EXPECT_TRUE(bytes.charge(APMPMaxRunBytes));
  EXPECT_FALSE(bytes.charge(1));
  EXPECT_EQ(bytes.errorCode(), APMPErrorLimit);
}

}  // namespace
