#include "measurement/script/apmp_evaluator.h"

#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_scope.h"

namespace {

struct Registrar {
  APMPCommandEntry table[APMPCommandCount];
  Registrar() {
    APMPRegisterOperatorCommands(table);
    APMPRegisterControlCommands(table);
    APMPRegisterLoopCommands(table);
    APMPRegisterVariableCommands(table);
  }
};

// Built once under the static-initialisation guard; read-only afterwards.
const Registrar& registrar() {
  static const Registrar instance;
  return instance;
}

APMPValueRef callScriptFunction(const APMPStatementValue& statement, APMPScope& scope,
                                APMPContext& ctx) {
  const APMPValueRef target = scope.valueForName(statement.functionName());
  if (!target->isFunction()) return APMPUndefined();
  APMPRef<APMPFunctionValue> function(&APMPAs<APMPFunctionValue>(*target));
  return function->invokeWithArguments(statement.arguments(), scope, ctx);
}

}  // namespace

int APMPOpcodeForName(std::u16string_view name) {
  if (name.empty() || name.size() > 2) return -1;
  if (name.size() == 2 && name[0] == u'0') return -1;
  int code = 0;
  for (char16_t c : name) {
    if (c < u'0' || c > u'9') return -1;
    code = code * 10 + (c - u'0');
  }
  if (code >= APMPCommandCount) return -1;
  return registrar().table[code].family == APMPEvaluatorFamily::None ? -1 : code;
}

APMPValueRef APMPEvaluator::evaluateStatement(const APMPValueRef& value, APMPScope& scope,
                                              APMPContext& ctx) {
  if (!ctx.countInstruction()) return APMPUndefined();
  if (!value->isStatement()) return value;
  APMPDepthGuard guard(ctx);
  if (!guard.ok()) return APMPUndefined();
  const auto& statement = APMPAs<APMPStatementValue>(*value);
  const int opcode = statement.opcode();
  if (opcode < 0) return callScriptFunction(statement, scope, ctx);

  const APMPCommandEntry& entry = registrar().table[opcode];
  const APMPValueList& arguments = statement.arguments();
  switch (entry.family) {
  case APMPEvaluatorFamily::Comparison:
    if (!APMPHasExpectedArgumentLength(arguments, 2, ctx)) return APMPUndefined();
    [[fallthrough]];
  case APMPEvaluatorFamily::Bitwise:
  case APMPEvaluatorFamily::Math:
  case APMPEvaluatorFamily::Variable: {
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
    if (ctx.failed()) return APMPUndefined();
    return entry.handler(values, scope, ctx);
  }
  case APMPEvaluatorFamily::Control:
  case APMPEvaluatorFamily::Logical:
  case APMPEvaluatorFamily::Loop:
    return entry.handler(arguments, scope, ctx);
  case APMPEvaluatorFamily::None:
    break;
  }
  return APMPUndefined();
}

APMPValueRef APMPEvaluator::executeStatements(const APMPValueList& statements, APMPScope& scope,
                                              APMPContext& ctx) {
  APMPValueRef result = APMPUndefined();
  for (const APMPValueRef& statement : statements) {
    result = evaluateStatement(statement, scope, ctx);
    if (ctx.failed()) return APMPUndefined();
    if (result->isControl()) return result;
  }
  return result;
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, APMPScope& scope,
                                    APMPContext& ctx) {
  APMPValueList values;
  values.reserve(arguments.size());
  for (const APMPValueRef& argument : arguments) {
    values.push_back(APMPEvaluator::evaluateStatement(argument, scope, ctx));
    if (ctx.failed()) break;
  }
  return values;
}
