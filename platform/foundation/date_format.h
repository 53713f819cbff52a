// Stands in for the platform's date formatter with the POSIX locale and a fixed offset from
// GMT, plus the date arithmetic the rest of the host needs: seconds since 1970 and since the
// 2001-01-01 reference date, ISO-8601 text in GMT and the start of a GMT day.
//
// Calendar: proleptic Gregorian, fixed offset from GMT (no daylight-saving rules). Patterns
// understand yyyy, MM, dd, HH, mm, ss, SSS (milliseconds), Z / ZZZZZ ("Z" for GMT, else
// "+hh:mm"), quoted literals ('T') and plain punctuation. Parsing is strict: every field must
// have its full width and a valid value (no 30 February, no hour 24), and nothing may follow.
// A DateFormatter is immutable after construction and may be used from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/value.h"

namespace platform {

// Seconds between 1970-01-01 and the 2001-01-01 reference date, both midnight GMT.
inline constexpr double kTimeIntervalBetween1970AndReferenceDate = 978307200.0;

inline double timeIntervalSinceReferenceDate(Date d) {
  return d.secondsSince1970 - kTimeIntervalBetween1970AndReferenceDate;
}
inline Date dateWithTimeIntervalSinceReferenceDate(double seconds) {
  return Date{seconds + kTimeIntervalBetween1970AndReferenceDate};
}

// Midnight GMT of the day that holds `d`.
Date startOfDayGMT(Date d);

// Calendar fields of a date in GMT (fractional seconds dropped toward the past).
struct CivilTime {
  std::int64_t year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};
CivilTime civilTimeFromSeconds(std::int64_t secondsSince1970);
// Seconds since 1970 for valid fields; nullopt when a field is out of range.
std::optional<std::int64_t> secondsFromCivilTime(const CivilTime& t);

// "yyyy-MM-dd'T'HH:mm:ssZ" in GMT, for example "2024-02-29T12:00:00Z".
std::string iso8601String(Date d);
// Accepts "yyyy-MM-dd'T'HH:mm:ss" with optional fraction and a "Z" or "+hh:mm" suffix.
std::optional<Date> dateFromISO8601String(std::string_view text);

class DateFormatter {
 public:
  // `gmtOffsetSeconds` is the fixed time zone of both formatting and parsing.
  explicit DateFormatter(std::string_view pattern, int gmtOffsetSeconds = 0);

  // Patterns in common use, all GMT.
  static const DateFormatter& dayFormatter();       // "yyyy-MM-dd"
  static const DateFormatter& dateTimeFormatter();  // "yyyy-MM-dd'T'HH:mm:ss"

  std::string stringFromDate(Date d) const;
  std::optional<Date> dateFromString(std::string_view text) const;

 private:
  enum class Field { Literal, Year, Month, Day, Hour, Minute, Second, Millis, Zone };
  struct Token {
    Field field;
    std::string literal;
  };
  std::vector<Token> tokens_;
  int offset_ = 0;
};

}  // namespace platform
