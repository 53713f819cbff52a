// The window manager plugin: the method channel "window_manager" over a WindowManager. Binds
// the host window once, on "ensureInitialized", and forwards the window's events to the
// application as "onEvent" calls with {"eventName": name}.
//
// Decisions for what the channel leaves open: a missing or wrongly typed argument is answered
// with the error "invalid-arguments" naming the key; a row that needs the window before
// "ensureInitialized" (or "ensureInitialized" when the engine has no view or the view no window)
// is answered with "no-window" naming the method, and nothing is bound. Owned by the engine
// through its channel. Main thread only.
#pragma once

#include <memory>

#include "platform/engine/channels.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/window_manager/window_manager.h"

namespace window_manager {

class WindowManagerPlugin : public flutter::Plugin {
 public:
  WindowManagerPlugin(flutter::PluginRegistrarPtr registrar,
                      std::shared_ptr<flutter::MethodChannel> channel);

  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;

  const std::shared_ptr<WindowManager>& windowManager() const { return windowManager_; }

 private:
  // Binds the window once; false when there is no window to bind.
  bool ensureInitialized();

  flutter::PluginRegistrarPtr registrar_;
  std::shared_ptr<flutter::MethodChannel> channel_;
  std::shared_ptr<WindowManager> windowManager_;
  bool inited_ = false;
};

}  // namespace window_manager
