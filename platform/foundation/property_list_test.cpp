#include "platform/foundation/property_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/core/error.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/testing/expanding_property_list_for_testing.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace platform {
namespace {

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// One value of every kind a property list can hold, nested.
Value everyKind() {
  ValueMap inner;
  inner["empty list"] = Value::emptyList();
  inner["empty map"] = Value::emptyMap();
  inner["empty string"] = "";
  inner["empty data"] = Bytes{};
  return Value::map({
      {"true", true},
      {"false", false},
      {"small", 7},
      {"negative", -5},
      {"int64 min", INT64_MIN},
      {"int64 max", INT64_MAX},
      {"real", 0.1},
      {"negative real", -1.5e300},
      {"string", "plain & <escaped> \"text\"\n\ttabbed"},
      {"unicode", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"control", std::string("bell\x07") + "end"},
      {"data", Bytes{0, 1, 2, 0xFE, 0xFF}},
      {"date", Value::date(1709208000)},  // 2024-02-29T12:00:00Z, whole seconds
      {"old date", Value::date(-1000000000)},
      {"list", Value::list({1, "two", 3.5, Value::list({Value::emptyMap()})})},
      {"nested", Value(inner)},
  });
}

class PropertyListFormats : public ::testing::TestWithParam<PropertyListFormat> {};

TEST_P(PropertyListFormats, RoundTripsEveryKind) {
  ErrorPtr error;
  auto data = dataFromPropertyList(everyKind(), GetParam(), &error);
  ASSERT_TRUE(data) << error->localizedDescription();
  PropertyListFormat detected{};
  auto back = propertyListFromData(*data, &error, &detected);
  ASSERT_TRUE(back) << error->localizedDescription();
  EXPECT_EQ(*back, everyKind());
  EXPECT_EQ(detected, GetParam());
}

TEST_P(PropertyListFormats, RoundTripsNonMapRootsAndSpecialReals) {
  for (const Value& v : {Value("just a string"), Value(42), Value(Value::list({})), Value(HUGE_VAL),
                         Value(-HUGE_VAL)}) {
    auto data = dataFromPropertyList(v, GetParam());
    ASSERT_TRUE(data);
    EXPECT_EQ(propertyListFromData(*data), v);
  }
  auto nan = propertyListFromData(*dataFromPropertyList(Value(std::nan("")), GetParam()));
  ASSERT_TRUE(nan && nan->isDouble());
  EXPECT_TRUE(std::isnan(nan->asDouble()));
}

TEST_P(PropertyListFormats, RefusesValuesWithoutAPropertyListForm) {
  const Value refused[] = {
      Value(),
      Value(Int32List{1, 2}),
      Value::map({{1, "integer key"}}),
      Value::list({1, Value()}),
      Value(std::string("\xC3\x28")),  // not UTF-8
      Value(Error::make("d", 1)),
  };
  for (const Value& v : refused) {
    ErrorPtr error;
    EXPECT_FALSE(dataFromPropertyList(v, GetParam(), &error)) << v.debugString();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
    EXPECT_FALSE(isPropertyListValue(v));
  }
}

TEST_P(PropertyListFormats, DamagedDataIsAnErrorNeverACrash) {
  auto data = *dataFromPropertyList(everyKind(), GetParam());
  // Every truncation and every single-byte corruption must come back as a value or an error.
  for (std::size_t len = 0; len < data.size(); ++len) {
    Bytes cut(data.begin(), data.begin() + len);
    ErrorPtr error;
    auto v = propertyListFromData(cut, &error);
    if (!v) {
      EXPECT_EQ(error->code, kPropertyListReadCorruptError);
    }
  }
  for (std::size_t i = 0; i < data.size(); ++i) {
    for (std::uint8_t b : {0x00, 0x0F, 0x7F, 0xFF}) {
      Bytes damaged = data;
      damaged[i] = b;
      ErrorPtr error;
      auto v = propertyListFromData(damaged, &error);
      if (!v) {
        EXPECT_EQ(error->code, kPropertyListReadCorruptError);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Both, PropertyListFormats,
                         ::testing::Values(PropertyListFormat::Xml, PropertyListFormat::Binary));

TEST(PropertyList, BinaryKeepsSubsecondDatesXmlKeepsWholeSeconds) {
  Value d = Value::date(1709208000.25);
  EXPECT_EQ(propertyListFromData(*dataFromPropertyList(d, PropertyListFormat::Binary)), d);
  EXPECT_EQ(propertyListFromData(*dataFromPropertyList(d, PropertyListFormat::Xml)),
            Value::date(1709208000));
}

TEST(PropertyList, ReadsHandWrittenXml) {
  auto v = propertyListFromData(bytesOf(R"(<?xml version="1.0"?>
<!-- a comment -->
<plist version="1.0"><dict>
  <key>a</key><integer> 0x10 </integer>
  <key>b</key><string>x &amp; &#x41;&#66;<![CDATA[<raw>]]></string>
  <key>c</key><date>2000-02-29T23:59:59Z</date>
  <key>d</key><data>
    AAEC
    /w==
  </data>
  <key>e</key><string/>
</dict></plist>)"));
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value::map({{"a", 16},
                            {"b", "x & AB<raw>"},
                            {"c", Value::date(951868799)},
                            {"d", Bytes{0, 1, 2, 0xFF}},
                            {"e", ""}}));
}

TEST(PropertyList, RefusesMalformedInput) {
  // A binary list whose only object, an array, holds itself.
  Bytes cycle = bytesOf("bplist00");
  Bytes tail = {0xA1, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0,
                1,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10};
  cycle.insert(cycle.end(), tail.begin(), tail.end());
  // An array reference that points past the object table.
  Bytes badRef = cycle;
  badRef[9] = 0x05;
  const Bytes cases[] = {
      {},
      bytesOf("hello world"),
      bytesOf("bplist00"),
      cycle,
      badRef,
      bytesOf("<plist><dict><key>a</key></dict></plist>"),
      bytesOf("<plist><dict><string>a</string><true/></dict></plist>"),
      bytesOf("<plist><integer>99999999999999999999</integer></plist>"),
      bytesOf("<plist><integer>12abc</integer></plist>"),
      bytesOf("<plist><date>2023-02-29T00:00:00Z</date></plist>"),
      bytesOf("<plist><data>!!!</data></plist>"),
      bytesOf("<plist><string>a &bogus; b</string></plist>"),
      bytesOf("<plist><array><true/></plist>"),
      bytesOf("<plist><true/></plist><extra/>"),
      bytesOf("<plist><set/></plist>"),
      // The writers refuse such a key; a domain holding one could never be written back.
      bytesOf("<plist><dict><key>\xC3\x28</key><true/></dict></plist>"),
      bytesOf("<plist><dict><key><![CDATA[\xFF]]></key><true/></dict></plist>"),
  };
  for (const Bytes& data : cases) {
    ErrorPtr error;
    EXPECT_FALSE(propertyListFromData(data, &error)) << std::string(data.begin(), data.end());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kFoundationErrorDomain);
    EXPECT_EQ(error->code, kPropertyListReadCorruptError);
  }
}

TEST(PropertyList, FilesRoundTripAndADamagedFileIsReportedWithItsPath) {
  ScratchDirForTesting dir;
  std::string path = dir / "x.plist";
  ASSERT_TRUE(writePropertyListFile(path, everyKind(), PropertyListFormat::Binary));
  EXPECT_EQ(readPropertyListFile(path), everyKind());

  auto data = *FileManager::defaultManager().contentsAtPath(path);
  data.resize(data.size() - 5);  // torn tail: the trailer is gone
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(path, data));
  ErrorPtr error;
  EXPECT_FALSE(readPropertyListFile(path, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kPropertyListReadCorruptError);
  EXPECT_EQ(error->userInfo.at(Value(kFilePathErrorKey)), Value(path));

  EXPECT_FALSE(readPropertyListFile(dir / "missing.plist", &error));
  EXPECT_EQ(error->code, kFileReadNoSuchFileError);
}

TEST(PropertyList, RefusesNestingPastTheBound) {
  std::string deep;
  for (int i = 0; i < kPropertyListMaxDepth + 5; ++i)
    deep += "<array>";
  for (int i = 0; i < kPropertyListMaxDepth + 5; ++i)
    deep += "</array>";
  EXPECT_FALSE(propertyListFromData(bytesOf(deep)));

  Value v = Value::emptyList();
  for (int i = 0; i < kPropertyListMaxDepth + 5; ++i)
    v = Value::list({v});
  EXPECT_FALSE(dataFromPropertyList(v, PropertyListFormat::Binary));
}

TEST(PropertyList, SharedObjectsThatExpandPastTheBudgetAreRefused) {
  // 13 KB on disk, about 10^25 bytes as copies.
  const Bytes bomb = expandingPropertyListForTesting("root");
  ASSERT_LT(bomb.size(), 14000u);
  for (const Bytes& data : {bomb, expandingPropertyListForTesting()}) {
    ErrorPtr error;
    EXPECT_FALSE(propertyListFromData(data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kPropertyListReadCorruptError);
    EXPECT_NE(error->localizedDescription().find("size limit"), std::string::npos);
  }
  // Sharing itself is fine while the copies stay small: 100 x 100 references to 100 bytes.
  auto modest = propertyListFromData(expandingPropertyListForTesting("root", 2, 100, 100));
  ASSERT_TRUE(modest);
  EXPECT_EQ(modest->asMap().at(Value("root")).asList().size(), 100u);
  EXPECT_EQ(modest->asMap().at(Value("root")).asList()[99].asList()[99],
            Value(std::string(100, 'x')));
}

TEST(PropertyList, WhatTheReadersAcceptTheWritersCanWrite) {
  const char* xml[] = {
      "<plist><dict><key>caf\xC3\xA9</key><string>&#1;&#x10FFFF;</string></dict></plist>",
      "<plist><dict><key>&#233;</key><array><data>AAE=</data><real>nan</real></array></dict>"
      "</plist>",
      "<plist><dict><key/><dict/></dict></plist>",
  };
  for (const char* text : xml) {
    auto v = propertyListFromData(bytesOf(text));
    ASSERT_TRUE(v) << text;
    EXPECT_EQ(propertyListProblem(*v), "") << text;
    for (auto format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
      EXPECT_TRUE(dataFromPropertyList(*v, format)) << text;
    }
  }
}

}  // namespace
}  // namespace platform
