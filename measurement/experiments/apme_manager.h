// APMEManager: the process-wide experiments manager. SDKs register under a name with default
// flags and get an APMEClient; the manager keeps, per SDK name, the activated snapshot (whose
// flags are in force), the pending one (fetched, not yet activated) and the launched one (the
// launched experiment, ID 0), answers flag lookups (activated, then launched, then default) and
// the experiment IDs that the measurement bundles carry (tag 45), and drives activation and
// reset. Its task manager (apme_task_manager.h) fetches and stores the snapshots and reports
// back through APMETaskManagerDelegate.
//
// The measurement engine creates the shared instance; its remote configuration registers
// "app_measurement" through the engine-facing APMExperimentManager interface and becomes the
// client's delegate.
//
// Threads: manager state changes, and the reads that must see them, run on the serial queue
// "APMEExperimentSerialQueue": synchronously for clientForSDKName, experimentIDs,
// flagValueForFlagName, activateSnapshotOfSDK, activatedSnapshotStatusOfSDKName and
// resetToDefaultsOfSDKName (never call these from that queue), asynchronously for the
// registration step, reset, clearAndDelete and the task manager's start and fetch reports. The
// client and default-flag maps are also read from the task manager's worker queue; one mutex
// (`mutex_`, taken last, never held while calling out) guards every map. Notices to an SDK's
// delegate go to the delegate's queue or the main queue, never to the manager's queue, so a
// delegate that reads a flag in its notice does not wait on its own queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/apme_client.h"
#include "measurement/experiments/apme_monitor.h"
#include "measurement/experiments/apme_sdk_property.h"
#include "measurement/experiments/apme_snapshot.h"
#include "measurement/experiments/apme_task_manager.h"
#include "measurement/model/apm_remote_config.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

inline constexpr const char* APMEManagerQueueLabel = "APMEExperimentSerialQueue";
// The experiments library version string; `version()` reads it without its last three digits.
inline constexpr const char* APMEManagerVersionString = "10000000";

class APMEManager : public APMETaskManagerDelegate,
                    public APMExperimentManager,
                    public std::enable_shared_from_this<APMEManager> {
 public:
  // Made once, on first use, and its task manager started at once.
  static std::shared_ptr<APMEManager> sharedInstance();
  static std::shared_ptr<APMEMonitor> monitor();
  // 10000.
  static std::int64_t version();
  // The number of a version string without its last three characters; 0 below 4 characters.
  static std::int64_t versionFromString(std::string_view text);

  static std::shared_ptr<APMEManager> init();
  static std::shared_ptr<APMEManager>
  initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);

  // The client at once (the registration itself completes on the manager's queue), or none:
  // a null property (800000), an empty name (800001), an invalid default flag (800002).
  std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                  const platform::ValueMap& defaultFlags);
  std::shared_ptr<APMEClient> clientForSDKName(const platform::Value& SDKName);
  // The flag's value (activated snapshot, launched snapshot, default), or null.
  platform::Value flagValueForFlagName(const platform::Value& flagName,
                                       const platform::Value& SDKName);
  // The IDs of the activated snapshots of SDKs without a diversion key, ascending.
  std::vector<std::int64_t> experimentIDs() const override;
  bool activateSnapshotOfSDK(const platform::Value& SDKName, platform::ErrorPtr* error);
  // -1 unknown SDK or empty name, -2 no activated snapshot, 1 stale (more than 259200 s from
  // now either way), 0 otherwise.
  int activatedSnapshotStatusOfSDKName(const std::string& SDKName);
  void resetToDefaultsOfSDKName(const std::string& SDKName);
  void reset() override;
  void clearAndDelete();

  // APMETaskManagerDelegate.
  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManager_didStartWithActivatedSnapshots(
      APMETaskManager& taskManager, const std::optional<Snapshots>& activated,
      const std::optional<Snapshots>& pending, const std::optional<Snapshots>& launched) override;
  void taskManager_didFinishFetchingExperimentSnapshots(
      APMETaskManager& taskManager, const Snapshots& snapshots,
      const std::map<std::string, platform::ErrorPtr>& errors) override;
  void taskManager_didUpsertPendingSnapshots(APMETaskManager& taskManager,
                                             const Snapshots& snapshots) override;

  // APMExperimentManager: the remote configuration's registration. The property carries the
  // name and version; `delegate` hears the client's notices through an adapter the client keeps.
  std::shared_ptr<APMExperimentClient>
  registerSDK(const std::string& name, std::int64_t version, const platform::ValueMap& defaultFlags,
              std::weak_ptr<APMExperimentClientDelegate> delegate) override;

  // Exceptions of the block are logged (800017 / 800018) and not passed on.
  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block) const;

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
  const platform::QueuePtr& queue() const { return queue_; }

  explicit APMEManager(std::shared_ptr<APMETaskManager> taskManager);

 private:
  using SnapshotMap = std::map<std::string, std::shared_ptr<APMESnapshot>>;
  std::shared_ptr<APMEClient> registeredClient(const std::string& SDKName) const;
  std::shared_ptr<APMESnapshot> snapshotIn(const SnapshotMap& map,
                                           const std::string& SDKName) const;

  const std::shared_ptr<APMETaskManager> taskManager_;
  const platform::QueuePtr queue_;
  mutable std::mutex mutex_;  // guards the five maps
  SnapshotMap activatedSnapshotsBySDKName_;
  SnapshotMap pendingSnapshotsBySDKName_;
  SnapshotMap launchedSnapshotsBySDKName_;
  std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
  std::map<std::string, std::map<std::string, std::shared_ptr<APMPBFlag>>> defaultFlagsBySDKName_;
};
