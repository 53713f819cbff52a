#include "platform/appkit/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/appkit/screen.h"
#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

namespace platform {
namespace {

// Records every delegate call by name, in order; answers the two questions as told.
class RecordingDelegate : public WindowDelegate {
 public:
  bool windowShouldClose(Window&) override {
    calls.push_back("shouldClose");
    return allowClose;
  }
  bool windowShouldZoom(Window&, const Rect& toFrame) override {
    calls.push_back("shouldZoom");
    zoomTarget = toFrame;
    return allowZoom;
  }
  void windowDidResize(Window&) override { calls.push_back("resize"); }
  void windowDidMove(Window&) override { calls.push_back("move"); }
  void windowWillMove(Window&) override { calls.push_back("willMove"); }
  void windowDidEndLiveResize(Window&) override { calls.push_back("endLiveResize"); }
  void windowDidBecomeKey(Window&) override { calls.push_back("becomeKey"); }
  void windowDidResignKey(Window&) override { calls.push_back("resignKey"); }
  void windowDidBecomeMain(Window&) override { calls.push_back("becomeMain"); }
  void windowDidResignMain(Window&) override { calls.push_back("resignMain"); }
  void windowDidEnterFullScreen(Window&) override { calls.push_back("enterFullScreen"); }
  void windowDidExitFullScreen(Window&) override { calls.push_back("exitFullScreen"); }

  std::vector<std::string> calls;
  bool allowClose = true;
  bool allowZoom = true;
  Rect zoomTarget;
};

class WindowServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Application::shared().resetForTesting();
    Screen::setScreens(Screen::defaultScreens());
  }
  std::shared_ptr<Window> makeWindow(Rect content, std::uint32_t style = WindowStyleMaskTitled) {
    auto window = std::make_shared<Window>(content, style, BackingStoreType::Buffered, false);
    window->setDelegate(delegate);
    return window;
  }
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(WindowServerTest, DefaultScreenAndItsVisibleFrame) {
  ASSERT_EQ(Screen::screens().size(), 1u);
  const Screen& s = Screen::screens().front();
  EXPECT_EQ(s.frame, Rect::make(0, 0, 1920, 1080));
  EXPECT_EQ(s.visibleFrame, Rect::make(0, 0, 1920, 1055));
  EXPECT_EQ(s.number, 1);
  EXPECT_EQ(s.localizedName, "Simulated Display");
}

TEST_F(WindowServerTest, ALayoutChangePostsTheScreenParametersNotification) {
  int posted = 0;
  auto token = NotificationCenter::defaultCenter().addObserverForName(
      kApplicationDidChangeScreenParametersNotification, nullptr,
      [&](const Notification&) { ++posted; });
  auto screens = Screen::defaultScreens();
  screens.push_back(
      Screen{Rect::make(1920, 0, 1280, 1024), Rect::make(1920, 0, 1280, 1024), 2, "Second", 1});
  Screen::setScreens(screens);
  NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(Screen::screenForRect(Rect::make(2000, 10, 100, 100))->number, 2);
}

TEST_F(WindowServerTest, FrameChangesReportSizeBeforePosition) {
  auto window = makeWindow(Rect::make(100, 200, 800, 572));
  EXPECT_EQ(window->frame(), Rect::make(100, 200, 800, 600));  // content plus the title bar
  window->setFrame(Rect::make(10, 20, 400, 300), true);
  window->setFrame(Rect::make(10, 20, 500, 300), true);
  window->setFrame(Rect::make(11, 20, 500, 300), true, /*animate=*/true);
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"resize", "move", "resize", "move"}));
  EXPECT_EQ(window->frame(), Rect::make(11, 20, 500, 300));  // animated changes land at once
}

TEST_F(WindowServerTest, ZoomAsksFirstAndTogglesBetweenVisibleAndPreviousFrame) {
  auto window = makeWindow(Rect::make(100, 200, 800, 572));
  window->zoom();
  EXPECT_EQ(delegate->zoomTarget, Rect::make(0, 0, 1920, 1055));
  EXPECT_TRUE(window->isZoomed());
  window->zoom();
  EXPECT_EQ(window->frame(), Rect::make(100, 200, 800, 600));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"shouldZoom", "resize", "move", "shouldZoom",
                                                       "resize", "move"}));
  delegate->allowZoom = false;
  window->zoom();
  EXPECT_FALSE(window->isZoomed());
}

TEST_F(WindowServerTest, TitleBarButtonsAndHeights) {
  auto titled = makeWindow(Rect::make(0, 0, 400, 300));
  auto close = titled->standardWindowButton(WindowButton::Close);
  ASSERT_TRUE(close);
  ASSERT_TRUE(close->superview() && close->superview()->superview());
  EXPECT_EQ(titled->titleBarHeight(), 28);
  titled->setStyleMask(titled->styleMask() | WindowStyleMaskFullSizeContentView);
  EXPECT_EQ(titled->titleBarHeight(), 0);

  auto borderless = makeWindow(Rect::make(0, 0, 400, 300), WindowStyleMaskBorderless);
  EXPECT_EQ(borderless->standardWindowButton(WindowButton::Zoom), nullptr);
  EXPECT_EQ(borderless->titleBarHeight(), 0);
}

