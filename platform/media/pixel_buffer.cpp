#include "platform/media/pixel_buffer.h"

#include <algorithm>

namespace platform::media {

OwnedPixelBuffer::OwnedPixelBuffer(int width, int height, std::uint8_t b, std::uint8_t g,
                                   std::uint8_t r, std::uint8_t a)
    : width_(std::max(width, 0)), height_(std::max(height, 0)) {
  bytes_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4);
  for (std::size_t i = 0; i + 3 < bytes_.size(); i += 4) {
    bytes_[i] = b;
    bytes_[i + 1] = g;
    bytes_[i + 2] = r;
    bytes_[i + 3] = a;
  }
}

}  // namespace platform::media
