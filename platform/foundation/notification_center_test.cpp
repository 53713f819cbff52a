#include "platform/foundation/notification_center.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/log/log.h"

namespace platform {
namespace {

// Records "<observer>:<name>" for each delivery.
struct Recorder {
  std::vector<std::string> seen;
  NotificationHandler as(std::string who) {
    return [this, who](const Notification& n) { seen.push_back(who + ":" + n.name); };
  }
};

TEST(NotificationCenterTest, DeliversByNameAndObjectInRegistrationOrder) {
  NotificationCenter center;
  Recorder r;
  int window1 = 0, window2 = 0;
  center.addObserverForName("resize", &window1, r.as("w1-resize"));
  center.addObserverForName("", nullptr, r.as("all"));
  center.addObserverForName("resize", nullptr, r.as("any-resize"));
  center.addObserverForName("", &window2, r.as("w2-all"));
  center.addObserverForName("close", nullptr, r.as("any-close"));

  center.postNotificationName("resize", &window1);
  center.postNotificationName("resize", &window2);
  center.postNotificationName("close");
  EXPECT_EQ(r.seen, (std::vector<std::string>{
                        "w1-resize:resize", "all:resize", "any-resize:resize",  // window1
                        "all:resize", "any-resize:resize", "w2-all:resize",     // window2
                        "all:close", "any-close:close"}));                      // no object
}

TEST(NotificationCenterTest, PostIsSynchronousOnThePostersThreadAndCarriesUserInfo) {
  NotificationCenter center;
  std::thread::id ranOn;
  Value info;
  center.addObserverForName("ready", nullptr, [&](const Notification& n) {
    ranOn = std::this_thread::get_id();
    info = Value(n.userInfo);
  });
  std::thread::id poster;
  std::thread([&] {
    poster = std::this_thread::get_id();
    center.postNotificationName("ready", nullptr, ValueMap{{"name", "__DEFAULT__"}});
    // Delivered before post returns.
    EXPECT_EQ(ranOn, poster);
  }).join();
  EXPECT_EQ(info, Value::map({{"name", "__DEFAULT__"}}));
}

TEST(NotificationCenterTest, RemovalByTokenAlsoDuringAPost) {
  NotificationCenter center;
  Recorder r;
  NotificationToken second;
  const auto first = center.addObserverForName("tick", nullptr, [&](const Notification& n) {
    r.seen.push_back("first:" + n.name);
    center.removeObserver(second);  // removed before its turn: not called
  });
  second = center.addObserverForName("tick", nullptr, r.as("second"));
  NotificationToken self;
  self = center.addObserverForName("tick", nullptr, [&](const Notification& n) {
    r.seen.push_back("self:" + n.name);
    center.removeObserver(self);
    // Added during a post: not part of it.
    center.addObserverForName("tick", nullptr, r.as("late"));
  });
  center.postNotificationName("tick");
  center.removeObserver(first);
  center.removeObserver(first);  // idempotent
  center.removeObserver(NotificationToken{});
  center.postNotificationName("tick");
  EXPECT_EQ(r.seen, (std::vector<std::string>{"first:tick", "self:tick", "late:tick"}));
  EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ObserverMayPostAndAThrowingObserverDoesNotStopTheOthers) {
  NotificationCenter center;
  Recorder r;
  center.addObserverForName("outer", nullptr, [&](const Notification&) {
    r.seen.push_back("outer");
    center.postNotificationName("inner");
  });
  center.addObserverForName("inner", nullptr, r.as("in"));
  center.addObserverForName("outer", nullptr,
                            [](const Notification&) { throw std::runtime_error("bad observer"); });
  center.addObserverForName("outer", nullptr, r.as("after"));
  ScopedLogCapture log;
  center.postNotificationName("outer");
  EXPECT_EQ(r.seen, (std::vector<std::string>{"outer", "in:inner", "after:outer"}));
  EXPECT_EQ(log.count("bad observer"), 1u);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRemovalsAreSafe) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto token = center.addObserverForName("n", nullptr, [&](const Notification&) { ++calls; });
        center.postNotificationName("n");
        center.removeObserver(token);
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(center.observerCount(), 0u);
  EXPECT_GE(calls.load(), 800);  // each post reaches at least its own observer
}

TEST(NotificationCenterTest, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace platform
