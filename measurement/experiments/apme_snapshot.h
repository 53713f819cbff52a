// APMESnapshot: the flag overrides the experiments service hands out for one SDK name, as its
// experiments keyed by experiment ID. Built from the service's Snapshot message and from stored
// rows (apme_database.h), held by the experiments manager in its pending, activated and launched
// maps, and turned back into a Snapshot message for storage.
//
// The experiment map is a GULMutableDictionary keyed by the experiment ID, so `experiments()`
// comes in ascending ID order and `flagByName()` answers with the lowest ID that holds the flag.
// `timestamp` is the construction time (platform::Clock) unless set afterwards: the database sets
// the stored time on a row it reads, the manager the activation time on a snapshot it activates.
// `manuallyActivated` is true when the snapshot's client activates snapshots itself.
//
// Threads: snapshots are shared between the experiments manager's queue and the task manager's
// worker queue; the map is safe to use from both, and the two plain fields are atomics.
// Failures are reported to the process-wide measurement monitor (level 2); nothing throws.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "measurement/experiments/apme_experiment.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/value.h"
#include "zevevidi/utilities/gul_mutable_dictionary.h"

class APMESnapshot : public platform::Object {
 public:
  // `SDKName` must be a non-empty string (840000), `experiments` a list of APMEExperiment objects
  // (840001 when it is not a list, 840002 and none for any other element). Each experiment is
  // stored as a copy; a later one replaces an earlier one of the same ID.
  static std::shared_ptr<APMESnapshot> initWithSDKName(const platform::Value& SDKName,
                                                       const platform::Value& experiments);
  static std::shared_ptr<APMESnapshot>
  initWithSDKName(const std::string& SDKName,
                  const std::vector<std::shared_ptr<APMEExperiment>>& experiments);
  // The name is field 1 (none without one); each Experiment of field 2 that gives an experiment
  // is kept. None for a null message.
  static std::shared_ptr<APMESnapshot> initWithProtobuf(const APMPBSnapshot* message);

  // The flag of that name from the first experiment (lowest ID) that holds it, or none.
  std::shared_ptr<APMPBFlag> flagByName(const std::string& name) const;
  // Adds the flag to the experiment of that ID, making the experiment when there is none
  // (840003 for a null ID, 840004 for a flag that is not a Flag message; nothing changes).
  void addFlag(const platform::Value& flag, const platform::Value& experimentID);
  void addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags,
                const platform::Value& experimentID);

  // In ascending experiment ID order.
  std::vector<std::shared_ptr<APMEExperiment>> experiments() const;
  // A new Snapshot message: the name and each experiment's message.
  std::shared_ptr<APMPBSnapshot> proto() const;
  const std::string& SDKName() const { return SDKName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

  // A new snapshot of the same name with copies of the experiments (their Flag messages shared),
  // timestamped now and not manually activated.
  std::shared_ptr<APMESnapshot> copy() const;

  std::string className() const override { return "APMESnapshot"; }
  std::string debugDescription() const override;

  explicit APMESnapshot(std::string SDKName);

 private:
  GULMutableDictionary experimentsByExperimentID_;
  std::atomic<bool> manuallyActivated_{false};
  const std::string SDKName_;
  std::atomic<double> timestamp_;
};
