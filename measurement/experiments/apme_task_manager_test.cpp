// The fetch schedule and the reading of replies, against a loopback experiments service under
// the mock clock.
#include "measurement/experiments/apme_task_manager.h"

#include <mutex>

#include "measurement/experiments/apme_experiment_request_builder.h"
#include "measurement/experiments/apme_manager.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_user_defaults.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/environment.h"
#include "platform/net/testing/loopback_http_server.h"
#include "zevevidi/utilities/gul_gzip.h"
#include "zevevidi/utilities/gul_network.h"

namespace {

using platform::Value;
namespace field = apmpb_field;

constexpr double kStart = 1'700'000'000;

std::string gzip(const platform::Bytes& bytes) {
  const auto packed = GULGzip::gul_dataByGzippingData(bytes, nullptr);
  return packed ? std::string(packed->begin(), packed->end()) : std::string();
}

// An ExperimentResponse with one snapshot of `sdk` holding experiment `id` with flag f = 1,
// and optionally one SdkResponse of that name with `status`.
platform::Bytes response(const std::string& sdk, std::int32_t id, std::optional<int> status) {
  auto flag = APMPBFlag::initWithMessageInfo();
  NANOSetString(flag.get(), field::Flag::kName, "f");
  NANOSetInt64(flag.get(), field::Flag::kIntValue, 1);
  auto experiment = APMEExperiment::initWithExperimentID(id, {flag});
  auto snapshot = APMESnapshot::initWithSDKName(sdk, {experiment})->proto();
  auto message = APMPBExperimentResponse::initWithMessageInfo();
  platform::ValueList snapshots{Value(platform::ObjectPtr(snapshot))};
  NANOSetArray(message.get(), field::ExperimentResponse::kSnapshots, &snapshots);
  if (status) {
    auto sdkResponse = APMPBSdkResponse::initWithMessageInfo();
    NANOSetString(sdkResponse.get(), field::SdkResponse::kSdkName, sdk);
    NANOSetInt32(sdkResponse.get(), field::SdkResponse::kStatusCode, *status);
    platform::ValueList list{Value(platform::ObjectPtr(sdkResponse))};
    NANOSetArray(message.get(), field::ExperimentResponse::kSdkResponses, &list);
  }
  return *message->protoBuffer();
}

class RecordingTaskDelegate : public APMETaskManagerDelegate {
 public:
  std::optional<bool> wantsFetches;
  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager&) override {
    return wantsFetches;
  }
  void taskManager_didFinishFetchingExperimentSnapshots(
      APMETaskManager&, const Snapshots& snapshots,
      const std::map<std::string, platform::ErrorPtr>& errors) override {
    std::lock_guard lock(mutex);
    std::string text = "fetched";
    for (const auto& s : snapshots)
      text += " " + s->SDKName() + (s->manuallyActivated() ? "(manual)" : "");
    for (const auto& [name, error] : errors)
      text += " error " + name + " " + std::to_string(error->code);
    finished.push_back(text);
  }
  std::mutex mutex;
  std::vector<std::string> finished;
};

class APMETaskManagerTest : public apm_testing::StorageTest {
 protected:
  struct Answer {
    int status = 200;
    std::string body;
  };
  struct Hit {
    double time;  // seconds after kStart
    std::string contentType;
    std::string contentEncoding;
    std::string body;
  };

  APMETaskManagerTest() {
    fastDisk_.skipSync = true;
    server_.server().Post("/sdk-exp", [this](const httplib::Request& in, httplib::Response& out) {
      Answer answer;
      {
        std::lock_guard lock(mutex_);
        hits_.push_back({platform::Clock::current().now() - kStart,
                         in.get_header_value("Content-Type"),
                         in.get_header_value("Content-Encoding"), in.body});
        if (!answers_.empty()) {
          answer = answers_.front();
          answers_.erase(answers_.begin());
        }
      }
      out.status = answer.status;
      if (!answer.body.empty()) out.set_content(answer.body, "application/octet-stream");
    });
    EXPECT_TRUE(server_.start());
    url_ = std::make_unique<platform::ScopedEnvironmentForTesting>("LUMORA_EXPERIMENTS_URL",
                                                                   server_.url(""));
  }
  ~APMETaskManagerTest() override {
    env_.runUntilIdle();
    taskManager_.reset();
    env_.runUntilIdle();
  }

