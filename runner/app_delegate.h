// The application delegate of the host. Holds no state; answers that closing the last window
// ends the application and that secure restorable state is supported, and leaves everything
// else to the engine's delegate base. Main thread.
#pragma once

#include "platform/engine/app_delegate.h"

namespace lumora {

class AppDelegate : public flutter::AppDelegate {
public:
  AppDelegate() = default;

  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application&) override {
    return true;
  }
  bool applicationSupportsSecureRestorableState(platform::Application&) override { return true; }
};

} // namespace lumora
