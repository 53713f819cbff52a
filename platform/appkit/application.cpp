#include "platform/appkit/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/foundation/notification_center.h"

namespace platform {

namespace {

std::vector<std::string>& argumentsStorage() {
  static std::vector<std::string> arguments;
  return arguments;
}

// SIGINT and SIGTERM reach the main loop through this pipe: the handler only writes a byte.
int g_signalPipe[2] = {-1, -1};

void onSignal(int signal) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signal);
  if (g_signalPipe[1] >= 0) (void)!::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

// Watches the signal pipe while the application runs; a closing byte 0 stops it.
class SignalWatcher {
 public:
  SignalWatcher() {
    if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
    thread_ = std::thread([fd = g_signalPipe[0]] {
      unsigned char byte;
      while (true) {
        ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return;
        MainLoop::instance().post([] {
          // Closing the main window ends an application that ends with its last window; one
          // without a window left is simply terminated.
          auto window = Application::shared().mainWindow();
          if (window) {
            window->close();
          } else {
            Application::shared().terminate();
          }
        });
      }
    });
  }
  ~SignalWatcher() {
    if (!thread_.joinable()) return;
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    unsigned char stop = 0;
    (void)!::write(g_signalPipe[1], &stop, 1);
    thread_.join();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
  }

 private:
  std::thread thread_;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

}  // namespace

Application& Application::shared() {
  static Application* application = new Application();
  return *application;
}

void Application::loadInterface(const InterfaceDescription& description) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (description.makeDelegate) delegate_ = description.makeDelegate();
  std::vector<std::pair<WindowPtr, bool>> loaded;
  for (const auto& entry : description.windows) {
    WindowPtr window = entry.make ? entry.make(entry.contentRect, entry.styleMask,
                                               BackingStoreType::Buffered, false)
                                  : std::make_shared<Window>(entry.contentRect, entry.styleMask,
                                                             BackingStoreType::Buffered, false);
    if (!window) continue;
    window->setTitle(entry.title);
    addWindow(window);
    loaded.emplace_back(window, entry.visibleAtLaunch);
  }
  // Every object of the description exists before any of them wakes.
  for (auto& [window, visible] : loaded)
    window->awakeFromNib();
  for (auto& [window, visible] : loaded) {
    if (visible) window->makeKeyAndOrderFront();
  }
}

int Application::run() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  SignalWatcher signals;
  running_ = true;
  terminating_ = false;
  if (delegate_) delegate_->applicationWillFinishLaunching(*this);
  if (delegate_) delegate_->applicationDidFinishLaunching(*this);
  NotificationCenter::defaultCenter().postNotificationName(
      kApplicationDidFinishLaunchingNotification, this);
  // A launched application is the active one.
  if (!terminating_) didBecomeActive();
  if (!terminating_) MainLoop::instance().run();
  // Work posted before the quit still runs once (the reply to the call that terminated the
  // application, for one), so nothing already answered is lost at exit.
  MainLoop::instance().drain();
  running_ = false;
  return 0;
}

void Application::didBecomeActive() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  active_ = true;
  NotificationCenter::defaultCenter().postNotificationName(kApplicationDidBecomeActiveNotification,
                                                           this);
}

void Application::didResignActive() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!active_) return;
  NotificationCenter::defaultCenter().postNotificationName(kApplicationWillResignActiveNotification,
                                                           this);
  active_ = false;
}

void Application::terminate() {
  if (!MainLoop::isMainThread()) {
    MainLoop::instance().post([] { Application::shared().terminate(); });
    return;
  }
  if (terminating_) return;
  terminating_ = true;
  // Observers hear that the application stops being in front before it goes.
  didResignActive();
  if (delegate_) delegate_->applicationWillTerminate(*this);
  MainLoop::instance().quit();
}

void Application::addWindow(WindowPtr window) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!window || window->isClosed()) return;
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) {
    zOrder_.push_back(window);
    windows_.push_back(std::move(window));
  }
}

std::vector<WindowPtr> Application::orderedWindows() const {
  std::vector<WindowPtr> ordered;
  for (const auto& weak : zOrder_) {
    auto window = weak.lock();
    if (window && !window->isClosed()) ordered.push_back(std::move(window));
  }
  return ordered;
}

void Application::orderFront(Window& window) {
  auto self = window.weak_from_this();
  std::erase_if(zOrder_, [&](const std::weak_ptr<Window>& w) { return w.lock().get() == &window; });
  zOrder_.insert(zOrder_.begin(), self);
}

void Application::orderBack(Window& window) {
  auto self = window.weak_from_this();
  std::erase_if(zOrder_, [&](const std::weak_ptr<Window>& w) { return w.lock().get() == &window; });
  zOrder_.push_back(self);
}

void Application::activateIgnoringOtherApps(bool ignoringOtherApps) {
  lastActivationIgnoredOthers_ = ignoringOtherApps;
  if (!active_) didBecomeActive();
}

void Application::windowDidClose(Window& window) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [&](const WindowPtr& w) { return w.get() == &window; });
  if (it == windows_.end()) return;
  windows_.erase(it);
  std::erase_if(zOrder_, [&](const std::weak_ptr<Window>& w) {
    auto locked = w.lock();
    return !locked || locked.get() == &window;
  });
  if (windows_.empty() && delegate_ &&
      delegate_->applicationShouldTerminateAfterLastWindowClosed(*this)) {
    terminate();
  }
}

void Application::resetForTesting() {
  windows_.clear();
  zOrder_.clear();
  keyWindow_.reset();
  focusedMain_.reset();
  active_ = false;
  activationPolicy_ = ActivationPolicy::Regular;
  dockTile_ = DockTile{};
  delegate_.reset();
  running_ = false;
  terminating_ = false;
}

const std::vector<std::string>& processArguments() {
  return argumentsStorage();
}

void setProcessArguments(std::vector<std::string> arguments) {
  argumentsStorage() = std::move(arguments);
}

int applicationMain(int argc, char** argv, const InterfaceDescription& description) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.emplace_back(argv[i] ? argv[i] : "");
  setProcessArguments(std::move(arguments));
  Application& application = Application::shared();
  application.loadInterface(description);
  return application.run();
}

}  // namespace platform
