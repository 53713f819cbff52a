// Questions the model asks of the measurement engine, which sits above it. The engine installs
// answers when its core starts; until then every hook answers "no core": the core is neither
// there nor enabled, there are no preview headers and no core identity. Installing and reading
// are safe from any thread; hooks are called outside any lock of this file.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/core/value.h"

class APMIdentity;

struct APMEngineHooks {
  // Whether the measurement core's shared instance exists and is enabled.
  std::function<bool()> coreExistsAndEnabled;
  // The server-side tag container's preview headers, when the app was opened with them.
  std::function<std::optional<platform::ValueMap>()> SZTMPreviewHeaders;
  // The identity of the measurement core's shared instance.
  std::function<std::shared_ptr<APMIdentity>()> coreIdentity;
};

// Replaces the installed hooks (empty slots answer "no core").
void APMSetEngineHooks(APMEngineHooks hooks);
bool APMEngineCoreExistsAndEnabled();
std::optional<platform::ValueMap> APMEngineSZTMPreviewHeaders();
std::shared_ptr<APMIdentity> APMEngineCoreIdentity();
