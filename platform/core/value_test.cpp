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
      auto expected = i < j ? std::strong_ordering::less
                            : (i == j ? std::strong_ordering::equal : std::strong_ordering::greater);
      EXPECT_TRUE(c == expected) << ascending[i].debugString() << " vs " << ascending[j].debugString();
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

}  // namespace
}  // namespace platform
