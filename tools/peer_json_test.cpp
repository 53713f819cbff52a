#include "tools/peer_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumora::peer {
namespace {

using nlohmann::json;
using platform::Value;

TEST(PeerJsonTest, ValuesHaveAFaithfulJsonForm) {
  struct Case {
    const char* name;
    Value value;
    const char* json;
  };
  const Case cases[] = {
      {"integer", Value(1), "1"},
      {"double keeps its fraction", Value(1.0), "1.0"},
      {"infinite double", Value(-std::numeric_limits<double>::infinity()),
       R"({"$double":"-Infinity"})"},
      {"string map", Value::map({{"a", Value::list({Value(), true})}}), R"({"a":[null,true]})"},
      {"integer keys", Value::map({{1, "x"}}), R"({"$map":[[1,"x"]]})"},
      {"dollar key", Value::map({{"$uint8", 1}}), R"({"$map":[["$uint8",1]]})"},
      {"bytes", Value(platform::Bytes{0, 255}), R"({"$uint8":"00ff"})"},
      {"int32 list", Value(platform::Int32List{-1}), R"({"$int32":[-1]})"},
      {"int64 list", Value(platform::Int64List{1LL << 40}), R"({"$int64":[1099511627776]})"},
      {"float32 list", Value(platform::Float32List{0.5f}), R"({"$float32":[0.5]})"},
      {"float64 list", Value(platform::Float64List{2.0}), R"({"$float64":[2.0]})"},
      {"plugin type byte", Value(std::make_shared<ExtensionValue>(129, Value::list({1}))),
       R"({"$ext":129,"value":[1]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toJson(c.value).dump(), c.json);
    EXPECT_EQ(fromJson(json::parse(c.json)), c.value);
  }
  // NaN cannot compare equal to itself; check its kind and form instead.
  Value nan = fromJson(json::parse(R"({"$double":"NaN"})"));
  ASSERT_TRUE(nan.isDouble());
  EXPECT_TRUE(std::isnan(nan.asDouble()));
}

TEST(PeerJsonTest, RefusesFormsThatAreNotValues) {
  const char* cases[] = {
      R"({"$uint8":"abc"})",   R"({"$int32":[4294967296]})",
      R"({"$map":[[1]]})",     R"({"$ext":12,"value":null})",
      R"({"$what":1})",        "18446744073709551615",
      R"({"$float64":["x"]})",
  };
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    EXPECT_THROW(fromJson(json::parse(c)), std::invalid_argument);
  }
}

TEST(PeerJsonTest, PeerCodecCarriesPluginTypeBytesThrough) {
  // A record under type byte 130 written by some plugin: 130, then the list [1].
  const platform::Bytes bytes = {12, 1, 130, 12, 1, 3, 1, 0, 0, 0};
  auto decoded = peerCodec()->decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(toJson(*decoded).dump(), R"([{"$ext":130,"value":[1]}])");
  EXPECT_EQ(peerCodec()->encode(*decoded), bytes);
  EXPECT_EQ(fromHex("0a FF"), (platform::Bytes{10, 255}));
  EXPECT_FALSE(fromHex("0g").has_value());
  EXPECT_FALSE(fromHex("abc").has_value());
}

// Values the peer cannot interpret still meet as map keys (a plugin's record as a key): keys
// equal by content are one entry, however many copies were made and wherever they sit in memory.
TEST(PeerJsonTest, ExtensionValuesEqualByContentAreOneMapKey) {
  auto ext = [](int typeByte, Value value) {
    return Value(std::make_shared<ExtensionValue>(static_cast<std::uint8_t>(typeByte), value));
  };
  platform::ValueMap map;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i)
      map[ext(129 + i % 2, Value::list({i % 5}))] = Value(round);
  }
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(map.count(ext(130, Value::list({3}))), 1u);
  EXPECT_EQ(map.count(ext(131, Value::list({3}))), 0u);
  auto a = ext(129, Value("x")), b = ext(129, Value("x")), c = ext(129, Value("y"));
  EXPECT_TRUE((a <=> b) == 0 && a == b && a.hash() == b.hash());
  EXPECT_TRUE(((a <=> c) < 0) == ((c <=> a) > 0));
  EXPECT_NE(a, c);
}

}  // namespace
}  // namespace lumora::peer
