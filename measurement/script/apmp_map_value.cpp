#include "measurement/script/apmp_map_value.h"

#include <cmath>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"

double APMPMapValue::doubleValueOrError(APMPContext&) const {
  return std::nan("");
}

APMPValueRef APMPMapValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                         APMPScope& scope, APMPContext& ctx) {
  return APMPApplyOwnPropertyMethod(*this, properties_, name, arguments, scope, ctx);
}

bool APMPMapValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const {
  if (!other.isMap()) return false;
  const auto& o = APMPAs<APMPMapValue>(other);
  if (o.properties_.count() != properties_.count()) return false;
  bool equal = true;
  properties_.forEach([&](const std::u16string& name, const APMPValueRef& value) {
    if (!equal) return;
    const APMPValueRef* theirs = o.properties_.find(name);
    equal = theirs && APMPStructurallyEqual(*value, **theirs, ctx);
  });
  return equal;
}

std::optional<APMPValueRef> APMPCallOwnProperty(const APMPPropertyMap& properties,
                                                const std::u16string& name,
                                                const APMPValueList& arguments, APMPScope& scope,
                                                APMPContext& ctx) {
  const APMPValueRef* own = properties.find(name);
  if (!own) return std::nullopt;
  if (!(*own)->isFunction()) {
    ctx.fail(APMPErrorUnknownMethod);
    return APMPUndefined();
  }
  APMPRef<APMPFunctionValue> function(&APMPAs<APMPFunctionValue>(**own));
  return function->invokeWithArguments(arguments, scope, ctx);
}

APMPValueRef APMPApplyOwnPropertyMethod(APMPRuntimeValue& self, const APMPPropertyMap& properties,
                                        const std::u16string& name, const APMPValueList& arguments,
                                        APMPScope& scope, APMPContext& ctx) {
  if (auto result = APMPCallOwnProperty(properties, name, arguments, scope, ctx)) return *result;
  if (name == u"hasOwnProperty") {
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
    if (ctx.failed() || !APMPHasExpectedArgumentLength(values, 1, ctx)) return APMPUndefined();
    const std::u16string key = values[0]->stringValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
    return APMPBoolean(properties.hasName(key));
  }
  return self.APMPRuntimeValue::applyWithName(name, arguments, scope, ctx);
}
