// A reference-counted BGRA pixel buffer of the media layer: the frame a video output hands out
// and the engine keeps as a texture's latest frame. A backend's buffer may hold its decoder's
// memory (no copy); the pixels stay valid while the buffer lives. Immutable, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/core/value.h"

namespace platform::media {

class PixelBuffer : public Object {
 public:
  std::string className() const override { return "PixelBuffer"; }
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual std::size_t bytesPerRow() const = 0;
  // The first row; 4 bytes per pixel (B, G, R, A); rows bytesPerRow() apart.
  virtual const std::uint8_t* baseAddress() const = 0;
};
using PixelBufferPtr = std::shared_ptr<PixelBuffer>;

// A pixel buffer that owns its memory.
class OwnedPixelBuffer : public PixelBuffer {
 public:
  // Every pixel set to (b, g, r, a).
  OwnedPixelBuffer(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r,
                   std::uint8_t a = 255);
  int width() const override { return width_; }
  int height() const override { return height_; }
  std::size_t bytesPerRow() const override { return static_cast<std::size_t>(width_) * 4; }
  const std::uint8_t* baseAddress() const override { return bytes_.data(); }

 private:
  int width_;
  int height_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace platform::media
