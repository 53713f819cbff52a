#include "platform/engine/standard_codec.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/engine/method_codec.h"

namespace flutter {
namespace {

using platform::Bytes;
using platform::Value;

Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct Fixture {
  const char* name;
  Value value;
  Bytes bytes;
};

// Written out by hand from the format, not produced by the encoder.
std::vector<Fixture> byteFixtures() {
  return {
      {"true", Value(true), hex("01")},
      {"false", Value(false), hex("02")},
      {"null inside a list", Value::list({Value()}), hex("0c 01 00")},
      {"small int as int32", Value(1), hex("03 01000000")},
      {"negative int32", Value(-1), hex("03 ffffffff")},
      {"int32 minimum", Value(std::numeric_limits<std::int32_t>::min()), hex("03 00000080")},
      {"int32 maximum", Value(std::numeric_limits<std::int32_t>::max()), hex("03 ffffff7f")},
      {"just above int32 as int64", Value(std::int64_t(1) << 31), hex("04 00000080 00000000")},
      {"just below int32 as int64", Value(-(std::int64_t(1) << 31) - 1),
       hex("04 ffffff7f ffffffff")},
      {"double aligned to 8", Value(1.0), hex("06 00000000000000 000000000000f03f")},
      {"string", Value("hi"), hex("07 02 6869")},
      {"utf8 string counts bytes", Value("\xc3\xa9"), hex("07 02 c3a9")},
      {"empty string", Value(""), hex("07 00")},
      {"uint8 list is not aligned", Value(Bytes{1, 2, 3}), hex("08 03 010203")},
      {"int32 list aligned to 4", Value(platform::Int32List{1, -2}),
       hex("09 02 0000 01000000 feffffff")},
      {"int64 list aligned to 8", Value(platform::Int64List{1}),
       hex("0a 01 000000000000 0100000000000000")},
      {"float32 list aligned to 4", Value(platform::Float32List{1.0f}), hex("0e 01 0000 0000803f")},
      {"float64 list aligned to 8", Value(platform::Float64List{0.5}),
       hex("0b 01 000000000000 000000000000e03f")},
      {"empty float64 list still aligns", Value(platform::Float64List{}),
       hex("0b 00 000000000000")},
      {"list of string and int", Value::list({"a", 1}), hex("0c 02 07 01 61 03 01000000")},
      // Alignment counts from the start of the message, not of the value.
      {"double already aligned inside a list", Value::list({1, 2.0}),
       hex("0c 02 03 01000000 06 0000000000000040")},
      {"double padded inside a list", Value::list({true, 2.0}),
       hex("0c 02 01 06 00000000 0000000000000040")},
      {"nested map and list", Value::map({{"a", Value::list({true, Value::emptyMap()})}}),
       hex("0d 01 07 01 61 0c 02 01 0d 00")},
      {"map with integer key", Value::map({{1, "x"}}), hex("0d 01 03 01000000 07 01 78")},
  };
}

TEST(StandardCodecTest, EncodesAndDecodesHandWrittenFixtures) {
  auto codec = StandardMessageCodec::sharedInstance();
  for (const auto& f : byteFixtures()) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(codec->encode(f.value), f.bytes);
    std::string error;
    auto decoded = codec->decode(f.bytes, &error);
    ASSERT_TRUE(decoded.has_value()) << error;
    EXPECT_EQ(*decoded, f.value);
  }
}

TEST(StandardCodecTest, SizePrefixesAtTheirBoundaries) {
  struct Case {
    std::size_t length;
    Bytes prefix;
  };
  const Case cases[] = {
      {253, hex("07 fd")},
      {254, hex("07 fe fe00")},
      {65535, hex("07 fe ffff")},
      {65536, hex("07 ff 00000100")},
  };
  auto codec = StandardMessageCodec::sharedInstance();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::string text(c.length, 'x');
    text.back() = 'y';
    Bytes encoded = codec->encode(Value(text));
    ASSERT_EQ(encoded.size(), c.prefix.size() + c.length);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + c.prefix.size()), c.prefix);
    auto decoded = codec->decode(encoded);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, Value(text));
  }
  // The same prefixes hold for element counts.
  platform::ValueList list(254, Value(true));
  Bytes encoded = codec->encode(Value(list));
  EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 4), hex("0c fe fe00"));
}

