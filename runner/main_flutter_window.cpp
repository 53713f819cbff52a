#include "runner/main_flutter_window.h"

#include "platform/engine/view_controller.h"
#include "runner/generated_plugin_registrant.h"

namespace lumora {

namespace {

std::function<void(flutter::PluginRegistry&)>& additionalRegistrant() {
  static std::function<void(flutter::PluginRegistry&)> registrant;
  return registrant;
}

bool& engineFailed() {
  static bool failed = false;
  return failed;
}

}  // namespace

void MainFlutterWindow::setAdditionalRegistrant(
    std::function<void(flutter::PluginRegistry&)> registrant) {
  additionalRegistrant() = std::move(registrant);
}

bool MainFlutterWindow::engineFailedToStart() {
  return engineFailed();
}

void MainFlutterWindow::awakeFromNib() {
  auto controller = std::make_shared<flutter::ViewController>();
  platform::Rect windowFrame = frame();
  // Installing the controller resizes the window to the controller's view; the frame the
  // interface description gave is put back right after.
  setContentViewController(controller);
  setFrame(windowFrame, true);
  if (!controller->engineStarted()) {
    // Nothing registers: the process is about to end without launching.
    engineFailed() = true;
    platform::Window::awakeFromNib();
    return;
  }
  RegisterGeneratedPlugins(*controller);
  if (additionalRegistrant()) additionalRegistrant()(*controller);
  platform::Window::awakeFromNib();
}

}  // namespace lumora
