#include "measurement/audiences/apm_audience_filters.h"

#include <cmath>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/storage_test_support.h"

namespace {

using platform::Value;
namespace StringField = apmpb_field::StringFilter;
namespace NumberField = apmpb_field::NumberFilter;
namespace FilterField = apmpb_field::Filter;

using Code = std::pair<std::int64_t, std::int64_t>;  // level, code
using Codes = std::vector<Code>;

std::shared_ptr<APMPBStringFilter> text(std::int32_t match, std::optional<std::string> expression,
                                        bool caseSensitive = false,
                                        std::vector<std::string> list = {}) {
  auto filter = APMPBStringFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), StringField::kMatchType, match);
  if (expression) NANOSetString(filter.get(), StringField::kExpression, *expression);
  if (caseSensitive) NANOSetBool(filter.get(), StringField::kCaseSensitive, true);
  if (!list.empty()) {
    platform::ValueList values;
    for (auto& entry : list)
      values.emplace_back(entry);
    NANOSetArray(filter.get(), StringField::kExpressionList, &values);
  }
  return filter;
}

std::shared_ptr<APMPBNumberFilter> number(std::int32_t type, std::optional<std::string> operand,
                                          std::optional<std::string> low = std::nullopt,
                                          std::optional<std::string> high = std::nullopt) {
  auto filter = APMPBNumberFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), NumberField::kComparisonType, type);
  if (operand) NANOSetString(filter.get(), NumberField::kComparisonValue, *operand);
  if (low) NANOSetString(filter.get(), NumberField::kMinComparisonValue, *low);
  if (high) NANOSetString(filter.get(), NumberField::kMaxComparisonValue, *high);
  return filter;
}

std::shared_ptr<APMPBFilter> filterOf(std::shared_ptr<APMPBNumberFilter> numberFilter,
                                      std::shared_ptr<APMPBStringFilter> stringFilter,
                                      const std::string& parameter = "", bool negate = false) {
  auto filter = APMPBFilter::initWithMessageInfo();
  if (numberFilter) NANOSetMessage(filter.get(), FilterField::kNumberFilter, numberFilter.get());
  if (stringFilter) NANOSetMessage(filter.get(), FilterField::kStringFilter, stringFilter.get());
  if (!parameter.empty()) NANOSetString(filter.get(), FilterField::kParamName, parameter);
  if (negate) NANOSetBool(filter.get(), FilterField::kComplement, true);
  return filter;
}

APMValue str(const std::string& s) {
  return *APMValue::initWithString(s);
}

class APMAudienceFiltersTest : public apm_testing::StorageTest {
 protected:
  Codes codes() {
    monitor()->waitForMonitorQueue();
    Codes out;
    for (const auto& r : reports())
      out.emplace_back(r.level, r.code);
    clearReports();
    return out;
  }
};