TEST(StandardCodecTest, NullIsTheEmptyMessage) {
  auto codec = StandardMessageCodec::sharedInstance();
  EXPECT_TRUE(codec->encode(Value()).empty());
  auto decoded = codec->decode({});
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->isNull());
}

TEST(StandardCodecTest, RefusesMalformedMessages) {
  Bytes deep;
  for (int i = 0; i < kMaxCodecNestingDepth + 1; ++i) {
    deep.push_back(0x0c);
    deep.push_back(0x01);
  }
  deep.push_back(0x00);
  const std::pair<const char*, Bytes> cases[] = {
      {"unknown type byte 5", hex("05")},
      {"unknown type byte 15", hex("0f")},
      {"plugin type byte without a plugin codec", hex("81 00")},
      {"truncated int32", hex("03 0100")},
      {"truncated int64", hex("04 01000000")},
      {"double without its padding", hex("06 00")},
      {"string longer than the message", hex("07 05 61")},
      {"truncated size prefix", hex("07 fe 01")},
      {"list count beyond the message", hex("0c 05 00")},
      {"map missing its value", hex("0d 01 01")},
      {"forged typed list count", hex("0b ff ffffff7f 0000")},
      {"forged byte list count", hex("08 ff ffffff7f")},
      {"trailing bytes", hex("01 01")},
      {"nesting too deep", deep},
  };
  auto codec = StandardMessageCodec::sharedInstance();
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    std::string error;
    EXPECT_FALSE(codec->decode(bytes, &error).has_value());
    EXPECT_FALSE(error.empty());
  }
}

// Other writers may send map keys in any order and more than once: every key is kept in the
// value's order and a repeated key keeps its last value, whatever that value is.
TEST(StandardCodecTest, MapsTakeKeysInAnyOrderAndKeepTheLastOfARepeatedKey) {
  const Fixture cases[] = {
      {"keys in descending order", Value::map({{"a", 1}, {"b", 2}}),
       hex("0d 02 07 01 62 03 02000000 07 01 61 03 01000000")},
      {"repeated key", Value::map({{"a", 2}}),
       hex("0d 02 07 01 61 03 01000000 07 01 61 03 02000000")},
      {"repeated key with container values", Value::map({{"a", Value::list({false, Value()})}}),
       hex("0d 02 07 01 61 0c 01 01 07 01 61 0c 02 02 00")},
      {"repeated key then a later key", Value::map({{"a", 2}, {"b", 3}}),
       hex("0d 03 07 01 61 03 01000000 07 01 61 03 02000000 07 01 62 03 03000000")},
      {"an earlier key repeated", Value::map({{"a", 2}, {"b", 3}}),
       hex("0d 03 07 01 62 03 01000000 07 01 61 03 02000000 07 01 62 03 03000000")},
      {"repeated key inside a nested map", Value::list({Value::map({{1, "y"}}), true}),
       hex("0c 02 0d 02 03 01000000 07 01 78 03 01000000 07 01 79 01")},
  };
  auto codec = StandardMessageCodec::sharedInstance();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    auto decoded = codec->decode(c.bytes, &error);
    ASSERT_TRUE(decoded.has_value()) << error;
    EXPECT_EQ(*decoded, c.value);
  }
  // A repeated key whose last value is cut short is still refused.
  EXPECT_FALSE(codec->decode(hex("0d 02 07 01 61 01 07 01 61 03 0100")).has_value());
}

bool sameEntry(const std::pair<Value, Value>& a, const std::pair<const Value, Value>& b) {
  return a.first == b.first && a.second == b.second;
}

