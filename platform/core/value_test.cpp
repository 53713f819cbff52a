#include "platform/core/value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <stdexcept>

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

bool sameEntry(const std::pair<Value, Value>& a, const std::pair<const Value, Value>& b) {
  return a.first == b.first && a.second == b.second;
}

// Keys of several kinds, so the map's order is the total order across kinds, not just strings.
Value keyNumber(int i) {
  switch (i % 5) {
  case 0:
    return Value(i);
  case 1:
    return Value("k" + std::to_string(i));
  case 2:
    return Value(i * 0.5);
  case 3:
    return Value::list({i});
  default:
    return Value::map({{"n", i}});
  }
}

// Every way of changing a map, in random order, against an ordered tree map doing the same: the
// entries, their order and each answer must agree.
TEST(ValueMapTest, BehavesAsAnOrderedMapUnderRandomEdits) {
  std::mt19937 random(20261211);
  ValueMap map;
  std::map<Value, Value> model;
  for (int step = 0; step < 4000; ++step) {
    const Value key = keyNumber(static_cast<int>(random() % 300));
    const Value value(static_cast<int>(random() % 1000));
    SCOPED_TRACE("step " + std::to_string(step) + " key " + key.debugString());
    switch (random() % 8) {
    case 0: {
      auto [it, inserted] = map.emplace(key, value);
      auto [mit, minserted] = model.emplace(key, value);
      ASSERT_EQ(inserted, minserted);
      ASSERT_EQ(it->second, mit->second);
      break;
    }
    case 1:
      map[key] = value;
      model[key] = value;
      break;
    case 2:
      ASSERT_EQ(map.erase(key), model.erase(key));
      break;
    case 3: {
      auto [it, inserted] = map.insert_or_assign(key, value);
      ASSERT_EQ(inserted, model.insert_or_assign(key, value).second);
      ASSERT_EQ(it->first, key);
      break;
    }
    case 4:
      ASSERT_EQ(map.try_emplace(key, value).second, model.try_emplace(key, value).second);
      break;
    case 5: {
      // A hint anywhere, right or wrong, still puts the entry in its place.
      auto hint = map.begin() + static_cast<std::ptrdiff_t>(random() % (map.size() + 1));
      auto it = map.emplace_hint(hint, key, value);
      ASSERT_EQ(it->first, key);
      model.emplace(key, value);
      break;
    }
    case 6: {
      auto it = map.find(key);
      auto mit = model.find(key);
      ASSERT_EQ(it == map.end(), mit == model.end());
      if (it != map.end()) {
        map.erase(it);
        model.erase(mit);
      }
      break;
    }
    default: {
      ASSERT_EQ(map.contains(key), model.contains(key));
      ASSERT_EQ(map.count(key), model.count(key));
      auto lower = map.lower_bound(key);
      auto mlower = model.lower_bound(key);
      ASSERT_EQ(lower == map.end(), mlower == model.end());
      if (lower != map.end()) {
        ASSERT_EQ(lower->first, mlower->first);
      }
      auto upper = map.upper_bound(key);
      auto mupper = model.upper_bound(key);
      ASSERT_EQ(upper == map.end(), mupper == model.end());
      if (upper != map.end()) {
        ASSERT_EQ(upper->first, mupper->first);
      }
    }
    }
    ASSERT_EQ(map.size(), model.size());
  }
  ASSERT_GT(map.size(), 50u);
  std::vector<std::pair<Value, Value>> expected(model.begin(), model.end());
  std::vector<std::pair<Value, Value>> actual(map.begin(), map.end());
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(ValueMap(model.begin(), model.end()), map);
}

TEST(ValueMapTest, LookupsOfAbsentKeys) {
  ValueMap map{{"b", 2}, {"d", 4}};
  EXPECT_THROW(map.at(Value("c")), std::out_of_range);
  EXPECT_THROW(std::as_const(map).at(Value("a")), std::out_of_range);
  EXPECT_EQ(map.at(Value("d")), Value(4));
  EXPECT_EQ(map.find(Value("e")), map.end());
  EXPECT_EQ(map.lower_bound(Value("c"))->first, Value("d"));
  EXPECT_EQ(map.upper_bound(Value("d")), map.end());
  // operator[] adds a null value under a new key, in its place.
  EXPECT_TRUE(map[Value("c")].isNull());
  std::vector<Value> keys;
  for (const auto& [k, v] : map)
    keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Value>{"b", "c", "d"}));
}

