#include "plugins/window_manager/window_manager_plugin.h"

#include <string_view>
#include <unordered_map>

#include "platform/appkit/application.h"

namespace window_manager {

using platform::Value;

namespace {

using Args = WindowManager::Args;
// One row of the method table: the effect and the reply.
using Row = Value (*)(WindowManager&, const Args&);

// Rows that need no bound window.
bool needsWindow(std::string_view method) {
  static const std::string_view kWindowless[] = {"ensureInitialized",
                                                 "waitUntilReadyToShow",
                                                 "destroy",
                                                 "isPreventClose",
                                                 "setPreventClose",
                                                 "isMaximizable",
                                                 "setMaximizable",
                                                 "isDockable",
                                                 "isDocked",
                                                 "dock",
                                                 "undock",
                                                 "isSkipTaskbar",
                                                 "setSkipTaskbar",
                                                 "setBadgeLabel",
                                                 "setProgressBar"};
  for (auto name : kWindowless) {
    if (name == method) return false;
  }
  return true;
}

}  // namespace

WindowManagerPlugin::WindowManagerPlugin(flutter::PluginRegistrarPtr registrar,
                                         std::shared_ptr<flutter::MethodChannel> channel)
    : registrar_(std::move(registrar)), channel_(std::move(channel)),
      windowManager_(std::make_shared<WindowManager>()) {}

void WindowManagerPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto messenger = registrar->messenger();
  auto channel = flutter::MethodChannel::methodChannelWithName("window_manager", messenger);
  auto plugin = std::make_shared<WindowManagerPlugin>(registrar, channel);
  registrar->addMethodCallDelegate(plugin, channel);
}

bool WindowManagerPlugin::ensureInitialized() {
  if (inited_) return true;
  auto view = registrar_->view();
  auto window = view ? view->window() : nullptr;
  if (!window) return false;
  windowManager_->setMainWindow(window);
  // The callback must not keep the plugin alive: the engine's channel owns it.
  std::weak_ptr<flutter::MethodChannel> channel = channel_;
  windowManager_->onEvent = [channel](const std::string& name) {
    if (auto c = channel.lock()) c->invokeMethod("onEvent", Value::map({{"eventName", name}}));
  };
  inited_ = true;
  return true;
}

