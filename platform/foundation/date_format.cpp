#include "platform/foundation/date_format.h"

#include <cmath>
#include <cstdio>

namespace platform {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the classic era-based
// conversion; exact for every year representable here).
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

bool isLeap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(std::int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// Whole seconds toward the past, refusing values no calendar field can hold.
bool floorSeconds(double s, std::int64_t* out) {
  if (!std::isfinite(s) || std::fabs(s) > 3.0e14) return false;  // about +-9.5 million years
  *out = static_cast<std::int64_t>(std::floor(s));
  return true;
}

bool readDigits(std::string_view text, std::size_t* pos, int width, std::int64_t* value) {
  if (*pos + width > text.size()) return false;
  std::int64_t v = 0;
  for (int i = 0; i < width; ++i) {
    char c = text[*pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *pos += width;
  *value = v;
  return true;
}

std::string twoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string zoneText(int offset) {
  if (offset == 0) return "Z";
  char buf[16];
  int a = std::abs(offset);
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
  return buf;
}

// "Z", "+hh:mm", "+hhmm" or "+hh"; returns the offset in seconds.
bool readZone(std::string_view text, std::size_t* pos, int* offset) {
  if (*pos < text.size() && text[*pos] == 'Z') {
    ++*pos;
    *offset = 0;
    return true;
  }
  if (*pos >= text.size() || (text[*pos] != '+' && text[*pos] != '-')) return false;
  int sign = text[*pos] == '-' ? -1 : 1;
  ++*pos;
  std::int64_t h = 0, m = 0;
  if (!readDigits(text, pos, 2, &h)) return false;
  if (*pos < text.size() && text[*pos] == ':') ++*pos;
  if (*pos < text.size() && !readDigits(text, pos, 2, &m)) return false;
  if (h > 23 || m > 59) return false;
  *offset = sign * static_cast<int>(h * 3600 + m * 60);
  return true;
}

}  // namespace

CivilTime civilTimeFromSeconds(std::int64_t s) {
  std::int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  std::int64_t rest = s - days * 86400;
  CivilTime t;
  civilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

std::optional<std::int64_t> secondsFromCivilTime(const CivilTime& t) {
  if (t.year < -9999999 || t.year > 9999999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > daysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59) {
    return std::nullopt;
  }
  return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

Date startOfDayGMT(Date d) {
  std::int64_t s = 0;
  if (!floorSeconds(d.secondsSince1970, &s)) return d;
  std::int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  return Date{static_cast<double>(days * 86400)};
}

// The shared formatters are never destroyed: queue threads may still format while the process
// runs its exit handlers.
std::string iso8601String(Date d) {
  static const DateFormatter* const formatter = new DateFormatter("yyyy-MM-dd'T'HH:mm:ssZ");
  return formatter->stringFromDate(d);
}

std::optional<Date> dateFromISO8601String(std::string_view text) {
  std::size_t pos = 0;
  CivilTime t;
  std::int64_t v = 0;
  auto expect = [&](char c) {
    if (pos < text.size() && text[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  };
  if (!readDigits(text, &pos, 4, &t.year) || !expect('-')) return std::nullopt;
  if (!readDigits(text, &pos, 2, &v) || !expect('-')) return std::nullopt;
  t.month = static_cast<int>(v);
  if (!readDigits(text, &pos, 2, &v) || !expect('T')) return std::nullopt;
  t.day = static_cast<int>(v);
  if (!readDigits(text, &pos, 2, &v) || !expect(':')) return std::nullopt;
  t.hour = static_cast<int>(v);
  if (!readDigits(text, &pos, 2, &v) || !expect(':')) return std::nullopt;
  t.minute = static_cast<int>(v);
  if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
  t.second = static_cast<int>(v);
  double fraction = 0;
  if (expect('.')) {
    double scale = 0.1;
    std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  int offset = 0;
  if (!readZone(text, &pos, &offset) || pos != text.size()) return std::nullopt;
  auto seconds = secondsFromCivilTime(t);
  if (!seconds) return std::nullopt;
  return Date{static_cast<double>(*seconds - offset) + fraction};
}

DateFormatter::DateFormatter(std::string_view pattern, int gmtOffsetSeconds)
    : offset_(gmtOffsetSeconds) {
  std::size_t i = 0;
  auto addLiteral = [this](std::string text) {
    if (!tokens_.empty() && tokens_.back().field == Field::Literal) {
      tokens_.back().literal += text;
    } else {
      tokens_.push_back({Field::Literal, std::move(text)});
    }
  };
  while (i < pattern.size()) {
    char c = pattern[i];
    std::size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c)
      ++run;
    if (c == '\'') {
      // Quoted literal; '' is a single quote.
      std::size_t end = pattern.find('\'', i + 1);
      if (end == i + 1) {
        addLiteral("'");
        i += 2;
        continue;
      }
      if (end == std::string_view::npos) end = pattern.size();
      addLiteral(std::string(pattern.substr(i + 1, end - i - 1)));
      i = end + 1;
      continue;
    }
    Field f = Field::Literal;
    switch (c) {
    case 'y':
      f = Field::Year;
      break;
    case 'M':
      f = Field::Month;
      break;
    case 'd':
      f = Field::Day;
      break;
    case 'H':
      f = Field::Hour;
      break;
    case 'm':
      f = Field::Minute;
      break;
    case 's':
      f = Field::Second;
      break;
    case 'S':
      f = Field::Millis;
      break;
    case 'Z':
      f = Field::Zone;
      break;
    default:
      break;
    }
    if (f == Field::Literal) {
      addLiteral(std::string(pattern.substr(i, run)));
    } else {
      tokens_.push_back({f, {}});
    }
    i += run;
  }
}

const DateFormatter& DateFormatter::dayFormatter() {
  static const DateFormatter* const f = new DateFormatter("yyyy-MM-dd");
  return *f;
}

const DateFormatter& DateFormatter::dateTimeFormatter() {
  static const DateFormatter* const f = new DateFormatter("yyyy-MM-dd'T'HH:mm:ss");
  return *f;
}

std::string DateFormatter::stringFromDate(Date d) const {
  double local = d.secondsSince1970 + offset_;
  std::int64_t whole = 0;
  if (!floorSeconds(local, &whole)) return {};
  int millis = static_cast<int>(std::floor((local - static_cast<double>(whole)) * 1000.0));
  if (millis > 999) millis = 999;
  CivilTime t = civilTimeFromSeconds(whole);
  std::string out;
  for (const Token& tok : tokens_) {
    switch (tok.field) {
    case Field::Literal:
      out += tok.literal;
      break;
    case Field::Year: {
      char buf[32];
      std::snprintf(buf, sizeof buf, t.year < 0 ? "-%04lld" : "%04lld",
                    static_cast<long long>(t.year < 0 ? -t.year : t.year));
      out += buf;
      break;
    }
    case Field::Month:
      out += twoDigits(t.month);
      break;
    case Field::Day:
      out += twoDigits(t.day);
      break;
    case Field::Hour:
      out += twoDigits(t.hour);
      break;
    case Field::Minute:
      out += twoDigits(t.minute);
      break;
    case Field::Second:
      out += twoDigits(t.second);
      break;
    case Field::Millis: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%03d", millis);
      out += buf;
      break;
    }
    case Field::Zone:
      out += zoneText(offset_);
      break;
    }
  }
  return out;
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
  std::size_t pos = 0;
  CivilTime t;
  std::int64_t v = 0;
  int millis = 0;
  int offset = offset_;
  for (const Token& tok : tokens_) {
    switch (tok.field) {
    case Field::Literal:
      if (text.substr(pos, tok.literal.size()) != tok.literal) return std::nullopt;
      pos += tok.literal.size();
      break;
    case Field::Year:
      if (!readDigits(text, &pos, 4, &t.year)) return std::nullopt;
      break;
    case Field::Month:
      if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
      t.month = static_cast<int>(v);
      break;
    case Field::Day:
      if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
      t.day = static_cast<int>(v);
      break;
    case Field::Hour:
      if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
      t.hour = static_cast<int>(v);
      break;
    case Field::Minute:
      if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
      t.minute = static_cast<int>(v);
      break;
    case Field::Second:
      if (!readDigits(text, &pos, 2, &v)) return std::nullopt;
      t.second = static_cast<int>(v);
      break;
    case Field::Millis:
      if (!readDigits(text, &pos, 3, &v)) return std::nullopt;
      millis = static_cast<int>(v);
      break;
    case Field::Zone:
      if (!readZone(text, &pos, &offset)) return std::nullopt;
      break;
    }
  }
  if (pos != text.size()) return std::nullopt;
  auto seconds = secondsFromCivilTime(t);
  if (!seconds) return std::nullopt;
  return Date{static_cast<double>(*seconds - offset) + millis / 1000.0};
}

}  // namespace platform
