#include "tests/fuzz/script_program_generator.h"

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "measurement/script/apmp_script_event_editing.h"
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
    if (chance(50)) {
      // An array in "a" for the method calls and the callbacks that change it.
      Json items = Json::array();
      for (int i = uniform(0, 6); i > 0; --i)
        items.push_back(literal());
      instructions.push_back(op(APMPCommandVar, Json::array({Json{{"s", "a"}}})));
      instructions.push_back(
          op(APMPCommandAssign,
             Json::array({Json{{"s", "a"}}, op(APMPCommandCreateArray, std::move(items))})));
    }
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

  static Json op(int code, Json args) {
    return Json{{"op", std::to_string(code)}, {"args", std::move(args)}};
  }

  // Operands of the array and string methods: indices, texts, patterns (some catastrophic or
  // invalid) and callbacks, some of which change the array they are called over.
  static constexpr const char* patterns[] = {"[0-9]+", "(a+)+$", "(",    "[",
                                             "^a",     "a.b",    "\\d*", "(?:x|y)*z"};

  // Receivers for the patterns: digits, a long run of "a" that makes "(a+)+$" backtrack, marks.
  std::string methodText() {
    switch (uniform(0, 2)) {
    case 0:
      return "a1b22 x9";
    case 1:
      return std::string(static_cast<std::size_t>(uniform(20, 40)), 'a') + "b";
    default:
      return "e\u0301x\u00e9 ab";
    }
  }

  Json methodArgument(int depth) {
    switch (uniform(0, 5)) {
    case 0:
      return Json{{"s", patterns[uniform(0, std::size(patterns) - 1)]}};
    case 1:
      return Json{{"s", std::string(uniform(0, 1) ? "e\u0301" : "\u00e9") + text()}};
    case 2: {
      // A callback over the receiver held in "a": it may push to it, pop it or splice it, and
      // answers a number, NaN or whatever a generated node gives.
      static const char* mutators[] = {"push", "pop", "splice", "shift", "unshift", "sort"};
      Json body = Json::array();
      if (chance(50)) {
        Json args = Json::array({literal()});
        if (chance(50)) args.push_back(literal());
        body.push_back(op(APMPCommandApply,
                          Json::array({op(APMPCommandGet, Json::array({Json{{"s", "a"}}})),
                                       Json{{"s", mutators[uniform(0, std::size(mutators) - 1)]}},
                                       op(APMPCommandCreateArray, std::move(args))})));
      }
      body.push_back(
          op(APMPCommandReturn,
             Json::array(
                 {chance(50)
                      ? literal()
                      : op(APMPCommandSubtract,
                           Json::array({op(APMPCommandGet, Json::array({Json{{"s", "x"}}})),
                                        op(APMPCommandGet, Json::array({Json{{"s", "f"}}}))}))})));
      Json args =
          Json::array({Json{{"s", ""}}, op(APMPCommandCreateArray,
                                           Json::array({Json{{"s", "x"}}, Json{{"s", "f"}}}))});
      for (auto& statement : body)
        args.push_back(std::move(statement));
      return op(APMPCommandFn, std::move(args));
    }
    default:
      return node(depth + 1);
    }
  }

  // A call of one of the array or string methods on a fresh or named receiver.
  Json methodCall(int depth) {
    static const char* methods[] = {"concat",
                                    "every",
                                    "filter",
                                    "forEach",
                                    "hasOwnProperty",
                                    "indexOf",
                                    "join",
                                    "lastIndexOf",
                                    "map",
                                    "pop",
                                    "push",
                                    "reduce",
                                    "reduceRight",
                                    "reverse",
                                    "shift",
                                    "slice",
                                    "some",
                                    "sort",
                                    "splice",
                                    "toString",
                                    "unshift",
                                    "charAt",
                                    "match",
                                    "replace",
                                    "search",
                                    "split",
                                    "substring",
                                    "toLowerCase",
                                    "toLocaleLowerCase",
                                    "toUpperCase",
                                    "toLocaleUpperCase",
                                    "trim"};
    // Mostly a receiver of the method's own kind (the first 21 are the array methods), so the
    // calls get past the method lookup; sometimes the other kind.
    const int method = uniform(0, std::size(methods) - 1);
    const bool stringMethod = method >= 21;
    Json receiver;
    const int kind = chance(80) ? (stringMethod ? 1 : uniform(0, 1) * 2) : uniform(0, 2);
    switch (kind) {
    case 0: {
      Json items = Json::array();
      for (int i = uniform(0, 5); i > 0; --i)
        items.push_back(literal());
      receiver = op(APMPCommandCreateArray, std::move(items));
      break;
    }
    case 1:
      receiver = Json{{"s", chance(20) ? methodText() : text()}};
      break;
    default:
      receiver = op(APMPCommandGet, Json::array({Json{{"s", "a"}}}));
    }
    Json args = Json::array();
    const std::string name = methods[method];
    const bool takesPattern = name == "match" || name == "search";
    for (int i = uniform(0, 3); i > 0; --i) {
      if (args.empty() && takesPattern && chance(60)) {
        args.push_back(Json{{"s", patterns[uniform(0, std::size(patterns) - 1)]}});
      } else {
        args.push_back(methodArgument(depth));
      }
    }
    return op(APMPCommandApply, Json::array({std::move(receiver), Json{{"s", name}},
                                             op(APMPCommandCreateArray, std::move(args))}));
  }

  Json node(int depth) {
    if (depth > 7 || chance(30)) return literal();
    if (chance(10)) return methodCall(depth);
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
    if (ctx.failed()) outcome.errorDomain = ctx.errorDomain();
    APMPContext conversion(&runtime);
    outcome.result = APMPRuntimeEntityConverter::objectFromRuntimeValue(*value, conversion);
    outcome.conversionErrorCode = conversion.errorCode();
  }
  outcome.instructions = runtime.instructionCount();
  runtime.collectGarbage();

  APMPScriptEventEditing editing;
  platform::ErrorPtr error;
  editing.loadProgram(*program, &error);
  if (error) {
    outcome.editingLoadErrorCode = static_cast<int>(error->code);
    return outcome;
  }
  editing.handleEvent(APMPEvent::initWithName("level_up", 1700000000.5,
                                              {{platform::Value("level"), platform::Value(7)},
                                               {platform::Value("_o"), platform::Value("app")}}),
                      &error);
  if (error) outcome.editingEventErrorCode = static_cast<int>(error->code);
  return outcome;
}

}  // namespace lumora::fuzz
