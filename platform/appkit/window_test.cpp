#include "platform/appkit/window.h"

#include <gtest/gtest.h>

#include "platform/appkit/application.h"
#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"

namespace platform {
namespace {

TEST(WindowTest, WindowServerCallsOffTheMainThreadAreReported) {
  Application::shared().resetForTesting();
  auto window = std::make_shared<Window>(Rect::make(0, 0, 300, 200), WindowStyleMaskTitled,
                                         BackingStoreType::Buffered, false);
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
  // setFrame, removeFromSuperview, didBecomeActive, close and the application's windowDidClose.
  ASSERT_EQ(capture.count(), 5u);
  for (const auto& failure : capture.failures()) {
    EXPECT_NE(failure.message.find("but was called from queue 'test.window-worker'"),
              std::string::npos)
        << failure.message;
  }
  // Reported, not refused: the calls took effect as before.
  EXPECT_TRUE(window->isClosed());
  EXPECT_TRUE(Application::shared().windows().empty());
  EXPECT_TRUE(controller->view()->subviews().empty());
  Application::shared().resetForTesting();
}

}  // namespace
}  // namespace platform
