#include "measurement/script/apmp_event_native_functions.h"

#include <cmath>
#include <limits>
#include <utility>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "measurement/script/apmp_scope.h"
#include "measurement/script/apmp_text.h"

namespace {

// 2^63: the first double past the signed 64-bit range.
constexpr double kInt64Bound = 9223372036854775808.0;

bool isIntegerFormName(const std::string& name) {
  return name == "_syn" || name == "_err" || name == "_el";
}

platform::Value integerForm(const platform::Value& number) {
  if (const auto* i = number.ifInt()) return platform::Value(*i);
  return platform::Value(APMPSaturatedInt64(number.asDouble()));
}

// Kind and payload; two NaNs count as the same value, so an untouched event never looks edited.
bool sameParameterValue(const platform::Value& a, const platform::Value& b) {
  const double* x = a.ifDouble();
  const double* y = b.ifDouble();
  if (x && y) return *x == *y || (std::isnan(*x) && std::isnan(*y));
  return a == b;
}

// Every parameter of `a` is in `b` with the same value.
bool parametersIncluded(const platform::ValueMap& a, const platform::ValueMap& b) {
  for (const auto& [name, value] : a) {
    const auto other = b.find(name);
    if (other == b.end() || !sameParameterValue(value, other->second)) return false;
  }
  return true;
}

std::string utf8(const std::u16string& text) {
  return APMPUtf8FromUtf16(text);
}

APMPValueRef stringValue(const std::string& text, APMPContext& ctx) {
  std::optional<std::u16string> converted = APMPUtf16FromUtf8(text);
  if (!converted) {
    ctx.fail(APMPErrorPlatformObject);
    return APMPUndefined();
  }
  return APMPStringValue::make(std::move(*converted), ctx);
}

// The six methods. Each gets the evaluated arguments; its own argument count is checked first.
using Handler = APMPValueRef (*)(const APMPValueList& values, APMPScope& scope,
                                 APMPEventContext& context, APMPContext& ctx);

APMPValueRef getEventName(const APMPValueList& values, APMPScope&, APMPEventContext& context,
                          APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return stringValue(context.outputEvent.name, ctx);
}

APMPValueRef getParameterValue(const APMPValueList& values, APMPScope& scope,
                               APMPEventContext& context, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 1, ctx)) return APMPUndefined();
  const std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  const auto& parameters = context.outputEvent.parameters;
  const auto found = parameters.find(platform::Value(utf8(name)));
  if (found == parameters.end()) return APMPNull();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(found->second, scope, ctx);
}

APMPValueRef getParameterValues(const APMPValueList& values, APMPScope& scope,
                                APMPEventContext& context, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  auto map = APMPObjectManager::mapValueWithScope(scope, ctx);
  for (const auto& [name, value] : context.outputEvent.parameters) {
    const std::string* nameText = name.ifString();
    std::optional<std::u16string> propertyName =
        APMPUtf16FromUtf8(nameText ? *nameText : name.debugString());
    if (!propertyName) {
      ctx.fail(APMPErrorPlatformObject);
      return APMPUndefined();
    }
    APMPValueRef converted =
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(value, scope, ctx);
    if (ctx.failed()) return APMPUndefined();
    map->setValue(std::move(converted), *propertyName, ctx);
  }
  if (ctx.failed()) return APMPUndefined();
  return map;
}

APMPValueRef getTimestamp(const APMPValueList& values, APMPScope&, APMPEventContext& context,
                          APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return APMPNumberValue::make(context.outputEvent.timestamp);
}

APMPValueRef setEventName(const APMPValueList& values, APMPScope&, APMPEventContext& context,
                          APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 1, ctx)) return APMPUndefined();
  if (values[0]->isUndefined() || values[0]->isNull()) {
    ctx.fail(APMPErrorArgumentKind);
    return APMPUndefined();
  }
  std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  context.outputEvent.name = utf8(name);
  return APMPStringValue::make(std::move(name), ctx);
}

APMPValueRef setParameterValue(const APMPValueList& values, APMPScope&, APMPEventContext& context,
                               APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 2, ctx)) return APMPUndefined();
  const std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  std::optional<platform::Value> value =
      APMPRuntimeEntityConverter::objectFromRuntimeValue(*values[1], ctx);
  if (ctx.failed()) return APMPUndefined();
  APMPEventSetParameter(context.outputEvent, utf8(name), std::move(value));
  return values[1];
}

Handler handlerFor(const std::u16string& name) {
  if (name == APMPEEventNativeCommandGetEventName) return getEventName;
  if (name == APMPEEventNativeCommandGetParameter) return getParameterValue;
  if (name == APMPEEventNativeCommandGetParameters) return getParameterValues;
  if (name == APMPEEventNativeCommandGetTimestamp) return getTimestamp;
  if (name == APMPEEventNativeCommandSetEventName) return setEventName;
  if (name == APMPEEventNativeCommandSetParameter) return setParameterValue;
  return nullptr;
}

}  // namespace

std::int64_t APMPSaturatedInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= kInt64Bound) return std::numeric_limits<std::int64_t>::max();
  if (value < -kInt64Bound) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);  // in range: truncates toward zero
}