void WindowManagerPlugin::handleMethodCall(const flutter::MethodCall& call,
                                           flutter::MethodResult result) {
  const std::string& method = call.method;
  static const WindowManager::Args kEmpty;
  const WindowManager::Args& args = call.arguments.isMap() ? call.arguments.asMap() : kEmpty;
  WindowManager& wm = *windowManager_;

  if (method == "ensureInitialized") {
    if (!ensureInitialized()) {
      return result(flutter::Error::errorWithCode(
          "no-window", "ensureInitialized: the engine has no view in a window"));
    }
    return result(true);
  }

  static const std::unordered_map<std::string_view, Row> rows = {
      {"waitUntilReadyToShow", [](WindowManager&, const Args&) -> Value { return Value(true); }},
      {"getId", [](WindowManager& wm, const Args&) -> Value { return Value(wm.getId()); }},
      {"setAsFrameless",
       [](WindowManager& wm, const Args&) {
         wm.setAsFrameless();
         return Value(true);
       }},
      {"destroy",
       [](WindowManager& wm, const Args&) {
         wm.destroy();
         return Value(true);
       }},
      {"close",
       [](WindowManager& wm, const Args&) {
         wm.close();
         return Value(true);
       }},
      {"isPreventClose",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.isPreventClose()); }},
      {"setPreventClose",
       [](WindowManager& wm, const Args& args) {
         wm.setPreventClose(args);
         return Value(true);
       }},
      {"focus",
       [](WindowManager& wm, const Args&) {
         wm.focus();
         return Value(true);
       }},
      {"blur",
       [](WindowManager& wm, const Args&) {
         wm.blur();
         return Value(true);
       }},
      {"isFocused",
       [](WindowManager& wm, const Args&) -> Value {
         return Value(wm.mainWindow()->isKeyWindow());
       }},
      {"show",
       [](WindowManager& wm, const Args&) {
         wm.show();
         return Value(true);
       }},
      {"hide",
       [](WindowManager& wm, const Args&) {
         wm.hide();
         return Value(true);
       }},
      {"isVisible",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.mainWindow()->isVisible()); }},
      {"isMaximized",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.mainWindow()->isZoomed()); }},
      {"maximize",
       [](WindowManager& wm, const Args&) {
         wm.maximize();
         return Value(true);
       }},
      {"unmaximize",
       [](WindowManager& wm, const Args&) {
         wm.unmaximize();
         return Value(true);
       }},
      {"isMinimized",
       [](WindowManager& wm, const Args&) -> Value {
         return Value(wm.mainWindow()->isMiniaturized());
       }},
      {"isMaximizable",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.isMaximizable()); }},
      {"setMaximizable",
       [](WindowManager& wm, const Args& args) {
         wm.setIsMaximizable(args);
         return Value(true);
       }},
      {"minimize",
       [](WindowManager& wm, const Args&) {
         wm.minimize();
         return Value(true);
       }},
      {"restore",
       [](WindowManager& wm, const Args&) {
         wm.restore();
         return Value(true);
       }},
      {"isDockable", [](WindowManager&, const Args&) -> Value { return Value(false); }},
      {"isDocked", [](WindowManager&, const Args&) -> Value { return Value(std::int64_t{0}); }},
      {"dock", [](WindowManager&, const Args&) -> Value { return Value(true); }},
      {"undock", [](WindowManager&, const Args&) -> Value { return Value(true); }},
      {"isFullScreen",
       [](WindowManager& wm, const Args&) -> Value {
         return Value((wm.mainWindow()->styleMask() & platform::WindowStyleMaskFullScreen) != 0);
       }},
      {"setFullScreen",
       [](WindowManager& wm, const Args& args) {
         wm.setFullScreen(args);
         return Value(true);
       }},
      {"setAspectRatio",
       [](WindowManager& wm, const Args& args) {
         wm.setAspectRatio(args);
         return Value(true);
       }},
      {"setBackgroundColor",
       [](WindowManager& wm, const Args& args) {
         wm.setBackgroundColor(args);
         return Value(true);
       }},
      {"getBounds", [](WindowManager& wm, const Args&) -> Value { return wm.getBounds(); }},
      {"setBounds",
       [](WindowManager& wm, const Args& args) {
         wm.setBounds(args);
         return Value(true);
       }},
      {"setMinimumSize",
       [](WindowManager& wm, const Args& args) {
         wm.setMinimumSize(args);
         return Value(true);
       }},
      {"setMaximumSize",
       [](WindowManager& wm, const Args& args) {
         wm.setMaximumSize(args);
         return Value(true);
       }},
      {"isResizable",
       [](WindowManager& wm, const Args&) -> Value {
         return Value((wm.mainWindow()->styleMask() & platform::WindowStyleMaskResizable) != 0);
       }},
      {"setResizable",
       [](WindowManager& wm, const Args& args) {
         wm.setResizable(args);
         return Value(true);
       }},
      {"isMovable",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.mainWindow()->isMovable()); }},
      {"setMovable",
       [](WindowManager& wm, const Args& args) {
         wm.setMovable(args);
         return Value(true);
       }},
      {"isMinimizable",
       [](WindowManager& wm, const Args&) -> Value {
         return Value((wm.mainWindow()->styleMask() & platform::WindowStyleMaskMiniaturizable) !=
                      0);
       }},
      {"setMinimizable",
       [](WindowManager& wm, const Args& args) {
         wm.setMinimizable(args);
         return Value(true);
       }},
      {"isClosable",
       [](WindowManager& wm, const Args&) -> Value {
         return Value((wm.mainWindow()->styleMask() & platform::WindowStyleMaskClosable) != 0);
       }},
      {"setClosable",
       [](WindowManager& wm, const Args& args) {
         wm.setClosable(args);
         return Value(true);
       }},
      {"isAlwaysOnTop",
       [](WindowManager& wm, const Args&) -> Value {
         return Value(wm.mainWindow()->level() == platform::kFloatingWindowLevel);
       }},
      {"setAlwaysOnTop",
       [](WindowManager& wm, const Args& args) {
         wm.setAlwaysOnTop(args);
         return Value(true);
       }},
      {"getTitle", [](WindowManager& wm, const Args&) -> Value { return Value(wm.getTitle()); }},
      {"setTitle",
       [](WindowManager& wm, const Args& args) {
         wm.setTitle(args);
         return Value(true);
       }},
      {"setTitleBarStyle",
       [](WindowManager& wm, const Args& args) {
         wm.setTitleBarStyle(args);
         return Value(true);
       }},
      {"getTitleBarHeight",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.getTitleBarHeight()); }},
      {"isSkipTaskbar",
       [](WindowManager&, const Args&) -> Value {
         return Value(platform::Application::shared().activationPolicy() ==
                      platform::ActivationPolicy::Accessory);
       }},
      {"setSkipTaskbar",
       [](WindowManager& wm, const Args& args) {
         wm.setSkipTaskbar(args);
         return Value(true);
       }},
      {"setBadgeLabel",
       [](WindowManager& wm, const Args& args) {
         wm.setBadgeLabel(args);
         return Value(true);
       }},
      {"setProgressBar",
       [](WindowManager& wm, const Args& args) {
         wm.setProgressBar(args);
         return Value(true);
       }},
      {"isVisibleOnAllWorkspaces",
       [](WindowManager& wm, const Args&) -> Value {
         return Value((wm.mainWindow()->collectionBehavior() &
                       platform::WindowCollectionBehaviorCanJoinAllSpaces) != 0);
       }},
      {"setVisibleOnAllWorkspaces",
       [](WindowManager& wm, const Args& args) {
         wm.setVisibleOnAllWorkspaces(args);
         return Value(true);
       }},
      {"hasShadow",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.mainWindow()->hasShadow()); }},
      {"setHasShadow",
       [](WindowManager& wm, const Args& args) {
         wm.setHasShadow(args);
         return Value(true);
       }},
      {"getOpacity",
       [](WindowManager& wm, const Args&) -> Value { return Value(wm.getOpacity()); }},
      {"setOpacity",
       [](WindowManager& wm, const Args& args) {
         wm.setOpacity(args);
         return Value(true);
       }},
      {"setBrightness",
       [](WindowManager& wm, const Args& args) {
         wm.setBrightness(args);
         return Value(true);
       }},
      {"setIgnoreMouseEvents",
       [](WindowManager& wm, const Args& args) {
         wm.setIgnoreMouseEvents(args);
         return Value(true);
       }},
      {"startDragging",
       [](WindowManager& wm, const Args&) {
         wm.startDragging();
         return Value(true);
       }},
  };

  auto row = rows.find(method);
  if (row == rows.end()) return result(flutter::MethodNotImplemented);
  if (needsWindow(method) && !wm.mainWindow()) {
    return result(flutter::Error::errorWithCode(
        "no-window", method + ": no window is bound; call \"ensureInitialized\" first"));
  }
  Value answer;
  try {
    answer = row->second(wm, args);
  } catch (const WindowManagerArgumentError& e) {
    return result(
        flutter::Error::errorWithCode("invalid-arguments", method + ": " + std::string(e.what())));
  }
  result(std::move(answer));
}

}  // namespace window_manager
