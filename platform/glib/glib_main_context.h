// GLib's default main context, run by the process main loop on the main thread. A backend built
// on GLib (media, the web engine) calls integrateGLibMainContext() before it creates its first
// GLib source; from then on GLib callbacks run on the main thread between main-queue tasks, and a
// task posted from any thread wakes a loop that is waiting for GLib.
#pragma once

namespace platform {

// Idempotent; main thread only. Returns false (and changes nothing) when the default context
// already belongs to another thread.
bool integrateGLibMainContext();

}  // namespace platform
