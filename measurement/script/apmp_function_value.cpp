#include "measurement/script/apmp_function_value.h"

#include <cmath>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "measurement/script/apmp_scope.h"

// ---- functions

APMPFunctionValue::APMPFunctionValue(std::u16string functionName,
                                     std::vector<std::u16string> parameterNames,
                                     APMPValueList statements, APMPRef<APMPScope> definingScope)
    : APMPRuntimeValue(Kind::Function), functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)), statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {
  setTraceable();
}

APMPFunctionValue::APMPFunctionValue(std::u16string functionName)
    : APMPFunctionValue(std::move(functionName), {}, {}, APMPMake<APMPScope>(nullptr)) {}

APMPFunctionValue::~APMPFunctionValue() = default;

double APMPFunctionValue::doubleValueOrError(APMPContext&) const {
  return std::nan("");
}

APMPValueRef APMPFunctionValue::applyWithName(const std::u16string& name,
                                              const APMPValueList& arguments, APMPScope& scope,
                                              APMPContext& ctx) {
  return APMPApplyOwnPropertyMethod(*this, properties_, name, arguments, scope, ctx);
}

APMPValueRef APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                    APMPScope& scope, APMPContext& ctx) {
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  return invokeWithEvaluatedArguments(values, ctx);
}

APMPValueRef APMPFunctionValue::invokeWithEvaluatedArguments(const APMPValueList& values,
                                                             APMPContext& ctx) {
  // A swept function has no scope and runs nothing.
  if (!definingScope_) return APMPUndefined();
  APMPDepthGuard guard(ctx);
  if (!guard.ok()) return APMPUndefined();
  const APMPRef<APMPFunctionValue> self(this);
  const APMPValueList body = statements_;
  APMPRef<APMPScope> callScope = definingScope_->createChildScope();
  ctx.charge(96);
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    callScope->addValue(i < values.size() ? values[i] : APMPUndefined(), parameters_[i]);
  }
  APMPValueRef result = APMPEvaluator::executeStatements(body, *callScope, ctx);
  if (ctx.failed()) return APMPUndefined();
  if (result->isControl()) {
    const auto& control = APMPAs<APMPControlValue>(*result);
    if (control.isReturn()) return control.data();
  }
  return result;
}

bool APMPFunctionValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  return other.isFunction() && !functionName_.empty() &&
         APMPAs<APMPFunctionValue>(other).functionName_ == functionName_;
}

void APMPFunctionValue::mark(APMPMarker& marker) const {
  properties_.mark(marker);
  for (const auto& v : statements_)
    marker.visit(v.get());
  marker.visit(definingScope_.get());
}

void APMPFunctionValue::sweep() {
  properties_.clear();
  APMPValueList body = std::move(statements_);
  statements_.clear();
  APMPRef<APMPScope> scope = std::move(definingScope_);
  definingScope_ = nullptr;
}

// ---- statements

APMPStatementValue::APMPStatementValue(std::u16string functionName, APMPValueList arguments)
    : APMPRuntimeValue(Kind::Statement), functionName_(std::move(functionName)),
      arguments_(std::move(arguments)), opcode_(APMPOpcodeForName(functionName_)) {}

bool APMPStatementValue::isEqualToRuntimeValue(const APMPRuntimeValue& other,
                                               APMPContext& ctx) const {
  if (!other.isStatement()) return false;
  const auto& o = APMPAs<APMPStatementValue>(other);
  if (o.functionName_ != functionName_ || o.arguments_.size() != arguments_.size()) return false;
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    if (!APMPStructurallyEqual(*arguments_[i], *o.arguments_[i], ctx)) return false;
  }
  return true;
}

// ---- control signals

APMPControlValue::APMPControlValue(std::u16string type, APMPValueRef data)
    : APMPRuntimeValue(Kind::Control), type_(std::move(type)),
      data_(data ? std::move(data) : APMPUndefined()) {}

APMPValueRef APMPControlValue::sharedSignal(std::u16string_view type) {
  auto* v = new APMPControlValue(std::u16string(type), nullptr);
  v->makeImmortal();
  return APMPValueRef(v);
}

const APMPValueRef& APMPControlValue::breakValue() {
  static const APMPValueRef instance = sharedSignal(APMPControlTypeBreak);
  return instance;
}

const APMPValueRef& APMPControlValue::continueValue() {
  static const APMPValueRef instance = sharedSignal(APMPControlTypeContinue);
  return instance;
}

APMPValueRef APMPControlValue::returnValueWithData(APMPValueRef data) {
  return APMPMake<APMPControlValue>(std::u16string(APMPControlTypeReturn), std::move(data));
}

bool APMPControlValue::isEqualToRuntimeValue(const APMPRuntimeValue& other,
                                             APMPContext& ctx) const {
  if (!other.isControl()) return false;
  const auto& o = APMPAs<APMPControlValue>(other);
  return o.type_ == type_ && APMPStructurallyEqual(*data_, *o.data_, ctx);
}

// ---- modules

void APMPDynamicProvider::setModuleCreator(Creator creator, const std::u16string& name) {
  if (creator) {
    creators_[name] = std::move(creator);
  } else {
    creators_.erase(name);
  }
}

APMPValueRef APMPDynamicProvider::moduleForName(const std::u16string& name,
                                                APMPContext& ctx) const {
  const auto it = creators_.find(name);
  if (it == creators_.end()) return APMPUndefined();
  APMPValueRef module = it->second();
  if (!module) {
    ctx.fail(APMPErrorModuleCreator);
    return nullptr;
  }
  return module;
}

APMPObjectProvider::APMPObjectProvider(std::u16string name, Block block)
    : APMPFunctionValue(std::move(name)), objectProviderBlock_(std::move(block)) {}

APMPValueRef APMPObjectProvider::invokeWithArguments(const APMPValueList&, APMPScope& scope,
                                                     APMPContext& ctx) {
  if (!objectProviderBlock_) return APMPUndefined();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(objectProviderBlock_(), scope, ctx);
}

APMPRequire::APMPRequire(std::shared_ptr<const APMPDynamicProvider> provider)
    : APMPFunctionValue(std::u16string(APMPFunctionNameRequire)), provider_(std::move(provider)) {}

APMPValueRef APMPRequire::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                              APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, ctx)) return APMPUndefined();
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  const std::u16string name = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  if (const auto it = modules_.find(name); it != modules_.end()) return it->second;
  APMPValueRef module = provider_->moduleForName(name, ctx);
  if (ctx.failed() || !module) return APMPUndefined();
  modules_.emplace(name, module);
  return module;
}

void APMPRequire::mark(APMPMarker& marker) const {
  APMPFunctionValue::mark(marker);
  for (const auto& [name, module] : modules_)
    marker.visit(module.get());
}

void APMPRequire::sweep() {
  APMPFunctionValue::sweep();
  auto modules = std::move(modules_);
  modules_.clear();
}

APMPValueRef APMPFunctionGetVersion::invokeWithArguments(const APMPValueList&, APMPScope&,
                                                         APMPContext&) {
  return APMPNumberValue::make(static_cast<double>(APMPRuntimeVersion));
}

APMPRuntimePlatform::APMPRuntimePlatform()
    : APMPFunctionValue(std::u16string(APMPEModulePlatform)) {
  mutableProperties().setValue(APMPMake<APMPFunctionGetVersion>(), u"getVersion");
}

APMPValueRef APMPRuntimePlatform::invokeWithArguments(const APMPValueList&, APMPScope&,
                                                      APMPContext&) {
  return APMPUndefined();
}
