// Probe commands over the measurement side's small utilities: digests and their low bits,
// query strings and unescaping.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerUtilityCommands(ProbeSession& session);

}  // namespace lumora::probe