TEST_F(APMAudienceFiltersTest, ValuesAgainstFilters) {
  const double ulp3 = std::nextafter(std::nextafter(0.3, 1.0), 1.0);
  struct Case {
    const char* name;
    std::shared_ptr<APMPBFilter> filter;
    APMValue value;
    APMAudienceOutcome expected;
    Codes codes;
  } cases[] = {
      {"same value, double one ulp off",
       filterOf(number(3, "0.3"), nullptr),
       APMValue(0.1 + 0.2),
       true,
       {}},
      {"same value, two ulps off", filterOf(number(3, "0.3"), nullptr), APMValue(ulp3), false, {}},
      {"same value, exact decimal text",
       filterOf(number(3, "0.3"), nullptr),
       str("0.30000000000000004"),
       false,
       {}},
      {"numeric text as a value", filterOf(number(2, "4"), nullptr), str("5"), true, {}},
      {"range low bound",
       filterOf(number(4, std::nullopt, "1", "10"), nullptr),
       APMValue(std::int64_t{1}),
       true,
       {}},
      {"range high bound",
       filterOf(number(4, std::nullopt, "1", "10"), nullptr),
       APMValue(std::int64_t{10}),
       true,
       {}},
      {"range above",
       filterOf(number(4, std::nullopt, "1", "10"), nullptr),
       APMValue(10.5),
       false,
       {}},
      {"int64 max",
       filterOf(number(2, "9223372036854775806"), nullptr),
       APMValue(std::int64_t{9223372036854775807}),
       true,
       {}},
      {"int64 min below",
       filterOf(number(1, "-9223372036854775807"), nullptr),
       APMValue(std::numeric_limits<std::int64_t>::min()),
       true,
       {}},
      {"double path reads +5 and 5.",
       filterOf(number(4, std::nullopt, "+5", "5."), nullptr),
       APMValue(5.0),
       true,
       {}},
      {"infinity",
       filterOf(number(2, "1"), nullptr),
       APMValue(INFINITY),
       std::nullopt,
       {{3, 7002}}},
      {"NaN", filterOf(number(1, "1"), nullptr), APMValue(NAN), std::nullopt, {{3, 7002}}},
      {"text not numeric",
       filterOf(number(2, "1"), nullptr),
       str("abc"),
       std::nullopt,
       {{3, 7001}}},
      {"prefix ignores case", filterOf(nullptr, text(2, "abc")), str("ABCdef"), true, {}},
      {"prefix with case", filterOf(nullptr, text(2, "abc", true)), str("ABCdef"), false, {}},
      {"prefix folds accents' case", filterOf(nullptr, text(2, "éc")), str("ÉCOLE"), true, {}},
      {"suffix", filterOf(nullptr, text(3, "DEF")), str("abcdef"), true, {}},
      {"contains", filterOf(nullptr, text(4, "cd")), str("abcdef"), true, {}},
      {"whole text", filterOf(nullptr, text(5, "abc")), str("ABC"), true, {}},
      {"whole text longer", filterOf(nullptr, text(5, "abc")), str("abcd"), false, {}},
      {"any of",
       filterOf(nullptr, text(6, std::nullopt, false, {"x", "Straße"})),
       str("STRASSE"),
       true,
       {}},
      {"any of, empty list",
       filterOf(nullptr, text(6, std::nullopt)),
       str("x"),
       std::nullopt,
       {{1, 9003}, {1, 9006}}},
      {"pattern anywhere", filterOf(nullptr, text(1, "b")), str("abc"), true, {}},
      {"pattern anchored", filterOf(nullptr, text(1, "^b")), str("abc"), false, {}},
      {"bad pattern",
       filterOf(nullptr, text(1, "(")),
       str("abc"),
       std::nullopt,
       {{1, 9004}, {1, 9006}}},
      {"match type 7", filterOf(nullptr, text(7, "x")), str("x"), false, {}},
      {"match type 0",
       filterOf(nullptr, text(0, "x")),
       str("x"),
       std::nullopt,
       {{1, 9001}, {1, 9006}}},
      {"string filter, number value",
       filterOf(nullptr, text(2, "a")),
       APMValue(1.0),
       std::nullopt,
       {{3, 7003}}},
      {"negate true", filterOf(nullptr, text(2, "a"), "", true), str("abc"), false, {}},
      {"negate none",
       filterOf(nullptr, text(6, std::nullopt), "", true),
       str("abc"),
       std::nullopt,
       {{1, 9003}, {1, 9006}}},
      {"no filter", filterOf(nullptr, nullptr), str("a"), std::nullopt, {{1, 7000}}},
      {"number type 5",
       filterOf(number(5, "1"), nullptr),
       APMValue(1.0),
       std::nullopt,
       {{1, 8011}}},
      {"operand 1e5",
       filterOf(number(2, "1e5"), nullptr),
       APMValue(1.0),
       std::nullopt,
       {{1, 8008}}},
      {"range without bounds",
       filterOf(number(4, std::nullopt), nullptr),
       APMValue(1.0),
       std::nullopt,
       {{1, 8009}, {1, 8010}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(APMAudienceEvaluateFilterWithValue(c.filter, c.value), c.expected);
    EXPECT_EQ(codes(), c.codes);
  }
}

TEST_F(APMAudienceFiltersTest, EventFiltersByNameCountAndParameters) {
  auto filter = APMPBEventFilter::initWithMessageInfo();
  NANOSetString(filter.get(), apmpb_field::EventFilter::kEventName, "level_up");
  auto aggregates = APMEventAggregates::initWithName("level_up", 5, 1, 1, 0);
  const platform::ValueMap parameters{{Value("level"), Value("5")},
                                      {Value("score"), Value(std::int64_t{12})}};
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "level_up", parameters, aggregates.get()), true);
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "other", parameters, aggregates.get()),
            std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 7006}}));

  NANOSetMessage(filter.get(), apmpb_field::EventFilter::kEventCountFilter, number(2, "2").get());
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "level_up", parameters, aggregates.get()), true);
  NANOSetBool(filter.get(), apmpb_field::EventFilter::kSessionScoped, true);
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "level_up", parameters, aggregates.get()),
            false);
  const auto other = APMEventAggregates::initWithName("other", 5, 1, 1, 0);
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "level_up", parameters, other.get()),
            std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 7007}}));

  auto byParameter = APMPBEventFilter::initWithMessageInfo();
  NANOSetString(byParameter.get(), apmpb_field::EventFilter::kEventName, "level_up");
  const auto withFilters = [&](std::vector<std::shared_ptr<APMPBFilter>> filters) {
    const auto values = NANOMessageValues(filters);
    NANOSetArray(byParameter.get(), apmpb_field::EventFilter::kFilters, &values);
    return APMAudienceEvaluateEventFilter(byParameter, "level_up", parameters, aggregates.get());
  };
  EXPECT_EQ(withFilters({filterOf(number(2, "10"), nullptr, "score")}), true);
  EXPECT_EQ(withFilters({filterOf(number(2, "4"), nullptr, "level")}), std::nullopt);
  EXPECT_EQ(codes(), (Codes{{3, 7010}}));
  EXPECT_EQ(withFilters({filterOf(number(2, "4"), nullptr, "missing")}), std::nullopt);
  EXPECT_EQ(codes(), (Codes{{3, 7009}}));
  EXPECT_EQ(withFilters({filterOf(number(2, "4"), nullptr)}), std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 7008}}));
  EXPECT_EQ(withFilters({filterOf(number(2, "100"), nullptr, "score"),
                         filterOf(number(2, "4"), nullptr, "missing")}),
            false);
  EXPECT_EQ(codes(), Codes{});
  EXPECT_EQ(APMAudienceEvaluateEventFilter(nullptr, "e", {}, nullptr), std::nullopt);
  EXPECT_EQ(APMAudienceEvaluateEventFilter(filter, "", {}, nullptr), std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 7004}, {1, 7005}}));
}

