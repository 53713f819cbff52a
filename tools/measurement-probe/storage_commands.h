// Probe commands over the measurement storage: monitor reports and switches, the health text,
// persisted configuration keys and worker-queue blocks. Also prints every monitor report
// ({"op":"report", level, code, message}), the silent levels included.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerStorageCommands(ProbeSession& session);

}  // namespace lumora::probe
