// Probe commands over the table families of the measurement database opened by "databaseOpen":
// raw events and their metadata, queued bundles and the stale-data purge, user and conditional
// user properties, event aggregates and the events snapshot, audience filters, and purchase
// fingerprints. They run on the database commands' worker queue.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerTableCommands(ProbeSession& session);

}  // namespace lumora::probe
