#include "measurement/model/apmp_event_editing.h"

#include <mutex>

namespace {

std::mutex gFactoryMutex;  // guards gFactory
std::shared_ptr<const APMPEventEditing::Factory> gFactory;

}  // namespace

std::shared_ptr<APMPEventEditing> APMPEventEditing::init() {
  std::shared_ptr<const Factory> factory;
  {
    std::lock_guard lock(gFactoryMutex);
    factory = gFactory;
  }
  return factory ? (*factory)() : nullptr;
}

void APMPEventEditing::registerFactory(Factory factory) {
  auto installed = factory ? std::make_shared<const Factory>(std::move(factory)) : nullptr;
  std::lock_guard lock(gFactoryMutex);
  gFactory = std::move(installed);
}
