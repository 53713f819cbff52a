// Probe commands over the experiment snapshots and the experiments database: `exp-snapshot`
// parses a Snapshot message (a file, base64 bytes or a JSON form) and prints what the snapshot
// holds; `exp-db` drives the experiments database by its `action`. The database runs on a serial
// queue of its own, as the experiments task manager runs it on its worker queue.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerExperimentsCommands(ProbeSession& session);

}  // namespace lumora::probe
