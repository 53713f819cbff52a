// The loop commands: While (also counted and do-while loops), ForLet (a fresh binding of every
// loop variable per pass), and for-in / for-of in three binding variants. Loops consume break and
// continue and pass return on. Their operands arrive as statements.

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_scope.h"

namespace {

const APMPValueRef& undefinedValue() {
  return APMPUndefined();
}

// An error makes the condition false and stays stored.
bool EvaluateCondition(const APMPValueRef& condition, APMPScope& scope, APMPContext& ctx) {
  const APMPValueRef value = APMPEvaluator::evaluateStatement(condition, scope, ctx);
  if (ctx.failed()) return false;
  const bool truth = value->booleanValueOrError(ctx);
  return !ctx.failed() && truth;
}

// Runs the body once. True when the loop stops, with its result in `result`: undefined after an
// error or a break, the return signal after a return.
bool EvaluateLoopBody(const APMPValueList& body, APMPScope& scope, APMPContext& ctx,
                      APMPValueRef& result) {
  const APMPValueRef value = APMPEvaluator::executeStatements(body, scope, ctx);
  if (ctx.failed()) {
    result = APMPUndefined();
    return true;
  }
  if (value->isControl()) {
    const auto& control = APMPAs<APMPControlValue>(*value);
    if (control.isBreak()) {
      result = APMPUndefined();
      return true;
    }
    if (control.isReturn()) {
      result = value;
      return true;
    }
  }
  return false;
}

// The elements of an array operand (evaluated here), or null with code 10.
bool bodyOf(const APMPValueRef& value, APMPValueList& body, APMPContext& ctx) {
  if (!value->isArray()) {
    ctx.fail(APMPErrorArgumentKind);
    return false;
  }
  body = APMPAs<APMPArrayValue>(*value).allElements();
  return true;
}

APMPValueRef While(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 4, ctx)) return undefinedValue();
  const bool firstPass = EvaluateCondition(args[2], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const APMPValueRef bodyValue = APMPEvaluator::evaluateStatement(args[3], scope, ctx);
  APMPValueList body;
  if (ctx.failed() || !bodyOf(bodyValue, body, ctx)) return undefinedValue();
  APMPValueRef result;
  if (firstPass && EvaluateLoopBody(body, scope, ctx, result)) return result;
  for (;;) {
    if (!EvaluateCondition(args[0], scope, ctx)) return undefinedValue();
    if (EvaluateLoopBody(body, scope, ctx, result)) return result;
    APMPEvaluator::evaluateStatement(args[1], scope, ctx);
    if (ctx.failed()) return undefinedValue();
  }
}

// Declares each name in `to`, holding its value as read through the chain of `from`.
void CopyVariables(const std::vector<std::u16string>& names, const APMPScope& from, APMPScope& to) {
  for (const auto& name : names)
    to.addValue(from.valueForName(name), name);
}

APMPValueRef ForLet(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 4, ctx)) return undefinedValue();
  const APMPValueRef namesValue = APMPEvaluator::evaluateStatement(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  if (!namesValue->isArray()) {
    ctx.fail(APMPErrorArgumentKind);
    return undefinedValue();
  }
  std::vector<std::u16string> names;
  for (const APMPValueRef& n : APMPAs<APMPArrayValue>(*namesValue).allElements()) {
    names.push_back(n->stringValueOrError(ctx));
    if (ctx.failed()) return undefinedValue();
  }
  const APMPValueRef bodyValue = APMPEvaluator::evaluateStatement(args[3], scope, ctx);
  APMPValueList body;
  if (ctx.failed() || !bodyOf(bodyValue, body, ctx)) return undefinedValue();

  APMPRef<APMPScope> iteration = scope.createChildScope();
  CopyVariables(names, scope, *iteration);
  APMPValueRef result;
  for (;;) {
    if (!EvaluateCondition(args[1], *iteration, ctx)) return undefinedValue();
    if (EvaluateLoopBody(body, *iteration, ctx, result)) return result;
    APMPRef<APMPScope> next = scope.createChildScope();
    ctx.charge(96);
    CopyVariables(names, *iteration, *next);
    APMPEvaluator::evaluateStatement(args[2], *next, ctx);
    if (ctx.failed()) return undefinedValue();
    iteration = std::move(next);
  }
}

