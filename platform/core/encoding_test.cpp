#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "platform/core/base64.h"
#include "platform/core/digest.h"
#include "platform/core/random.h"
#include "platform/core/utf8.h"
#include "platform/core/uuid.h"

namespace platform {
namespace {

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

TEST(Base64Test, EncodesAndDecodesTheReferenceVectors) {
  struct Case {
    const char* plain;
    const char* encoded;
  };
  const Case cases[] = {{"", ""},
                        {"f", "Zg=="},
                        {"fo", "Zm8="},
                        {"foo", "Zm9v"},
                        {"foob", "Zm9vYg=="},
                        {"fooba", "Zm9vYmE="},
                        {"foobar", "Zm9vYmFy"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(base64Encode(std::string_view(c.plain)), c.encoded);
    EXPECT_EQ(base64Decode(c.encoded), bytesOf(c.plain));
  }
}

TEST(Base64Test, UrlSafeAlphabetAndOptionalPadding) {
  const Bytes data = {0xFB, 0xFF, 0xBF, 0xFE};
  EXPECT_EQ(base64Encode(data), "+/+//g==");
  EXPECT_EQ(base64Encode(data, Base64Alphabet::UrlSafe), "-_-__g==");
  EXPECT_EQ(base64Encode(data, Base64Alphabet::UrlSafe, false), "-_-__g");
  EXPECT_EQ(base64Decode("-_-__g", Base64Alphabet::UrlSafe), data);
  EXPECT_EQ(base64Decode("-_-__g==", Base64Alphabet::UrlSafe), data);
  // Each alphabet refuses the other's two special characters.
  EXPECT_EQ(base64Decode("-_-__g==", Base64Alphabet::Standard), std::nullopt);
  EXPECT_EQ(base64Decode("+/+//g==", Base64Alphabet::UrlSafe), std::nullopt);

  // Every byte value survives a round trip in both alphabets.
  Bytes all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<std::uint8_t>(i));
  for (auto alphabet : {Base64Alphabet::Standard, Base64Alphabet::UrlSafe}) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 255u, 256u}) {
      Bytes part(all.begin(), all.begin() + n);
      EXPECT_EQ(base64Decode(base64Encode(part, alphabet), alphabet), part);
      EXPECT_EQ(base64Decode(base64Encode(part, alphabet, false), alphabet), part);
    }
  }
}

