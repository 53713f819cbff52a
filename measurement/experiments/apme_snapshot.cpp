#include "measurement/experiments/apme_snapshot.h"

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

constexpr std::int64_t kReportLevel = 2;

void report(std::int64_t code, std::string_view message, const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(kReportLevel, code, message, contexts);
}

}  // namespace

APMESnapshot::APMESnapshot(std::string SDKName)
    : SDKName_(std::move(SDKName)), timestamp_(platform::Clock::current().now()) {}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(const platform::Value& SDKName,
                                                            const platform::Value& experiments) {
  const std::string* name = SDKName.ifString();
  if (!name || name->empty()) {
    report(840000, "Cannot create snapshot with an invalid SDK name", {SDKName});
    return nullptr;
  }
  const platform::ValueList* list = experiments.ifList();
  if (!list) {
    report(840001, "Cannot create snapshot with an experiment list of nil");
    return nullptr;
  }
  auto snapshot = std::make_shared<APMESnapshot>(*name);
  for (const auto& element : *list) {
    const auto experiment = element.asObjectOf<APMEExperiment>();
    if (!experiment) {
      report(840002, "Cannot create snapshot with an invalid experiment", {element});
      return nullptr;
    }
    // A copy, so a later change to the caller's experiment cannot reach this snapshot.
    if (auto copy = experiment->copy()) {
      snapshot->experimentsByExperimentID_.setObject(platform::Value(platform::ObjectPtr(copy)),
                                                     platform::Value(copy->experimentID()));
    }
  }
  return snapshot;
}

std::shared_ptr<APMESnapshot>
APMESnapshot::initWithSDKName(const std::string& SDKName,
                              const std::vector<std::shared_ptr<APMEExperiment>>& experiments) {
  platform::ValueList list;
  list.reserve(experiments.size());
  for (const auto& experiment : experiments) {
    list.emplace_back(experiment ? platform::Value(platform::ObjectPtr(experiment))
                                 : platform::Value());
  }
  return initWithSDKName(platform::Value(SDKName), platform::Value(std::move(list)));
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot* message) {
  platform::Value name;
  platform::ValueList experiments;
  if (message) {
    if (auto text = NANOGetString(message, apmpb_field::Snapshot::kSdkName)) {
      name = platform::Value(std::move(*text));
    }
    const auto list =
        NANOGetArray(message, apmpb_field::Snapshot::kExperiments, APMPBExperiment::classObject());
    for (const auto& element : list.value_or(platform::ValueList{})) {
      const auto proto = element.asObjectOf<APMPBExperiment>();
      if (auto experiment = APMEExperiment::initWithProtobuf(proto.get())) {
        experiments.emplace_back(platform::ObjectPtr(std::move(experiment)));
      }
    }
  }
  return initWithSDKName(name, platform::Value(std::move(experiments)));
}

std::shared_ptr<APMPBFlag> APMESnapshot::flagByName(const std::string& name) const {
  for (const auto& experiment : experiments()) {
    if (auto flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const platform::Value& flag, const platform::Value& experimentID) {
  if (experimentID.isNull()) {
    report(840003, "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag.asObjectOf<APMPBFlag>()) {
    report(840004, "Cannot add an invalid flag into a snapshot", {experimentID});
    return;
  }
  const auto existing =
      experimentsByExperimentID_.objectForKey(experimentID).asObjectOf<APMEExperiment>();
  if (existing) {
    existing->addFlag(flag);
    return;
  }
  auto experiment =
      APMEExperiment::initWithExperimentID(experimentID, platform::Value::list({flag}));
  if (!experiment) return;
  experimentsByExperimentID_.setObject(platform::Value(platform::ObjectPtr(experiment)),
                                       platform::Value(experiment->experimentID()));
}

void APMESnapshot::addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags,
                            const platform::Value& experimentID) {
  for (const auto& flag : flags)
    addFlag(flag ? platform::Value(platform::ObjectPtr(flag)) : platform::Value(), experimentID);
}

std::vector<std::shared_ptr<APMEExperiment>> APMESnapshot::experiments() const {
  std::vector<std::shared_ptr<APMEExperiment>> out;
  for (const auto& [id, value] : experimentsByExperimentID_.dictionary()) {
    if (auto experiment = value.asObjectOf<APMEExperiment>()) out.push_back(std::move(experiment));
  }
  return out;
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto message = APMPBSnapshot::initWithMessageInfo();
  if (!message) return nullptr;
  NANOSetString(message.get(), apmpb_field::Snapshot::kSdkName, SDKName_);
  platform::ValueList list;
  for (const auto& experiment : experiments()) {
    if (auto proto = experiment->proto()) list.emplace_back(platform::ObjectPtr(std::move(proto)));
  }
  NANOSetArray(message.get(), apmpb_field::Snapshot::kExperiments, &list);
  return message;
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const {
  return initWithSDKName(SDKName_, experiments());
}

std::string APMESnapshot::debugDescription() const {
  std::string text = "<APMESnapshot: " + SDKName_ + " at " + std::to_string(timestamp()) +
                     (manuallyActivated() ? ", manually activated" : "") + " [";
  bool first = true;
  for (const auto& experiment : experiments()) {
    if (!first) text += ", ";
    first = false;
    text += experiment->debugDescription();
  }
  return text + "]>";
}
