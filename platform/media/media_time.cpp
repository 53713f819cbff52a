#include "platform/media/media_time.h"

#include <cmath>

namespace platform::media {

MediaTime MediaTime::fromSeconds(double seconds) {
  constexpr double kScale = 1e9;
  if (!std::isfinite(seconds) || std::fabs(seconds) * kScale >= 9.2e18) return invalid();
  return make(static_cast<std::int64_t>(std::llround(seconds * kScale)), 1000000000);
}

double MediaTime::seconds() const {
  if (!isNumeric()) return 0;
  return static_cast<double>(value) / static_cast<double>(timescale);
}

}  // namespace platform::media
