#include "measurement/model/apm_event_normalization.h"

#include <gtest/gtest.h>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/storage_test_support.h"

namespace {

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

class APMEventNormalizationTest : public apm_testing::StorageTest {
 protected:
  // Normalisation reports through the process-wide monitor: the fixture drains its queue at the
  // end.
  APMEventNormalizationTest() { monitor(); }
  ~APMEventNormalizationTest() override {
    APMSetEventModelLimitsProvider(nullptr);
    APMSetInternalEventSink(nullptr);
  }
  static ValueMap normalize(ValueMap parameters, const std::string& event, bool isPublic,
                            bool isNested = false) {
    return APMNormalizedParametersForParametersAndEventName(std::move(parameters), &event, isPublic,
                                                            isNested)
        .value_or(ValueMap{{Value("<none>"), Value()}});
  }
};

std::string repeat(std::string_view piece, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i)
    out += piece;
  return out;
}

ValueMap numbered(const char* prefix, int count) {
  ValueMap map;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d", prefix, i);
    map[Value(name)] = Value(std::int64_t{i});
  }
  return map;
}

Value item(int index) {
  return Value(ValueMap{{Value("item_id"), Value("sku" + std::to_string(index))}});
}

TEST_F(APMEventNormalizationTest, RecordsTheFirstProblemAndKeepsTheRest) {
  struct Case {
    const char* what;
    ValueMap given;
    const char* event;
    bool isPublic;
    ValueMap expected;
  };
  const std::string long501 = repeat("\xC3\xA9", 501);
  const Case cases[] = {
      {"boolean and number",
       {{Value("flag"), Value(true)}, {Value("n"), Value(1.5)}},
       "level_up",
       true,
       {{Value("flag"), Value(std::int64_t{1})}, {Value("n"), Value(1.5)}}},
      {"value of 501 code points",
       {{Value("long"), Value(long501)}, {Value("ok"), Value("x")}},
       "level_up",
       true,
       {{Value("ok"), Value("x")},
        {Value("_err"), Value(4)},
        {Value("_ev"), Value("long")},
        {Value("_el"), Value(501)}}},
      {"reserved prefix",
       {{Value("zevevidi_x"), Value(1)}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)}, {Value("_err"), Value(14)}, {Value("_ev"), Value("zevevidi_x")}}},
      {"two bad names: the first in key order",
       {{Value("1bad"), Value(1)}, {Value("bad-2"), Value(1)}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)}, {Value("_err"), Value(3)}, {Value("_ev"), Value("1bad")}}},
      {"long bad name is cut and measured",
       {{Value(repeat("b", 45) + "-"), Value(1)}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)},
        {Value("_err"), Value(3)},
        {Value("_ev"), Value(repeat("b", 40) + "...")},
        {Value("_el"), Value(46)}}},
      {"name that is not UTF-8",
       {{Value(std::string("n\xFF")), Value(1)}, {Value("a"), Value(1)}},
       "level_up",
       false,
       {{Value("a"), Value(1)}, {Value("_err"), Value(3)}, {Value("_ev"), Value("NSData")}}},
      {"value of an unsupported kind",
       {{Value("when"), Value::date(5)}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)}}},
      {"value that is not UTF-8",
       {{Value("text"), Value(std::string("\xC3"))}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)}}},
      {"every entry invalid",
       {{Value("_x"), Value(1)}, {Value("za_y"), Value(1)}},
       "level_up",
       true,
       {{Value("_err"), Value(3)}, {Value("_ev"), Value("_x")}}},
      {"items outside ecommerce",
       {{Value("items"), Value(ValueList{item(0)})}, {Value("a"), Value(1)}},
       "level_up",
       true,
       {{Value("a"), Value(1)}, {Value("_err"), Value(21)}, {Value("_ev"), Value("level_up")}}},
      {"array under another name",
       {{Value("things"), Value(ValueList{item(0)})}},
       "purchase",
       true,
       {{Value("_err"), Value(20)}, {Value("_ev"), Value("things")}}},
      {"first item a string",
       {{Value("items"), Value(ValueList{Value("x"), item(1)})}},
       "purchase",
       true,
       {{Value("items"), Value(ValueList{item(1)})},
        {Value("_err"), Value(4)},
        {Value("_ev"), Value("items[0]")}}},
      {"long _ev of an internal event",
       {{Value("_ev"), Value(repeat("v", 600))}},
       "_err",
       false,
       {{Value("_ev"), Value(repeat("v", 500) + "...")}, {Value("_el"), Value(600)}}},
      {"_ev already cut",
       {{Value("_ev"), Value(repeat("v", 500) + "...")}},
       "_err",
       false,
       {{Value("_ev"), Value(repeat("v", 500) + "...")}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(normalize(c.given, c.event, c.isPublic), c.expected) << c.what;
}

TEST_F(APMEventNormalizationTest, EmptyParametersGiveNone) {
  EXPECT_EQ(APMNormalizedParametersForParameters({}, true), std::nullopt);
}

TEST_F(APMEventNormalizationTest, PublicParameterLimitTrimsTheAlphabeticallyLast) {
  ValueMap given = numbered("p", 101);
  given[Value("_internal")] = Value(1);
  const ValueMap result = normalize(given, "level_up", false);
  EXPECT_EQ(result.size(), 102u);  // 100 public, "_internal" and "_err"
  EXPECT_FALSE(result.contains(Value("p100")));
  EXPECT_TRUE(result.contains(Value("p099")));
  EXPECT_EQ(result.at(Value("_err")), Value(5));
  EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{18017});

  APMSetEventModelLimitsProvider([] {
    APMEventModelLimits limits;
    limits.maxPublicEventParams = 25;
    return limits;
  });
  const ValueMap limited = normalize(numbered("p", 30), "level_up", true);
  EXPECT_EQ(limited.size(), 26u);
  EXPECT_TRUE(limited.contains(Value("p024")));
  EXPECT_FALSE(limited.contains(Value("p025")));
}

