// What the event model needs from the engine around it, installed from outside so the model
// stays below the analytics facade:
// - the four limits of the remote configuration in force (event parameters, item-scoped custom
//   parameters, parameter value lengths); with no provider installed they are read from
//   APMRemoteConfig::current();
// - the internal-event entry of the analytics facade, which the error event goes to.
// Installing and reading are safe from any thread; the provider and the sink are called on the
// caller's thread, outside any lock of this file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/core/value.h"

struct APMEventModelLimits {
  // "measurement.upload.max_public_event_params"
  std::int64_t maxPublicEventParams = 100;
  // "measurement.upload.max_item_scoped_custom_parameters"
  std::int64_t maxItemScopedCustomParameters = 27;
  // "measurement.upload.max_event_parameter_value_length"
  std::int64_t maxPublicEventParameterValueLength = 500;

  // The public limit when it exceeds 256, else 256.
  std::int64_t maxInternalEventParameterValueLength() const;
};

using APMEventModelLimitsProvider = std::function<APMEventModelLimits()>;
// Installs the remote configuration's answer (an empty provider restores the defaults).
void APMSetEventModelLimitsProvider(APMEventModelLimitsProvider provider);
APMEventModelLimits APMCurrentEventModelLimits();

// logInternalEventWithOrigin:name:parameters: of the analytics facade.
using APMInternalEventSink = std::function<void(const std::string& origin, const std::string& name,
                                                const platform::ValueMap& parameters)>;
// Installs the entry internal events go to (an empty sink drops them).
void APMSetInternalEventSink(APMInternalEventSink sink);
void APMLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::ValueMap& parameters);
