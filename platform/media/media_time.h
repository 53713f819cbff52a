// Media times: a rational number of seconds (value / timescale) with flags, as the media layer
// reports positions, durations and ranges. Plain values.
#pragma once

#include <cstdint>

namespace platform::media {

struct MediaTime {
  static constexpr std::uint32_t kValid = 0x1;
  static constexpr std::uint32_t kIndefinite = 0x10;

  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;  // 0: invalid

  static MediaTime make(std::int64_t value, std::int32_t timescale) {
    return {value, timescale, kValid};
  }
  static MediaTime zero() { return make(0, 1); }
  static MediaTime invalid() { return {}; }
  static MediaTime indefinite() { return {0, 0, kValid | kIndefinite}; }
  // Seconds at nanosecond resolution; non-finite input gives an invalid time.
  static MediaTime fromSeconds(double seconds);

  bool isValid() const { return (flags & kValid) != 0; }
  bool isIndefinite() const { return isValid() && (flags & kIndefinite) != 0; }
  bool isNumeric() const { return isValid() && !isIndefinite() && timescale != 0; }
  // 0 for a time that is not numeric.
  double seconds() const;

  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

struct TimeRange {
  MediaTime start;
  MediaTime duration;
  friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

}  // namespace platform::media
