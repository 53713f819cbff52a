// Probe commands over the measurement SQLite store and the measurement database: a store on any
// path (open, execute, query, statements in one transaction, records written and updated) and
// the measurement database (open, reset, the app-metadata row, daily counters, the stored
// configuration from a file). Both run on a worker queue of their own, as the engine's core
// would run them on its worker queue.
#pragma once

#include <functional>
#include <memory>

#include "platform/core/error.h"
#include "tools/measurement-probe/probe_session.h"

class APMDatabase;

namespace lumora::probe {

void registerDatabaseCommands(ProbeSession& session);

// For the commands of other areas: runs `body` on the database commands' worker queue (its
// exception comes back here), and the database they opened (worker queue only; null when none).
Json onDatabaseWorker(const std::function<Json()>& body);
std::shared_ptr<APMDatabase> openedDatabase();
// Throws the error record as the reply's error: "code: description [monitor context]".
[[noreturn]] void failWithError(const platform::ErrorPtr& error);

}  // namespace lumora::probe
