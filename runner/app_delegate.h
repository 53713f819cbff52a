// The application delegate of the host. Holds no state; answers that closing the last window
// ends the application and that secure restorable state is supported, and leaves everything
// else to the engine's delegate base. Main thread.
//
// The delegate is also announced to the app-delegate interceptor hook, so components that
// intercept application-delegate calls find it; the host's delegate itself handles none of the
// routed calls.
#pragma once

#include <memory>
#include <string>

#include "platform/engine/app_delegate.h"
#include "zevevidi/utilities/gul_app_delegate_swizzler.h"

namespace lumora {

class AppDelegate : public flutter::AppDelegate {
 public:
  AppDelegate() = default;

  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application&) override {
    return true;
  }
  bool applicationSupportsSecureRestorableState(platform::Application&) override { return true; }
};

// What the interceptor hook sees of AppDelegate: its class name and no routed call of its own.
class AppDelegateInterceptorTarget : public GULApplicationDelegate {
 public:
  std::string delegateClassName() const override { return "AppDelegate"; }
};

// Makes the application delegate and announces it to the interceptor hook.
std::shared_ptr<AppDelegate> makeAppDelegate();

}  // namespace lumora
