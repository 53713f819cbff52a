#include "measurement/script/apmp_script_modules.h"

#include <cmath>
#include <vector>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_event_native_functions.h"
#include "measurement/script/apmp_text.h"

namespace {

std::u16string u16(const std::string& text) {
  return APMPUtf16FromUtf8(text).value_or(std::u16string());
}

}  // namespace

// ---- settings

APMPKeyValueStoreGetValue::APMPKeyValueStoreGetValue(APMPKeyValueStoreModule::GetValueBlock block)
    : APMPFunctionValue(u"getValue"), getValueBlock_(std::move(block)) {}

APMPValueRef APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments,
                                                            APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(arguments, 2, ctx)) return APMPUndefined();
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  const std::u16string key = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  const std::optional<platform::Value> setting =
      getValueBlock_ ? getValueBlock_(APMPUtf8FromUtf16(key)) : std::nullopt;
  if (setting && setting->isString()) {
    std::optional<std::u16string> text = APMPUtf16FromUtf8(setting->asString());
    if (text) return APMPStringValue::make(std::move(*text), ctx);
  } else if (setting && setting->isNumber()) {
    return APMPStringValue::make(u16(APMPParameterNumberText(*setting)), ctx);
  }
  return values[1];
}

APMPKeyValueStore::APMPKeyValueStore(std::u16string functionName,
                                     APMPKeyValueStoreModule::GetValueBlock block)
    : APMPFunctionValue(std::move(functionName)) {
  mutableProperties().setValue(APMPMake<APMPKeyValueStoreGetValue>(std::move(block)), u"getValue");
}

// ---- logging

APMPFunctionLog::APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent,
                                 bool monitored)
    : APMPFunctionValue(u"log"), silent_(silent), monitored_(monitored),
      logger_(std::move(logger)) {}

APMPValueRef APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                  APMPContext& ctx) {
  if (!APMPAssertArgumentsAtLeast(arguments, 1, ctx)) return APMPUndefined();
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  std::int64_t level = 4;
  std::u16string message;
  std::vector<std::string> context;
  if (values.size() == 1) {
    message = values[0]->stringValueOrError(ctx);
  } else {
    // The level is decided on the number itself: cut toward zero, and anything that is not a
    // whole number in range (NaN, infinities) lands outside the levels that mean something.
    level = APMPSaturatedInt64(APMPToInteger(values[0]->doubleValueOrError(ctx)));
    if (ctx.failed()) return APMPUndefined();
    message = values[1]->stringValueOrError(ctx);
    for (std::size_t i = 2; i < values.size() && i < 5 && !ctx.failed(); ++i) {
      context.push_back(APMPUtf8FromUtf16(values[i]->stringValueOrError(ctx)));
    }
  }
  if (ctx.failed()) return APMPUndefined();
  if (logger_) {
    logger_->logWithLevel(level, APMPUtf8FromUtf16(message), context, silent_, monitored_);
  }
  return APMPUndefined();
}

APMPFunctionLogSilent::APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"silent") {
  mutableProperties().setValue(APMPMake<APMPFunctionLog>(std::move(logger), true, true), u"log");
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"unmonitored") {
  mutableProperties().setValue(APMPMake<APMPFunctionLog>(std::move(logger), false, false), u"log");
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(std::u16string(APMPEModuleLogger)) {
  mutableProperties().setValue(APMPMake<APMPFunctionLog>(logger, false, true), u"log");
  mutableProperties().setValue(APMPMake<APMPFunctionLogSilent>(logger), u"silent");
  mutableProperties().setValue(APMPMake<APMPFunctionLogUnmonitored>(logger), u"unmonitored");
}

// ---- from the event model's descriptions

APMPValueRef APMPScriptModuleFromModule(const std::shared_ptr<APMPModule>& module) {
  if (auto store = std::dynamic_pointer_cast<APMPKeyValueStoreModule>(module)) {
    return APMPMake<APMPKeyValueStore>(u16(store->functionName), store->getValueBlock);
  }
  if (auto provider = std::dynamic_pointer_cast<APMPObjectProviderModule>(module)) {
    auto block = provider->block;
    return APMPMake<APMPObjectProvider>(u16(provider->name), [block]() -> platform::Value {
      return block ? platform::Value(block()) : platform::Value();
    });
  }
  if (auto logger = std::dynamic_pointer_cast<APMPMessageLoggerModule>(module)) {
    return APMPMake<APMPMessageLogger>(logger->logger);
  }
  return nullptr;
}
