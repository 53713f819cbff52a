// Probe commands over the engine's conditional user properties and TCF consent, once
// `engineStart` has started the engine: `engineConditionalPropertySet` {name, origin, value (null
// removes), triggerEventName, triggerTimeout, timeToLive, triggeredEvent, timedOutEvent,
// expiredEvent (each {name, parameters})}, `engineConditionalPropertyClear` {name, clearEvent},
// `engineConditionalProperties` {prefix, origin} (the controller's query) and `engineTCF` (the
// TCF client's read of the application's preferences, as the core makes it before an upload).
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerEnginePropertiesCommands(ProbeSession& session);

}  // namespace lumora::probe
