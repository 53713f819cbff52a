#include "tests/fuzz/script_program_generator.h"

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "tools/script_run.h"

namespace lumora::fuzz {
namespace {

using Json = lumora::scriptrun::Json;

// Operand counts a command takes: [min, max] (max -1: any, kept small).
struct Arity {
  int min;
  int max;
};

Arity arityOf(int code) {
  switch (code) {
  case APMPCommandBreak:
  case APMPCommandContinue:
  case APMPCommandUndefined:
  case APMPCommandNull:
    return {0, 0};
  case APMPCommandCase:
  case APMPCommandDefault:
  case APMPCommandGet:
  case APMPCommandNegate:
  case APMPCommandNot:
  case APMPCommandPreDecrement:
  case APMPCommandPreIncrement:
  case APMPCommandTypeof:
  case APMPCommandBitwiseNot:
    return {1, 1};
  case APMPCommandReturn:
    return {0, 1};
  case APMPCommandIf:
    return {2, 3};
  case APMPCommandApply:
  case APMPCommandSwitch:
  case APMPCommandTernary:
  case APMPCommandSetProperty:
  case APMPCommandForIn:
  case APMPCommandForInConst:
  case APMPCommandForInLet:
  case APMPCommandForOf:
  case APMPCommandForOfConst:
  case APMPCommandForOfLet:
    return {3, 3};
  case APMPCommandWhile:
  case APMPCommandForLet:
    return {4, 4};
  case APMPCommandCreateArray:
  case APMPCommandQuote:
  case APMPCommandBlock:
  case APMPCommandVar:
    return {0, 4};
  case APMPCommandCreateObject:
  case APMPCommandConst:
    return {2, 4};
  case APMPCommandExpressionList:
    return {1, 3};
  case APMPCommandDefineFunction:
  case APMPCommandFn:
    return {2, 5};
  default:
    return {2, 2};
  }
}

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  Json program() {
    Json instructions = Json::array();
    const int count = uniform(1, 6);
    for (int i = 0; i < count; ++i)
      instructions.push_back(node(0));
    return instructions;
  }

 private:
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return uniform(0, 99) < percent; }

  Json literal() {
    static const double numbers[] = {0,
                                     1,
                                     -1,
                                     2,
                                     3,
                                     0.5,
                                     -0.0,
                                     2147483648.0,
                                     4294967296.0,
                                     9007199254740992.0,
                                     1e21,
                                     1e-7,
                                     std::nan(""),
                                     INFINITY,
                                     -INFINITY,
                                     1048576};
    switch (uniform(0, 3)) {
    case 0: {
      const double d = numbers[uniform(0, std::size(numbers) - 1)];
      if (std::isnan(d)) return Json{{"n", "NaN"}};
      if (std::isinf(d)) return Json{{"n", d > 0 ? "Infinity" : "-Infinity"}};
      if (d == 0 && std::signbit(d)) return Json{{"n", "-0"}};
      return Json{{"n", d}};
    }
    case 1:
      return Json{{"b", chance(50)}};
    default:
      return Json{{"s", text()}};
    }
  }

  std::string text() {
    static const char* texts[] = {"",         "a",
                                  "b",        "f",
                                  "0",        "1",
                                  " 2 ",      "length",
                                  "x",        "runtime.counter",
                                  "toString", "hasOwnProperty",
                                  "10",       "9",
                                  "1e2",      "abc"};
    if (chance(3)) return std::string(static_cast<std::size_t>(uniform(1000, 5000)), 'w');
    return texts[uniform(0, std::size(texts) - 1)];
  }

  Json name() { return Json{{"s", std::string(1, "abfgx"[uniform(0, 4)])}}; }

  static bool isForLoop(int code) {
    return code == APMPCommandForIn || code == APMPCommandForInConst ||
           code == APMPCommandForInLet || code == APMPCommandForOf ||
           code == APMPCommandForOfConst || code == APMPCommandForOfLet;
  }

