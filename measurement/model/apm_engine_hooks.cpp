#include "measurement/model/apm_engine_hooks.h"

#include <mutex>

namespace {

std::mutex gMutex;  // guards gHooks
std::shared_ptr<const APMEngineHooks> gHooks;

std::shared_ptr<const APMEngineHooks> hooks() {
  std::lock_guard lock(gMutex);
  return gHooks;
}

}  // namespace

void APMSetEngineHooks(APMEngineHooks hooks) {
  auto installed = std::make_shared<const APMEngineHooks>(std::move(hooks));
  std::lock_guard lock(gMutex);
  gHooks = std::move(installed);
}

bool APMEngineCoreExistsAndEnabled() {
  const auto h = hooks();
  return h && h->coreExistsAndEnabled ? h->coreExistsAndEnabled() : false;
}

std::optional<platform::ValueMap> APMEngineSZTMPreviewHeaders() {
  const auto h = hooks();
  return h && h->SZTMPreviewHeaders ? h->SZTMPreviewHeaders() : std::nullopt;
}

std::shared_ptr<APMIdentity> APMEngineCoreIdentity() {
  const auto h = hooks();
  return h && h->coreIdentity ? h->coreIdentity() : nullptr;
}
