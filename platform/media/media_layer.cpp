#include <mutex>

#include "platform/media/media.h"

namespace platform::media {

namespace {
std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}
MediaFactoryPtr& factorySlot() {
  static MediaFactoryPtr factory;
  return factory;
}
}  // namespace

MediaFactoryPtr defaultMediaFactory() {
  std::lock_guard lock(factoryMutex());
  return factorySlot();
}

void setDefaultMediaFactory(MediaFactoryPtr factory) {
  std::lock_guard lock(factoryMutex());
  factorySlot() = std::move(factory);
}

}  // namespace platform::media
