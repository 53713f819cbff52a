// The control commands: blocks, branches, switch, the ternary, expression lists, functions,
// method application, return, break, continue and Quote. Their operands arrive unevaluated; each
// handler evaluates what it needs, when it needs it.

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_scope.h"

namespace {

const APMPValueRef& undefinedValue() {
  return APMPUndefined();
}

APMPValueRef evaluate(const APMPValueRef& operand, APMPScope& scope, APMPContext& ctx) {
  return APMPEvaluator::evaluateStatement(operand, scope, ctx);
}

// A body or case list: the elements of an array value (holes read as undefined), run as a
// statement list in `scope`.
APMPValueRef runArray(const APMPRuntimeValue& array, APMPScope& scope, APMPContext& ctx) {
  return APMPEvaluator::executeStatements(APMPAs<APMPArrayValue>(array).allElements(), scope, ctx);
}

bool isBreak(const APMPRuntimeValue& v) {
  return v.isControl() && APMPAs<APMPControlValue>(v).isBreak();
}

APMPValueRef Quote(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  auto array = APMPObjectManager::arrayValueWithArray(args, scope, ctx);
  if (ctx.failed()) return undefinedValue();
  return array;
}

APMPValueRef Block(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  APMPRef<APMPScope> inner = scope.createChildScope();
  return APMPEvaluator::executeStatements(args, *inner, ctx);
}

APMPValueRef If(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPAssertArgumentsAtLeast(args, 1, ctx) || !APMPAssertArgumentsAtMost(args, 3, ctx)) {
    return undefinedValue();
  }
  const APMPValueRef condition = evaluate(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const bool truth = condition->booleanValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  const std::size_t chosen = truth ? 1 : 2;
  if (chosen >= args.size()) return undefinedValue();
  const APMPValueRef branch = evaluate(args[chosen], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  if (branch->isArray()) return runArray(*branch, scope, ctx);
  return branch;
}

APMPValueRef Ternary(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 3, ctx)) return undefinedValue();
  const APMPValueRef condition = evaluate(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const bool truth = condition->booleanValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  return evaluate(args[truth ? 1 : 2], scope, ctx);
}

APMPValueRef ExpressionList(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPAssertArgumentsAtLeast(args, 1, ctx)) return undefinedValue();
  APMPValueRef last = APMPUndefined();
  for (const APMPValueRef& arg : args) {
    last = evaluate(arg, scope, ctx);
    if (ctx.failed()) return undefinedValue();
    if (last->isControl()) {
      ctx.fail(APMPErrorArgumentKind);
      return undefinedValue();
    }
  }
  return last;
}

APMPValueRef Switch(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 3, ctx)) return undefinedValue();
  const APMPValueList values = APMPEvaluateArguments(args, scope, ctx);
  if (ctx.failed()) return undefinedValue();
  if (!values[1]->isArray() || !values[2]->isArray()) {
    ctx.fail(APMPErrorArgumentCount);
    return undefinedValue();
  }
  const APMPValueRef& discriminant = values[0];
  const APMPValueList cases = APMPAs<APMPArrayValue>(*values[1]).allElements();
  const APMPValueList bodies = APMPAs<APMPArrayValue>(*values[2]).allElements();

  bool matched = false;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!matched) {
      const APMPValueRef candidate = evaluate(cases[i], scope, ctx);
      if (ctx.failed()) return undefinedValue();
      matched = APMPStrictEqualityCompare(*candidate, *discriminant, ctx);
      if (ctx.failed()) return undefinedValue();
      if (!matched) continue;
    }
    if (i >= bodies.size()) continue;
    const APMPValueRef result = evaluate(bodies[i], scope, ctx);
    if (ctx.failed()) return undefinedValue();
    if (result->isControl()) return isBreak(*result) ? undefinedValue() : result;
  }
  if (bodies.size() == cases.size() + 1) {
    const APMPValueRef result = evaluate(bodies.back(), scope, ctx);
    if (ctx.failed()) return undefinedValue();
    if (result->isControl() && !isBreak(*result)) return result;
  }
  return undefinedValue();
}

