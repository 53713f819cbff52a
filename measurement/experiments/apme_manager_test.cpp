#include "measurement/experiments/apme_manager.h"

#include <future>
#include <mutex>

#include "measurement/experiments/apme_flag.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_user_defaults.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;
namespace field = apmpb_field;

constexpr double kStart = 1'700'000'000;

std::shared_ptr<APMPBFlag> intFlag(const std::string& name, std::int64_t value) {
  auto flag = APMPBFlag::initWithMessageInfo();
  NANOSetString(flag.get(), field::Flag::kName, name);
  NANOSetInt64(flag.get(), field::Flag::kIntValue, value);
  return flag;
}

std::shared_ptr<APMPBFlag> valuelessFlag(const std::string& name) {
  auto flag = APMPBFlag::initWithMessageInfo();
  NANOSetString(flag.get(), field::Flag::kName, name);
  return flag;
}

using Experiments = std::vector<std::pair<std::int32_t, std::vector<std::shared_ptr<APMPBFlag>>>>;
std::shared_ptr<APMESnapshot> snapshot(const std::string& sdk, const Experiments& experiments) {
  std::vector<std::shared_ptr<APMEExperiment>> list;
  for (const auto& [id, flags] : experiments)
    list.push_back(APMEExperiment::initWithExperimentID(id, flags));
  return APMESnapshot::initWithSDKName(sdk, list);
}

// An SDK's delegate that records its notices and, inside a notice, runs `inNotice` (which may
// read flags through the client, as the remote configuration does).
class RecordingDelegate : public APMEExperimentObserverDelegate {
 public:
  bool takesNewSnapshots = true;
  bool takesErrors = true;
  std::optional<bool> wantsFetches;
  platform::QueuePtr noticeQueue;
  std::function<std::string(const std::shared_ptr<APMEClient>&)> inNotice;
  platform::QueuePtr managerQueue;

  bool respondsToClientDidReceiveNewSnapshot() const override { return takesNewSnapshots; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override {
    record("snapshot " + client->SDKName() + where(client));
  }
  bool respondsToClientDidReceiveFetchError() const override { return takesErrors; }
  void client_didReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                   const platform::ErrorPtr& error) override {
    record("error " + client->SDKName() + " " + std::to_string(error->code) + where(client));
  }
  std::optional<bool> shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) override {
    return wantsFetches;
  }
  platform::QueuePtr queue() const override { return noticeQueue; }

  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::string where(const std::shared_ptr<APMEClient>& client) {
    std::string text;
    if (managerQueue && managerQueue->isCurrent()) text += " on-manager-queue";
    if (noticeQueue && noticeQueue->isCurrent()) text += " on-own-queue";
    if (!noticeQueue && platform::mainQueue()->isCurrent()) text += " on-main";
    if (inNotice) text += " " + inNotice(client);
    return text;
  }
  void record(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class APMEManagerTest : public apm_testing::StorageTest {
 protected:
  APMEManagerTest() {
    auto queue = platform::makeSerialQueue(APMEWorkerQueueLabel);
    // No network: these tests never fetch.
    taskManager_ = APMETaskManager::initWithQueue(
        queue, APMAlarm::initWithDispatchQueue(queue, APMEManagerAlarmName), nullptr,
        APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName)),
        APMFilePathForDatabaseName(APMEDatabaseFileName), kStart);
    manager_ = APMEManager::initWithTaskManager(taskManager_);
  }
  ~APMEManagerTest() override { env_.runUntilIdle(); }

  std::shared_ptr<APMEClient> add(const std::string& name, const platform::ValueMap& defaults,
                                  std::optional<std::string> diversionKey = std::nullopt) {
    auto property = APMESDKProperty::initWithName(Value(name));
    property->setDiversionKey(std::move(diversionKey));
    auto client = manager_->registerSDKProperty(property, defaults);
    env_.runUntilIdle();
    return client;
  }
  // As a fetch that brought these snapshots reports them.
  void deliver(const std::vector<std::shared_ptr<APMESnapshot>>& snapshots,
               const std::map<std::string, platform::ErrorPtr>& errors = {}) {
    manager_->taskManager_didFinishFetchingExperimentSnapshots(*taskManager_, snapshots, errors);
    env_.runUntilIdle();
  }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  platform::TestEnvironment env_{kStart};
  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<APMEManager> manager_;
};

