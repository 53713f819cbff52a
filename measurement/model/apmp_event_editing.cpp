#include "measurement/model/apmp_event_editing.h"

#include <mutex>

#include "measurement/storage/apm_monitor.h"

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

std::int64_t APMPixieLogger::monitorLevel(std::int64_t level, bool silent, bool monitored) {
  switch (level) {
  case 2:
    return 8;
  case 3:
    return 7;
  case 5:
    return silent ? 5 : (monitored ? 4 : 3);
  case 6:
    return silent ? 2 : (monitored ? 1 : 0);
  default:
    return 6;
  }
}

void APMPixieLogger::logWithLevel(std::int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent,
                                  bool monitored) {
  platform::ValueList contexts;
  contexts.reserve(context.size());
  for (const auto& item : context)
    contexts.emplace_back(item);
  APMProcessMonitor()->logWithLevel(monitorLevel(level, silent, monitored), kMessageCode, message,
                                    contexts);
}
