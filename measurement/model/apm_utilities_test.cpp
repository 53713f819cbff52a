#include "measurement/model/apm_utilities.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using platform::Bytes;
using platform::Value;

TEST(APMUtilities, DigestsAndTheirLowBits) {
  EXPECT_EQ(apm_64LeastSignificantBits(Bytes{}), 0u);
  EXPECT_EQ(apm_64LeastSignificantBits(Bytes{1, 2, 3}), 66051u);
  Bytes sixteen;
  for (std::uint8_t i = 0; i < 16; ++i)
    sixteen.push_back(i);
  EXPECT_EQ(apm_64LeastSignificantBits(sixteen), 0x08090a0b0c0d0e0fu);
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String("\xff"), std::nullopt);
  // MD5("abc") bytes 8..15 are 0xd6963f7d28e17f72.
  EXPECT_EQ(apm_64LSBMD5(Bytes{'a', 'b', 'c'}), 0xd6963f7d28e17f72u);
  EXPECT_EQ(apm_MD5Data(Bytes{}).size(), 16u);
}

TEST(APMUtilities, RandomIntegersVary) {
  std::set<std::int64_t> seen;
  for (int i = 0; i < 16; ++i)
    seen.insert(APMNumericUtil::randomInt64());
  EXPECT_GT(seen.size(), 14u);
}

TEST(APMUtilities, BitStrings) {
  struct Case {
    const char* bits;
    std::int64_t index;
    bool enabled;
  };
  const Case cases[] = {{"0101", 1, true},
                        {"0101", 0, false},
                        {"0101", 3, true},
                        {"0101", 4, false},
                        {"0101", -1, false},
                        {"", 0, false},
                        // One astral code point takes two UTF-16 units.
                        {"\xF0\x9F\x98\x80"
                         "1",
                         2, true},
                        {"\xF0\x9F\x98\x80"
                         "1",
                         1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bits) + " @ " + std::to_string(c.index));
    EXPECT_EQ(isBitEnabledAtIndex(c.bits, c.index), c.enabled);
  }
}

TEST(APMUtilities, Unescaping) {
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%20c"), "a b c");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%zz"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%FF"), std::nullopt);        // not UTF-8
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%ED%A0%80"), std::nullopt);  // a surrogate
}

TEST(APMUtilities, QueryStrings) {
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a=1&a=2&b"),
            (platform::ValueMap{{Value("a"), Value("1")}, {Value("b"), Value("")}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("k=v=w&&x=%zz&c+d=e%26f"),
            (platform::ValueMap{{Value("k"), Value("v=w")},
                                {Value("x"), Value("")},
                                {Value("c d"), Value("e&f")}}));
  EXPECT_TRUE(apm_dictionaryWithHttpArgumentsString("").empty());
  EXPECT_EQ(apm_queryString({{Value("app_instance_id"), Value("a b/c?d&e=f+g")},
                             {Value("gmp_version"), Value(111500)},
                             {Value("\xC3\xA9"), Value("#%")}}),
            "app_instance_id=a%20b/c?d&e=f+g&gmp_version=111500&%C3%A9=%23%25");
}

}  // namespace
