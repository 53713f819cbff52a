// Turns a display-link tick into a frame-available notice for the player's texture, and keeps
// the display's last known frame duration for the engine's frame thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/engine/texture_registry.h"
#include "plugins/video_player/fvp_display_link.h"

namespace video_player {

class FVPFrameUpdater {
 public:
  explicit FVPFrameUpdater(const flutter::TextureRegistryPtr& registry) : registry_(registry) {}

  // Main thread (the display link's callback): records the link's duration, then tells the
  // registry a frame is available (nothing once the registry is gone).
  void displayLinkFired();

  std::int64_t textureIdentifier() const { return textureIdentifier_.load(); }
  void setTextureIdentifier(std::int64_t id) { textureIdentifier_.store(id); }
  std::shared_ptr<flutter::TextureRegistry> registry() const { return registry_.lock(); }
  // Main thread, at the texture player's construction and dispose.
  void setDisplayLink(std::shared_ptr<FVPDisplayLink> link) { displayLink_ = std::move(link); }
  // Written on the main thread, read on the engine's frame thread.
  double frameDuration() const { return frameDuration_.load(); }

 private:
  std::atomic<std::int64_t> textureIdentifier_{0};
  std::weak_ptr<flutter::TextureRegistry> registry_;
  std::shared_ptr<FVPDisplayLink> displayLink_;
  std::atomic<double> frameDuration_{0};
};

}  // namespace video_player