TEST(APMEFlagTest, FlagsKeepTheKindOfTheirValue) {
  struct Row {
    Value value;
    const char* field;  // the one field that must hold the value
    Value readBack;
  };
  const Row rows[] = {
      {Value(true), "int", Value(std::int64_t{1})},
      {Value(false), "int", Value(std::int64_t{0})},
      {Value(std::int64_t{-7}), "int", Value(std::int64_t{-7})},
      {Value(2.5), "double", Value(2.5)},
      {Value(3.0), "double", Value(3.0)},
      {Value("blue"), "string", Value("blue")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.field);
    const auto flag = APMEFlagWithName(Value("f"), row.value);
    ASSERT_TRUE(flag);
    EXPECT_EQ(NANOGetString(flag.get(), field::Flag::kName), "f");
    EXPECT_EQ(NANOHasField(flag.get(), field::Flag::kIntValue), std::string(row.field) == "int");
    EXPECT_EQ(NANOHasField(flag.get(), field::Flag::kDoubleValue),
              std::string(row.field) == "double");
    EXPECT_EQ(NANOHasField(flag.get(), field::Flag::kStringValue),
              std::string(row.field) == "string");
    EXPECT_FALSE(NANOHasField(flag.get(), field::Flag::kBoolValue));
    EXPECT_EQ(APMEValueFromFlagProto(flag.get()), row.readBack);
  }
}

TEST(APMEFlagTest, RefusedNamesAndValuesAndTheReadingOrder) {
  EXPECT_FALSE(APMEFlagWithName(Value(), Value(1)));
  EXPECT_FALSE(APMEFlagWithName(Value(std::int64_t{4}), Value(1)));
  EXPECT_FALSE(APMEFlagWithName(Value("f"), Value()));
  EXPECT_FALSE(APMEFlagWithName(Value("f"), Value::list({Value(1)})));

  // Field 2 wins over 4, 4 over 3, 3 over 5; a flag without a value reads as null.
  auto flag = valuelessFlag("f");
  EXPECT_TRUE(APMEValueFromFlagProto(flag.get()).isNull());
  EXPECT_TRUE(APMEValueFromFlagProto(nullptr).isNull());
  NANOSetBool(flag.get(), field::Flag::kBoolValue, true);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), Value(true));
  NANOSetString(flag.get(), field::Flag::kStringValue, "s");
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), Value("s"));
  NANOSetDouble(flag.get(), field::Flag::kDoubleValue, 0.5);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), Value(0.5));
  NANOSetInt64(flag.get(), field::Flag::kIntValue, 9);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), Value(std::int64_t{9}));
}

TEST(APMEManagerVersionTest, VersionDropsTheLastThreeCharacters) {
  EXPECT_EQ(APMEManager::version(), 10000);
  EXPECT_EQ(APMEManager::versionFromString("1234"), 1);
  EXPECT_EQ(APMEManager::versionFromString("123"), 0);
  EXPECT_EQ(APMEManager::versionFromString(""), 0);
}

TEST_F(APMEManagerTest, RegistrationCompletesOnTheQueueAndDefaultsKeepTheirKinds) {
  // Before the registration step the SDK is unknown (800012); afterwards a missing flag is
  // only a missing default (800014).
  EXPECT_TRUE(manager_->flagValueForFlagName(Value("on"), Value("sdk")).isNull());
  EXPECT_TRUE(reported(800012));
  auto client = add("sdk", {{Value("on"), Value(true)}, {Value("ratio"), Value(0.25)}});
  ASSERT_TRUE(client);
  clearReports();
  EXPECT_TRUE(client->valueForFlag("absent").isNull());
  EXPECT_TRUE(reported(800014));
  EXPECT_FALSE(reported(800012));
  // YES is stored as the integer 1 and comes back as the number 1.
  EXPECT_EQ(client->valueForFlag("on"), Value(std::int64_t{1}));
  EXPECT_EQ(client->valueForFlag("ratio"), Value(0.25));
  EXPECT_EQ(manager_->clientForSDKName(Value("sdk")), client);

  // A second registration replaces the defaults.
  clearReports();
  auto second = add("sdk", {{Value("on"), Value("text")}});
  EXPECT_TRUE(reported(800003));
  EXPECT_EQ(second->valueForFlag("on"), Value("text"));
  EXPECT_TRUE(second->valueForFlag("ratio").isNull());

  // Refusals.
  EXPECT_FALSE(manager_->registerSDKProperty(nullptr, {}));
  EXPECT_FALSE(manager_->registerSDKProperty(APMESDKProperty::initWithName(Value("")), {}));
  EXPECT_FALSE(manager_->registerSDKProperty(APMESDKProperty::initWithName(Value("x")),
                                             {{Value("bad"), Value::list({})}}));
  EXPECT_FALSE(APMESDKProperty::initWithName(Value(std::int64_t{3})));
  const auto codes = reportedCodes();
  for (const std::int64_t code : {800000, 800001, 800002, 850002, 860000}) {
    EXPECT_NE(std::find(codes.begin(), codes.end(), code), codes.end()) << code;
  }
}

