// Probe commands over the audience filter predicates: "audience-filter" evaluates a filter
// message (base64) against an event, a user property or one value; "audience-valid" tests a
// string or number filter. Both answer with the monitor reports the call made.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerAudienceCommands(ProbeSession& session);

}  // namespace lumora::probe
