#include "platform/foundation/regular_expression.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using platform::RegularExpression;

TEST(RegularExpressionTest, SearchesTextWithICUSyntax) {
  struct Case {
    const char* pattern;
    std::string text;
    bool found;
  };
  const Case cases[] = {
      // Anchored: only whole texts count.
      {"^_ltv_[A-Z]{3}$", "_ltv_EUR", true},
      {"^_ltv_[A-Z]{3}$", "_ltv_eur", false},
      {"^_ltv_[A-Z]{3}$", "_ltv_EURO", false},
      {"^_ltv_[A-Z]{3}$", "x_ltv_EUR", false},
      {"^_cc[1-5]{1}$", "_cc5", true},
      {"^_cc[1-5]{1}$", "_cc6", false},
      {"^_cc[1-5]{1}$", "_cc11", false},
      // Unanchored: a match anywhere.
      {"b+c", "aabbbcd", true},
      {"b+c", "acb", false},
      // Text beyond ASCII is searched by code point.
      {"^\\p{L}{2}$", "\xC3\xA9\xC3\xA8", true},
      {"^.$", "\xF0\x9F\x98\x80", true},
      // Text that is not UTF-8 finds nothing.
      {".", "\xFF\xFE", false},
      {"x", "", false},
  };
  for (const auto& c : cases) {
    const auto re = RegularExpression::make(c.pattern);
    ASSERT_TRUE(re) << c.pattern;
    EXPECT_EQ(re->pattern(), c.pattern);
    EXPECT_EQ(re->findsMatchIn(c.text), c.found) << c.pattern << " in " << c.text;
  }
}

TEST(RegularExpressionTest, RefusedPatternsNameTheReason) {
  for (const char* pattern : {"(", "[a-", "a{2,1}", "\xFF"}) {
    std::string error;
    EXPECT_FALSE(RegularExpression::make(pattern, &error)) << pattern;
    EXPECT_FALSE(error.empty()) << pattern;
  }
}

TEST(RegularExpressionTest, CatastrophicBacktrackingEndsWithoutAMatch) {
  const auto re = RegularExpression::make("^(a+)+$");
  ASSERT_TRUE(re);
  EXPECT_TRUE(re->findsMatchIn("aaaa"));
  // Exponential without a budget; the time limit ends it.
  EXPECT_FALSE(re->findsMatchIn(std::string(64, 'a') + "b"));
}

TEST(RegularExpressionTest, OneExpressionServesManyThreads) {
  const auto re = RegularExpression::make("^_cc[1-5]$");
  ASSERT_TRUE(re);
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int digit = (i + t) % 9 + 1;
        if (re->findsMatchIn("_cc" + std::to_string(digit)) != (digit <= 5)) ++wrong[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

}  // namespace
