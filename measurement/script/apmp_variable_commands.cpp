// The variable and property commands. Their operands arrive evaluated, left to right.

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_scope.h"

namespace {

const APMPValueRef& undefinedValue() {
  return APMPUndefined();
}

// The text of a name operand; null (and code 10) when it is not a string value.
const std::u16string* nameOperand(const APMPValueRef& value, APMPContext& ctx) {
  if (!value->isString()) {
    ctx.fail(APMPErrorArgumentKind);
    return nullptr;
  }
  return &APMPAs<APMPStringValue>(*value).value();
}

APMPValueRef Assign(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  const std::u16string* name = nameOperand(args[0], ctx);
  if (!name) return undefinedValue();
  if (!scope.hasName(*name)) {
    ctx.fail(APMPErrorUndeclaredAssignment);
    return undefinedValue();
  }
  scope.setValue(args[1], *name);
  return args[1];
}

APMPValueRef Const(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (args.size() % 2 != 0) {
    ctx.fail(APMPErrorArgumentCount);
    return undefinedValue();
  }
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::u16string* name = nameOperand(args[i], ctx);
    if (!name) return undefinedValue();
    scope.addImmutableValue(args[i + 1], *name);
  }
  return undefinedValue();
}

APMPValueRef CreateArray(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  auto array = APMPObjectManager::arrayValueWithArray(args, scope, ctx);
  if (ctx.failed()) return undefinedValue();
  return array;
}

APMPValueRef CreateObject(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (args.size() % 2 != 0) {
    ctx.fail(APMPErrorArgumentCount);
    return undefinedValue();
  }
  auto map = APMPObjectManager::mapValueWithScope(scope, ctx);
  for (std::size_t i = 0; i < args.size() && !ctx.failed(); i += 2) {
    const std::u16string key = args[i]->stringValueOrError(ctx);
    if (ctx.failed()) break;
    map->setValue(args[i + 1], key, ctx);
  }
  if (ctx.failed()) return undefinedValue();
  return map;
}

APMPValueRef Get(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  const std::u16string* name = nameOperand(args[0], ctx);
  if (!name) return undefinedValue();
  return scope.valueForName(*name);
}

APMPValueRef GetProperty(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  APMPRuntimeValue& target = *args[0];
  const APMPRuntimeValue& key = *args[1];
  switch (target.kind()) {
  case APMPRuntimeValue::Kind::Array:
    return APMPAs<APMPArrayValue>(target).valueForProperty(key, ctx);
  case APMPRuntimeValue::Kind::Map:
  case APMPRuntimeValue::Kind::Function: {
    const std::u16string name = key.stringValueOrError(ctx);
    if (ctx.failed()) return undefinedValue();
    return target.isMap() ? APMPAs<APMPMapValue>(target).valueForProperty(name)
                          : APMPAs<APMPFunctionValue>(target).valueForProperty(name);
  }
  case APMPRuntimeValue::Kind::String: {
    const std::u16string name = key.stringValueOrError(ctx);
    if (ctx.failed()) return undefinedValue();
    const std::u16string& text = APMPAs<APMPStringValue>(target).value();
    if (name == APMPLengthPropertyName) {
      return APMPNumberValue::make(static_cast<double>(text.size()));
    }
    if (APMPIsZeroOrPositiveInteger(key)) {
      const double index = key.doubleValueOrError(ctx);
      if (index < static_cast<double>(text.size())) {
        return APMPStringValue::make(std::u16string(1, text[static_cast<std::size_t>(index)]));
      }
    }
    return undefinedValue();
  }
  default:
    return undefinedValue();
  }
}

APMPValueRef SetProperty(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 3, ctx)) return undefinedValue();
  APMPRuntimeValue& target = *args[0];
  const APMPValueRef& value = args[2];
  switch (target.kind()) {
  case APMPRuntimeValue::Kind::Null:
  case APMPRuntimeValue::Kind::Undefined:
    ctx.fail(APMPErrorPropertyOfNothing);
    return undefinedValue();
  case APMPRuntimeValue::Kind::Array: {
    APMPAs<APMPArrayValue>(target).setValue(value, *args[1], ctx);
    // The array's own refusal (code 11) still yields the value; a key that has no string
    // form yields undefined.
    if (ctx.failed() && ctx.errorCode() != APMPErrorArrayLength) {
      return undefinedValue();
    }
    return value;
  }
  case APMPRuntimeValue::Kind::Map:
  case APMPRuntimeValue::Kind::Function: {
    const std::u16string name = args[1]->stringValueOrError(ctx);
    if (ctx.failed()) return undefinedValue();
    if (target.isMap()) {
      APMPAs<APMPMapValue>(target).setValue(value, name, ctx);
    } else {
      APMPAs<APMPFunctionValue>(target).setValue(value, name, ctx);
    }
    return value;
  }
  default:
    return value;
  }
}

APMPValueRef TypeOf(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  return APMPStringValue::make(std::u16string(APMPTypeName(*args[0])));
}

APMPValueRef Undefined(const APMPValueList&, APMPScope&, APMPContext&) {
  return APMPUndefined();
}

APMPValueRef Null(const APMPValueList&, APMPScope&, APMPContext&) {
  return APMPNull();
}

APMPValueRef Var(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  for (const APMPValueRef& arg : args) {
    const std::u16string* name = nameOperand(arg, ctx);
    if (!name) return undefinedValue();
    scope.addValue(APMPUndefined(), *name);
  }
  return undefinedValue();
}

}  // namespace

void APMPRegisterVariableCommands(APMPCommandEntry (&table)[APMPCommandCount]) {
  constexpr auto family = APMPEvaluatorFamily::Variable;
  table[APMPCommandAssign] = {family, Assign};
  table[APMPCommandCreateArray] = {family, CreateArray};
  table[APMPCommandCreateObject] = {family, CreateObject};
  table[APMPCommandGet] = {family, Get};
  table[APMPCommandGetIndex] = {family, GetProperty};
  table[APMPCommandGetProperty] = {family, GetProperty};
  table[APMPCommandTypeof] = {family, TypeOf};
  table[APMPCommandVar] = {family, Var};
  table[APMPCommandSetProperty] = {family, SetProperty};
  table[APMPCommandUndefined] = {family, Undefined};
  table[APMPCommandNull] = {family, Null};
  table[APMPCommandConst] = {family, Const};
}
