// script-run: runs event-editing programs in a fresh script runtime and reports the outcome.
//
// A program comes as a JSON mirror of its entity tree, one instruction list per request:
//   {"program": [<node>, ...]}  with nodes {"s": text}, {"n": number}, {"b": bool} and
//   {"op": "<function name>", "args": [<node>, ...]}.
// A number may also be written as the text "NaN", "Infinity", "-Infinity" or "-0".
// The answer: {"value": {"string", "type", "json"}, "error": {"domain", "code"} or null,
// "instructions": <evaluations counted>, "tracked": <tracked values left after a collection>}.
// A request that is not of this form is answered {"inputError": "<what is wrong>"}.
//
// Pure functions over a fresh runtime per request; thread-safe.
#pragma once

#include <nlohmann/json.hpp>

#include "measurement/script/apmp_runtime_value.h"

namespace lumora::scriptrun {

using Json = nlohmann::ordered_json;

// Throws std::invalid_argument naming the problem for a node that is not of the mirror's form.
APMPValueList statementsFromJson(const Json& program);

// The JSON form of a value: arrays and maps as JSON (maps in property order), numbers as JSON
// numbers (non-finite and -0 as {"$double": text}), undefined as {"$undefined": true}, functions
// as {"$function": name}, statements and signals as {"$statement": name} / {"$control": type},
// a cycle as {"$cycle": true}.
Json valueToJson(const APMPRuntimeValue& value);

Json runRequest(const Json& request);

}  // namespace lumora::scriptrun