TEST_F(WindowServerTest, ResizeIncrementsClearAnyAspectRatio) {
  auto window = makeWindow(Rect::make(0, 0, 400, 300));
  window->setContentAspectRatio({1.5, 1});
  window->setResizeIncrements({1, 1});
  EXPECT_EQ(window->contentAspectRatio(), (Size{0, 0}));
  window->setAspectRatio({2, 1});
  EXPECT_EQ(window->contentAspectRatio(), (Size{0, 0}));
  EXPECT_EQ(window->aspectRatio(), (Size{2, 1}));
}

TEST_F(WindowServerTest, PanelsBecomeKeyButNeverMain) {
  auto window = makeWindow(Rect::make(0, 0, 400, 300));
  auto panel = std::make_shared<Panel>(Rect::make(0, 0, 200, 100), WindowStyleMaskTitled,
                                       BackingStoreType::Buffered, false);
  auto panelDelegate = std::make_shared<RecordingDelegate>();
  panel->setDelegate(panelDelegate);
  window->makeKeyAndOrderFront();
  panel->makeKeyAndOrderFront();
  EXPECT_TRUE(panel->isKeyWindow());
  EXPECT_FALSE(panel->isMainWindow());
  EXPECT_TRUE(window->isMainWindow());
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"becomeKey", "becomeMain", "resignKey"}));
  EXPECT_EQ(panelDelegate->calls, (std::vector<std::string>{"becomeKey"}));
}

TEST_F(WindowServerTest, PerformCloseHonoursTheDelegate) {
  auto window = makeWindow(Rect::make(0, 0, 400, 300));
  window->makeKeyAndOrderFront();
  delegate->allowClose = false;
  window->performClose();
  EXPECT_FALSE(window->isClosed());
  delegate->allowClose = true;
  window->performClose();
  EXPECT_TRUE(window->isClosed());
  EXPECT_TRUE(Application::shared().windows().empty());
}

TEST_F(WindowServerTest, FullScreenTakesTheScreensFrameAndGivesItBack) {
  auto window = makeWindow(Rect::make(100, 100, 400, 272));
  window->toggleFullScreen();
  EXPECT_EQ(window->frame(), Rect::make(0, 0, 1920, 1080));
  EXPECT_TRUE(window->styleMask() & WindowStyleMaskFullScreen);
  window->toggleFullScreen();
  EXPECT_EQ(window->frame(), Rect::make(100, 100, 400, 300));
  EXPECT_EQ(delegate->calls.back(), "exitFullScreen");
}

TEST_F(WindowServerTest, UserActionsSendTheirOwnCalls) {
  auto window = makeWindow(Rect::make(0, 0, 400, 272));
  window->simulateDrag({50, 60});
  window->simulateLiveResize(Rect::make(50, 60, 600, 400));
  window->setMovable(false);
  window->simulateDrag({0, 0});
  EXPECT_EQ(delegate->calls,
            (std::vector<std::string>{"willMove", "move", "resize", "endLiveResize"}));
}

TEST_F(WindowServerTest, WindowServerCallsOffTheMainThreadAreReported) {
  auto window = makeWindow(Rect::make(0, 0, 300, 200));
  auto controller = std::make_shared<ViewController>();
  auto child = std::make_shared<View>();
  {
    ScopedAssertionCapture capture;
    window->setContentViewController(controller);
    window->makeKeyAndOrderFront();
    controller->view()->addSubview(child);
    EXPECT_EQ(capture.count(), 0u);
  }
  ScopedAssertionCapture capture;
  auto worker = makeSerialQueue("test.window-worker");
  worker->async([&] {
    window->setFrame(Rect::make(0, 0, 640, 480), true);
    child->removeFromSuperview();
    Application::shared().didBecomeActive();
    window->close();
  });
  worker->sync([] {});
  std::vector<std::string> reported;
  for (const auto& failure : capture.failures()) {
    EXPECT_NE(failure.message.find("but was called from queue 'test.window-worker'"),
              std::string::npos)
        << failure.message;
    reported.push_back(failure.message.substr(0, failure.message.find(' ')));
  }
  for (const char* method : {"setFrame", "removeFromSuperview", "didBecomeActive", "close"}) {
    EXPECT_NE(std::find(reported.begin(), reported.end(), method), reported.end()) << method;
  }
  // Reported, not refused: the calls took effect as before.
  EXPECT_TRUE(window->isClosed());
  EXPECT_TRUE(Application::shared().windows().empty());
  EXPECT_TRUE(controller->view()->subviews().empty());
}

}  // namespace
}  // namespace platform
