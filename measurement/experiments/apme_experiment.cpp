#include "measurement/experiments/apme_experiment.h"

#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_monitor.h"

namespace {

constexpr std::int64_t kReportLevel = 2;

void report(std::int64_t code, std::string_view message, const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(kReportLevel, code, message, contexts);
}

std::shared_ptr<APMPBFlag> flagOf(const platform::Value& value) {
  return value.asObjectOf<APMPBFlag>();
}

// The flag's name; none when field 1 is absent (or holds no text).
std::optional<std::string> flagName(const APMPBFlag& flag) {
  if (!NANOHasField(&flag, apmpb_field::Flag::kName)) return std::nullopt;
  return NANOGetString(&flag, apmpb_field::Flag::kName);
}

}  // namespace

std::shared_ptr<APMEExperiment>
APMEExperiment::initWithExperimentID(const platform::Value& experimentID,
                                     const platform::Value& flags) {
  if (experimentID.isNull()) {
    report(870000, "Cannot create an experiment without ID");
    return nullptr;
  }
  // The wire field is an int32: an ID beyond it could not be stored or sent back.
  const std::int64_t* id = experimentID.ifInt();
  if (!id || *id < std::numeric_limits<std::int32_t>::min() ||
      *id > std::numeric_limits<std::int32_t>::max()) {
    report(870001, "Experiment ID must be a number. ID", {experimentID});
    return nullptr;
  }
  const platform::ValueList* list = flags.ifList();
  if (!list) {
    report(870002, "Cannot create an experiment with invalid flags", {flags});
    return nullptr;
  }
  auto experiment = std::make_shared<APMEExperiment>(static_cast<std::int32_t>(*id));
  for (const auto& element : *list) {
    const auto flag = flagOf(element);
    if (!flag) {
      report(870003, "Cannot add non-flag into the experiment. Flag", {element});
      return nullptr;
    }
    experiment->addFlag(flag);
  }
  return experiment;
}

std::shared_ptr<APMEExperiment>
APMEExperiment::initWithExperimentID(std::int32_t experimentID,
                                     const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  platform::ValueList list;
  list.reserve(flags.size());
  for (const auto& flag : flags)
    list.emplace_back(flag ? platform::Value(platform::ObjectPtr(flag)) : platform::Value());
  return initWithExperimentID(platform::Value(experimentID), platform::Value(std::move(list)));
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment* message) {
  const std::int64_t id = message && NANOHasField(message, apmpb_field::Experiment::kExperimentId)
                              ? NANOGetInt32(message, apmpb_field::Experiment::kExperimentId)
                              : APMELaunchedExperimentID;
  platform::Value flags;
  if (message) {
    if (auto list =
            NANOGetArray(message, apmpb_field::Experiment::kFlags, APMPBFlag::classObject())) {
      flags = platform::Value(std::move(*list));
    }
  }
  return initWithExperimentID(platform::Value(id), flags);
}

std::vector<std::shared_ptr<APMPBFlag>> APMEExperiment::flags() const {
  std::vector<std::shared_ptr<APMPBFlag>> out;
  for (const auto& [name, value] : flagsByName_.dictionary()) {
    if (auto flag = flagOf(value)) out.push_back(std::move(flag));
  }
  return out;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto message = APMPBExperiment::initWithMessageInfo();
  if (!message) return nullptr;
  NANOSetInt32(message.get(), apmpb_field::Experiment::kExperimentId, experimentID_);
  const platform::ValueList list = NANOMessageValues(flags());
  NANOSetArray(message.get(), apmpb_field::Experiment::kFlags, &list);
  return message;
}

void APMEExperiment::addFlag(const platform::Value& flag) {
  if (flag.isNull()) {
    report(870004, "Cannot add empty flag into an experiment. ID", {experimentID_});
    return;
  }
  const auto message = flagOf(flag);
  if (!message) {
    report(870005, "Cannot add non-flag object into the experiment. Flag", {flag});
    return;
  }
  auto name = flagName(*message);
  if (!name) {
    report(870006, "Cannot add a flag without name into an experiment. ID", {experimentID_});
    return;
  }
  flagsByName_.setObject(flag, platform::Value(std::move(*name)));
}

void APMEExperiment::addFlag(const std::shared_ptr<APMPBFlag>& flag) {
  addFlag(flag ? platform::Value(platform::ObjectPtr(flag)) : platform::Value());
}

std::shared_ptr<APMPBFlag> APMEExperiment::flagWithName(const std::string& name) const {
  if (name.empty()) {
    report(870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  return flagOf(flagsByName_.objectForKey(platform::Value(name)));
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
  return initWithExperimentID(experimentID_, flags());
}

std::string APMEExperiment::debugDescription() const {
  std::string text = "<APMEExperiment: " + std::to_string(experimentID_) + " [";
  bool first = true;
  for (const auto& [name, value] : flagsByName_.dictionary()) {
    if (!first) text += ", ";
    first = false;
    text += name.isString() ? name.asString() : name.debugString();
  }
  return text + "]>";
}
