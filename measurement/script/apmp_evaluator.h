// Statement evaluation and command dispatch.
//
// A statement value names a command by its decimal opcode (resolved once, when the statement is
// built) or a script function. The registrar maps every assigned opcode to its evaluator family
// and handler; the family decides how the operands reach the handler (evaluated first, or as the
// statements themselves). Every evaluation counts one instruction and adds a nesting level.
// Stateless; used on the runtime's thread.
#pragma once

#include <string_view>

#include "measurement/script/apmp_runtime_value.h"

class APMPScope;

// Opcode constants: the decimal text of each command's code.
enum APMPCommand : int {
  APMPCommandAdd = 0,
  APMPCommandAnd = 1,
  APMPCommandApply = 2,
  APMPCommandAssign = 3,
  APMPCommandBreak = 4,
  APMPCommandCase = 5,
  APMPCommandContinue = 6,
  APMPCommandCreateArray = 7,
  APMPCommandCreateObject = 8,
  APMPCommandDefault = 9,
  APMPCommandDivide = 10,
  APMPCommandEquals = 12,
  APMPCommandExpressionList = 13,
  APMPCommandGet = 15,
  APMPCommandGetIndex = 16,
  APMPCommandGetProperty = 17,
  APMPCommandGreaterThan = 18,
  APMPCommandGreaterThanEquals = 19,
  APMPCommandIdentityEquals = 20,
  APMPCommandIdentityNotEquals = 21,
  APMPCommandIf = 22,
  APMPCommandLessThan = 23,
  APMPCommandLessThanEquals = 24,
  APMPCommandModulus = 25,
  APMPCommandMultiply = 26,
  APMPCommandNegate = 27,
  APMPCommandNot = 28,
  APMPCommandNotEquals = 29,
  APMPCommandOr = 30,
  APMPCommandPostDecrement = 32,
  APMPCommandPostIncrement = 33,
  APMPCommandPreDecrement = 34,
  APMPCommandPreIncrement = 35,
  APMPCommandReturn = 36,
  APMPCommandSubtract = 37,
  APMPCommandSwitch = 38,
  APMPCommandTernary = 39,
  APMPCommandTypeof = 40,
  APMPCommandVar = 41,
  APMPCommandWhile = 42,
  APMPCommandSetProperty = 43,
  APMPCommandUndefined = 44,
  APMPCommandNull = 45,
  APMPCommandQuote = 46,
  APMPCommandForIn = 47,
  APMPCommandDefineFunction = 50,
  APMPCommandFn = 51,
  APMPCommandConst = 52,
  APMPCommandBlock = 53,
  APMPCommandForInConst = 54,
  APMPCommandForInLet = 55,
  APMPCommandBitwiseAnd = 56,
  APMPCommandBitwiseLeftShift = 57,
  APMPCommandBitwiseNot = 58,
  APMPCommandBitwiseOr = 59,
  APMPCommandBitwiseRightShift = 60,
  APMPCommandBitwiseUnsignedRightShift = 61,
  APMPCommandBitwiseXor = 62,
  APMPCommandForLet = 63,
  APMPCommandForOf = 64,
  APMPCommandForOfConst = 65,
  APMPCommandForOfLet = 66,
};
inline constexpr int APMPCommandCount = 67;

// The opcode a statement name stands for: the exact decimal text of an assigned code ("7", not
// "07" or "+7"), else -1 (a script function's name).
int APMPOpcodeForName(std::u16string_view name);

// A command handler: operands (values or statements, by family), scope, context.
using APMPCommandHandler = APMPValueRef (*)(const APMPValueList& arguments, APMPScope& scope,
                                            APMPContext& ctx);

enum class APMPEvaluatorFamily {
  None,  // unassigned code
  Bitwise,
  Comparison,
  Control,
  Logical,
  Loop,
  Math,
  Variable,
};

struct APMPCommandEntry {
  APMPEvaluatorFamily family = APMPEvaluatorFamily::None;
  APMPCommandHandler handler = nullptr;
};

// Each evaluator family fills in its handlers.
void APMPRegisterVariableCommands(APMPCommandEntry (&table)[APMPCommandCount]);
void APMPRegisterControlCommands(APMPCommandEntry (&table)[APMPCommandCount]);
void APMPRegisterLoopCommands(APMPCommandEntry (&table)[APMPCommandCount]);
void APMPRegisterOperatorCommands(APMPCommandEntry (&table)[APMPCommandCount]);

class APMPEvaluator {
 public:
  // Counts one instruction, then: a statement runs its command or calls its script function;
  // any other value is its own result.
  static APMPValueRef evaluateStatement(const APMPValueRef& value, APMPScope& scope,
                                        APMPContext& ctx);
  // Evaluates in order in `scope`; stops at the first error (undefined) or control value (its
  // result). Otherwise the last value, undefined for an empty list.
  static APMPValueRef executeStatements(const APMPValueList& statements, APMPScope& scope,
                                        APMPContext& ctx);
};

// Evaluates each operand in order; on an error, the list so far (with that entry's undefined).
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, APMPScope& scope,
                                    APMPContext& ctx);
