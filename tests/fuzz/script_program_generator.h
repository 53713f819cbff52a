// Seeded random event-editing programs, and the road every fuzz input takes: decode as a Program,
// run in a fresh runtime, convert the result out. The generator builds well-formed trees over
// every opcode (mostly the operand counts each command takes, sometimes not), with names from a
// small pool so that variables, functions and the counter name meet, and edge literals (NaN, -0,
// 2^31, 2^53, the empty text, long text). The same seed always gives the same program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/core/value.h"

namespace lumora::fuzz {

// The encoded Program message of the program made from `seed`.
platform::Bytes generateScriptProgram(std::uint64_t seed);

struct ScriptProgramOutcome {
  bool decoded = false;
  int errorCode = 0;               // of the run
  std::string errorDomain;         // of the run's error: the runtime's, or ICU's for a pattern
  int conversionErrorCode = 0;     // of converting the result out
  std::uint32_t instructions = 0;  // evaluations counted
  std::optional<platform::Value> result;
  // The editing road: the same program loaded into an editing object, then one event handled.
  int editingLoadErrorCode = 0;
  int editingEventErrorCode = 0;
};

// Decodes `data` as a Program, runs it in a fresh runtime and converts its result out; then loads
// it into an editing object as a delivered configuration's program and handles one event.
ScriptProgramOutcome runScriptProgram(const std::uint8_t* data, std::size_t size);

}  // namespace lumora::fuzz
