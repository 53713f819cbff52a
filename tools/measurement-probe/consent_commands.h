// Probe commands over the consent store and the environment facts of the measurement side.
#pragma once

#include "tools/measurement-probe/probe_session.h"

namespace lumora::probe {

void registerConsentCommands(ProbeSession& session);

}  // namespace lumora::probe
