// The measurement engine's load-time work, made once at process start before plugin
// registration: the facade's load timestamp and the core's did-finish-launching subscription.
#pragma once

void APMEngineLoad();