APMPValueRef Case(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  const APMPValueRef body = evaluate(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  if (!body->isArray()) {
    ctx.fail(APMPErrorArgumentKind);
    return undefinedValue();
  }
  return runArray(*body, scope, ctx);
}

APMPValueRef Break(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 0, ctx)) return undefinedValue();
  return APMPControlValue::breakValue();
}

APMPValueRef Continue(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 0, ctx)) return undefinedValue();
  return APMPControlValue::continueValue();
}

APMPValueRef Return(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(args, 1, ctx)) return undefinedValue();
  APMPValueRef data = APMPUndefined();
  if (!args.empty()) {
    data = evaluate(args[0], scope, ctx);
    if (ctx.failed()) return undefinedValue();
  }
  return APMPControlValue::returnValueWithData(std::move(data));
}

// The function that Fn and DefineFunction build, or null with the error stored.
APMPRef<APMPFunctionValue> buildFunction(const APMPValueList& args, APMPScope& scope,
                                         APMPContext& ctx) {
  if (!APMPAssertArgumentsAtLeast(args, 2, ctx)) return nullptr;
  // The name is taken as it stands: a literal gives its text, a statement fails with 5.
  std::u16string name = args[0]->stringValueOrError(ctx);
  if (ctx.failed()) return nullptr;
  const APMPValueRef parameters = evaluate(args[1], scope, ctx);
  if (ctx.failed()) return nullptr;
  if (!parameters->isArray()) {
    ctx.fail(APMPErrorArgumentKind);
    return nullptr;
  }
  std::vector<std::u16string> names;
  for (const APMPValueRef& p : APMPAs<APMPArrayValue>(*parameters).allElements()) {
    names.push_back(p->stringValueOrError(ctx));
    if (ctx.failed()) return nullptr;
  }
  APMPValueList body(args.begin() + 2, args.end());
  auto function = APMPObjectManager::functionValueWithFunctionName(
      std::move(name), std::move(names), std::move(body), scope, ctx);
  if (ctx.failed()) return nullptr;
  return function;
}

APMPValueRef Fn(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  auto function = buildFunction(args, scope, ctx);
  if (!function) return undefinedValue();
  return function;
}

APMPValueRef DefineFunction(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  auto function = buildFunction(args, scope, ctx);
  if (!function) return undefinedValue();
  scope.setValue(function, function->functionName());
  return function;
}

APMPValueRef Apply(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 3, ctx)) return undefinedValue();
  const APMPValueList values = APMPEvaluateArguments(args, scope, ctx);
  if (ctx.failed()) return undefinedValue();
  if (!values[1]->isString() || !values[2]->isArray()) {
    ctx.fail(APMPErrorArgumentKind);
    return undefinedValue();
  }
  const std::u16string& method = APMPAs<APMPStringValue>(*values[1]).value();
  const APMPValueList arguments = APMPAs<APMPArrayValue>(*values[2]).allElements();
  return values[0]->applyWithName(method, arguments, scope, ctx);
}

}  // namespace

void APMPRegisterControlCommands(APMPCommandEntry (&table)[APMPCommandCount]) {
  constexpr auto family = APMPEvaluatorFamily::Control;
  table[APMPCommandApply] = {family, Apply};
  table[APMPCommandBreak] = {family, Break};
  table[APMPCommandCase] = {family, Case};
  table[APMPCommandContinue] = {family, Continue};
  table[APMPCommandDefault] = {family, Case};
  table[APMPCommandExpressionList] = {family, ExpressionList};
  table[APMPCommandIf] = {family, If};
  table[APMPCommandReturn] = {family, Return};
  table[APMPCommandSwitch] = {family, Switch};
  table[APMPCommandTernary] = {family, Ternary};
  table[APMPCommandQuote] = {family, Quote};
  table[APMPCommandDefineFunction] = {family, DefineFunction};
  table[APMPCommandFn] = {family, Fn};
  table[APMPCommandBlock] = {family, Block};
}
