// Probe commands over the measurement SQLite store and the measurement database: a store on any
// path (open, execute, query, statements in one transaction, records written and updated) and
// the measurement database (open, reset, the app-metadata row, daily counters, the stored
// configuration from a file). Both run on a worker queue of their own, as the engine's core
// would run them on its worker queue.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerDatabaseCommands(ProbeSession& session);

}  // namespace lumora::probe