// A lookup by string finds exactly the entry a lookup by Value finds, in maps whose keys mix
// every kind around the strings (kinds order before and after them) and strings that share
// prefixes, differ only in length, hold NUL or bytes above 0x7F.
TEST(ValueMapTest, StringLookupAgreesWithValueLookup) {
  const std::vector<std::string> strings = {"",
                                            "a",
                                            "ab",
                                            "abc",
                                            "b",
                                            "ba",
                                            std::string("a\0b", 3),
                                            "\x7f",
                                            "\x80",
                                            "\xff",
                                            "\xc3\xa9t\xc3\xa9",
                                            "method",
                                            "sql"};
  const std::vector<Value> others = {Value(),
                                     Value(true),
                                     Value(-3),
                                     Value(2.5),
                                     Value(Bytes{0x61}),
                                     Value::list({"a"}),
                                     Value::map({{"a", 1}}),
                                     Value::date(1)};
  // Every subset of the strings given by a stride, each with and without the other kinds.
  for (std::size_t stride = 1; stride <= 4; ++stride) {
    for (bool withOthers : {false, true}) {
      ValueMap map;
      for (std::size_t i = 0; i < strings.size(); i += stride)
        map[Value(strings[i])] = Value(static_cast<std::int64_t>(i));
      if (withOthers) {
        for (std::size_t i = 0; i < others.size(); ++i)
          map[others[i]] = Value(static_cast<std::int64_t>(100 + i));
      }
      for (const std::string& key : strings) {
        SCOPED_TRACE(::testing::PrintToString(key) + " stride " + std::to_string(stride) +
                     (withOthers ? " with other kinds" : ""));
        auto it = map.find(Value(key));
        const Value* expected = it == map.end() ? nullptr : &it->second;
        EXPECT_EQ(map.findString(key), expected);
        const Value whole(map);
        const Value* viaValue = whole.findString(key);
        if (expected) {
          ASSERT_NE(viaValue, nullptr);
          EXPECT_EQ(*viaValue, *expected);
        } else {
          EXPECT_EQ(viaValue, nullptr);
        }
      }
    }
  }
  EXPECT_EQ(ValueMap().findString("a"), nullptr);
  EXPECT_EQ(Value(1).findString("a"), nullptr);
  EXPECT_EQ(Value::list({"a"}).findString("a"), nullptr);
}

// A repeated key keeps the entry an ordered map would: the first one when inserting (the list
// form), the first key with the last value when assigning.
TEST(ValueMapTest, RepeatedKeys) {
  // -0.0 and 0.0 are the same key but show which entry was kept.
  ValueMap inserted{{0.0, "first"}, {"x", 1}, {-0.0, "second"}};
  ASSERT_EQ(inserted.size(), 2u);
  EXPECT_FALSE(std::signbit(*inserted.begin()->first.ifDouble()));
  EXPECT_EQ(inserted.at(Value(0.0)), Value("first"));

  struct Case {
    const char* name;
    ValueMap::Repeated repeated;
    const char* value;
  };
  for (const auto& c : {Case{"keep last", ValueMap::Repeated::KeepLast, "third"},
                        Case{"keep first", ValueMap::Repeated::KeepFirst, "first"}}) {
    SCOPED_TRACE(c.name);
    ValueMap::container_type entries;
    entries.emplace_back(Value("z"), Value(1));
    entries.emplace_back(Value(-0.0), Value("first"));
    entries.emplace_back(Value("a"), Value(2));
    entries.emplace_back(Value(0.0), Value("second"));
    entries.emplace_back(Value(0.0), Value("third"));
    ValueMap map = ValueMap::fromEntries(std::move(entries), c.repeated);
    ASSERT_EQ(map.size(), 3u);
    EXPECT_TRUE(std::signbit(*map.begin()->first.ifDouble()));
    EXPECT_EQ(map.at(Value(0.0)), Value(c.value));
    EXPECT_EQ(map, (ValueMap{{0.0, c.value}, {"a", 2}, {"z", 1}}));
  }
}

// A large map out of order, with repeats, equals the one built by assigning each entry in turn;
// nested maps keep their own order.
TEST(ValueMapTest, FromEntriesOfALargeShuffledMap) {
  std::mt19937 random(7);
  ValueMap::container_type entries;
  std::map<Value, Value> model;
  for (int i = 0; i < 20000; ++i) {
    Value key = keyNumber(static_cast<int>(random() % 15000));
    Value value = Value::map({{Value(static_cast<int>(random() % 100)), i}, {"i", i}});
    model[key] = value;
    entries.emplace_back(std::move(key), std::move(value));
  }
  ValueMap map = ValueMap::fromEntries(std::move(entries));
  ASSERT_EQ(map.size(), model.size());
  EXPECT_TRUE(std::equal(map.begin(), map.end(), model.begin(), model.end(), sameEntry));
  EXPECT_TRUE(std::is_sorted(map.begin(), map.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
}

TEST(ValueMapTest, CopiesAreDeepAndMovesLeaveNull) {
  Value original = Value::map({{"inner", Value::map({{1, "one"}})}, {"list", Value::list({1})}});
  Value copy = original;
  copy.asMap()[Value("inner")].asMap()[Value(2)] = Value("two");
  EXPECT_EQ(original.find("inner")->size(), 1u);
  EXPECT_EQ(copy.find("inner")->size(), 2u);
  ValueList holder;
  holder.push_back(std::move(copy));
  EXPECT_TRUE(copy.isNull());
  // The list grows while its first element is a map: the map moves with it, whole.
  for (int i = 0; i < 100; ++i)
    holder.push_back(Value::map({{i, i}}));
  EXPECT_EQ(*holder[0].find("inner")->find(2), Value("two"));
}

}  // namespace
}  // namespace platform
