#include "platform/foundation/locale.h"

#include <time.h>

#include <cmath>

#include "platform/foundation/environment.h"

namespace platform {

namespace {

// "en_US.UTF-8@euro" gives "en-US"; "C", "POSIX" and "" give "".
std::string languageTag(std::string locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale == "C" || locale == "POSIX") return "";
  for (char& c : locale)
    if (c == '_') c = '-';
  return locale;
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  const auto environment = Environment::current();
  std::vector<std::string> languages;
  if (auto list = environment->nonEmpty("LANGUAGE")) {
    std::size_t start = 0;
    while (start <= list->size()) {
      const std::size_t end = std::min(list->find(':', start), list->size());
      std::string tag = languageTag(list->substr(start, end - start));
      if (!tag.empty()) languages.push_back(std::move(tag));
      start = end + 1;
    }
    if (!languages.empty()) return languages;
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto locale = environment->nonEmpty(name)) {
      std::string tag = languageTag(*locale);
      if (!tag.empty()) languages.push_back(std::move(tag));
      return languages;
    }
  }
  return languages;
}

std::string caseMappingLocale() {
  const auto environment = Environment::current();
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    if (auto locale = environment->nonEmpty(name)) {
      std::string id = locale->substr(0, locale->find_first_of(".@"));
      return id == "C" || id == "POSIX" ? std::string() : id;
    }
  }
  return {};
}

long localTimeZoneOffsetSeconds(double secondsSince1970) {
  const time_t moment = static_cast<time_t>(std::floor(secondsSince1970));
  struct tm local {};
  if (!localtime_r(&moment, &local)) return 0;
  return local.tm_gmtoff;
}

}  // namespace platform
