#include "measurement/model/apm_event_model_environment.h"

#include <memory>
#include <mutex>

#include "measurement/model/apm_remote_config.h"

namespace {

std::mutex gMutex;  // guards the two pointers below
std::shared_ptr<const APMEventModelLimitsProvider> gLimitsProvider;
std::shared_ptr<const APMInternalEventSink> gInternalEventSink;

}  // namespace

std::int64_t APMEventModelLimits::maxInternalEventParameterValueLength() const {
  return maxPublicEventParameterValueLength > 256 ? maxPublicEventParameterValueLength : 256;
}

void APMSetEventModelLimitsProvider(APMEventModelLimitsProvider provider) {
  auto installed =
      provider ? std::make_shared<const APMEventModelLimitsProvider>(std::move(provider)) : nullptr;
  std::lock_guard lock(gMutex);
  gLimitsProvider = std::move(installed);
}

APMEventModelLimits APMCurrentEventModelLimits() {
  std::shared_ptr<const APMEventModelLimitsProvider> provider;
  {
    std::lock_guard lock(gMutex);
    provider = gLimitsProvider;
  }
  if (provider) return (*provider)();
  // The configuration in force: the core's per-app instance once installed, else the defaults.
  const auto config = APMRemoteConfig::current();
  APMEventModelLimits limits;
  limits.maxPublicEventParams = config->maxPublicEventParams();
  limits.maxItemScopedCustomParameters = config->maxItemScopedCustomParameters();
  limits.maxPublicEventParameterValueLength = config->maxPublicEventParameterValueLength();
  return limits;
}

void APMSetInternalEventSink(APMInternalEventSink sink) {
  auto installed = sink ? std::make_shared<const APMInternalEventSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(gMutex);
  gInternalEventSink = std::move(installed);
}

void APMLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::ValueMap& parameters) {
  std::shared_ptr<const APMInternalEventSink> sink;
  {
    std::lock_guard lock(gMutex);
    sink = gInternalEventSink;
  }
  if (sink) (*sink)(origin, name, parameters);
}
