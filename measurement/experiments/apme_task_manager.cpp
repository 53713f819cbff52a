#include "measurement/experiments/apme_task_manager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "measurement/experiments/apme_experiment_request_builder.h"
#include "measurement/experiments/apme_manager.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_scheduler.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/url.h"
#include "zevevidi/utilities/gul_gzip.h"
#include "zevevidi/utilities/gul_network.h"

namespace {

namespace field = apmpb_field;
using platform::Value;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMEManager::monitor()->logWithLevel(level, code, message, contexts);
}

double now() {
  return platform::Clock::current().now();
}

Value errorValue(const platform::ErrorPtr& error) {
  return error ? Value(error) : Value();
}

Value snapshotsValue(const APMETaskManager::Snapshots& snapshots) {
  platform::ValueList list;
  for (const auto& snapshot : snapshots)
    list.emplace_back(platform::ObjectPtr(snapshot));
  return Value(std::move(list));
}

std::string exceptionText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

std::string APMEExperimentServiceBaseURL() {
  auto base = platform::Environment::current()
                  ->nonEmpty("LUMORA_EXPERIMENTS_URL")
                  .value_or(APMEExperimentServiceDefaultURL);
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base;
}

std::string APMEExperimentServiceEndPointHostName() {
  return APMEExperimentServiceBaseURL() + "/sdk-exp";
}

std::string APMEExperimentServiceReachabilityHostName() {
  const auto url = platform::URL::parse(APMEExperimentServiceBaseURL());
  if (url && url->host() && !url->host()->empty()) return *url->host();
  return platform::URL::parse(APMEExperimentServiceDefaultURL)->host().value_or("");
}

// ---------------------------------------------------------------------------------------------
// Construction

std::shared_ptr<APMETaskManager> APMETaskManager::init() {
  auto queue = platform::makeSerialQueue(APMEWorkerQueueLabel);
  auto alarm = APMAlarm::initWithDispatchQueue(queue, APMEManagerAlarmName);
  auto network = GULNetwork::initWithReachabilityHost(APMEExperimentServiceReachabilityHostName());
  auto storage = APMUserDefaults::initWithSuiteName(std::string(APMExperimentSuiteName));
  return initWithQueue(std::move(queue), std::move(alarm), std::move(network), std::move(storage),
                       APMFilePathForDatabaseName(APMEDatabaseFileName), now());
}

std::shared_ptr<APMETaskManager>
APMETaskManager::initWithQueue(platform::QueuePtr queue, std::shared_ptr<APMAlarm> alarm,
                               std::shared_ptr<GULNetwork> network,
                               std::shared_ptr<APMUserDefaults> persistedStorage,
                               std::string databasePath, double initTimestamp) {
  return std::make_shared<APMETaskManager>(std::move(queue), std::move(alarm), std::move(network),
                                           std::move(persistedStorage), std::move(databasePath),
                                           initTimestamp);
}

APMETaskManager::APMETaskManager(platform::QueuePtr queue, std::shared_ptr<APMAlarm> alarm,
                                 std::shared_ptr<GULNetwork> network,
                                 std::shared_ptr<APMUserDefaults> persistedStorage,
                                 std::string databasePath, double initTimestamp)
    : alarm_(std::move(alarm)), network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)), workerQueue_(std::move(queue)),
      databasePath_(std::move(databasePath)), initializationTimestamp_(initTimestamp) {}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