// The same rules hold for a map past the one-byte size, with keys of mixed kinds shuffled and
// repeated and maps nested in its values: the result is what assigning each entry in turn makes.
TEST(StandardCodecTest, LargeShuffledMapsWithRepeatedKeys) {
  std::mt19937 random(16);
  std::vector<std::pair<Value, Value>> entries;
  std::map<Value, Value> model;
  for (int i = 0; i < 3000; ++i) {
    int n = static_cast<int>(random() % 2000);
    Value key = n % 3 == 0   ? Value(n)
                : n % 3 == 1 ? Value("key " + std::to_string(n))
                             : Value(n * 0.5);
    Value value = i % 4 == 0 ? Value::map({{"i", i}, {Value(n), Value::list({n, "x"})}}) : Value(i);
    model[key] = value;
    entries.emplace_back(std::move(key), std::move(value));
  }
  Bytes message;
  StandardWriter writer(message);
  writer.writeByte(13);
  writer.writeSize(entries.size());
  for (const auto& [k, v] : entries) {
    writer.writeValue(k);
    writer.writeValue(v);
  }
  std::string error;
  auto decoded = StandardMessageCodec::sharedInstance()->decode(message, &error);
  ASSERT_TRUE(decoded.has_value()) << error;
  const platform::ValueMap* map = decoded->ifMap();
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->size(), model.size());
  EXPECT_TRUE(std::equal(map->begin(), map->end(), model.begin(), model.end(), sameEntry));
  // Written back, the keys ascend and each appears once.
  EXPECT_EQ(StandardMessageCodec::sharedInstance()->decode(
                StandardMessageCodec::sharedInstance()->encode(*decoded)),
            decoded);
}

// Writers and readers of plugin codecs may align to any size; the format's own sizes are powers
// of two.
TEST(StandardCodecTest, AlignmentPadsToAnyRequestedSize) {
  const struct {
    std::size_t start;
    std::size_t alignment;
    std::size_t padding;
  } cases[] = {
      {1, 8, 7}, {8, 8, 0}, {5, 4, 3}, {1, 3, 2}, {3, 3, 0}, {4, 6, 2}, {5, 1, 0}, {5, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + " to " + std::to_string(c.alignment));
    Bytes data(c.start, 0xaa);
    StandardWriter writer(data);
    writer.writeAlignment(c.alignment);
    EXPECT_EQ(data.size(), c.start + c.padding);

    Bytes message(c.start + c.padding + 1, 0);
    StandardReader reader(message.data(), message.size());
    for (std::size_t i = 0; i < c.start; ++i)
      reader.readByte();
    reader.readAlignment(c.alignment);
    EXPECT_EQ(reader.position(), c.start + c.padding);
  }
}

// A message that is one list of `count` copies of `element` (already encoded).
Bytes listOf(std::size_t count, const Bytes& element) {
  Bytes message = {0x0c, 0xff};
  for (int shift = 0; shift < 32; shift += 8)
    message.push_back(static_cast<std::uint8_t>(count >> shift));
  message.reserve(message.size() + count * element.size());
  for (std::size_t i = 0; i < count; ++i)
    message.insert(message.end(), element.begin(), element.end());
  return message;
}

// Bytes the heap holds right now (the allocator's own count; sanitizers replace the allocator).
std::optional<std::size_t> heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return std::nullopt;
#else
  return mallinfo2().uordblks;
#endif
}

TEST(StandardCodecTest, DecodedMemoryStaysWithinABoundOfTheMessageSize) {
  struct Case {
    const char* name;
    Bytes element;
    bool refused;
  };
  const Case cases[] = {
      {"nulls", hex("00"), false},
      {"booleans", hex("01"), false},
      {"empty lists", hex("0c 00"), false},
      {"lists of one null", hex("0c 01 00"), false},
      {"empty maps", hex("0d 00"), true},
      {"maps of one entry", hex("0d 01 00 00"), true},
      {"strings past the inline length", hex("07 10 61616161616161616161616161616161"), false},
  };
  auto codec = StandardMessageCodec::sharedInstance();
  const std::size_t messageBytes = 2u << 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes message = listOf(messageBytes / c.element.size(), c.element);
    auto before = heapInUse();
    std::string error;
    auto decoded = codec->decode(message, &error);
    ASSERT_EQ(decoded.has_value(), !c.refused) << error;
    if (c.refused) {
      EXPECT_EQ(error, "message expands past the decoding memory bound");
      continue;
    }
    EXPECT_EQ(decoded->size(), messageBytes / c.element.size());
    if (auto after = heapInUse()) {
      // Threads left by other tests of this binary may free memory meanwhile, so the heap can
      // shrink across the decoding: only growth counts (an unsigned difference would wrap).
      EXPECT_LT(*after > *before ? *after - *before : 0, 50 * message.size());
    }
  }
}