  // A new task manager (as at a process start) over the same state root, started.
  void start() {
    env_.runUntilIdle();
    auto queue = platform::makeSerialQueue(APMEWorkerQueueLabel);
    taskManager_ = APMETaskManager::initWithQueue(
        queue, APMAlarm::initWithDispatchQueue(queue, APMEManagerAlarmName),
        GULNetwork::initWithReachabilityHost("127.0.0.1"),
        APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName)),
        APMFilePathForDatabaseName(APMEDatabaseFileName), env_.now());
    taskManager_->setDelegate(delegate_);
    taskManager_->startTaskManager();
    env_.runUntilIdle();
  }
  // The alarm's time, seconds after kStart; none when nothing is scheduled.
  std::optional<double> scheduled() {
    std::optional<double> time;
    taskManager_->workerQueue()->sync([&] { time = taskManager_->alarm()->scheduledTimestamp(); });
    if (time) *time -= kStart;
    return time;
  }
  void script(std::vector<Answer> answers) {
    std::lock_guard lock(mutex_);
    answers_ = std::move(answers);
  }
  std::vector<double> hitTimes() {
    std::lock_guard lock(mutex_);
    std::vector<double> times;
    for (const auto& hit : hits_)
      times.push_back(hit.time);
    return times;
  }
  std::vector<Hit> hits() {
    std::lock_guard lock(mutex_);
    return hits_;
  }
  double stored(const char* key) {
    return APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName))
        ->doubleForKey(Value(key));
  }
  void advanceTo(double secondsAfterStart) {
    env_.advance(kStart + secondsAfterStart - env_.now());
  }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{kStart};
  platform::testing::LoopbackHTTPServer server_;
  std::unique_ptr<platform::ScopedEnvironmentForTesting> url_;
  std::shared_ptr<RecordingTaskDelegate> delegate_ = std::make_shared<RecordingTaskDelegate>();
  std::shared_ptr<APMETaskManager> taskManager_;
  std::mutex mutex_;
  std::vector<Answer> answers_;
  std::vector<Hit> hits_;
};

TEST_F(APMETaskManagerTest, FirstFetchAfterTenSecondsThenEveryFourHours) {
  APMEExperimentRequestBuilder::sharedInstance()->removeAllSDKPropertiesForTesting();
  start();
  EXPECT_EQ(scheduled(), 10);
  advanceTo(10);
  ASSERT_EQ(hitTimes(), std::vector<double>{10});
  // The request: a gzipped ExperimentRequest with the application part.
  const auto hit = hits().front();
  EXPECT_EQ(hit.contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(hit.contentEncoding, "gzip");
  EXPECT_EQ(stored(APMExperimentFetchSuccessTimestampKey), kStart + 10);
  EXPECT_EQ(scheduled(), 10 + 14400);
  advanceTo(10 + 14400);
  EXPECT_EQ(hitTimes(), (std::vector<double>{10, 10 + 14400}));
}

TEST_F(APMETaskManagerTest, StartAfterASuccessWaitsForTheRestOfTheInterval) {
  struct Row {
    double successAgo;  // seconds before the start; negative: in the future
    double expected;    // first fetch, seconds after the start
  };
  const auto storage = APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName));
  for (const Row row : {Row{3600, 3 * 3600}, Row{5 * 3600, 10}, Row{-3600, 3 * 3600}}) {
    storage->setDouble(kStart - row.successAgo, Value(APMExperimentFetchSuccessTimestampKey));
    start();
    EXPECT_EQ(scheduled(), row.expected) << row.successAgo;
  }
}

TEST_F(APMETaskManagerTest, RetryLadderThenSilenceUntilTheNextStart) {
  script({{200, ""}, {500, ""}, {500, ""}, {500, ""}, {500, ""}, {500, ""}, {500, ""}, {500, ""}});
  start();
  const double base = 10 + 14400;
  std::vector<double> expected{10, base};
  for (const double step : {1800, 5400, 12600, 27000, 55800, 113400})
    expected.push_back(base + step);
  advanceTo(base + 113400 + 3600);
  EXPECT_EQ(hitTimes(), expected);
  EXPECT_TRUE(reported(820024));
  EXPECT_FALSE(scheduled());
  EXPECT_EQ(stored(APMExperimentFetchSuccessTimestampKey), 0);
  advanceTo(base + 113400 + 10 * 86400);
  EXPECT_EQ(hitTimes().size(), expected.size());
  // The next start fetches after 10 seconds.
  start();
  const double restart = env_.now() - kStart;
  EXPECT_EQ(scheduled(), restart + 10);
}