// ---------------------------------------------------------------------------------------------
// Queue helpers

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      report(1, 820026, "Exception on async worker queue",
             {Value(exceptionText(std::current_exception()))});
    }
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  std::exception_ptr failure;
  workerQueue_->sync([&] {
    try {
      block();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) {
    report(1, 820027, "Exception on sync worker queue", {Value(exceptionText(failure))});
    std::rethrow_exception(failure);
  }
}

// ---------------------------------------------------------------------------------------------
// Start

void APMETaskManager::startTaskManager() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    if (auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
  });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  auto database = APMEDatabase::initWithPath(databasePath_);
  // Without its database the experiments client stays idle for the rest of the process.
  if (!database) return;
  database_ = std::move(database);
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
  const auto database = database_;
  const bool committed = database->performTransaction([&database] {
    platform::ErrorPtr error;
    if (!database->deleteStaleActivatedSnapshots(&error) && error) {
      report(1, 820006, "Cannot delete stale activated snapshots. Error", {errorValue(error)});
      return false;
    }
    error.reset();
    if (!database->activatePendingSnapshotsAutomatically(&error) && error) {
      report(1, 820007, "Cannot activate pending snapshots automatically. Error",
             {errorValue(error)});
      return false;
    }
    return true;
  });
  if (!committed) {
    report(2, 820008, "Failed to start the task manager");
    return;
  }
  report(8, 820009, "Successfully start the task manager");
  const auto listener = delegate();
  if (!listener) return;
  const auto read = [](std::optional<Snapshots> snapshots, const platform::ErrorPtr& error,
                       std::int64_t code, const char* message) {
    if (!snapshots && error) report(2, code, message, {errorValue(error)});
    return snapshots;
  };
  platform::ErrorPtr error;
  auto activated = database->fetchAllActivatedSnapshots(&error);
  activated =
      read(std::move(activated), error, 820010, "Error in fetching all activated snapshots. Error");
  error.reset();
  auto pending = database->fetchAllPendingSnapshots(&error);
  pending =
      read(std::move(pending), error, 820011, "Error in fetching all pending snapshots. Error");
  error.reset();
  auto launched = database->fetchAllLaunchedSnapshots(&error);
  launched =
      read(std::move(launched), error, 820012, "Error in fetching all launched snapshots. Error");
  listener->taskManager_didStartWithActivatedSnapshots(*this, activated, pending, launched);
}

// ---------------------------------------------------------------------------------------------
// Schedule

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess,
                                                             double lastFailure) {
  const double current = now();
  // A success recorded in the future (the clock was moved back) counts as that long ago.
  const double success = current - std::fabs(lastSuccess - current);
  double base = success + APMEFetchIntervalInSeconds;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(base, current + APMEInitialDelayTimeIntervalInSeconds);
  }
  if (!(lastFailure > 0)) return base;
  if (success == 0) base = initializationTimestamp_;
  double time = base;
  for (int i = 0; i < APMERetryCount; ++i) {
    time += APMEFetchRetryIntervalInSeconds * std::pow(2.0, i);
    if (time > lastFailure) return time;
  }
  return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  const double success =
      persistedStorage_->doubleForKey(Value(APMExperimentFetchSuccessTimestampKey));
  const double failure =
      persistedStorage_->doubleForKey(Value(APMExperimentFetchFailureTimestampKey));
  double next = fetchTimeFromLastSuccessfulTimestamp(success, failure);
  if (std::fabs(next) < kEpsilon) {
    persistedStorage_->setObject(Value(), Value(APMExperimentFetchSuccessTimestampKey));
    persistedStorage_->synchronize();
    report(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double current = now();
  const double scheduled = alarm_->scheduledTimestamp().value_or(0);
  if (scheduled != 0 && next >= scheduled) {
    report(8, 820017,
           "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
           {Value(scheduled - current)});
    return;
  }
  const double backoff =
      persistedStorage_->doubleForKey(Value(APMExperimentFetchBackoffTimestampKey));
  if (std::fabs(backoff) >= kEpsilon && current - backoff < APMEFetchBackoffIntervalInSeconds) {
    next = std::max(next, backoff + APMEFetchBackoffIntervalInSeconds);
  }
  double delay = next - current;
  if (delay <= 0) delay = APMEMinimumAlarmDelayInSeconds;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    try {
      self->alarmFired();
    } catch (...) {
      report(1, 820026, "Exception on async worker queue",
             {Value(exceptionText(std::current_exception()))});
    }
  });
}

void APMETaskManager::alarmFired() {
  const auto listener = delegate();
  const std::optional<bool> wanted =
      listener ? listener->taskManagerShouldFetchExperiments(*this) : std::nullopt;
  if (wanted && !*wanted) {
    postponeFetchExperiments();
  } else {
    fetchExperiments();
  }
}

void APMETaskManager::removeTimestamps(bool success, bool failureAndBackoff) {
  if (success) persistedStorage_->setObject(Value(), Value(APMExperimentFetchSuccessTimestampKey));
  if (failureAndBackoff) {
    persistedStorage_->setObject(Value(), Value(APMExperimentFetchFailureTimestampKey));
    persistedStorage_->setObject(Value(), Value(APMExperimentFetchBackoffTimestampKey));
  }
}