std::string APMPParameterNumberText(const platform::Value& number) {
  if (const auto* i = number.ifInt()) return std::to_string(*i);
  return APMPUtf8FromUtf16(APMPNumberToString(number.asDouble()));
}

platform::Value APMPNormalizedParameter(const std::string& name, const platform::Value* existing,
                                        platform::Value newValue) {
  if (!newValue.isNumber()) return newValue;
  if (isIntegerFormName(name)) return integerForm(newValue);
  if (existing && existing->isNumber()) {
    if (existing->isDouble()) return newValue;
    // An integer parameter: its name decides whether the number is taken (as an integer) or
    // the parameter keeps the value it has. Names of the "_" family belong to the engine.
    if (name.empty()) return integerForm(newValue);
    if (name.front() == '_') return *existing;
    return integerForm(newValue);
  }
  if (existing && existing->isString()) return platform::Value(APMPParameterNumberText(newValue));
  return newValue;
}

void APMPEventSetParameter(APMPEvent& event, const std::string& name,
                           std::optional<platform::Value> value) {
  const platform::Value key(name);
  if (!value) {
    event.parameters.erase(key);
    return;
  }
  const auto found = event.parameters.find(key);
  const platform::Value* existing = found == event.parameters.end() ? nullptr : &found->second;
  platform::Value stored = APMPNormalizedParameter(name, existing, std::move(*value));
  event.parameters.insert_or_assign(key, std::move(stored));
}

bool APMPEventIsEqualToEvent(const APMPEvent& a, const APMPEvent& b) {
  if (&a == &b) return true;
  if (std::fabs(a.timestamp - b.timestamp) > 2.220446049250313e-16) return false;
  if (a.name != b.name) return false;
  if (a.parameters.size() != b.parameters.size()) return false;
  return parametersIncluded(a.parameters, b.parameters) &&
         parametersIncluded(b.parameters, a.parameters);
}

void APMPEventContextSetInputEvent(APMPEventContext& context, const APMPEvent& event) {
  context.inputEvent = event;
  context.outputEvent = event;
  context.eventsToLog.clear();
}

void APMPEventContextLogEvent(APMPEventContext& context, std::string name, double timestamp,
                              const platform::ValueMap& parameters) {
  platform::ValueMap normalized;
  for (const auto& [key, value] : parameters) {
    const std::string* nameText = key.ifString();
    const std::string keyText = nameText ? *nameText : key.debugString();
    const auto existing = context.inputEvent.parameters.find(key);
    normalized.insert_or_assign(
        key,
        APMPNormalizedParameter(
            keyText, existing == context.inputEvent.parameters.end() ? nullptr : &existing->second,
            value));
  }
  context.eventsToLog.push_back(
      APMPEvent::initWithName(std::move(name), timestamp, std::move(normalized)));
}

// ---- the event object

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext)
    : eventContext_(std::move(eventContext)) {}

APMPValueRef APMPEventNativeFunctions::applyWithName(const std::u16string& name,
                                                     const APMPValueList& arguments,
                                                     APMPScope& scope, APMPContext& ctx) {
  const Handler handler = handlerFor(name);
  if (!handler) return APMPMapValue::applyWithName(name, arguments, scope, ctx);
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  const APMPRef<APMPRuntimeValue> self(this);  // a method may drop the last script reference
  APMPValueRef result = handler(values, scope, *eventContext_, ctx);
  return ctx.failed() ? APMPUndefined() : result;
}

// ---- the event logger

APMPEventLogger::APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext)
    : APMPFunctionValue(std::u16string(APMPEModuleEventLogger)),
      eventContext_(std::move(eventContext)) {}

APMPValueRef APMPEventLogger::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                  APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, ctx)) return APMPUndefined();
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  const std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  const double time = APMPToInteger(values[1]->doubleValueOrError(ctx));
  if (ctx.failed()) return APMPUndefined();
  // A whole-second time the engine can hold: an infinite or out-of-range one is refused rather
  // than stored as a time no reader expects.
  if (!(time < kInt64Bound && time >= -kInt64Bound)) {
    ctx.fail(APMPErrorArgumentKind);
    return APMPUndefined();
  }
  if (!values[2]->isMap()) {
    ctx.fail(APMPErrorArgumentKind);
    return APMPUndefined();
  }
  const auto& map = APMPAs<APMPMapValue>(*values[2]);
  platform::ValueMap parameters;
  for (const std::u16string& property : map.allPropertyNames()) {
    std::optional<platform::Value> value =
        APMPRuntimeEntityConverter::objectFromRuntimeValue(*map.valueForProperty(property), ctx);
    if (ctx.failed()) return APMPUndefined();
    if (value) parameters.insert_or_assign(platform::Value(utf8(property)), std::move(*value));
  }
  if (eventContext_->eventsToLog.size() >= APMPEMaxLoggedEventsPerEvent) {
    ctx.fail(APMPErrorLimit);
    return APMPUndefined();
  }
  APMPEventContextLogEvent(*eventContext_, utf8(name),
                           static_cast<double>(static_cast<std::int64_t>(time)), parameters);
  return APMPUndefined();
}
