#include "platform/appkit/application.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"

namespace platform {
namespace {

struct LaunchDelegate : ApplicationDelegate {
  std::vector<std::string>* order = nullptr;
  void applicationDidFinishLaunching(Application& application) override {
    order->push_back("delegate");
    application.terminate();  // on the main thread: run() returns without looping
  }
};

TEST(ApplicationTest, DidFinishLaunchingIsPostedOnceAfterTheDelegateHeardIt) {
  std::vector<std::string> order;
  auto& center = NotificationCenter::defaultCenter();
  Application& application = Application::shared();
  const auto token = center.addObserverForName(kApplicationDidFinishLaunchingNotification, nullptr,
                                               [&](const Notification& notification) {
                                                 EXPECT_EQ(notification.object, &application);
                                                 order.push_back("notification");
                                               });
  auto delegate = std::make_shared<LaunchDelegate>();
  delegate->order = &order;
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  center.removeObserver(token);
  application.setDelegate(nullptr);
  EXPECT_EQ(order, (std::vector<std::string>{"delegate", "notification"}));
}

// Resigning is heard once, while the application still counts as active, and terminating an
// active application resigns it first.
TEST(ApplicationTest, WillResignActiveIsPostedOnceBeforeTermination) {
  std::vector<std::string> order;
  auto& center = NotificationCenter::defaultCenter();
  Application& application = Application::shared();
  const auto active = center.addObserverForName(
      kApplicationDidBecomeActiveNotification, nullptr, [&](const Notification&) {
        order.push_back("active");
        if (order.size() > 1) return;  // the reactivation below
        application.didResignActive();
        application.didResignActive();  // already inactive: nothing
        application.activateIgnoringOtherApps(true);
        application.terminate();
      });
  const auto resign = center.addObserverForName(kApplicationWillResignActiveNotification, nullptr,
                                                [&](const Notification& notification) {
                                                  EXPECT_EQ(notification.object, &application);
                                                  EXPECT_TRUE(application.isActive());
                                                  order.push_back("resign");
                                                });
  EXPECT_EQ(application.run(), 0);
  center.removeObserver(active);
  center.removeObserver(resign);
  EXPECT_FALSE(application.isActive());
  // The reactivation is heard from inside the first observer call; termination resigned again.
  EXPECT_EQ(order, (std::vector<std::string>{"active", "resign", "active", "resign"}));
}

}  // namespace
}  // namespace platform
