#include "runner/main_interface.h"

#include "platform/foundation/environment.h"
#include "runner/app_delegate.h"
#include "runner/main_flutter_window.h"

namespace lumora {

std::shared_ptr<AppDelegate> makeAppDelegate() {
  GULAppDelegateSwizzler::setApplicationDelegate(std::make_shared<AppDelegateInterceptorTarget>());
  return std::make_shared<AppDelegate>();
}

platform::InterfaceDescription mainInterface() {
  platform::InterfaceDescription description;
  description.makeDelegate = [] { return makeAppDelegate(); };
  platform::InterfaceDescription::WindowEntry window;
  window.title = "Lumora";
  window.contentRect = platform::Rect::make(335, 390, 1280, 720);
  window.make = [](platform::Rect rect, std::uint32_t style, platform::BackingStoreType backing,
                   bool defer) {
    return std::make_shared<MainFlutterWindow>(rect, style, backing, defer);
  };
  description.windows.push_back(std::move(window));
  return description;
}

int lumoraMain(int argc, char** argv) {
  // The environment snapshot is taken here, before any thread starts; nothing reads the live
  // environment after this point.
  platform::Environment::current();
  return platform::applicationMain(argc, argv, mainInterface());
}

}  // namespace lumora