TEST_F(APMEventNormalizationTest, ItemsAreCutAndEachItemNormalised) {
  ValueList items;
  for (int i = 0; i < 250; ++i)
    items.push_back(item(i));
  ValueMap crowded = numbered("c", 30);
  crowded[Value("item_name")] = Value("kept");
  crowded[Value("price")] = Value(2.5);
  items[0] = Value(crowded);
  const ValueMap result = normalize({{Value("items"), Value(items)}}, "purchase", true);
  EXPECT_EQ(result.at(Value("_err")), Value(17));
  EXPECT_EQ(result.at(Value("_ev")), Value("items"));
  const ValueList& kept = result.at(Value("items")).asList();
  ASSERT_EQ(kept.size(), 200u);
  EXPECT_EQ(kept[199], item(199));
  const ValueMap& first = kept[0].asMap();
  EXPECT_EQ(first.size(), 27u + 2u + 1u);  // 27 custom, 2 predefined, "_err"
  EXPECT_EQ(first.at(Value("_err")), Value(28));
  EXPECT_TRUE(first.contains(Value("c026")));
  EXPECT_FALSE(first.contains(Value("c027")));
  EXPECT_EQ(first.at(Value("item_name")), Value("kept"));

  // With no custom parameters allowed inside items the code is 23.
  APMSetEventModelLimitsProvider([] {
    APMEventModelLimits limits;
    limits.maxItemScopedCustomParameters = 0;
    return limits;
  });
  const ValueMap none =
      normalize({{Value("items"), Value(ValueList{Value(numbered("c", 1))})}}, "purchase", true);
  EXPECT_EQ(none.at(Value("items")).asList()[0], Value(ValueMap{{Value("_err"), Value(23)}}));
}

TEST_F(APMEventNormalizationTest, NestedArraysInsideItemsAreDropped) {
  const Value nested(ValueMap{{Value("items"), Value(ValueList{item(0)})}, {Value("a"), Value(1)}});
  const ValueMap result = normalize({{Value("items"), Value(ValueList{nested})}}, "purchase", true);
  EXPECT_EQ(result.at(Value("items")).asList()[0], Value(ValueMap{{Value("a"), Value(1)},
                                                                  {Value("_err"), Value(22)},
                                                                  {Value("_ev"), Value("items")}}));
}