  // Operand i of `code` is a variable or function name.
  static bool takesName(int code, int i) {
    switch (code) {
    case APMPCommandVar:
      return true;
    case APMPCommandConst:
      return i % 2 == 0;
    case APMPCommandGet:
    case APMPCommandAssign:
    case APMPCommandDefineFunction:
    case APMPCommandFn:
      return i == 0;
    default:
      return isForLoop(code) && i == 0;
    }
  }

  // Operand i of `code` is a list of statements (or of names).
  static bool takesBody(int code, int i) {
    switch (code) {
    case APMPCommandWhile:
      return i == 3;
    case APMPCommandForLet:
      return i == 0 || i == 3;
    case APMPCommandSwitch:
    case APMPCommandIf:
      return i >= 1;
    case APMPCommandFn:
    case APMPCommandDefineFunction:
      return i == 1;
    case APMPCommandCase:
    case APMPCommandDefault:
      return true;
    default:
      return isForLoop(code) && i == 2;
    }
  }

  Json statement(int code, int depth) {
    Json args = Json::array();
    const Arity arity = arityOf(code);
    int count = uniform(arity.min, arity.max);
    if (chance(5)) count = uniform(0, 4);  // sometimes the wrong operand count
    for (int i = 0; i < count; ++i) {
      if (takesName(code, i) && chance(85)) {
        args.push_back(name());
      } else if (takesBody(code, i) && chance(85)) {
        Json body = Json::array();
        const int n = uniform(0, 3);
        for (int k = 0; k < n; ++k)
          body.push_back(chance(30) ? name() : node(depth + 1));
        args.push_back(Json{{"op", std::to_string(APMPCommandQuote)}, {"args", body}});
      } else {
        args.push_back(node(depth + 1));
      }
    }
    return Json{{"op", std::to_string(code)}, {"args", args}};
  }

  static const std::vector<int>& assignedCodes() {
    static const std::vector<int> codes = [] {
      std::vector<int> out;
      for (int code = 0; code < APMPCommandCount; ++code) {
        std::u16string text;
        for (char c : std::to_string(code))
          text.push_back(static_cast<char16_t>(c));
        if (APMPOpcodeForName(text) >= 0) out.push_back(code);
      }
      return out;
    }();
    return codes;
  }

  Json node(int depth) {
    if (depth > 7 || chance(30)) return literal();
    if (chance(8)) {
      // A call of a script function by name.
      Json args = Json::array();
      const int n = uniform(0, 2);
      for (int i = 0; i < n; ++i)
        args.push_back(node(depth + 1));
      return Json{{"op", std::string(1, "fgx"[uniform(0, 2)])}, {"args", args}};
    }
    const auto& codes = assignedCodes();
    return statement(
        codes[static_cast<std::size_t>(uniform(0, static_cast<int>(codes.size()) - 1))], depth);
  }

  std::mt19937_64 rng_;
};

}  // namespace

platform::Bytes generateScriptProgram(std::uint64_t seed) {
  Generator generator(seed);
  const auto bytes = lumora::scriptrun::programFromJson(generator.program())->protoBuffer();
  return bytes ? *bytes : platform::Bytes{};
}

ScriptProgramOutcome runScriptProgram(const std::uint8_t* data, std::size_t size) {
  ScriptProgramOutcome outcome;
  const auto program = APMPBProgram::initWithBuffer(data, size);
  if (!program) return outcome;
  outcome.decoded = true;
  APMPRuntime runtime;
  {
    APMPContext ctx(&runtime);
    const APMPValueRef value = runtime.executeStatements(APMPProgramInstructions(*program), ctx);
    outcome.errorCode = ctx.errorCode();
    APMPContext conversion(&runtime);
    outcome.result = APMPRuntimeEntityConverter::objectFromRuntimeValue(*value, conversion);
    outcome.conversionErrorCode = conversion.errorCode();
  }
  outcome.instructions = runtime.instructionCount();
  runtime.collectGarbage();
  return outcome;
}

}  // namespace lumora::fuzz
