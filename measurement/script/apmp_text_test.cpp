#include "measurement/script/apmp_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_context.h"

namespace {

// Every occurrence of `needle` in `text`, by trying each start (plain texts only).
std::vector<std::size_t> naiveMatches(const std::u16string& text, const std::u16string& needle) {
  std::vector<std::size_t> out;
  for (std::size_t at = 0; at + needle.size() <= text.size(); ++at) {
    if (text.compare(at, needle.size(), needle) == 0) out.push_back(at);
  }
  return out;
}

// Texts over a two-letter alphabet hit every partial-match case of the search; needles longer
// than the library-find threshold take the linear search.
TEST(APMPCanonicalSearchTest, PlainSearchesAgreeWithTryingEveryStart) {
  std::mt19937 random(7);
  auto text = [&](std::size_t n) {
    std::u16string s;
    for (std::size_t i = 0; i < n; ++i)
      s.push_back(random() % 4 == 0 ? u'b' : u'a');
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    const std::u16string haystack = text(50 + random() % 400);
    std::u16string needle = text(1 + random() % 120);
    if (round % 3 == 0) needle = haystack.substr(random() % 50, 65 + random() % 40);
    const std::vector<std::size_t> all = naiveMatches(haystack, needle);
    const APMPCanonicalSearch search(haystack, needle);
    for (std::size_t from = 0; from <= haystack.size(); from += 1 + random() % 23) {
      std::optional<std::size_t> expected;
      for (std::size_t at : all) {
        if (at >= from) {
          expected = at;
          break;
        }
      }
      const auto found = search.next(from);
      ASSERT_EQ(found ? std::optional<std::size_t>(found->start) : std::nullopt, expected)
          << "next from " << from << " needle length " << needle.size();

      const std::size_t limit = std::min(haystack.size(), from + needle.size());
      std::optional<std::size_t> expectedLast;
      for (std::size_t at : all) {
        if (at <= from && at + needle.size() <= limit) expectedLast = at;
      }
      const auto last = search.last(from, limit);
      ASSERT_EQ(last ? std::optional<std::size_t>(last->start) : std::nullopt, expectedLast)
          << "last from " << from << " needle length " << needle.size();
    }
  }
}

TEST(APMPCanonicalSearchTest, CanonicalMatchesMapBackToTheReceiversCharacters) {
  const std::u16string composed = u"\u00e9";  // é
  const std::u16string decomposedE = u"e\u0301";
  struct Case {
    std::u16string haystack, needle;
    std::optional<std::size_t> start, length;
  } cases[] = {
      {u"xe\u0301y", composed, 1, 2},
      {u"x\u00e9y", decomposedE, 1, 1},
      {u"x\u00e9y", u"e", std::nullopt, std::nullopt},
      {u"xe\u0301y", u"e", std::nullopt, std::nullopt},
      // A long needle (the linear search) in a text that needs normalizing.
      {u"ab" + std::u16string(100, u'\u00e9') + u"c", std::u16string(99, u'\u00e9') + u"c", 3, 100},
  };
  for (const Case& c : cases) {
    const auto found = APMPCanonicalSearch(c.haystack, c.needle).next(0);
    ASSERT_EQ(found.has_value(), c.start.has_value())
        << std::string(c.needle.begin(), c.needle.end());
    if (found) {
      EXPECT_EQ(found->start, *c.start);
      EXPECT_EQ(found->length, *c.length);
    }
  }
  // The last of overlapping canonical matches.
  const std::u16string text = u"e\u0301\u00e9e\u0301";
  const auto last = APMPCanonicalSearch(text, composed + composed).last(text.size(), text.size());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->start, 2u);
  EXPECT_EQ(last->length, 3u);
}

// A needle that almost matches at every position: a search that restarts its comparison at each
// position needs about 2^38 steps here (minutes, inside one script instruction).
TEST(APMPCanonicalSearchTest, AlmostMatchingLongNeedlesAreSearchedInLinearTime) {
  const std::size_t n = std::size_t{1} << 19;
  const std::u16string plain(2 * n, u'a');
  const std::u16string plainNeedle = std::u16string(n, u'a') + u"b";
  EXPECT_FALSE(APMPCanonicalSearch(plain, plainNeedle).next(0));
  EXPECT_FALSE(APMPCanonicalSearch(plain, plainNeedle).last(2 * n, 2 * n));

  const std::u16string accented(n, u'\u00e9');
  const std::u16string accentedNeedle(n / 64, u'\u00e9');
  const APMPCanonicalSearch search(accented, accentedNeedle);
  EXPECT_EQ(search.next(0)->start, 0u);
  EXPECT_EQ(search.last(n, n)->start, n - n / 64);
}

// Holes add only separators; the joined text is still bounded by the string cap.
TEST(APMPJoinTest, SeparatorsAloneCannotPassTheStringCap) {
  const APMPRef<APMPArrayValue> holes = APMPMake<APMPArrayValue>();
  APMPContext grow;
  ASSERT_TRUE(holes->setLength(4096, grow));
  APMPContext ctx;
  const std::u16string separator(APMPMaxStringLength / 2048, u'-');
  EXPECT_EQ(holes->stringValueWithSeparator(separator, ctx), u"");
  EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);

  APMPContext fits;
  EXPECT_EQ(holes->stringValueWithSeparator(u"", fits), u"");
  EXPECT_FALSE(fits.failed());
}

}  // namespace
