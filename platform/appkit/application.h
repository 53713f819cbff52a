// The simulated application: one per process, with a delegate, a list of open windows and the
// run loop (the main loop of platform/dispatch). Stands in for the platform's application object
// and its main entry.
//
// applicationMain loads an interface description (the delegate and the windows it names), calls
// awakeFromNib on every loaded window, tells the delegate that launching finished, and runs the
// main loop until terminate. SIGINT and SIGTERM close the main window (so an application that
// ends with its last window ends on them too). Main thread only, except terminate.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/controls.h"
#include "platform/appkit/geometry.h"
#include "platform/appkit/window.h"
#include "platform/dispatch/sequence_checker.h"
#include "platform/foundation/application_notifications.h"

namespace platform {

class Application;

// Activation policies, as the platform numbers them.
enum class ActivationPolicy { Regular = 0, Accessory = 1, Prohibited = 2 };

// Optional answers to the application's questions; the defaults are the platform's.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationWillFinishLaunching(Application&) {}
  virtual void applicationDidFinishLaunching(Application&) {}
  virtual void applicationWillTerminate(Application&) {}
  virtual bool applicationShouldTerminateAfterLastWindowClosed(Application&) { return false; }
  virtual bool applicationSupportsSecureRestorableState(Application&) { return false; }
};
using ApplicationDelegatePtr = std::shared_ptr<ApplicationDelegate>;

// What a main interface file holds: how to make the application's delegate and its windows.
struct InterfaceDescription {
  struct WindowEntry {
    std::string title;
    Rect contentRect;
    std::uint32_t styleMask = WindowStyleMaskTitled | WindowStyleMaskClosable |
                              WindowStyleMaskMiniaturizable | WindowStyleMaskResizable;
    bool visibleAtLaunch = true;
    // Instantiates the window's class with its designated initialiser.
    std::function<WindowPtr(Rect contentRect, std::uint32_t styleMask, BackingStoreType backing,
                            bool defer)>
        make;
  };
  std::function<ApplicationDelegatePtr()> makeDelegate;
  std::vector<WindowEntry> windows;
};

class Application {
 public:
  // The application of this process.
  static Application& shared();

  ApplicationDelegatePtr delegate() const { return delegate_; }
  void setDelegate(ApplicationDelegatePtr delegate) { delegate_ = std::move(delegate); }

  // Open windows, in the order they were opened. The first is the main window.
  const std::vector<WindowPtr>& windows() const { return windows_; }
  WindowPtr mainWindow() const { return windows_.empty() ? nullptr : windows_.front(); }
  // Open windows front to back.
  std::vector<WindowPtr> orderedWindows() const;
  // The window receiving keyboard input, and the focused main window (Window keeps these).
  WindowPtr keyWindow() const { return keyWindow_.lock(); }
  WindowPtr focusedMainWindow() const { return focusedMain_.lock(); }
  void setKeyWindow(const WindowPtr& window) { keyWindow_ = window; }
  void setFocusedMainWindow(const WindowPtr& window) { focusedMain_ = window; }
  void orderFront(Window& window);
  void orderBack(Window& window);

  // Activation: activating an inactive application posts the became-active notification.
  bool isActive() const { return active_; }
  void activateIgnoringOtherApps(bool ignoringOtherApps);
  bool lastActivationIgnoredOtherApps() const { return lastActivationIgnoredOthers_; }
  ActivationPolicy activationPolicy() const { return activationPolicy_; }
  void setActivationPolicy(ActivationPolicy policy) { activationPolicy_ = policy; }
  ImagePtr applicationIconImage() const { return iconImage_; }
  void setApplicationIconImage(ImagePtr image) { iconImage_ = std::move(image); }
  DockTile& dockTile() { return dockTile_; }
  // Whether a mouse-down is being delivered (the event a window drag starts from). The simulated
  // window server sets it while the person holds the button.
  bool hasCurrentMouseDown() const { return mouseDown_; }
  void setCurrentMouseDown(bool down) { mouseDown_ = down; }

  // Loads `description`: makes the delegate and the windows, then calls awakeFromNib on each.
  void loadInterface(const InterfaceDescription& description);
  // Runs the main loop until terminate. Returns the exit status (0).
  int run();
  bool isRunning() const { return running_; }
  // Tells the delegate, then stops the run loop. Safe from any thread (posted to the main loop).
  void terminate();
  // The application became active: posts kApplicationDidBecomeActiveNotification. Main thread.
  void didBecomeActive();
  // The main window lost focus to another application (simulated window server): posts
  // kApplicationWillResignActiveNotification while still active, then counts as inactive. Also
  // run by terminate. Nothing when not active. Main thread.
  void didResignActive();

  // Window bookkeeping (called by Window).
  void addWindow(WindowPtr window);
  void windowDidClose(Window& window);

  // Tests: forget windows and delegate.
  void resetForTesting();

 private:
  Application() = default;
  ApplicationDelegatePtr delegate_;
  std::vector<WindowPtr> windows_;
  std::vector<std::weak_ptr<Window>> zOrder_;  // front to back
  std::weak_ptr<Window> keyWindow_;
  std::weak_ptr<Window> focusedMain_;
  bool active_ = false;
  bool mouseDown_ = false;
  bool lastActivationIgnoredOthers_ = false;
  ActivationPolicy activationPolicy_ = ActivationPolicy::Regular;
  ImagePtr iconImage_ = std::make_shared<Image>(Image{"AppIcon", {128, 128}});
  DockTile dockTile_;
  bool running_ = false;
  bool terminating_ = false;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};

// The process's arguments as given to applicationMain (empty before).
const std::vector<std::string>& processArguments();
void setProcessArguments(std::vector<std::string> arguments);

// The application main: records the arguments, loads the interface, runs the application and
// returns its exit status.
int applicationMain(int argc, char** argv, const InterfaceDescription& description);

}  // namespace platform
