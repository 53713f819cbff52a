#include "platform/core/value.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/core/assertion.h"
#include "platform/core/error.h"

namespace platform {
namespace {

TEST(ValueTest, KindsStayDistinct) {
  // A boolean is not an integer and an integer is not a double, neither for equality nor order.
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(0), Value(nullptr));
  EXPECT_NE(Value(Bytes{1, 2}), Value(Int32List{1, 2}));
  EXPECT_EQ(Value(7).kind(), ValueKind::Int);
  EXPECT_EQ(Value(7u).kind(), ValueKind::Int);
  EXPECT_EQ(Value("x").kind(), ValueKind::String);
  EXPECT_EQ(Value(1.5f).kind(), ValueKind::Double);
}

TEST(ValueTest, TotalOrderAcrossKinds) {
  // Sorted by kind first, then by content; the table is in ascending order.
  std::vector<Value> ascending = {
      Value(),
      Value(false),
      Value(true),
      Value(-5),
      Value(3),
      Value(-1.5),
      Value(2.0),
      Value(NAN),
      Value(""),
      Value("a"),
      Value("ab"),
      Value("b"),
      Value(Bytes{0}),
      Value(Int32List{}),
      Value(Int64List{1}),
      Value(Float32List{1}),
      Value(Float64List{1}),
      Value::list({}),
      Value::list({1}),
      Value::list({1, 2}),
      Value::list({2}),
      Value::map({}),
      Value::map({{"a", 1}}),
      Value::map({{"a", 2}}),
      Value::map({{"b", 0}}),
      Value::date(0),
      Value(Error::make("d", 1)),
      Value(Error::make("d", 2)),
  };
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      auto c = ascending[i] <=> ascending[j];
      auto expected = i < j
                          ? std::strong_ordering::less
                          : (i == j ? std::strong_ordering::equal : std::strong_ordering::greater);
      EXPECT_TRUE(c == expected) << ascending[i].debugString() << " vs "
                                 << ascending[j].debugString();
    }
  }
}

TEST(ValueTest, DeepEqualityAndHashAgree) {
  Value a = Value::map({{"k", Value::list({1, 2.5, "s", Value(Bytes{9})})}, {1, nullptr}});
  Value b = Value::map({{1, nullptr}, {"k", Value::list({1, 2.5, "s", Value(Bytes{9})})}});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_EQ(Value(0.0), Value(-0.0));
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
  EXPECT_EQ(Value(NAN), Value(NAN));
  Value c = a;
  c.asMap()[Value("k")].asList().push_back(3);
  EXPECT_NE(a, c);  // copies are deep
}

TEST(ValueTest, DebugStringIsDeterministic) {
  Value v = Value::map({{"b", 1.0}, {"a", Value::list({true, nullptr, Value(Int32List{1, 2})})}});
  EXPECT_EQ(v.debugString(), R"({"a": [true, null, i32[1, 2]], "b": 1.0})");
  EXPECT_EQ(Value(Bytes{0xde, 0xad}).debugString(), "<dead>");
  EXPECT_EQ(Value("q\"\n").debugString(), "\"q\\\"\\n\"");
}

TEST(ValueTest, MismatchedAccessIsReportedAndYieldsEmpty) {
  ScopedAssertionCapture capture;
  const Value v(42);
  EXPECT_EQ(v.asString(), "");
  EXPECT_TRUE(v.asList().empty());
  EXPECT_EQ(capture.count(), 2u);
  EXPECT_EQ(v.ifString(), nullptr);
  EXPECT_EQ(*v.ifInt(), 42);
}

TEST(ValueTest, MapHelpers) {
  Value v;
  v.set("x", 1);
  v.set("x", 2);
  ASSERT_NE(v.find("x"), nullptr);
  EXPECT_EQ(*v.find("x"), Value(2));
  EXPECT_EQ(v.find("y"), nullptr);
  EXPECT_EQ(Value(5).find("x"), nullptr);
  EXPECT_EQ(v.size(), 1u);
}

TEST(ValueTest, EveryKindSurvivesCopyAndMoveAndReadsBack) {
  struct Probe : Object {
    std::string className() const override { return "Probe"; }
  };
  auto object = std::make_shared<Probe>();
  auto error = Error::make("domain", 7, ValueMap{{"k", "v"}});
  const std::vector<std::pair<Value, ValueKind>> table = {
      {Value(), ValueKind::Null},
      {Value(true), ValueKind::Bool},
      {Value(std::int64_t{1} << 40), ValueKind::Int},
      {Value(-2.5), ValueKind::Double},
      {Value(std::string("text\0with nul", 14)), ValueKind::String},
      {Value(Bytes{0, 255}), ValueKind::Bytes},
      {Value(Int32List{-1, 2}), ValueKind::Int32List},
      {Value(Int64List{std::int64_t{1} << 50}), ValueKind::Int64List},
      {Value(Float32List{1.5f}), ValueKind::Float32List},
      {Value(Float64List{0.25}), ValueKind::Float64List},
      {Value::list({1, Value::list({"nested"})}), ValueKind::List},
      {Value::map({{"a", Value::map({{1, 2}})}}), ValueKind::Map},
      {Value::date(1.5), ValueKind::Date},
      {Value(error), ValueKind::Error},
      {Value(ObjectPtr(object)), ValueKind::Object},
  };
  for (const auto& [original, kind] : table) {
    SCOPED_TRACE(valueKindName(kind));
    EXPECT_EQ(original.kind(), kind);
    Value copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.hash(), original.hash());
    Value moved = std::move(copy);
    EXPECT_EQ(moved, original);
    // A moved-from value may be read, copied and reassigned without harm.
    Value fromMovedOut = copy;
    EXPECT_EQ(fromMovedOut, copy);
    (void)copy.size();
    (void)copy.debugString();
    copy = original;
    EXPECT_EQ(copy, original);
  }
  EXPECT_EQ(*table[2].first.ifInt(), std::int64_t{1} << 40);
  EXPECT_EQ(table[4].first.asString().size(), 14u);
  EXPECT_EQ(table[13].first.asError()->userInfo.at(Value("k")), Value("v"));
  EXPECT_EQ(table[14].first.asObjectOf<Probe>(), object);
  // A null error or object pointer makes a null value rather than a value holding null.
  EXPECT_TRUE(Value(ErrorPtr()).isNull());
  EXPECT_TRUE(Value(ObjectPtr()).isNull());
}

TEST(ValueTest, MovedFromValueIsNullAndCanBeFilledAgain) {
  Value list = Value::list({1, 2, 3});
  Value taken = std::move(list);
  EXPECT_EQ(taken.size(), 3u);
  EXPECT_TRUE(list.isNull());
  EXPECT_EQ(list.size(), 0u);
  list = Value::list({4});
  EXPECT_EQ(list, Value::list({4}));

  Value map = Value::map({{"a", 1}});
  Value other;
  other = std::move(map);
  EXPECT_EQ(map.find("a"), nullptr);
  map.set("b", 2);
  EXPECT_EQ(map, Value::map({{"b", 2}}));
  EXPECT_EQ(other, Value::map({{"a", 1}}));
}

}  // namespace
}  // namespace platform
