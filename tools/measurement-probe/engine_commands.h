// Probe commands over the measurement engine: `engineStart` starts the analytics facade (app ID,
// origin, options as JSON), `engineSetEnabled` switches collection (flag, persist),
// `engineSessionID` asks the facade for the session ID, `engineIdle` waits until the facade, the
// engine and the persisted configuration's timed write are done, and `engineState` shows what
// the engine holds.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerEngineCommands(ProbeSession& session);

}  // namespace lumora::probe
