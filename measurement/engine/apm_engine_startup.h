// The measurement engine's load-time work, made once at process start before plugin
// registration: the facade's load timestamp and the core's did-finish-launching subscription;
// and its exit-time work, made once the application has stopped running.
#pragma once

void APMEngineLoad();

// Lets the facade's serial queue and then the core's worker queue run what is already queued
// (a database being opened, an event being written), waiting at most a few seconds in all, so
// that no measurement task is still running while the process destroys its static objects.
void APMEngineUnload();
