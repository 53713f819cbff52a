// APMEExperiment: one experiment of a snapshot, its ID and its flag overrides (Flag messages by
// flag name). Built from the experiments service's Experiment message or from the activation's
// regrouping of flags, and turned back into an Experiment message for storage.
//
// The flag map is a GULMutableDictionary keyed by the flag name, so `flags()` comes in ascending
// name order. The Flag messages are shared, not copied: a flag handed in must not be changed
// afterwards. Experiments travel between the experiments manager's queue and the task manager's
// worker queue; the map is safe to use from both.
//
// Failures are reported to the process-wide measurement monitor (level 2) and give none or leave
// the experiment unchanged; nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/value.h"
#include "zevevidi/utilities/gul_mutable_dictionary.h"

// The experiment ID of the launched experiment: its flags stay in force after the experiment
// ends, in a snapshot of their own.
inline constexpr std::int32_t APMELaunchedExperimentID = 0;

class APMEExperiment : public platform::Object {
 public:
  // `experimentID` must be an integer value that fits 32 bits (870000 when null, 870001
  // otherwise); `flags` a list of Flag message objects (870002 when it is not a list, 870003 and
  // none for an element that is not a Flag). A Flag without a name is left out (870006).
  static std::shared_ptr<APMEExperiment> initWithExperimentID(const platform::Value& experimentID,
                                                              const platform::Value& flags);
  static std::shared_ptr<APMEExperiment>
  initWithExperimentID(std::int32_t experimentID,
                       const std::vector<std::shared_ptr<APMPBFlag>>& flags);
  // The ID is field 1, 0 when absent; the flags are field 2. None for a null message.
  static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment* message);

  std::int32_t experimentID() const { return experimentID_; }
  // The flags in ascending name order.
  std::vector<std::shared_ptr<APMPBFlag>> flags() const;
  // A new Experiment message holding copies of the flags.
  std::shared_ptr<APMPBExperiment> proto() const;

  // Stores the Flag under its name, replacing an earlier one (870004 for null, 870005 for an
  // object that is not a Flag, 870006 for a Flag without a name).
  void addFlag(const platform::Value& flag);
  void addFlag(const std::shared_ptr<APMPBFlag>& flag);
  // The Flag of that name or none; an empty name is reported (870007).
  std::shared_ptr<APMPBFlag> flagWithName(const std::string& name) const;

  // A new experiment with the same ID and the same Flag messages (shared).
  std::shared_ptr<APMEExperiment> copy() const;

  std::string className() const override { return "APMEExperiment"; }
  std::string debugDescription() const override;

  explicit APMEExperiment(std::int32_t experimentID) : experimentID_(experimentID) {}

 private:
  GULMutableDictionary flagsByName_;
  const std::int32_t experimentID_;
};
