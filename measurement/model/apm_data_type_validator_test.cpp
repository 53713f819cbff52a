#include "measurement/model/apm_data_type_validator.h"

#include <gtest/gtest.h>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/storage_test_support.h"

namespace {

using platform::Value;

class APMDataTypeValidatorTest : public apm_testing::StorageTest {
 protected:
  // The checks report through the process-wide monitor: the fixture drains its queue at the end.
  APMDataTypeValidatorTest() { monitor(); }
};

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i)
    out += piece;
  return out;
}

const std::string kAstral = "\xF0\x9F\x98\x80";  // one code point, two UTF-16 units

TEST_F(APMDataTypeValidatorTest, NamesFollowTheirRules) {
  using Check = bool (*)(const Value&, std::int64_t*);
  struct Case {
    const char* what;
    Check check;
    Value name;
    bool valid;
    std::int64_t failure;
    std::int64_t report;  // 0: none expected
  };
  const Check publicEvent = &APMDataTypeValidator::isValidPublicEventName;
  const Check internalEvent = &APMDataTypeValidator::isValidInternalEventName;
  const Check publicParam = &APMDataTypeValidator::isValidPublicEventParameterName;
  const Check publicProperty = &APMDataTypeValidator::isValidPublicUserAttributeName;
  const Check forwarded = &APMDataTypeValidator::isValidForwardedEventOrigin;
  const Case cases[] = {
      {"40 code points", publicEvent, Value(repeat("a", 40)), true, 0, 0},
      {"41 code points", publicEvent, Value(repeat("a", 41)), false, 2, 13000},
      {"letters of other scripts", publicEvent, Value("\xC3\xA9v\xC3\xA9nement_1"), true, 0, 0},
      {"combining mark", publicEvent, Value("e\xCC\x81"), false, 3, 13002},
      {"digit first, public", publicEvent, Value("1event"), false, 3, 13003},
      {"digit first, internal", internalEvent, Value("1event"), true, 0, 0},
      {"underscore first, public", publicEvent, Value("_s"), false, 3, 13003},
      {"underscore first, internal", internalEvent, Value("_s"), true, 0, 0},
      {"hyphen", internalEvent, Value("my-event"), false, 3, 13002},
      {"nil", internalEvent, Value(), false, 1, 13001},
      {"empty", internalEvent, Value(""), false, 1, 13001},
      {"not UTF-8", internalEvent, Value(std::string("ab\xFF")), false, 5, 13000},
      {"not a string", internalEvent, Value(std::int64_t{5}), false, 5, 13000},
      {"screen_view", publicEvent, Value("screen_view"), true, 0, 0},
      {"ad_impression", publicEvent, Value("ad_impression"), true, 0, 0},
      {"session_start", publicEvent, Value("session_start"), false, 4, 13006},
      {"app_update", publicEvent, Value("app_update"), false, 4, 13006},
      {"reserved event prefix", publicEvent, Value("ziriza_x"), false, 4, 13007},
      {"reserved parameter prefix", publicParam, Value("zevevidi_x"), false, 4, 13008},
      {"reserved property name", publicProperty, Value("user_id"), false, 4, 13009},
      {"reserved property prefix", publicProperty, Value("za_x"), false, 4, 13010},
      {"forwarded origin", forwarded, Value("app+ztm"), true, 0, 0},
      {"forwarded stem empty", forwarded, Value("+ztm"), false, 1, 13001},
      {"origin not forwarded", forwarded, Value("app"), false, 6, 0},
  };
  for (const auto& c : cases) {
    clearReports();
    std::int64_t failure = -1;
    EXPECT_EQ(c.check(c.name, &failure), c.valid) << c.what;
    EXPECT_EQ(failure, c.failure) << c.what;
    const auto codes = reportedCodes();
    if (c.report == 0) {
      EXPECT_TRUE(codes.empty()) << c.what;
    } else {
      EXPECT_EQ(codes, std::vector<std::int64_t>{c.report}) << c.what;
    }
  }
}

TEST_F(APMDataTypeValidatorTest, ValuesAreMeasuredInCodePoints) {
  struct Case {
    const char* what;
    std::string property;
    std::string text;
    bool valid;
    std::int64_t failure;
  };
  const Case cases[] = {
      {"36 astral", "prop", repeat(kAstral, 36), true, 0},
      {"37 astral", "prop", repeat(kAstral, 37), false, 2},
      {"empty", "prop", "", false, 1},
      {"_psmvalue 512", "_psmvalue", repeat("a", 512), true, 0},
      {"_psmvalue 513", "_psmvalue", repeat("a", 513), false, 2},
      {"_psmvalue_zads 512", "_psmvalue_zads", repeat("a", 512), true, 0},
      {"_id 256", "_id", repeat("a", 256), true, 0},
      {"_id 257", "_id", repeat("a", 257), false, 2},
      {"_zbraid 256", "_zbraid", repeat("a", 256), true, 0},
  };
  for (const auto& c : cases) {
    clearReports();
    const auto value = APMValue::initWithString(c.text);
    std::int64_t failure = -1;
    EXPECT_EQ(
        APMDataTypeValidator::isValidInternalUserAttributeValue(&*value, c.property, &failure),
        c.valid)
        << c.what;
    EXPECT_EQ(failure, c.failure) << c.what;
  }
  // An empty user-property value is refused silently; an empty parameter value passes.
  EXPECT_TRUE(reportedCodes().empty());
  const APMValue empty = *APMValue::initWithString("");
  EXPECT_TRUE(APMDataTypeValidator::isValidPublicEventParameterValue(&empty, nullptr));
  const APMValue number(std::int64_t{7});
  EXPECT_TRUE(APMDataTypeValidator::isValidPublicUserAttributeValue(&number, nullptr));
}

