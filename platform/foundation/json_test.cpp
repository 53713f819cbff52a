#include "platform/foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/foundation_errors.h"

namespace platform {
namespace {

TEST(JSON, RoundTripsEveryJSONKind) {
  Value v = Value::map({
      {"null", Value()},
      {"bools", Value::list({true, false})},
      {"ints", Value::list({0, -1, INT64_MAX, INT64_MIN})},
      {"reals", Value::list({0.5, -2.25e-8, 1e300})},
      {"text", "quote \" backslash \\ slash / tab \t nl \n bell \x07 \xE2\x82\xAC"},
      {"nested",
       Value::map({{"empty list", Value::emptyList()}, {"empty map", Value::emptyMap()}})},
  });
  for (bool pretty : {false, true}) {
    for (bool slashes : {false, true}) {
      JSONWriteOptions o;
      o.prettyPrinted = pretty;
      o.escapeSlashes = slashes;
      ErrorPtr error;
      auto text = dataWithJSONObject(v, &error, o);
      ASSERT_TRUE(text) << error->localizedDescription();
      EXPECT_EQ(JSONObjectWithData(*text), v) << *text;
    }
  }
}

TEST(JSON, ExactOutput) {
  struct Case {
    Value value;
    JSONWriteOptions options;
    std::string expected;
  };
  JSONWriteOptions slashes;
  slashes.escapeSlashes = true;
  JSONWriteOptions pretty;
  pretty.prettyPrinted = true;
  JSONWriteOptions fragment;
  fragment.allowFragments = true;
  const Case cases[] = {
      {Value::map({{"b", 1}, {"a", "x/y"}}), {}, R"({"a":"x/y","b":1})"},
      {Value::map({{"a", "x/y"}}), slashes, R"({"a":"x\/y"})"},
      {Value::list({3.0, 0.1, -0.0, 1e21, 2.5e-7, 9007199254740993.0}),
       {},
       "[3,0.1,-0,1e+21,2.5e-07,9007199254740992]"},
      {Value::list({std::string("\x01\x1f"), "\xC3\xA9"}), {}, "[\"\\u0001\\u001f\",\"\xC3\xA9\"]"},
      {Value::map({{"k", Value::list({1, 2})}, {"e", Value::emptyList()}}), pretty,
       "{\n  \"e\" : [],\n  \"k\" : [\n    1,\n    2\n  ]\n}"},
      {Value("alone"), fragment, "\"alone\""},
  };
  for (const Case& c : cases) {
    ErrorPtr error;
    auto text = dataWithJSONObject(c.value, &error, c.options);
    ASSERT_TRUE(text) << c.value.debugString();
    EXPECT_EQ(*text, c.expected);
  }
}

TEST(JSON, NumbersKeepTheirKindOnReading) {
  auto v = JSONObjectWithData(R"([1, 1.0, -0, 1e2, 18446744073709551615, -9223372036854775808])");
  ASSERT_TRUE(v);
  const auto& l = v->asList();
  EXPECT_EQ(l[0], Value(1));
  EXPECT_EQ(l[1], Value(1.0));
  EXPECT_EQ(l[2], Value(0));
  EXPECT_EQ(l[3], Value(100.0));
  EXPECT_EQ(l[4], Value(18446744073709551615.0));
  EXPECT_EQ(l[5], Value(INT64_MIN));
}

// Members come in any order and a repeated key keeps its last value, in nested objects too; an
// object of many members in descending order reads whole.
TEST(JSON, ObjectsTakeMembersInAnyOrder) {
  auto v = JSONObjectWithData(
      R"({"b": 1, "a": {"y": 2, "x": 3, "y": 4}, "b": 5, "c": [{"z": 0, "a": 1}]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value::map({{"a", Value::map({{"x", 3}, {"y", 4}})},
                            {"b", 5},
                            {"c", Value::list({Value::map({{"a", 1}, {"z", 0}})})}}));

  std::string text = "{";
  for (int i = 20000; i > 0; --i)
    text += "\"" + std::to_string(100000 + i) + "\":" + std::to_string(i) + (i > 1 ? "," : "}");
  auto big = JSONObjectWithData(text);
  ASSERT_TRUE(big);
  ASSERT_EQ(big->size(), 20000u);
  EXPECT_EQ(big->asMap().begin()->first, Value("100001"));
  EXPECT_EQ(*big->find("120000"), Value(20000));
}

TEST(JSON, RefusesNestingPastTheBoundAndMalformedInput) {
  JSONReadOptions o;
  o.maxDepth = 10;
  std::string ok(10, '['), deep(11, '[');
  ok += std::string(10, ']');
  deep += std::string(11, ']');
  EXPECT_TRUE(JSONObjectWithData(ok, nullptr, o));
  ErrorPtr error;
  EXPECT_FALSE(JSONObjectWithData(deep, &error, o));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kPropertyListReadCorruptError);
  // The default bound stops a hostile document long before the stack would.
  EXPECT_FALSE(JSONObjectWithData(std::string(1000000, '[')));

  JSONReadOptions small;
  small.maxBytes = 4;
  EXPECT_FALSE(JSONObjectWithData("[1,2,3]", nullptr, small));

  for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "[1] x", "\"fragment\"", "7",
                          "[\"\xC3\x28\"]", "[1e999]", "{'a':1}", "[01]", "[NaN]"}) {
    ErrorPtr e;
    EXPECT_FALSE(JSONObjectWithData(bad, &e)) << bad;
    ASSERT_TRUE(e) << bad;
    EXPECT_EQ(e->code, kPropertyListReadCorruptError) << bad;
  }
  JSONReadOptions fragments;
  fragments.allowFragments = true;
  EXPECT_EQ(JSONObjectWithData("\"fragment\"", nullptr, fragments), Value("fragment"));
}

TEST(JSON, RefusesValuesWithoutAJSONForm) {
  for (const Value& v :
       {Value::list({Bytes{1}}), Value::list({Value::date(0)}), Value::map({{1, 2}}),
        Value::list({std::nan("")}), Value::list({HUGE_VAL}), Value::list({std::string("\xFF")}),
        Value::list({Value(Int32List{1})}), Value("top-level string")}) {
    ErrorPtr error;
    EXPECT_FALSE(dataWithJSONObject(v, &error)) << v.debugString();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
    EXPECT_FALSE(isValidJSONObject(v));
  }
}

}  // namespace
}  // namespace platform