TEST_F(APMEventNormalizationTest, UnchangedParametersComeBackAsTheyWere) {
  const ValueMap given{{Value("a"), Value("x")},
                       {Value("items"), Value(ValueList{item(0), item(1)})}};
  EXPECT_EQ(normalize(given, "purchase", true), given);
  // Normalising again changes nothing.
  const ValueMap once =
      normalize({{Value("items"), Value(ValueList{Value(numbered("c", 30))})}}, "purchase", true);
  EXPECT_EQ(normalize(once, "purchase", false), once);
}

TEST_F(APMEventNormalizationTest, ConversionValueRule) {
  struct Case {
    const char* what;
    ValueMap given;
    bool valid;
    ValueMap expected;
  };
  const Case cases[] = {
      {"no value", {{Value("a"), Value(1)}}, true, {{Value("a"), Value(1)}}},
      {"value and currency",
       {{Value("value"), Value(9.5)}, {Value("currency"), Value("usd")}},
       true,
       {{Value("value"), Value(9.5)}, {Value("currency"), Value("usd")}}},
      {"no currency",
       {{Value("value"), Value(9)}},
       false,
       {{Value("_err"), Value(19)}, {Value("_ev"), Value("currency")}}},
      {"value not numeric",
       {{Value("value"), Value("9")}, {Value("currency"), Value("USD")}},
       false,
       {{Value("currency"), Value("USD")},
        {Value("_err"), Value(18)},
        {Value("_ev"), Value("value")}}},
  };
  for (const auto& c : cases) {
    ValueMap parameters = c.given;
    EXPECT_EQ(APMValidateConversionEventParameters(parameters), c.valid) << c.what;
    EXPECT_EQ(parameters, c.expected) << c.what;
  }
}

TEST_F(APMEventNormalizationTest, ErrorEventsGoToTheInstalledSink) {
  std::vector<std::tuple<std::string, std::string, ValueMap>> logged;
  APMSetInternalEventSink(
      [&logged](const std::string& origin, const std::string& name, const ValueMap& parameters) {
        logged.emplace_back(origin, name, parameters);
      });
  APMLogErrorEventWithCode(0);
  APMLogErrorEventWithCode(8);
  const Value name(repeat("n", 50));
  APMLogErrorEventWithParameters(7, name, 40, &name);
  APMLogErrorEventWithParameters(2, Value("short"), 40, &name);  // a long subject is measured
  APMLogErrorEventWithParameters(2, Value("short"), 40, nullptr);
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(std::get<0>(logged[0]), "auto");
  EXPECT_EQ(std::get<1>(logged[0]), "_err");
  EXPECT_EQ(std::get<2>(logged[0]), (ValueMap{{Value("_err"), Value(8)}}));
  EXPECT_EQ(std::get<2>(logged[1]), (ValueMap{{Value("_err"), Value(7)},
                                              {Value("_ev"), Value(repeat("n", 40) + "...")},
                                              {Value("_el"), Value(50)}}));
  EXPECT_EQ(std::get<2>(logged[2]).at(Value("_el")), Value(50));
  EXPECT_FALSE(std::get<2>(logged[3]).contains(Value("_el")));
}

TEST_F(APMEventNormalizationTest, ScreenAndZADParameterHelpers) {
  const ValueMap given{
      {Value("_sn"), Value("Home")}, {Value("zad_x"), Value(1)}, {Value("a"), Value(1)}};
  EXPECT_TRUE(APMHasScreenParameters(given));
  EXPECT_EQ(APMExtractScreenParameters(given), (ValueMap{{Value("_sn"), Value("Home")}}));
  EXPECT_EQ(APMParametersWithoutZADParams(given),
            (ValueMap{{Value("_sn"), Value("Home")}, {Value("a"), Value(1)}}));
  EXPECT_FALSE(APMHasScreenParameters({{Value("a"), Value(1)}}));
}

}  // namespace
