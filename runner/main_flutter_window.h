// The main window: embeds the engine's view controller and registers every plugin with it once
// the interface description has been loaded. Holds no state of its own; the window owns the
// controller through its content view controller. Main thread.
#pragma once

#include <functional>

#include "platform/appkit/window.h"
#include "platform/engine/plugin_registrar.h"

namespace lumora {

class MainFlutterWindow : public platform::Window {
 public:
  MainFlutterWindow(platform::Rect contentRect, std::uint32_t styleMask,
                    platform::BackingStoreType backing, bool defer)
      : platform::Window(contentRect, styleMask, backing, defer) {}

  // Creates the view controller, installs it keeping the window's frame, registers the plugins
  // and then runs the base class's set-up. When the engine could not open its socket no plugin
  // is registered and engineFailedToStart() turns true.
  void awakeFromNib() override;
  static bool engineFailedToStart();

  // A test build's hook: registrations made right after the generated ones (empty in the host).
  static void setAdditionalRegistrant(std::function<void(flutter::PluginRegistry&)> registrant);
};

}  // namespace lumora
