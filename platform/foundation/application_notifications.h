// Names of the notifications the application object posts on the default notification centre.
// They live here, beside the centre, so that code observing them needs nothing of the window
// server (platform/appkit posts them).
#pragma once

namespace platform {

// Posted (object: the application) each time the application becomes active, the first time
// right after launching finished.
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "ApplicationDidBecomeActiveNotification";

// Posted (object: the application) once, after the delegate's applicationDidFinishLaunching.
inline constexpr const char* kApplicationDidFinishLaunchingNotification =
    "ApplicationDidFinishLaunchingNotification";

// Posted (object: the application) when the application is about to stop being the active one.
inline constexpr const char* kApplicationWillResignActiveNotification =
    "ApplicationWillResignActiveNotification";

}  // namespace platform