TEST_F(APMEManagerTest, LookupOrderIsActivatedThenLaunchedThenDefault) {
  struct Row {
    const char* name;
    Experiments pending;  // activated before the lookup
    Value expected;
  };
  const Row rows[] = {
      {"activated wins", {{7, {intFlag("f", 1)}}, {0, {intFlag("f", 2)}}}, Value(std::int64_t{1})},
      {"launched next", {{7, {intFlag("g", 1)}}, {0, {intFlag("f", 2)}}}, Value(std::int64_t{2})},
      {"valueless flag passed over", {{7, {valuelessFlag("f")}}}, Value(std::int64_t{3})},
      {"nothing fetched", {}, Value(std::int64_t{3})},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string sdk = "sdk" + std::to_string(n++);
    auto client = add(sdk, {{Value("f"), Value(std::int64_t{3})}});
    if (!row.pending.empty()) {
      deliver({snapshot(sdk, row.pending)});
      platform::ErrorPtr error;
      EXPECT_TRUE(client->activateLatestSnapshot(&error));
    }
    EXPECT_EQ(client->valueForFlag("f"), row.expected);
    EXPECT_EQ(client->objectForKeyedSubscript(Value("f")), row.expected);
  }
  EXPECT_TRUE(rows[0].expected == manager_->flagValueForFlagName(Value("f"), Value("sdk0")));
  // Bad names are refused before the queue is asked.
  clearReports();
  EXPECT_TRUE(manager_->flagValueForFlagName(Value("f"), Value()).isNull());
  EXPECT_TRUE(manager_->flagValueForFlagName(Value(), Value("sdk0")).isNull());
  EXPECT_TRUE(manager_->flagValueForFlagName(Value("f"), Value("")).isNull());
  EXPECT_TRUE(manager_->flagValueForFlagName(Value(""), Value("sdk0")).isNull());
  EXPECT_EQ(reportedCodes(), (std::vector<std::int64_t>{800008, 800009, 800010, 800011}));
}

TEST_F(APMEManagerTest, ActivationMovesTheLaunchedExperimentAndIDsSkipDiversionKeys) {
  auto plain = add("plain", {});
  auto keyed = add("keyed", {}, std::string("abcde"));
  auto emptyKey = add("empty-key", {}, std::string(""));
  auto launchedOnly = add("launched-only", {});
  deliver(
      {snapshot("plain", {{9, {intFlag("a", 1)}}, {4, {intFlag("b", 1)}}, {0, {intFlag("c", 5)}}}),
       snapshot("keyed", {{11, {intFlag("a", 1)}}}),
       snapshot("empty-key", {{12, {intFlag("a", 1)}}}),
       snapshot("launched-only", {{0, {intFlag("l", 6)}}})});
  // Nothing is in force before activation.
  EXPECT_TRUE(manager_->experimentIDs().empty());
  for (const auto& client : {plain, keyed, emptyKey, launchedOnly}) {
    platform::ErrorPtr error;
    EXPECT_TRUE(client->activateLatestSnapshot(&error)) << client->SDKName();
    EXPECT_FALSE(error);
  }
  // Only the plain SDK counts: a key, even an empty one, keeps an SDK's IDs out; the launched
  // experiment (ID 0) is never one of them.
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<std::int64_t>{4, 9}));
  EXPECT_EQ(plain->valueForFlag("c"), Value(std::int64_t{5}));
  EXPECT_EQ(launchedOnly->valueForFlag("l"), Value(std::int64_t{6}));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("launched-only"), 0);

  // A second activation without a new pending snapshot answers NO and leaves the error alone.
  clearReports();
  platform::ErrorPtr error;
  EXPECT_FALSE(plain->activateLatestSnapshot(&error));
  EXPECT_FALSE(error);
  EXPECT_TRUE(reported(800023));
  EXPECT_FALSE(manager_->activateSnapshotOfSDK(Value(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1);
  error.reset();
  EXPECT_FALSE(manager_->activateSnapshotOfSDK(Value(""), &error));
  ASSERT_TRUE(error);

  // Reset to defaults drops the activated snapshot only; reset drops every snapshot but keeps
  // the clients and their defaults.
  plain->resetToDefaults();
  EXPECT_EQ(manager_->experimentIDs(), std::vector<std::int64_t>{});
  EXPECT_EQ(plain->valueForFlag("c"), Value(std::int64_t{5}));
  manager_->reset();
  env_.runUntilIdle();
  EXPECT_TRUE(plain->valueForFlag("c").isNull());
  EXPECT_EQ(manager_->clientForSDKName(Value("plain")), plain);
}

TEST_F(APMEManagerTest, StatusTurnsStaleBeyondThreeDaysInEitherDirection) {
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(""), -1);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("unknown"), -1);
  auto client = add("sdk", {});
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);
  deliver({snapshot("sdk", {{5, {intFlag("a", 1)}}})});
  platform::ErrorPtr error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  struct Row {
    double offset;
    int status;
  };
  for (const Row row :
       {Row{0, 0}, Row{259200, 0}, Row{259200.5, 1}, Row{-259200, 0}, Row{-259200.5, 1}}) {
    env_.setWallClock(kStart + row.offset);
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), row.status) << row.offset;
    EXPECT_EQ(client->hasStaleSnapshot(), row.status == 1) << row.offset;
  }
  env_.setWallClock(kStart);
}