void APMETaskManager::postponeFetchExperiments() {
  persistedStorage_->setDouble(now(), Value(APMExperimentFetchSuccessTimestampKey));
  removeTimestamps(false, true);
  persistedStorage_->synchronize();
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---------------------------------------------------------------------------------------------
// Fetch

void APMETaskManager::fetchExperiments() {
  const auto request = APMEExperimentRequestBuilder::sharedInstance()->request();
  const auto bytes = request ? request->protoBuffer() : std::nullopt;
  report(8, 820001, "Fetching new experiments. Request",
         {request ? Value(platform::ObjectPtr(request)) : Value()});
  // Without a network (its reachability watch could not start) nothing is sent, and no
  // completion schedules the next attempt.
  if (!network_) return;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  network_->postURL(APMEExperimentServiceEndPointHostName(), bytes.value_or(platform::Bytes{}),
                    workerQueue_, false,
                    [weak](const platform::HTTPURLResponsePtr& response,
                           const platform::Bytes& data, const platform::ErrorPtr& error) {
                      auto self = weak.lock();
                      if (!self) return;
                      try {
                        std::optional<platform::Bytes> inflated;
                        if (!data.empty()) {
                          platform::ErrorPtr inflateError;
                          // A bounded inflation: an untrusted reply must not grow memory without
                          // bound.
                          inflated = GULGzip::gul_dataByInflatingGzippedData(
                              data, &inflateError, APMEMaximumInflatedResponseLength);
                          if (!inflated && inflateError) {
                            report(2, 820023, "Cannot inflate downloaded experiment data. Error",
                                   {errorValue(inflateError)});
                          }
                        }
                        self->handleFetchingExperimentsResponse(response, inflated, error);
                      } catch (...) {
                        report(1, 820026, "Exception on async worker queue",
                               {Value(exceptionText(std::current_exception()))});
                      }
                    });
}

void APMETaskManager::handleFetchingExperimentsResponse(
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) {
  const int status = response ? response->statusCode : 0;
  const double current = now();
  if (status == 200 || status == 204) {
    const auto message = data ? APMPBExperimentResponse::initWithBuffer(*data) : nullptr;
    report(8, 820003, "Successful fetch. Got network response. Code, data",
           {Value(static_cast<std::int64_t>(status)),
            message ? Value(platform::ObjectPtr(message)) : Value()});
    persistedStorage_->setDouble(current, Value(APMExperimentFetchSuccessTimestampKey));
    removeTimestamps(false, true);
    persistedStorage_->synchronize();
    const auto snapshots = experimentSnapshotsFromExperimentResponse(message.get());
    const auto errors = errorsFromExperimentResponse(message.get());
    if (snapshots && !snapshots->empty() && database_) {
      platform::ErrorPtr writeError;
      if (!database_->upsertPendingExperimentSnapshots(*snapshots, &writeError)) {
        report(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
               {errorValue(writeError), snapshotsValue(*snapshots)});
      }
    }
    if (const auto listener = delegate()) {
      listener->taskManager_didFinishFetchingExperimentSnapshots(
          *this, snapshots.value_or(Snapshots{}),
          errors.value_or(std::map<std::string, platform::ErrorPtr>{}));
    }
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }
  persistedStorage_->setDouble(current, Value(APMExperimentFetchFailureTimestampKey));
  if (status == 503 || status == 429) {
    persistedStorage_->setDouble(current, Value(APMExperimentFetchBackoffTimestampKey));
  }
  persistedStorage_->synchronize();
  report(1, 820002, "Network fetch failed. Will retry later. Code, error",
         {Value(static_cast<std::int64_t>(status)), errorValue(error)});
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---------------------------------------------------------------------------------------------
// Reading the reply

std::optional<APMETaskManager::Snapshots>
APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* response) {
  if (!response) {
    report(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<APMPBSnapshot>> messages;
  for (const auto& element :
       NANOGetArray(response, field::ExperimentResponse::kSnapshots, APMPBSnapshot::classObject())
           .value_or(platform::ValueList{})) {
    if (auto message = element.asObjectOf<APMPBSnapshot>()) messages.push_back(std::move(message));
  }
  if (messages.empty()) {
    for (const auto& element : NANOGetArray(response, field::ExperimentResponse::kSdkResponses,
                                            APMPBSdkResponse::classObject())
                                   .value_or(platform::ValueList{})) {
      const auto sdk = element.asObjectOf<APMPBSdkResponse>();
      if (!sdk || !NANOHasField(sdk.get(), field::SdkResponse::kSnapshot)) continue;
      auto message = NANOGetMessage<APMPBSnapshot>(sdk.get(), field::SdkResponse::kSnapshot);
      if (!message) continue;
      const auto name = NANOGetString(sdk.get(), field::SdkResponse::kSdkName);
      if (name && !name->empty()) NANOSetString(message.get(), field::Snapshot::kSdkName, *name);
      messages.push_back(std::move(message));
    }
  }
  Snapshots snapshots;
  for (const auto& message : messages) {
    if (auto snapshot = APMESnapshot::initWithProtobuf(message.get())) {
      snapshots.push_back(std::move(snapshot));
    } else {
      report(2, 820016, "Cannot create a snapshot from the proto");
    }
  }
  return snapshots;
}

std::optional<std::map<std::string, platform::ErrorPtr>>
APMETaskManager::errorsFromExperimentResponse(const APMPBExperimentResponse* response) {
  if (!response) return std::nullopt;
  std::map<std::string, platform::ErrorPtr> errors;
  for (const auto& element : NANOGetArray(response, field::ExperimentResponse::kSdkResponses,
                                          APMPBSdkResponse::classObject())
                                 .value_or(platform::ValueList{})) {
    const auto sdk = element.asObjectOf<APMPBSdkResponse>();
    if (!sdk || !NANOHasField(sdk.get(), field::SdkResponse::kStatusCode)) continue;
    const std::int32_t status = NANOGetInt32(sdk.get(), field::SdkResponse::kStatusCode);
    const auto name = NANOGetString(sdk.get(), field::SdkResponse::kSdkName);
    if (status == 0 || !name || name->empty()) continue;
    std::int64_t code = -1;
    if (status == 1) code = -2;
    if (status == 2) code = -3;
    if (status == 3) code = -4;
    errors[*name] = platform::Error::make(APMEErrorDomain, code);
  }
  return errors;
}

std::optional<APMETaskManager::Snapshots>
APMETaskManager::experimentSnapshotsFromData(const platform::Bytes& data) {
  if (data.empty()) {
    report(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  const auto message = APMPBExperimentResponse::initWithBuffer(data);
  return experimentSnapshotsFromExperimentResponse(message.get());
}

// ---------------------------------------------------------------------------------------------
// Database operations of the manager

void APMETaskManager::activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot,
                                              double timestamp) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, snapshot = std::move(snapshot), timestamp] {
    auto self = weak.lock();
    if (!self) return;
    if (!snapshot) {
      report(0, 820013, "Cannot activate an empty snapshot");
      return;
    }
    const auto database = self->database_;
    if (!database) return;
    database->performTransaction([&] {
      platform::ErrorPtr error;
      if (!database->activateSnapshot(snapshot, timestamp, &error) && error) {
        report(1, 820014, "Cannot activate snapshot for SDK Name. Error",
               {Value(snapshot->SDKName()), errorValue(error)});
        return false;
      }
      return true;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, SDKName = std::move(SDKName)] {
    auto self = weak.lock();
    if (!self) return;
    if (SDKName.empty()) {
      report(1, 820018, "Cannot reset to defaults for empty SDK name");
      return;
    }
    if (!self->database_) return;
    platform::ErrorPtr error;
    if (!self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error) && error) {
      report(1, 820019, "Cannot reset to defaults in the database. SDK Name, error",
             {Value(SDKName), errorValue(error)});
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(Snapshots snapshots) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, snapshots = std::move(snapshots)] {
    auto self = weak.lock();
    if (!self) return;
    if (snapshots.empty()) {
      report(2, 820020, "Cannot upsert empty pending snapshot list");
      return;
    }
    if (!self->database_) return;
    platform::ErrorPtr error;
    if (self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      if (const auto listener = self->delegate())
        listener->taskManager_didUpsertPendingSnapshots(*self, snapshots);
    } else {
      report(1, 820021, "Cannot upsert pending snapshots into the database. Error",
             {errorValue(error)});
    }
  });
}

void APMETaskManager::reset() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    self->database_->reset();
    self->removeTimestamps(true, true);
    self->persistedStorage_->synchronize();
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    self->database_->closeAndDelete();
    self->removeTimestamps(true, true);
    self->persistedStorage_->synchronize();
  });
}
