// The object behind the "window_manager" channel: holds the controlled window and the flags the
// window does not keep itself, carries out the window operations, and, as the window's delegate,
// turns window changes into named events ("close", "maximize", "resize", ...) reported through
// `onEvent`.
//
// Operations take the call's string-keyed argument map and read every value before changing
// anything; a missing or wrongly typed argument throws WindowManagerArgumentError naming the key,
// and nothing has changed. Owned by the plugin; it holds the window strongly and is the window's
// (weakly held) delegate. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/appkit/window.h"
#include "platform/core/value.h"

namespace window_manager {

// A required argument is missing or of another type.
class WindowManagerArgumentError : public std::runtime_error {
 public:
  WindowManagerArgumentError(const std::string& key, const std::string& expected)
      : std::runtime_error("argument \"" + key + "\" must be " + expected), key_(key) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

class WindowManager : public platform::WindowDelegate,
                      public std::enable_shared_from_this<WindowManager> {
 public:
  using Args = platform::ValueMap;

  std::function<void(const std::string&)> onEvent;

  platform::WindowPtr mainWindow() const { return mainWindow_; }
  // Stores the window and becomes its delegate.
  void setMainWindow(platform::WindowPtr window);

  // Simple operations.
  std::int64_t getId() const;
  void close();
  void destroy();
  void focus();
  void blur();
  void maximize();
  void unmaximize();
  void minimize();
  void restore();
  bool isPreventClose() const { return isPreventClose_; }
  void setPreventClose(const Args& args);
  bool isMaximizable() const { return isMaximizable_; }
  void setIsMaximizable(const Args& args);
  void setResizable(const Args& args);
  void setMinimizable(const Args& args);
  void setClosable(const Args& args);
  void setMovable(const Args& args);
  std::string getTitle() const;
  void setTitle(const Args& args);
  double getOpacity() const;
  void setOpacity(const Args& args);
  void setHasShadow(const Args& args);
  void setBadgeLabel(const Args& args);
  void setSkipTaskbar(const Args& args);

  // Operations with an algorithm of their own.
  void show();
  void hide();
  void startDragging();
  void setAsFrameless();
  void setFullScreen(const Args& args);
  void setAspectRatio(const Args& args);
  void setBackgroundColor(const Args& args);
  platform::Value getBounds() const;
  void setBounds(const Args& args);
  void setMinimumSize(const Args& args);
  void setMaximumSize(const Args& args);
  void setAlwaysOnTop(const Args& args);
  void setTitleBarStyle(const Args& args);
  std::int64_t getTitleBarHeight() const;
  void setVisibleOnAllWorkspaces(const Args& args);
  void setBrightness(const Args& args);
  void setIgnoreMouseEvents(const Args& args);
  void setProgressBar(const Args& args);

  // Window delegate.
  bool windowShouldClose(platform::Window&) override;
  bool windowShouldZoom(platform::Window&, const platform::Rect& toFrame) override;
  void windowDidResize(platform::Window&) override;
  void windowDidEndLiveResize(platform::Window&) override;
  void windowWillMove(platform::Window&) override;
  void windowDidMove(platform::Window&) override;
  void windowDidBecomeKey(platform::Window&) override;
  void windowDidResignKey(platform::Window&) override;
  void windowDidBecomeMain(platform::Window&) override;
  void windowDidResignMain(platform::Window&) override;
  void windowDidMiniaturize(platform::Window&) override;
  void windowDidDeminiaturize(platform::Window&) override;
  void windowDidEnterFullScreen(platform::Window&) override;
  void windowDidExitFullScreen(platform::Window&) override;

  // Argument readers: the value under `key`, or WindowManagerArgumentError.
  static bool boolArg(const Args& args, const char* key);
  static double numberArg(const Args& args, const char* key);
  static std::int64_t integerArg(const Args& args, const char* key);
  static const std::string& stringArg(const Args& args, const char* key);

 private:
  void emit(const char* name);
  void setStyleBit(std::uint32_t bit, bool on);
  // The view two levels above the close button, or null.
  platform::ViewPtr titleBarContainer() const;
  // Height of the first screen's frame (0 without a screen).
  static double firstScreenHeight();

  platform::WindowPtr mainWindow_;
  bool isPreventClose_ = false;
  bool isMaximized_ = false;
  bool isMaximizable_ = true;
};

}  // namespace window_manager