TEST_F(APMAudienceFiltersTest, PropertyFiltersReadStringValuesAsNumbers) {
  auto filter = APMPBPropertyFilter::initWithMessageInfo();
  NANOSetString(filter.get(), apmpb_field::PropertyFilter::kPropertyName, "tier");
  NANOSetMessage(filter.get(), apmpb_field::PropertyFilter::kFilter,
                 filterOf(number(3, "5"), nullptr).get());
  const APMUserAttribute text("app", "tier", str("5"), 1);
  EXPECT_EQ(APMAudienceEvaluatePropertyFilter(filter, &text), true);
  const APMUserAttribute other("app", "level", str("5"), 1);
  EXPECT_EQ(APMAudienceEvaluatePropertyFilter(filter, &other), std::nullopt);
  EXPECT_EQ(APMAudienceEvaluatePropertyFilter(filter, nullptr), std::nullopt);
  EXPECT_EQ(APMAudienceEvaluatePropertyFilter(nullptr, &text), std::nullopt);
  const APMUserAttribute array("app", "tier", APMValue::initWithArray({}), 1);
  EXPECT_EQ(APMAudienceEvaluatePropertyFilter(filter, &array), std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 7013}, {1, 7012}, {1, 7011}, {1, 7015}}));
}

TEST_F(APMAudienceFiltersTest, ARunawayPatternEndsAtItsLimitAndTheNextOneStillWorks) {
  const auto runaway = filterOf(nullptr, text(1, "(a+)+$"));
  EXPECT_EQ(APMAudienceEvaluateFilterWithValue(runaway, str(std::string(30, 'a') + "!")),
            std::nullopt);
  EXPECT_EQ(codes(), (Codes{{1, 9009}}));
  EXPECT_EQ(APMAudienceEvaluateFilterWithValue(runaway, str("aaa")), true);
  EXPECT_EQ(codes(), Codes{});
}

TEST_F(APMAudienceFiltersTest, TheDoublePathComparesNaNAsFalse) {
  for (const std::int32_t type : {1, 2, 3}) {
    EXPECT_EQ(APMAudienceEvaluateNumberFilterWithDouble(number(type, "1"), NAN), false);
  }
  EXPECT_EQ(APMAudienceEvaluateNumberFilterWithDouble(number(4, std::nullopt, "1", "2"), NAN),
            false);
  EXPECT_EQ(codes(), Codes{});
}

TEST_F(APMAudienceFiltersTest, DecimalsOrderExactly) {
  const auto d = [](const char* text) { return *APMParseNumericValueFromString(text); };
  EXPECT_LT(d("-10"), d("-9.5"));
  EXPECT_LT(d("-0.001"), d("0"));
  EXPECT_LT(d("0"), d("0.001"));
  EXPECT_LT(d("0.12"), d("0.123"));
  EXPECT_GT(d("0.13"), d("0.123"));
  EXPECT_GT(d("100"), d("99.999999999999999999"));
  EXPECT_EQ(d("1.50") <=> d("1.5"), std::strong_ordering::equal);
}

}  // namespace
