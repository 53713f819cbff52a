// Probe commands over the measurement event model: making an event (normalised parameters with
// their kinds, the error events sent, the Event wire bytes in base64), reading wire bytes back,
// the error event, numeric strings, and the debug formatting of names and parameter maps.
#pragma once

#include "tools/measurement-probe/probe_session.h"

class APMEvent;

namespace lumora::probe {

void registerModelCommands(ProbeSession& session);

// An event as the "event" command prints it: origin, name, times, parameters with their kinds
// and the Event wire bytes in base64.
Json eventJson(const APMEvent& event);

}  // namespace lumora::probe