TEST(StandardCodecTest, RefusesValuesWithoutAnEncoding) {
  auto codec = StandardMessageCodec::sharedInstance();
  EXPECT_THROW(codec->encode(Value::date(5)), CodecError);
  EXPECT_THROW(codec->encode(Value::list({1, Value::date(5)})), CodecError);
}

TEST(StandardCodecTest, RoundTripsMixedValues) {
  platform::ValueMap map;
  for (int i = 0; i < 100; ++i) {
    Value v;
    switch (i % 7) {
    case 0:
      v = Value(i * 1000003LL * 1000003LL);
      break;
    case 1:
      v = Value(i + 0.25);
      break;
    case 2:
      v = Value("value " + std::to_string(i));
      break;
    case 3:
      v = Value(i % 2 == 0);
      break;
    case 4:
      v = Value::list({i, "x", Value(), Value(platform::Float64List{1.5, -2})});
      break;
    case 5:
      v = Value(Bytes(static_cast<std::size_t>(i), 7));
      break;
    case 6:
      v = Value::map({{i, Value(platform::Int32List{i, -i})}});
      break;
    }
    map[Value("key" + std::to_string(i))] = v;
  }
  map[Value(-3.5)] = Value(std::numeric_limits<double>::infinity());
  auto codec = StandardMessageCodec::sharedInstance();
  auto decoded = codec->decode(codec->encode(Value(map)));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, Value(map));
}

// A plugin's codec: records under type byte 129, nested anywhere in standard containers.
class Point : public platform::Object {
 public:
  Point(std::int64_t x, std::int64_t y) : x(x), y(y) {}
  bool isEqual(const Object& other) const override {
    auto p = dynamic_cast<const Point*>(&other);
    return p && p->x == x && p->y == y;
  }
  std::int64_t x, y;
};

class PointWriter : public StandardWriter {
 public:
  using StandardWriter::StandardWriter;
  void writeValue(const Value& value) override {
    if (auto p = value.asObjectOf<Point>()) {
      writeByte(129);
      writeValue(Value::list({p->x, p->y}));
      return;
    }
    StandardWriter::writeValue(value);
  }
};

class PointReader : public StandardReader {
 public:
  using StandardReader::StandardReader;
  Value readValueOfType(std::uint8_t type) override {
    if (type == 129) {
      Value fields = readValue();
      if (!fields.isList() || fields.size() != 2) throw CodecError("bad point");
      return Value(std::make_shared<Point>(fields.asList()[0].asInt(), fields.asList()[1].asInt()));
    }
    return StandardReader::readValueOfType(type);
  }
};

class PointReaderWriter : public StandardReaderWriter {
 public:
  std::unique_ptr<StandardWriter> writerWithData(Bytes& data) const override {
    return std::make_unique<PointWriter>(data);
  }
  std::unique_ptr<StandardReader> readerWithData(const Bytes& data) const override {
    return std::make_unique<PointReader>(data.data(), data.size());
  }
};

