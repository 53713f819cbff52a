// Probe command over the experiments manager: `exp-manager` starts the process-wide manager
// (its task manager fetches from LUMORA_EXPERIMENTS_URL on its alarm), registers SDKs with
// default flags and a scripted delegate, and reads flags, experiment IDs, snapshot status and
// the fetch timestamps, activates, resets. With --mock-clock every action ends once the clock's
// queues and transfers are idle, so "advance" drives the fetch schedule.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerExperimentManagerCommands(ProbeSession& session);

}  // namespace lumora::probe
