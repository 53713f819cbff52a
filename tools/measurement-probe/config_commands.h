// Probe commands over the measurement remote configuration and the identity: every setting of
// the configuration in force, the per-app configuration over the open database (stored and
// fetched configurations, its lists, per-event answers, endpoints), a scripted editing runtime,
// and the identity's identifiers, stitching tokens and diversion key.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerConfigCommands(ProbeSession& session);

}  // namespace lumora::probe
