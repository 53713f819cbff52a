// FIRTimestamp: an immutable point in time, whole seconds since 1970-01-01T00:00:00Z plus the
// nanoseconds within that second, limited to the years 1 to 9999. Held by shared pointer; a copy
// is the same object. Immutable, so usable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/value.h"

class FIRTimestamp;
using FIRTimestampPtr = std::shared_ptr<const FIRTimestamp>;

class FIRTimestamp : public platform::Object {
 public:
  // Name of the exception raised for out-of-range values.
  static constexpr const char* kInvalidTimestamp = "Invalid timestamp";
  static constexpr const char* kInvalidISOString = "Invalid ISO string";
  static constexpr std::int64_t kMinSeconds = -62135596800;  // 0001-01-01T00:00:00Z
  static constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z

  // Raise platform::Exception named "Invalid timestamp" when the nanoseconds lie outside
  // 0..999999999 (checked first) or the seconds outside the range above.
  static FIRTimestampPtr timestampWithSeconds(std::int64_t seconds, std::int32_t nanoseconds);
  static FIRTimestampPtr initWithSeconds(std::int64_t seconds, std::int32_t nanoseconds);
  // The instant of `date`, with nanoseconds truncated; raises as above when it is out of range
  // (or not a finite instant at all).
  static FIRTimestampPtr timestampWithDate(platform::Date date);
  // Now, by platform::Clock.
  static FIRTimestampPtr timestamp();

  std::int64_t seconds() const { return seconds_; }
  std::int32_t nanoseconds() const { return nanoseconds_; }

  platform::Date dateValue() const;
  // -1, 0 or 1: by seconds, then by nanoseconds.
  int compare(const FIRTimestamp& other) const;
  bool isEqualToTimestamp(const FIRTimestamp& other) const { return compare(other) == 0; }
  // "<FIRTimestamp: seconds=S nanoseconds=N>"
  std::string description() const;
  // "yyyy-MM-ddTHH:mm:ss.nnnnnnnnnZ" in UTC.
  std::string ISO8601String() const;

  // platform::Object
  std::string className() const override { return "FIRTimestamp"; }
  std::string debugDescription() const override { return description(); }
  bool isEqual(const platform::Object& other) const override;
  // In time order, as compare(): equal timestamps are one map key.
  std::strong_ordering compareObject(const platform::Object& other) const override;
  std::size_t hash() const override;

 private:
  FIRTimestamp(std::int64_t seconds, std::int32_t nanoseconds)
      : seconds_(seconds), nanoseconds_(nanoseconds) {}

  const std::int64_t seconds_;
  const std::int32_t nanoseconds_;
};