TEST(StandardCodecTest, PluginTypeBytesExtendTheCodecInsideContainers) {
  auto codec = StandardMessageCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>());
  Value message = Value::list({Value(std::make_shared<Point>(1, 2)), "tail"});
  Bytes bytes = codec->encode(message);
  EXPECT_EQ(bytes, hex("0c 02 81 0c 02 03 01000000 03 02000000 07 04 7461696c"));
  auto decoded = codec->decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  auto point = decoded->asList()[0].asObjectOf<Point>();
  ASSERT_TRUE(point);
  EXPECT_EQ(point->x, 1);
  EXPECT_EQ(point->y, 2);
  // The plugin's unknown type bytes still fall through to the standard reader's refusal.
  EXPECT_FALSE(codec->decode(hex("82 00")).has_value());
  // Its method codec uses the same reader and writer.
  auto methods = StandardMethodCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>());
  auto response = methods->decodeEnvelope(methods->encodeSuccessEnvelope(message));
  ASSERT_TRUE(response && response->isSuccess());
  EXPECT_TRUE(response->value().asList()[0].asObjectOf<Point>());
}

// A reader subclass that reads nothing its own way: its containers take the general path
// (every element through the virtual readValueOfType), which the plain reader's in-place
// scalars must match input for input.
class DeferringReader : public StandardReader {
 public:
  using StandardReader::StandardReader;
  Value readValueOfType(std::uint8_t type) override {
    return StandardReader::readValueOfType(type);
  }
};

// Reads strings upper-cased: a subclass may take over a standard type byte, at any depth.
class UpperCaseReader : public StandardReader {
 public:
  using StandardReader::StandardReader;
  Value readValueOfType(std::uint8_t type) override {
    if (type != static_cast<std::uint8_t>(StandardField::String)) {
      return StandardReader::readValueOfType(type);
    }
    std::string text = readUTF8();
    for (char& c : text)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Value(std::move(text));
  }
};

template <class Reader> class ReaderWriterOf : public StandardReaderWriter {
 public:
  std::unique_ptr<StandardReader> readerWithData(const Bytes& data) const override {
    return std::make_unique<Reader>(data.data(), data.size());
  }
};

// `depth` lists around `inner`.
Bytes nestedInLists(int depth, const Bytes& inner) {
  Bytes out;
  for (int i = 0; i < depth; ++i) {
    out.push_back(0x0c);
    out.push_back(0x01);
  }
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

TEST(StandardCodecTest, ScalarsInsideContainersDecodeAsThroughTheGeneralPath) {
  std::vector<std::pair<std::string, Bytes>> cases = {
      {"scalars in a list", hex("0c 06 00 01 02 03 ffffffff 04 0100000000000080 07 02 6869")},
      {"double after padding in a list", hex("0c 02 01 06 00000000 0000000000000040")},
      {"long string in a map",
       hex("0d 01 07 01 6b 07 14 3031323334353637383930313233343536373839")},
      {"map with scalar keys out of order and repeated",
       hex("0d 04 07 01 62 01 03 07000000 02 07 01 61 00 07 01 62 03 05000000")},
      {"nested containers", hex("0d 01 07 01 61 0c 03 0c 01 00 0d 01 03 01000000 06 "
                                "000000000000000000000000f03f 08 02 0102")},
      {"truncated int32 in a list", hex("0c 01 03 0100")},
      {"truncated int64 in a map", hex("0d 01 07 01 61 04 01000000")},
      {"double without its padding in a list", hex("0c 01 06 00")},
      {"string past the end in a map", hex("0d 01 07 05 61")},
      {"list ends before its element", hex("0c 02 01")},
      {"unknown type byte in a list", hex("0c 01 05")},
      {"plugin type byte in a map", hex("0d 01 81 00")},
  };
  // Containers nest at most kMaxCodecNestingDepth deep, counting the scalar inside them.
  for (const auto& [name, scalar] : {std::pair<std::string, Bytes>{"nil", hex("00")},
                                     {"true", hex("01")},
                                     {"int32", hex("03 01000000")},
                                     {"string", hex("07 01 61")}}) {
    cases.push_back(
        {name + " at the deepest level", nestedInLists(kMaxCodecNestingDepth - 1, scalar)});
    cases.push_back({name + " one level too deep", nestedInLists(kMaxCodecNestingDepth, scalar)});
  }
  cases.push_back({"map value one level too deep",
                   nestedInLists(kMaxCodecNestingDepth - 1, hex("0d 01 07 01 61 03 01000000"))});

  auto plain = StandardMessageCodec::sharedInstance();
  auto general = StandardMessageCodec::codecWithReaderWriter(
      std::make_shared<ReaderWriterOf<DeferringReader>>());
  int accepted = 0;
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    std::string plainError, generalError;
    auto fromPlain = plain->decode(bytes, &plainError);
    auto fromGeneral = general->decode(bytes, &generalError);
    EXPECT_EQ(fromPlain, fromGeneral);
    EXPECT_EQ(plainError, generalError);
    if (fromPlain) {
      ++accepted;
    } else {
      EXPECT_FALSE(plainError.empty());
    }
  }
  // Both outcomes are exercised: the first five and the deepest-level cases decode.
  EXPECT_EQ(accepted, 9);
  Value deepest(7);
  for (int i = 0; i < kMaxCodecNestingDepth - 1; ++i)
    deepest = Value::list({deepest});
  auto decoded = plain->decode(nestedInLists(kMaxCodecNestingDepth - 1, hex("03 07000000")));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, deepest);
}

