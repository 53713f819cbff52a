// script-run: runs event-editing programs in a fresh script runtime and reports the outcome.
//
// A program comes as Program bytes, or as a JSON mirror of its entity tree, one instruction list
// per request:
//   {"program": [<node>, ...]}  with nodes {"s": text}, {"n": number}, {"b": bool} and
//   {"op": "<function name>", "args": [<node>, ...]}.
// A number may also be written as the text "NaN", "Infinity", "-Infinity" or "-0". A node
// {"entity": {"type", "name", "string", "bool", "number", "args"}} sets exactly the fields given,
// for entities that the short forms cannot write (no name, an unknown type, absent fields).
// The mirror takes the same road as delivered bytes: it is encoded as a Program message, decoded
// and converted instruction by instruction.
// The answer: {"value": {"string", "type", "json"}, "out": {"value"} or {"error"} (the value as
// the measurement engine receives it), "error": {"domain", "code"} or null, "instructions":
// <evaluations counted>, "tracked": <tracked values left after a collection>}.
// A request may add "then": a second program run in the same runtime after the first one (as an
// event is handled after a load: the instruction count starts again), and "collections": how
// many collections run between the two and before "tracked" is counted (1 unless given). The
// answer is then that of the last program run.
// A request that is not of this form is answered {"inputError": "<what is wrong>"}. A request
// with "edit" takes the event-editing road instead (tools/script_run_editing.h).
//
// Pure functions over a fresh runtime per request; thread-safe.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/script/apmp_runtime_value.h"
#include "platform/core/value.h"

namespace lumora::scriptrun {

using Json = nlohmann::ordered_json;

// The Program message of a JSON mirror. Throws std::invalid_argument naming the problem for a
// node that is not of the mirror's form.
std::shared_ptr<APMPBProgram> programFromJson(const Json& program);
// The RuntimeEntity records of a list of mirror nodes; throws as above.
platform::ValueList entitiesFromJson(const Json& nodes);

// The JSON form of a value: arrays and maps as JSON (maps in property order), numbers as JSON
// numbers (non-finite and -0 as {"$double": text}), undefined as {"$undefined": true}, functions
// as {"$function": name}, statements and signals as {"$statement": name} / {"$control": type},
// a cycle as {"$cycle": true}.
Json valueToJson(const APMPRuntimeValue& value);

Json runRequest(const Json& request);
// Decodes Program bytes and runs them.
Json runProgramBytes(const platform::Bytes& bytes);

}  // namespace lumora::scriptrun
