// Names of the notifications the application object posts on the default notification centre.
// They live here, beside the centre, so that code observing them needs nothing of the window
// server (platform/appkit posts them).
#pragma once

namespace platform {

// Posted (object: the application) each time the application becomes active, the first time
// right after launching finished.
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "ApplicationDidBecomeActiveNotification";

}  // namespace platform