TEST(StandardCodecTest, SubclassReadersReadStandardTypeBytesTheirOwnWayAtAnyDepth) {
  auto codec = StandardMessageCodec::codecWithReaderWriter(
      std::make_shared<ReaderWriterOf<UpperCaseReader>>());
  Value message = Value::map({{"key", Value::list({"abc", 1, Value::map({{"x", "yz"}})})}});
  auto decoded = codec->decode(codec->encode(message));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, Value::map({{"KEY", Value::list({"ABC", 1, Value::map({{"X", "YZ"}})})}}));
}

TEST(StandardMethodCodecTest, EnvelopesAndCallsMatchTheFormat) {
  auto codec = StandardMethodCodec::sharedInstance();
  EXPECT_EQ(codec->encodeMethodCall({"m", Value()}), hex("07 01 6d 00"));
  EXPECT_EQ(codec->encodeMethodCall({"m", Value(1)}), hex("07 01 6d 03 01000000"));
  EXPECT_EQ(codec->encodeSuccessEnvelope(Value(1)), hex("00 03 01000000"));
  EXPECT_EQ(codec->encodeSuccessEnvelope(Value()), hex("00 00"));
  EXPECT_EQ(codec->encodeErrorEnvelope(Error{"c", std::nullopt, {}}), hex("01 07 01 63 00 00"));
  EXPECT_EQ(codec->encodeErrorEnvelope(Error{"c", "m", Value(true)}),
            hex("01 07 01 63 07 01 6d 01"));

  auto call = codec->decodeMethodCall(hex("07 06 6c6973746576 0d 00"));
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->method, "listev");
  EXPECT_EQ(call->arguments, Value::emptyMap());

  auto notImplemented = codec->decodeEnvelope({});
  ASSERT_TRUE(notImplemented.has_value());
  EXPECT_TRUE(notImplemented->isNotImplemented());
  auto error = codec->decodeEnvelope(hex("01 07 01 63 07 01 6d 01"));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, MethodResponse(Error{"c", "m", Value(true)}));
}

TEST(StandardMethodCodecTest, RefusesMalformedCallsAndEnvelopes) {
  auto codec = StandardMethodCodec::sharedInstance();
  const std::pair<const char*, Bytes> calls[] = {
      {"method name not a string", hex("03 01000000 00")},
      {"arguments missing", hex("07 01 6d")},
      {"trailing bytes", hex("07 01 6d 00 00")},
  };
  for (const auto& [name, bytes] : calls) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(codec->decodeMethodCall(bytes).has_value());
  }
  const std::pair<const char*, Bytes> envelopes[] = {
      {"unknown flag", hex("02 00")},
      {"error code not a string", hex("01 03 01000000 00 00")},
      {"error message not a string", hex("01 07 01 63 01 00")},
      {"error missing details", hex("01 07 01 63 00")},
      {"success missing value", hex("00")},
  };
  for (const auto& [name, bytes] : envelopes) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(codec->decodeEnvelope(bytes).has_value());
  }
}

}  // namespace
}  // namespace flutter