TEST(Base64Test, MalformedInputIsRefusedWhole) {
  for (const char* bad : {"Z", "Zg=", "Zg===", "Zm9v=", "Zm9=v", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n",
                          "Zg==Zg==", "Zm9*"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(base64Decode(bad), std::nullopt);
  }
  // Skipping unknown characters lets wrapped text through, but not broken padding.
  EXPECT_EQ(base64Decode("Zm9v\r\nYmFy", Base64Alphabet::Standard, true), bytesOf("foobar"));
  EXPECT_EQ(base64Decode("Zm 9v", Base64Alphabet::Standard, true), bytesOf("foo"));
  EXPECT_EQ(base64Decode("Zg=", Base64Alphabet::Standard, true), std::nullopt);
}

TEST(DigestTest, MatchesTheReferenceVectors) {
  struct Case {
    DigestAlgorithm algorithm;
    const char* input;
    const char* hex;
  };
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const Case cases[] = {
      {DigestAlgorithm::MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestAlgorithm::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {DigestAlgorithm::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {DigestAlgorithm::SHA1, twoBlocks.c_str(), "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {DigestAlgorithm::SHA256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestAlgorithm::SHA256, twoBlocks.c_str(),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {DigestAlgorithm::SHA384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
       "34c825a7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const Bytes d = digest(c.algorithm, std::string_view(c.input));
    EXPECT_EQ(d.size(), digestLength(c.algorithm));
    EXPECT_EQ(hexString(d), c.hex);
  }
  // Binary input with zero bytes is hashed in full, not as a C string.
  EXPECT_NE(digest(DigestAlgorithm::SHA256, Bytes{0, 1}),
            digest(DigestAlgorithm::SHA256, Bytes{0}));
}

TEST(Utf8Test, AcceptsWellFormedTextAndRefusesEverythingElse) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {""sv, true},
      {"plain ascii"sv, true},
      {"\xC3\xA9t\xC3\xA9"sv, true},      // two-byte forms
      {"\xE2\x82\xAC"sv, true},           // three bytes (euro sign)
      {"\xF0\x9F\x98\x80"sv, true},       // four bytes
      {"\xF4\x8F\xBF\xBF"sv, true},       // U+10FFFF, the last code point
      {"a\0b"sv, true},                   // NUL is a character
      {"\x80"sv, false},                  // stray continuation byte
      {"\xC3"sv, false},                  // cut short at the end
      {"\xE2\x82"sv, false},              // cut short
      {"\xC3(\xA9"sv, false},             // continuation missing
      {"\xC0\xAF"sv, false},              // overlong '/'
      {"\xE0\x80\xAF"sv, false},          // overlong, three bytes
      {"\xF0\x80\x80\xAF"sv, false},      // overlong, four bytes
      {"\xED\xA0\x80"sv, false},          // surrogate U+D800
      {"\xF4\x90\x80\x80"sv, false},      // past U+10FFFF
      {"\xF8\x88\x80\x80\x80"sv, false},  // five-byte lead
      {"\xFF"sv, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isValidUtf8(c.text), c.valid) << testing::PrintToString(std::string(c.text));
  }
}

TEST(UuidTest, RandomUuidsAreVersion4AndRoundTripThroughText) {
  std::set<UUID> seen;
  for (int i = 0; i < 200; ++i) {
    const UUID id = UUID::random();
    EXPECT_EQ(id.bytes[6] >> 4, 4);
    EXPECT_EQ(id.bytes[8] & 0xC0, 0x80);
    const std::string text = id.string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(UUID::fromString(text), id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(UuidTest, ParsesEitherCaseAndRefusesEverythingElse) {
  const auto upper = UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  ASSERT_TRUE(upper);
  EXPECT_EQ(upper->bytes[0], 0xE6);
  EXPECT_EQ(upper->bytes[15], 0x5F);
  EXPECT_EQ(UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), upper);
  EXPECT_EQ(upper->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  for (const char* bad :
       {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "E621E1F8-C36C-495A-93FC+0C247A3E6E5F",
        "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(UUID::fromString(bad), std::nullopt);
  }
}

TEST(RandomTest, SeededSourceRepeatsAndNests) {
  auto draw = [] {
    std::vector<std::uint64_t> v;
    for (int i = 0; i < 4; ++i)
      v.push_back(random64());
    v.push_back(randomUniform(1000));
    return std::make_pair(v, UUID::random());
  };
  std::pair<std::vector<std::uint64_t>, UUID> first, again, other;
  {
    ScopedSeededRandom seeded(42);
    first = draw();
    {
      ScopedSeededRandom inner(43);
      other = draw();
    }
  }
  {
    ScopedSeededRandom seeded(42);
    again = draw();
  }
  EXPECT_EQ(first, again);
  EXPECT_NE(first.first, other.first);
  EXPECT_NE(first.second, other.second);
  // Back on the kernel source: no longer repeatable.
  EXPECT_NE(draw().first, draw().first);
}

TEST(RandomTest, UniformStaysInRangeAndCoversIt) {
  ScopedSeededRandom seeded(7);
  EXPECT_EQ(randomUniform(0), 0u);
  EXPECT_EQ(randomUniform(1), 0u);
  int counts[6] = {};
  for (int i = 0; i < 6000; ++i) {
    const std::uint32_t r = randomUniform(6);
    ASSERT_LT(r, 6u);
    ++counts[r];
  }
  for (int c : counts)
    EXPECT_GT(c, 800);
  for (int i = 0; i < 1000; ++i) {
    const double u = randomUnit();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(RandomTest, SecureBytesFillTheWholeBuffer) {
  // A buffer left partly unfilled would show long runs of zeros at its end.
  const Bytes a = secureRandomBytes(4096);
  const Bytes b = secureRandomBytes(4096);
  ASSERT_EQ(a.size(), 4096u);
  EXPECT_NE(a, b);
  EXPECT_NE(Bytes(a.end() - 32, a.end()), Bytes(32, 0));
  EXPECT_TRUE(secureRandomBytes(0).empty());
  const Bytes odd = randomBytes(13);
  EXPECT_EQ(odd.size(), 13u);
}

}  // namespace
}  // namespace platform