// A delegate that reads a flag inside its notice must get the notice on its own queue or the
// main queue: on the manager's queue the read would wait on the queue it runs on.
TEST_F(APMEManagerTest, NoticesReachTheDelegateOffTheManagersQueue) {
  for (const bool ownQueue : {false, true}) {
    SCOPED_TRACE(ownQueue ? "own queue" : "main queue");
    const std::string sdk = ownQueue ? "own" : "main";
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->managerQueue = manager_->queue();
    if (ownQueue) delegate->noticeQueue = platform::makeSerialQueue("delegate");
    delegate->inNotice = [](const std::shared_ptr<APMEClient>& client) {
      return "read " + client->valueForFlag("f").asString();
    };
    auto client = add(sdk, {{Value("f"), Value("default")}});
    client->setDelegate(delegate);

    deliver({}, {{sdk, platform::Error::make(APMEErrorDomain, -3)}});
    const std::string on = ownQueue ? " on-own-queue" : " on-main";
    EXPECT_EQ(delegate->events(),
              std::vector<std::string>{"error " + sdk + " -3" + on + " read default"});

    // A new snapshot for a delegate that takes notices is kept pending, marked as activated by
    // its client, and announced once stored.
    manager_->taskManager_didUpsertPendingSnapshots(*taskManager_,
                                                    {snapshot(sdk, {{3, {intFlag("f", 1)}}})});
    env_.runUntilIdle();
    EXPECT_EQ(delegate->events().back(), "snapshot " + sdk + on + " read default");
  }
  // Without such a method nothing is announced (800021).
  auto silent = std::make_shared<RecordingDelegate>();
  silent->takesNewSnapshots = false;
  auto client = add("silent", {});
  client->setDelegate(silent);
  clearReports();
  manager_->taskManager_didUpsertPendingSnapshots(*taskManager_, {snapshot("silent", {})});
  env_.runUntilIdle();
  EXPECT_TRUE(silent->events().empty());
  EXPECT_TRUE(reported(800021));
}

TEST_F(APMEManagerTest, FetchesAreWantedUnlessEveryDelegateSaysNo) {
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);  // no client
  auto no = std::make_shared<RecordingDelegate>();
  no->wantsFetches = false;
  add("a", {})->setDelegate(no);
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);
  // A delegate without the method counts as YES, which is not the same as NO.
  auto silent = std::make_shared<RecordingDelegate>();
  auto b = add("b", {});
  b->setDelegate(silent);
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), true);
  silent->wantsFetches = false;
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);
}

// The remote configuration's registration through the engine-facing interface.
class EngineDelegate : public APMExperimentClientDelegate {
 public:
  std::atomic<int> snapshots{0};
  std::atomic<int> errors{0};
  bool fetch = false;
  void clientDidReceiveNewSnapshot() override { ++snapshots; }
  void clientDidReceiveFetchError(const platform::ErrorPtr&) override { ++errors; }
  bool shouldFetchExperimentsForClient() override { return fetch; }
};

TEST_F(APMEManagerTest, EngineRegistrationForwardsNoticesAndFlags) {
  auto delegate = std::make_shared<EngineDelegate>();
  APMExperimentManager& engineSide = *manager_;
  auto client = engineSide.registerSDK("app_measurement", 111500, {}, delegate);
  ASSERT_TRUE(client);
  env_.runUntilIdle();
  auto registered = manager_->clientForSDKName(Value("app_measurement"));
  ASSERT_TRUE(registered);
  EXPECT_EQ(registered->SDKProperty()->version(), 111500);
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);
  delegate->fetch = true;
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), true);

  deliver({snapshot("app_measurement", {{4711, {intFlag("customer_type_enabled", 0)}}})},
          {{"app_measurement", platform::Error::make(APMEErrorDomain, -3)}});
  manager_->taskManager_didUpsertPendingSnapshots(
      *taskManager_,
      {snapshot("app_measurement", {{4711, {intFlag("customer_type_enabled", 0)}}})});
  env_.runUntilIdle();
  EXPECT_EQ(delegate->errors, 1);
  EXPECT_EQ(delegate->snapshots, 1);
  EXPECT_FALSE(client->flagValue("customer_type_enabled"));
  platform::ErrorPtr error;
  EXPECT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_EQ(client->flagValue("customer_type_enabled"), Value(std::int64_t{0}));
  EXPECT_EQ(engineSide.experimentIDs(), std::vector<std::int64_t>{4711});
}

}  // namespace
