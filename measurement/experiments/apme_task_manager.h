// APMETaskManager: the experiments client's work on its own serial queue
// "APMExperimentWorkerQueue": the experiments database, the fetch schedule with its three
// persisted timestamps (preferences suite "APMExperimentSuiteName"), the request to the
// experiments service and the reading of its reply, and the database side of activation and
// reset. It reports to its delegate, the experiments manager.
//
// Schedule: the first fetch of a process comes 10 s after start at the earliest and 4 h after the
// last success; after a failure the retries follow 1800 s x 2^i after that base (six of them),
// then nothing until the next start; a 503 or 429 answer holds fetches back for 12 h, across
// starts. One alarm ("APMExperimentAlarm", on the worker queue, driven by platform::Clock) is the
// only pacing.
//
// The reply body is inflated up to 16 MiB; a larger one fails its inflation and the fetch counts
// as a success without snapshots, so a hostile reply cannot grow memory without bound.
//
// Threads: every method that touches state runs on the worker queue (public operations hop there
// asynchronously, the network completion and the alarm arrive there). Blocks and the completion
// hold the task manager weakly. Delegate calls are made on the worker queue. Held by shared
// pointer; owned by the manager.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/apme_database.h"
#include "measurement/experiments/apme_snapshot.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/net/url_request.h"

class APMAlarm;
class APMUserDefaults;
class GULNetwork;

inline constexpr const char* APMEManagerAlarmName = "APMExperimentAlarm";
inline constexpr const char* APMEWorkerQueueLabel = "APMExperimentWorkerQueue";
inline constexpr const char* APMExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr const char* APMExperimentFetchSuccessTimestampKey =
    "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* APMExperimentFetchFailureTimestampKey =
    "APMExperimentFetchFailureTimestamp";
inline constexpr const char* APMExperimentFetchBackoffTimestampKey =
    "APMExperimentFetchBackoffTimestamp";
inline constexpr const char* APMEErrorDomain = "com.ziriza.duz.measurement.experiment.ErrorDomain";

inline constexpr double APMEInitialDelayTimeIntervalInSeconds = 10;
inline constexpr double APMEFetchIntervalInSeconds = 14400;
inline constexpr double APMEFetchRetryIntervalInSeconds = 1800;
inline constexpr int APMERetryCount = 6;
inline constexpr double APMEFetchBackoffIntervalInSeconds = 43200;
inline constexpr double APMEMinimumAlarmDelayInSeconds = 0.001;
// The largest reply body the inflation produces.
inline constexpr std::size_t APMEMaximumInflatedResponseLength = std::size_t{16} << 20;

// The base of the experiments service (scheme, host, port): LUMORA_EXPERIMENTS_URL when set.
inline constexpr const char* APMEExperimentServiceDefaultURL = "https://experiments.lumora.invalid";
std::string APMEExperimentServiceBaseURL();
// "<base>/sdk-exp".
std::string APMEExperimentServiceEndPointHostName();
// The host whose reachability the network watches.
std::string APMEExperimentServiceReachabilityHostName();

class APMETaskManager;

// Every method optional: the defaults answer "not implemented".
class APMETaskManagerDelegate {
 public:
  using Snapshots = std::vector<std::shared_ptr<APMESnapshot>>;
  virtual ~APMETaskManagerDelegate() = default;
  // None: not implemented (a fetch goes ahead).
  virtual std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager& taskManager) {
    (void)taskManager;
    return std::nullopt;
  }
  // The stored snapshots at start; none where a read failed.
  virtual void taskManager_didStartWithActivatedSnapshots(
      APMETaskManager& taskManager, const std::optional<Snapshots>& activated,
      const std::optional<Snapshots>& pending, const std::optional<Snapshots>& launched) {
    (void)taskManager;
    (void)activated;
    (void)pending;
    (void)launched;
  }
  virtual void taskManager_didFinishFetchingExperimentSnapshots(
      APMETaskManager& taskManager, const Snapshots& snapshots,
      const std::map<std::string, platform::ErrorPtr>& errors) {
    (void)taskManager;
    (void)snapshots;
    (void)errors;
  }
  virtual void taskManager_didUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                     const Snapshots& snapshots) {
    (void)taskManager;
    (void)snapshots;
  }
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  using Snapshots = APMETaskManagerDelegate::Snapshots;

  // The worker queue, its alarm, a network watching the experiments host, the suite, now, and
  // the database path in the measurement folder.
  static std::shared_ptr<APMETaskManager> init();
  static std::shared_ptr<APMETaskManager>
  initWithQueue(platform::QueuePtr queue, std::shared_ptr<APMAlarm> alarm,
                std::shared_ptr<GULNetwork> network,
                std::shared_ptr<APMUserDefaults> persistedStorage, std::string databasePath,
                double initTimestamp);

  // Opens the database, loads the stored snapshots for the delegate and schedules the first
  // fetch (asynchronously; once per process).
  void startTaskManager();

  // Worker queue only.
  void fetchExperiments();
  void postponeFetchExperiments();
  void scheduleFetchingExperimentsOnWorkerQueue();
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  // `data` is the inflated body, none when there was none or it could not be inflated.
  void handleFetchingExperimentsResponse(const platform::HTTPURLResponsePtr& response,
                                         const std::optional<platform::Bytes>& data,
                                         const platform::ErrorPtr& error);

  // For the manager; each hops to the worker queue.
  void activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot, double timestamp);
  void resetToDefaultsForSDKName(std::string SDKName);
  void upsertPendingSnapshots(Snapshots snapshots);
  void reset();
  void clearAndDelete();

  std::optional<Snapshots>
  experimentSnapshotsFromExperimentResponse(const APMPBExperimentResponse* response);
  std::optional<std::map<std::string, platform::ErrorPtr>>
  errorsFromExperimentResponse(const APMPBExperimentResponse* response);
  std::optional<Snapshots> experimentSnapshotsFromData(const platform::Bytes& data);

  // An exception of the block is logged (820026) and dropped.
  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  // An exception of the block is logged (820027) and raised again.
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate);
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }
  void setHasMadeInitialFetch(bool made) { hasMadeInitialFetch_ = made; }
  double initializationTimestamp() const { return initializationTimestamp_; }
  void setInitializationTimestamp(double timestamp) { initializationTimestamp_ = timestamp; }

  const platform::QueuePtr& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<APMUserDefaults>& persistedStorage() const { return persistedStorage_; }
  // Worker queue only.
  const std::shared_ptr<APMEDatabase>& database() const { return database_; }
  const std::string& databasePath() const { return databasePath_; }

  APMETaskManager(platform::QueuePtr queue, std::shared_ptr<APMAlarm> alarm,
                  std::shared_ptr<GULNetwork> network,
                  std::shared_ptr<APMUserDefaults> persistedStorage, std::string databasePath,
                  double initTimestamp);

 private:
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  void alarmFired();
  void removeTimestamps(bool success, bool failureAndBackoff);

  const std::shared_ptr<APMAlarm> alarm_;
  const std::shared_ptr<GULNetwork> network_;
  const std::shared_ptr<APMUserDefaults> persistedStorage_;
  const platform::QueuePtr workerQueue_;
  std::shared_ptr<APMEDatabase> database_;  // worker queue only
  const std::string databasePath_;
  std::atomic<bool> hasMadeInitialFetch_{false};
  mutable std::mutex delegateMutex_;  // guards delegate_
  std::weak_ptr<APMETaskManagerDelegate> delegate_;
  std::atomic<double> initializationTimestamp_;
};
