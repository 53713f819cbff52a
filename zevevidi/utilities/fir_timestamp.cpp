#include "zevevidi/utilities/fir_timestamp.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/core/exception.h"
#include "platform/dispatch/clock.h"

namespace {

constexpr std::int32_t kNanosPerSecond = 1000000000;

[[noreturn]] void raise(const char* name, std::string reason) {
  throw platform::Exception(name, std::move(reason));
}

}  // namespace

FIRTimestampPtr FIRTimestamp::timestampWithSeconds(std::int64_t seconds, std::int32_t nanoseconds) {
  if (nanoseconds < 0 || nanoseconds >= kNanosPerSecond) {
    raise(kInvalidTimestamp, "Timestamp nanoseconds out of range: " + std::to_string(nanoseconds));
  }
  if (seconds < kMinSeconds || seconds > kMaxSeconds) {
    raise(kInvalidTimestamp, "Timestamp seconds out of range: " + std::to_string(seconds));
  }
  return FIRTimestampPtr(new FIRTimestamp(seconds, nanoseconds));
}

FIRTimestampPtr FIRTimestamp::initWithSeconds(std::int64_t seconds, std::int32_t nanoseconds) {
  return timestampWithSeconds(seconds, nanoseconds);
}

FIRTimestampPtr FIRTimestamp::timestampWithDate(platform::Date date) {
  double whole = 0;
  const double fraction = std::modf(date.secondsSince1970, &whole);
  // Converting a double outside the int64 range (or NaN) is undefined, so anything that cannot
  // be a valid timestamp is refused before the conversion. The margin of one second leaves room
  // for the negative-fraction borrow and the carry below.
  if (!(whole >= static_cast<double>(kMinSeconds - 1) &&
        whole <= static_cast<double>(kMaxSeconds + 1))) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", date.secondsSince1970);
    raise(kInvalidTimestamp, std::string("Timestamp seconds out of range: ") + text);
  }
  std::int64_t seconds = static_cast<std::int64_t>(whole);
  std::int64_t nanos = 0;
  if (fraction < 0) {
    seconds -= 1;
    nanos = static_cast<std::int64_t>((1.0 + fraction) * 1e9);
  } else {
    nanos = static_cast<std::int64_t>(fraction * 1e9);
  }
  // A fraction within a rounding error of a whole second (1 + -1e-17 is exactly 1.0 in double)
  // yields a full 10^9 nanoseconds; that is the next whole second, not an invalid timestamp.
  if (nanos >= kNanosPerSecond) {
    seconds += 1;
    nanos -= kNanosPerSecond;
  }
  return timestampWithSeconds(seconds, static_cast<std::int32_t>(nanos));
}

FIRTimestampPtr FIRTimestamp::timestamp() {
  return timestampWithDate(platform::Date{platform::Clock::current().now()});
}

platform::Date FIRTimestamp::dateValue() const {
  return platform::Date{static_cast<double>(seconds_) + nanoseconds_ / 1e9};
}

int FIRTimestamp::compare(const FIRTimestamp& other) const {
  if (seconds_ != other.seconds_) return seconds_ < other.seconds_ ? -1 : 1;
  if (nanoseconds_ != other.nanoseconds_) return nanoseconds_ < other.nanoseconds_ ? -1 : 1;
  return 0;
}

bool FIRTimestamp::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  auto* timestamp = dynamic_cast<const FIRTimestamp*>(&other);
  return timestamp && isEqualToTimestamp(*timestamp);
}

std::strong_ordering FIRTimestamp::compareObject(const platform::Object& other) const {
  auto* timestamp = dynamic_cast<const FIRTimestamp*>(&other);
  if (!timestamp) return platform::Object::compareObject(other);
  return compare(*timestamp) <=> 0;
}

std::size_t FIRTimestamp::hash() const {
  const std::int64_t mixed = (seconds_ >> 32) ^ seconds_ ^ static_cast<std::int64_t>(nanoseconds_);
  return static_cast<std::size_t>(mixed);
}

std::string FIRTimestamp::description() const {
  char text[96];
  std::snprintf(text, sizeof text, "<FIRTimestamp: seconds=%lld nanoseconds=%d>",
                static_cast<long long>(seconds_), nanoseconds_);
  return text;
}

std::string FIRTimestamp::ISO8601String() const {
  using namespace std::chrono;
  // Floor division keeps instants before 1970 on the right day.
  std::int64_t days = seconds_ / 86400;
  std::int64_t secondsOfDay = seconds_ % 86400;
  if (secondsOfDay < 0) {
    secondsOfDay += 86400;
    days -= 1;
  }
  const year_month_day ymd{sys_days{std::chrono::days{days}}};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(secondsOfDay / 3600), static_cast<int>(secondsOfDay / 60 % 60),
                static_cast<int>(secondsOfDay % 60));
  const std::string formatted = text;
  if (formatted.size() != 19) raise(kInvalidISOString, "Invalid ISO string: " + formatted);
  char nanos[16];
  std::snprintf(nanos, sizeof nanos, "%09d", nanoseconds_);
  return formatted + "." + nanos + "Z";
}
