#include "platform/net/reachability.h"

#include <gtest/gtest.h>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

TEST(ReachabilityTest, LoopbackHostIsReachableAndReportedOnceScheduled) {
  TestEnvironment env;
  const auto& api = defaultReachabilityApi();
  EXPECT_EQ(api.createWithName(""), nullptr);
  ReachabilityHandle* handle = api.createWithName("127.0.0.1");
  ASSERT_NE(handle, nullptr);
  std::vector<ReachabilityFlags> seen;
  ASSERT_TRUE(api.setCallback(handle, [&](ReachabilityHandle* h, ReachabilityFlags f) {
    EXPECT_EQ(h, handle);
    EXPECT_TRUE(MainLoop::isMainThread());
    seen.push_back(f);
  }));
  ASSERT_TRUE(api.scheduleWithMainLoop(handle));
  // The first report is work in flight from the moment the handle is scheduled.
  env.runUntilIdle();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0] & kReachabilityFlagsReachable);
  EXPECT_TRUE(seen[0] & kReachabilityFlagsIsLocalAddress);
  EXPECT_TRUE(api.unscheduleFromMainLoop(handle));
  api.release(handle);
}

TEST(ReachabilityTest, NothingIsDeliveredAfterUnschedule) {
  const auto& api = defaultReachabilityApi();
  ReachabilityHandle* handle = api.createWithName("localhost");
  ASSERT_NE(handle, nullptr);
  int calls = 0;
  api.setCallback(handle, [&](ReachabilityHandle*, ReachabilityFlags) { ++calls; });
  ASSERT_TRUE(api.scheduleWithMainLoop(handle));
  // The first report is queued by the watcher; unscheduling before the main loop runs it
  // must drop it.
  api.unscheduleFromMainLoop(handle);
  MainLoop::instance().drain();
  EXPECT_EQ(calls, 0);
  api.release(handle);
}

TEST(ReachabilityTest, TestDoubleDeliversChangesAndScriptedFailures) {
  ReachabilityTestDouble fake;
  const auto& api = fake.api();
  fake.setFlags(0);
  ReachabilityHandle* handle = api.createWithName("example.invalid");
  ASSERT_NE(handle, nullptr);
  std::vector<ReachabilityFlags> seen;
  api.setCallback(handle, [&](ReachabilityHandle*, ReachabilityFlags f) { seen.push_back(f); });
  api.scheduleWithMainLoop(handle);
  fake.setFlags(kReachabilityFlagsReachable);
  fake.setFlags(kReachabilityFlagsReachable);  // no change, no delivery
  MainLoop::instance().drain();
  EXPECT_EQ(seen, (std::vector<ReachabilityFlags>{0, kReachabilityFlagsReachable}));
  api.unscheduleFromMainLoop(handle);
  fake.setFlags(0);
  MainLoop::instance().drain();
  EXPECT_EQ(seen.size(), 2u);
  api.release(handle);
  EXPECT_EQ(fake.liveHandles(), 0);

  fake.setFailCreate(true);
  EXPECT_EQ(api.createWithName("a"), nullptr);
  fake.setFailCreate(false);
  fake.setFailSchedule(true);
  ReachabilityHandle* second = api.createWithName("a");
  EXPECT_FALSE(api.scheduleWithMainLoop(second));
  api.release(second);
  EXPECT_EQ(fake.hostsRequested(), (std::vector<std::string>{"example.invalid", "a", "a"}));
}

}  // namespace
}  // namespace platform