TEST_F(APMETaskManagerTest, RetriesCountFromCreationWithoutASuccess) {
  script({{500, ""}, {500, ""}});
  start();
  advanceTo(1800 + 5400);
  EXPECT_EQ(hitTimes(), (std::vector<double>{10, 1800, 5400}));
}

TEST_F(APMETaskManagerTest, OverloadAnswersHoldFetchesBackTwelveHoursAcrossARestart) {
  for (const int status : {503, 429}) {
    SCOPED_TRACE(status);
    APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName))->clearAllData();
    const double origin = env_.now() - kStart;
    script({{status, ""}});
    start();
    advanceTo(origin + 10);
    EXPECT_EQ(stored(APMExperimentFetchBackoffTimestampKey), kStart + origin + 10);
    EXPECT_EQ(scheduled(), origin + 10 + 43200);
    advanceTo(origin + 600);
    start();  // a restart keeps the hold
    EXPECT_EQ(scheduled(), origin + 10 + 43200);
    advanceTo(origin + 10 + 43200);
    EXPECT_EQ(hitTimes().back(), origin + 10 + 43200);
  }
}

TEST_F(APMETaskManagerTest, RepliesAreReadIntoSnapshotsAndErrors) {
  const std::string big(std::size_t{17} << 20, '\0');
  struct Row {
    const char* name;
    Answer answer;
    const char* told;  // what the delegate hears
    bool pendingRow;   // a pending snapshot is stored
  };
  const Row rows[] = {
      {"snapshot",
       {200, gzip(response("app_measurement", 4711, std::nullopt))},
       "fetched app_measurement",
       true},
      {"status 2",
       {200, gzip(response("app_measurement", 5, 2))},
       "fetched app_measurement error app_measurement -3",
       true},
      {"204 without a body", {204, ""}, "fetched", false},
      {"not gzip", {200, "plain"}, "fetched", false},
      // Mend: a reply that would inflate beyond 16 MiB is refused; the fetch still counts as a
      // success, without snapshots.
      {"over the limit", {200, gzip(platform::Bytes(big.begin(), big.end()))}, "fetched", false},
  };
  start();
  double time = 10;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    {
      std::lock_guard lock(delegate_->mutex);
      delegate_->finished.clear();
    }
    clearReports();
    // Empty the pending table between rows.
    taskManager_->workerQueue()->sync([&] { taskManager_->database()->reset(); });
    script({row.answer});
    advanceTo(time);
    {
      std::lock_guard lock(delegate_->mutex);
      EXPECT_EQ(delegate_->finished, std::vector<std::string>{row.told});
    }
    EXPECT_EQ(stored(APMExperimentFetchSuccessTimestampKey), kStart + time);
    std::size_t pending = 0;
    taskManager_->workerQueue()->sync(
        [&] { pending = taskManager_->database()->fetchAllPendingSnapshots(nullptr)->size(); });
    EXPECT_EQ(pending, row.pendingRow ? 1u : 0u);
    EXPECT_EQ(reported(820023),
              std::string(row.name) == "over the limit" || std::string(row.name) == "not gzip");
    time += 14400;
  }
}

TEST_F(APMETaskManagerTest, DelegateRefusalPostponesAndAnEarlierAlarmStays) {
  delegate_->wantsFetches = false;
  start();
  advanceTo(10);
  EXPECT_TRUE(hitTimes().empty());
  EXPECT_EQ(stored(APMExperimentFetchSuccessTimestampKey), kStart + 10);
  EXPECT_EQ(scheduled(), 10 + 14400);
  // Scheduling again finds the alarm set for an earlier time and leaves it.
  clearReports();
  taskManager_->workerQueue()->sync(
      [&] { taskManager_->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_TRUE(reported(820017));
  EXPECT_EQ(scheduled(), 10 + 14400);
  delegate_->wantsFetches = std::nullopt;  // not implemented: fetches go ahead
  advanceTo(10 + 14400);
  EXPECT_EQ(hitTimes(), std::vector<double>{10 + 14400});
}

}  // namespace