enum class Binding { Assign, Let, Const };

APMPValueList RuntimeValuesFromStrings(const std::vector<std::u16string>& names) {
  APMPValueList values;
  values.reserve(names.size());
  for (const auto& name : names)
    values.push_back(APMPStringValue::make(name));
  return values;
}

// The keys for-in walks. False with the error stored.
bool ForInHelper(const APMPRuntimeValue& collection, APMPValueList& items, APMPContext& ctx) {
  if (collection.isString()) {
    const std::size_t length = APMPAs<APMPStringValue>(collection).value().size();
    if (!ctx.charge(length * 48)) return false;
    for (std::size_t i = 0; i < length; ++i) {
      items.push_back(APMPStringValue::make(APMPNumberToString(static_cast<double>(i))));
    }
  } else if (collection.isArray()) {
    items = APMPAs<APMPArrayValue>(collection).allPropertyNames();
  } else if (collection.isMap()) {
    items = RuntimeValuesFromStrings(APMPAs<APMPMapValue>(collection).allPropertyNames());
  } else if (collection.isFunction()) {
    items = RuntimeValuesFromStrings(APMPAs<APMPFunctionValue>(collection).allPropertyNames());
  }
  return true;
}

// The values for-of walks. False with code 16 for what is neither a string nor an array.
bool ForOfHelper(const APMPRuntimeValue& collection, APMPValueList& items, APMPContext& ctx) {
  if (collection.isString()) {
    const std::u16string& text = APMPAs<APMPStringValue>(collection).value();
    if (!ctx.charge(text.size() * 48)) return false;
    for (char16_t unit : text)
      items.push_back(APMPStringValue::make(std::u16string(1, unit)));
    return true;
  }
  if (collection.isArray()) {
    items = APMPAs<APMPArrayValue>(collection).allElements();
    return true;
  }
  ctx.fail(APMPErrorNotIterable);
  return false;
}

APMPValueRef LoopIterate(const APMPValueList& items, const std::u16string& name,
                         const APMPValueRef& bodyValue, Binding binding, APMPScope& scope,
                         APMPContext& ctx) {
  APMPValueList body;
  if (!bodyOf(bodyValue, body, ctx)) return undefinedValue();
  APMPValueRef result;
  for (const APMPValueRef& item : items) {
    if (!ctx.tick()) return undefinedValue();
    if (binding == Binding::Assign) {
      scope.setValue(item, name);
      if (EvaluateLoopBody(body, scope, ctx, result)) return result;
      continue;
    }
    APMPRef<APMPScope> inner = scope.createChildScope();
    if (!ctx.charge(96)) return undefinedValue();
    if (binding == Binding::Let) {
      inner->addValue(item, name);
    } else {
      inner->addImmutableValue(item, name);
    }
    if (EvaluateLoopBody(body, *inner, ctx, result)) return result;
  }
  return undefinedValue();
}

template <bool kOf, Binding kBinding>
APMPValueRef ForLoop(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 3, ctx)) return undefinedValue();
  const APMPValueList values = APMPEvaluateArguments(args, scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  APMPValueList items;
  const bool built =
      kOf ? ForOfHelper(*values[1], items, ctx) : ForInHelper(*values[1], items, ctx);
  if (!built) return undefinedValue();
  return LoopIterate(items, name, values[2], kBinding, scope, ctx);
}

}  // namespace

void APMPRegisterLoopCommands(APMPCommandEntry (&table)[APMPCommandCount]) {
  constexpr auto family = APMPEvaluatorFamily::Loop;
  table[APMPCommandWhile] = {family, While};
  table[APMPCommandForIn] = {family, ForLoop<false, Binding::Assign>};
  table[APMPCommandForInConst] = {family, ForLoop<false, Binding::Const>};
  table[APMPCommandForInLet] = {family, ForLoop<false, Binding::Let>};
  table[APMPCommandForLet] = {family, ForLet};
  table[APMPCommandForOf] = {family, ForLoop<true, Binding::Assign>};
  table[APMPCommandForOfConst] = {family, ForLoop<true, Binding::Const>};
  table[APMPCommandForOfLet] = {family, ForLoop<true, Binding::Let>};
}
