// script-run's event-editing road: an editing object (the one the remote configuration builds)
// loads a program and handles events, and every step is reported as JSON.
//
// Events come and go in lumora-peer's JSON forms: {"name", "timestamp", "params"}, where an
// integer parameter is a JSON integer and a floating one carries a fraction ("5.0"). Per event the
// answer is {"error": {"domain", "code"} or null, "handled": the boolean handleEvent returned,
// "hasEdits", "input", "output", "created": [events], "logs": [{"level", "code", "message",
// "context"}]}, the logs being the script's 24005 lines at the monitor levels they map to.
//
// A JSON request {"edit": {"program": [<node>...], "activities": [{"name", "data": [<node>...]}]},
// "settings": {key: text}, "events": [...]} runs the whole road in a fresh editing object and
// answers {"load": {"error"}, "callbacks": {"edit": [priorities], "create": [priorities]},
// "events": [answers]}. The file road (script-run --edit-config / --edit-program) loads a
// MeasurementConfig's first program, with its settings, or a Program, and then takes one event
// per line.
//
// One session per thread.
#pragma once

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/script/apmp_script_event_editing.h"

namespace lumora::scriptrun {

using Json = nlohmann::ordered_json;

class EditingSession {
 public:
  // `settings`: what "internal.remoteConfig" answers (key to text or number).
  explicit EditingSession(platform::ValueMap settings = {});
  ~EditingSession();

  // {"error", "logs"}.
  Json load(const APMPBProgram& program);
  // One event (lumora-peer's form); throws std::invalid_argument for one that is not.
  Json handle(const Json& event);
  // The registered priorities by rule type.
  Json callbacks() const;

 private:
  struct Logs;
  std::shared_ptr<Logs> logs_;
  std::shared_ptr<APMPScriptEventEditing> editing_;
};

// The JSON request road (a request that has "edit").
Json runEditingRequest(const Json& request);

// The first program and the settings of MeasurementConfig bytes, or the Program of Program bytes;
// null program when the bytes are not such a message (or the configuration carries none).
struct EditingInput {
  std::shared_ptr<APMPBProgram> program;
  platform::ValueMap settings;
  std::size_t programCount = 0;
};
EditingInput editingInputFromConfigBytes(const platform::Bytes& bytes);
EditingInput editingInputFromProgramBytes(const platform::Bytes& bytes);

}  // namespace lumora::scriptrun