TEST_F(APMDataTypeValidatorTest, ParameterValueLimitFollowsTheRemoteConfiguration) {
  const APMValue long_ = *APMValue::initWithString(repeat("x", 300));
  EXPECT_TRUE(APMDataTypeValidator::isValidPublicEventParameterValue(&long_, nullptr));
  APMSetEventModelLimitsProvider([] {
    APMEventModelLimits limits;
    limits.maxPublicEventParameterValueLength = 100;
    return limits;
  });
  std::int64_t failure = 0;
  EXPECT_FALSE(APMDataTypeValidator::isValidPublicEventParameterValue(&long_, &failure));
  EXPECT_EQ(failure, 2);
  // The internal limit never drops below 256.
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalEventParameterValue(&long_, nullptr));
  const APMValue internal = *APMValue::initWithString(repeat("x", 256));
  EXPECT_TRUE(APMDataTypeValidator::isValidInternalEventParameterValue(&internal, nullptr));
  APMSetEventModelLimitsProvider(nullptr);
}

TEST_F(APMDataTypeValidatorTest, NumericAndCurrencyValues) {
  struct Case {
    const char* what;
    std::optional<APMValue> value;
    bool numeric;
    bool currency;
  };
  const Case cases[] = {
      {"int", APMValue(std::int64_t{3}), true, false},
      {"double", APMValue(2.5), true, false},
      {"USD", APMValue::initWithString("USD"), false, true},
      {"lower case", APMValue::initWithString("eur"), false, true},
      {"two letters", APMValue::initWithString("US"), false, false},
      {"letters and digit", APMValue::initWithString("US1"), false, false},
      {"astral letters",
       APMValue::initWithString("\xF0\x90\x90\x80"
                                "AB"),
       false, false},
  };
  for (const auto& c : cases) {
    std::int64_t failure = -1;
    EXPECT_EQ(APMDataTypeValidator::isValidNumericValue(&*c.value, &failure), c.numeric) << c.what;
    EXPECT_EQ(failure, c.numeric ? 0 : 8) << c.what;
    EXPECT_EQ(APMDataTypeValidator::isValidCurrencyCode(&*c.value, &failure), c.currency) << c.what;
    EXPECT_EQ(failure, c.currency ? 0 : 9) << c.what;
  }
  std::int64_t failure = -1;
  EXPECT_FALSE(APMDataTypeValidator::isValidNumericValue(nullptr, &failure));
  EXPECT_EQ(failure, 1);
}

TEST_F(APMDataTypeValidatorTest, ArrayParameters) {
  struct Case {
    const char* event;
    const char* param;
    std::int64_t count;
    bool nested;
    std::int64_t failure;
  };
  const Case cases[] = {
      {"purchase", "items", 200, false, 0}, {"purchase", "items", 201, false, 12},
      {"purchase", "things", 3, false, 11}, {"level_up", "items", 3, false, 10},
      {"purchase", "items", 3, true, 13},
  };
  for (const auto& c : cases) {
    std::int64_t failure = -1;
    EXPECT_EQ(APMDataTypeValidator::isValidArrayParamForEvent(c.event, c.param, c.count, c.nested,
                                                              &failure),
              c.failure == 0);
    EXPECT_EQ(failure, c.failure) << c.event << " " << c.param << " " << c.count;
  }
  std::int64_t failure = -1;
  EXPECT_FALSE(APMDataTypeValidator::isValidArrayParamItem(Value("x"), &failure));
  EXPECT_EQ(failure, 14);
}

TEST_F(APMDataTypeValidatorTest, NumericStrings) {
  struct Case {
    std::string text;
    std::optional<std::string> parsed;  // canonical text; none when refused
    std::int64_t report;
  };
  const std::string digits38 = repeat("1234567890", 3) + "12345678";
  const Case cases[] = {
      {"+.5", "0.5", 0},
      {"-.5", "-0.5", 0},
      {"1.50", "1.5", 0},
      {"007", "7", 0},
      {"-0.5", "-0.5", 0},
      {"5.", "5", 0},
      {"1200", "1200", 0},
      {"0.000120", "0.00012", 0},
      {"-0", "0", 0},
      {"1e5", std::nullopt, 26001},
      {"", std::nullopt, 26001},
      {".", std::nullopt, 26001},
      {"+", std::nullopt, 26001},
      {"1.2.3", std::nullopt, 26001},
      {digits38, digits38, 0},
      {digits38 + "9", std::nullopt, 26003},
      {"1" + repeat("0", 130), std::nullopt, 26002},
  };
  for (const auto& c : cases) {
    clearReports();
    EXPECT_EQ(APMIsValidNumericString(c.text), c.report != 26001) << c.text;
    const auto parsed = APMParseNumericValueFromString(c.text);
    EXPECT_EQ(parsed ? std::optional(parsed->description()) : std::nullopt, c.parsed) << c.text;
    if (c.report) {
      EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{c.report}) << c.text;
    }
  }
  EXPECT_DOUBLE_EQ(APMParseNumericValueFromString("+.5")->doubleValue(), 0.5);
}

}  // namespace
