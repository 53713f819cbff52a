#include "measurement/storage/apm_scheduler.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "measurement/storage/storage_test_support.h"
#include "platform/core/exception.h"

namespace {

using testing::ElementsAre;

class APMSchedulerTest : public apm_testing::StorageTest {
 protected:
  void SetUp() override { monitor(); }
  std::shared_ptr<APMScheduler> scheduler_ =
      APMScheduler::initWithWorkerQueueLabel(APMSchedulerWorkerQueueLabel);
};

TEST_F(APMSchedulerTest, AsynchronousBlocksRunInOrderAndAThrowingBlockDoesNotStopTheQueue) {
  std::vector<int> ran;
  scheduler_->scheduleOnWorkerQueueBlockID("T:1", [&] { ran.push_back(1); });
  scheduler_->scheduleOnWorkerQueueBlockID(
      "T:2", [] { throw platform::Exception(platform::kRangeException, "index 9 beyond bounds"); });
  scheduler_->scheduleOnWorkerQueueBlockID("T:3", [] { throw 42; });
  scheduler_->scheduleOnWorkerQueueBlockID("T:4", [&] {
    EXPECT_TRUE(scheduler_->workerQueue()->isCurrent());
    ran.push_back(4);
  });
  scheduler_->workerQueue()->sync([] {});
  EXPECT_THAT(ran, ElementsAre(1, 4));
  const auto reports = this->reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].code, 30000);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Exception on worker queue. Block ID=T:2. Exception");
  ASSERT_EQ(reports[0].contexts.size(), 1u);
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(reports[0].contexts[0]),
            platform::kRangeException);
  EXPECT_EQ(reports[1].message, "Exception on worker queue. Block ID=T:3. Exception");
}

TEST_F(APMSchedulerTest, SynchronousFailureReportsTheExceptionThenTheFailedTask) {
  bool ran = false;
  scheduler_->dispatchSyncOnWorkerQueueBlockID("T:5", [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(reports().empty());

  scheduler_->dispatchSyncOnWorkerQueueBlockID("T:6", [] { throw std::runtime_error("boom"); });
  const auto reports = this->reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].code, 30003);
  EXPECT_EQ(reports[0].message,
            "Exception on worker queue when processing sync block. Block ID=T:6. Exception");
  EXPECT_EQ(reports[1].code, 30004);
  EXPECT_EQ(reports[1].level, 4);
  EXPECT_EQ(reports[1].message, "Synchronous task failed. Block ID=T:6");
}

TEST_F(APMSchedulerTest, EmptyBlocksAreReportedAndNotRun) {
  scheduler_->scheduleOnWorkerQueueBlockID("T:7", nullptr);
  scheduler_->dispatchSyncOnWorkerQueueBlockID("T:8", nullptr);
  const auto reports = this->reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].code, 30005);
  EXPECT_EQ(reports[0].message,
            "Nil block dispatched asynchronously on worker queue. Block ID=T:7.");
  EXPECT_EQ(reports[1].code, 30002);
  EXPECT_EQ(reports[1].message,
            "Nil block dispatched synchronously on worker queue. Block ID=T:8.");
}

TEST_F(APMSchedulerTest, MainThreadGuard) {
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
  std::atomic<bool> offMain{false};
  std::thread([&] { offMain = APMScheduler::checkOnBackgroundThreadWithMethodName("x"); }).join();
  EXPECT_TRUE(offMain);
  const auto reports = this->reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].code, 30001);
  EXPECT_EQ(reports[0].message, "Method <empty method name> should execute on background thread");
  EXPECT_EQ(reports[1].message, "Method uploadData should execute on background thread");
}

}  // namespace
