// Probe commands over the measurement storage: monitor reports and switches, the health text,
// persisted configuration keys and worker-queue blocks. Also prints every monitor report
// ({"op":"report", level, code, message}), the silent levels included.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerStorageCommands(ProbeSession& session);

// Collects the monitor reports made from now on (they are printed as well) until
// endReportCapture(), which answers them as [level, code] pairs in order.
void beginReportCapture();
Json endReportCapture();

}  // namespace lumora::probe
