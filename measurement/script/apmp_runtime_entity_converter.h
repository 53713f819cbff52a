// Program entities to runtime values, and runtime values to and from platform values.
//
// A program reaches the runtime as the decoded records of its RuntimeEntity tree; the converter
// reads them in place (no subtree is copied). A leaf becomes a string, number or boolean value,
// an inner node an unevaluated statement. A delivered program is never silently altered: a text
// field whose bytes are not UTF-8 fails the conversion (12 for a string value, 14 for a function
// name) instead of reading as something else.
//
// Platform values cross the border of the script world in both directions: in, every map and list
// becomes a tracked map or array of the given scope's object manager; out, the rules of the
// measurement engine (numbers leave as doubles, null is left out of lists and maps). Converting
// out a value that contains itself fails with 10; nesting deeper than the runtime's bound with 18.
// Stateless; runs where the runtime runs.
#pragma once

#include <optional>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/script/apmp_runtime_value.h"
#include "platform/core/value.h"

class APMPMapValue;

class APMPRuntimeEntityConverter {
 public:
  // `entity` is a RuntimeEntity record. Never fail.
  static APMPValueRef stringValueFromRuntimeEntity(const MessageInfo& entity, APMPContext& ctx);
  static APMPValueRef numberValueFromRuntimeEntity(const MessageInfo& entity);
  static APMPValueRef booleanValueFromRuntimeEntity(const MessageInfo& entity);
  static APMPValueRef statementValueFromRuntimeEntity(const MessageInfo& entity, APMPContext& ctx);
  // The entry point for every top-level instruction: undefined with the error on failure.
  static APMPValueRef runtimeValueFromRuntimeEntity(const MessageInfo& entity, APMPContext& ctx);

  // Null gives the shared null; none of the platform kinds without a script counterpart (13).
  static APMPValueRef runtimeValueFromNSObject(const platform::Value& object, APMPScope& scope,
                                               APMPContext& ctx);
  // None stands for "nothing" (the null value). On failure, what was built so far.
  static std::optional<platform::Value> objectFromRuntimeValue(const APMPRuntimeValue& value,
                                                               APMPContext& ctx);
  static platform::ValueMap dictionaryFromMapValue(const APMPMapValue& map, APMPContext& ctx);
};

// The program's top-level instructions, lent from its record (valid while `program` lives).
std::vector<const MessageInfo*> APMPProgramInstructions(const APMPBProgram& program);
