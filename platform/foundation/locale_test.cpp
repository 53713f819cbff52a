#include "platform/foundation/locale.h"

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/environment.h"

namespace platform {
namespace {

TEST(LocaleTest, CaseMappingLocaleFromTheEnvironment) {
  struct Case {
    std::optional<std::string> all, ctype, lang;
    std::string expected;
  } cases[] = {
      {"tr_TR.UTF-8", "de_DE", "fr_FR", "tr_TR"},
      {std::nullopt, "tr_TR@latin", "fr_FR", "tr_TR"},
      {"", "", "az_AZ.UTF-8", "az_AZ"},
      {"C", "tr_TR", "tr_TR", ""},
      {std::nullopt, "POSIX", "tr_TR", ""},
      {std::nullopt, std::nullopt, "C.UTF-8", ""},
      {std::nullopt, std::nullopt, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    ScopedEnvironmentForTesting env({{"LC_ALL", c.all}, {"LC_CTYPE", c.ctype}, {"LANG", c.lang}});
    EXPECT_EQ(caseMappingLocale(), c.expected)
        << c.all.value_or("-") << " " << c.ctype.value_or("-") << " " << c.lang.value_or("-");
  }
}

TEST(LocaleTest, PreferredLanguagesFromTheEnvironment) {
  using Languages = std::vector<std::string>;
  struct Case {
    std::optional<std::string> language, all, messages, lang;
    Languages expected;
  } cases[] = {
      {"en_US:fr", std::nullopt, std::nullopt, "de_DE.UTF-8", {"en-US", "fr"}},
      {std::nullopt, std::nullopt, std::nullopt, "de_DE.UTF-8", {"de-DE"}},
      {std::nullopt, std::nullopt, "pt_BR@euro", "de_DE", {"pt-BR"}},
      {std::nullopt, "C", "pt_BR", "de_DE", {}},
      {std::nullopt, std::nullopt, std::nullopt, "POSIX", {}},
      {"", std::nullopt, std::nullopt, "it_IT.UTF-8", {"it-IT"}},
      {"C::", std::nullopt, std::nullopt, "it", {"it"}},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    ScopedEnvironmentForTesting env({{"LANGUAGE", c.language},
                                     {"LC_ALL", c.all},
                                     {"LC_MESSAGES", c.messages},
                                     {"LANG", c.lang}});
    EXPECT_EQ(preferredLanguages(), c.expected)
        << c.language.value_or("-") << " " << c.lang.value_or("-");
  }
}

// The C library reads TZ itself, so this test sets the live variable and restores it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_)
      ::setenv("TZ", previous_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

TEST(LocaleTest, LocalOffsetFollowsTheZoneRulesAtTheMoment) {
  struct Case {
    const char* zone;
    double moment;
    long offset;
  } cases[] = {
      {"UTC-5:30", 1700000000, 19800},
      {"UTC+3:30", 1700000000, -12600},
      {"UTC0", 0, 0},
      // Central European time: winter +1 h, summer +2 h.
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1704067200, 3600},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1719792000, 7200},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(localTimeZoneOffsetSeconds(c.moment), c.offset) << c.zone << " at " << c.moment;
  }
}

}  // namespace
}  // namespace platform
