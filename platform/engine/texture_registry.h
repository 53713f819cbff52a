// External textures: native objects that hand the engine pixel buffers to draw.
//
// A producer registers a Texture and gets an identifier (from 1, never reused). When it has a
// new frame it calls textureFrameAvailable from any thread; the engine then calls the texture's
// copyPixelBuffer on the engine's own frame thread (a serial queue, never the main thread) and
// keeps the returned buffer as the texture's latest frame. unregisterTexture removes the texture
// and calls its onTextureUnregistered on the frame thread after any pull in progress. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/core/value.h"

namespace flutter {

// A pixel buffer is an object of the media layer; the engine only keeps and hands it on.
using PixelBufferPtr = std::shared_ptr<platform::Object>;

class Texture {
 public:
  virtual ~Texture() = default;
  // Called on the engine's frame thread; returns the newest frame or null when there is none.
  virtual PixelBufferPtr copyPixelBuffer() = 0;
  // Called on the engine's frame thread once the texture has been unregistered.
  virtual void onTextureUnregistered(Texture& /*texture*/) {}
};

class TextureRegistry {
 public:
  virtual ~TextureRegistry() = default;
  // Returns the new texture's identifier. The registry keeps the texture until unregistered.
  virtual std::int64_t registerTexture(std::shared_ptr<Texture> texture) = 0;
  // Asks the engine to pull a frame; unknown identifiers are ignored.
  virtual void textureFrameAvailable(std::int64_t textureId) = 0;
  virtual void unregisterTexture(std::int64_t textureId) = 0;
};
using TextureRegistryPtr = std::shared_ptr<TextureRegistry>;

}  // namespace flutter
