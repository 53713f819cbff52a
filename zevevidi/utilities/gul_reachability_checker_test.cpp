#include "zevevidi/utilities/gul_reachability_checker.h"

#include <gtest/gtest.h>

#include "platform/dispatch/main_loop.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using namespace platform;

class CountingDelegate : public GULReachabilityDelegate {
 public:
  std::vector<GULReachabilityStatus> statuses;
  void reachability_statusChanged(GULReachabilityChecker&, GULReachabilityStatus s) override {
    statuses.push_back(s);
  }
};

class GULReachabilityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GULResetLoggerForTesting();
    GULSetLoggerLevel(GULLoggerLevelDebug);
    delegate_ = std::make_shared<CountingDelegate>();
    checker_ = GULReachabilityChecker::initWithReachabilityDelegate(delegate_, "collect.invalid");
    ASSERT_NE(checker_, nullptr);
    checker_->setReachabilityApi(&fake_.api());
  }
  void TearDown() override { GULResetLoggerForTesting(); }

  std::size_t logged(const std::string& text) {
    GULLoggerFlushForTesting();
    return capture_.count(text);
  }

  ScopedLogCapture capture_;
  ReachabilityTestDouble fake_;
  std::shared_ptr<CountingDelegate> delegate_;
  std::shared_ptr<GULReachabilityChecker> checker_;
};

TEST(GULReachabilityStatusTest, FlagsMapToStatus) {
  struct Case {
    ReachabilityFlags flags;
    GULReachabilityStatus status;
  };
  const Case cases[] = {
      {0, kGULReachabilityNotReachable},      {2, kGULReachabilityViaWifi},
      {2 | 4, kGULReachabilityNotReachable},  {2 | 4 | 32, kGULReachabilityViaWifi},
      {2 | 4 | 8, kGULReachabilityViaWifi},   {2 | 4 | 32 | 16, kGULReachabilityNotReachable},
      {4 | 32, kGULReachabilityNotReachable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GULReachabilityChecker::statusForFlags(c.flags), c.status) << c.flags;
  }
}

TEST_F(GULReachabilityCheckerTest, InjectedFlagsCallTheDelegateOncePerChange) {
  fake_.setFlags(0);
  ASSERT_TRUE(checker_->start());
  EXPECT_EQ(checker_->reachabilityStatus(), kGULReachabilityUnknown);
  MainLoop::instance().drain();
  EXPECT_EQ(checker_->reachabilityStatus(), kGULReachabilityNotReachable);

  fake_.setFlags(kReachabilityFlagsReachable);
  fake_.deliverAgain();  // same status again: no second call
  fake_.setFlags(kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired |
                 kReachabilityFlagsConnectionOnDemand);  // still reachable
  MainLoop::instance().drain();
  fake_.setFlags(0);
  MainLoop::instance().drain();
  EXPECT_EQ(delegate_->statuses, (std::vector<GULReachabilityStatus>{
                                     kGULReachabilityNotReachable, kGULReachabilityViaWifi,
                                     kGULReachabilityNotReachable}));
  EXPECT_EQ(logged("Network status has changed. Code:2, status:Connected"), 1u);
  EXPECT_EQ(logged("Network status has changed. Code:1, status:Disconnected"), 2u);

  // Stopping forgets the status without telling anyone and hears nothing more.
  checker_->stop();
  EXPECT_EQ(checker_->reachabilityStatus(), kGULReachabilityUnknown);
  EXPECT_EQ(fake_.liveHandles(), 0);
  fake_.setFlags(kReachabilityFlagsReachable);
  MainLoop::instance().drain();
  EXPECT_EQ(delegate_->statuses.size(), 3u);
}

TEST_F(GULReachabilityCheckerTest, StartTwiceAndTableSwapWhileActive) {
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(checker_->start());
  EXPECT_EQ(fake_.createdHandles(), 1);
  EXPECT_EQ(logged("Monitoring the network status"), 2u);

  ReachabilityTestDouble other;
  checker_->setReachabilityApi(&other.api());
  EXPECT_EQ(checker_->reachabilityApi(), &fake_.api());
  EXPECT_EQ(logged("Cannot change reachability API while reachability is running."), 1u);
  checker_.reset();  // the destructor stops and releases the handle
  EXPECT_EQ(fake_.liveHandles(), 0);
}

TEST_F(GULReachabilityCheckerTest, StartFailures) {
  fake_.setFailCreate(true);
  EXPECT_FALSE(checker_->start());
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(logged("Failed to start reachability handle"), 0u);

  fake_.setFailCreate(false);
  fake_.setFailSchedule(true);
  EXPECT_FALSE(checker_->start());
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(fake_.liveHandles(), 0) << "a handle that failed to schedule is released";
  EXPECT_EQ(logged("Failed to start reachability handle"), 1u);

  EXPECT_EQ(GULReachabilityChecker::initWithReachabilityDelegate(delegate_, ""), nullptr);
  EXPECT_EQ(logged("Invalid host specified"), 1u);
}

}  // namespace
