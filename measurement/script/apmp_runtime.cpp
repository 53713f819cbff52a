#include "measurement/script/apmp_runtime.h"

#include <exception>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_runtime_entity_converter.h"

APMPRuntime::APMPRuntime()
    : objectManager_(std::make_unique<APMPObjectManager>()),
      apiProvider_(std::make_shared<APMPDynamicProvider>()) {
  initScope_ = APMPMake<APMPScope>(nullptr);
  objectManager_->addObject(initScope_.get());
  initScope_->setCounterOwner(this);
  globalScope_ = initScope_->createChildScope();
  objectManager_->addRootCell(initScope_.get());
  objectManager_->addRootCell(globalScope_.get());

  globalScope_->setValue(APMPMake<APMPRequire>(apiProvider_),
                         std::u16string(APMPFunctionNameRequire));
  setModuleCreator([] { return APMPValueRef(APMPMake<APMPRuntimePlatform>()); },
                   std::u16string(APMPEModulePlatform));
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  initScope_->setCounterOwner(nullptr);
  globalScope_ = nullptr;
  initScope_ = nullptr;
  // The manager empties every cell it still tracks (the scopes included) as it goes.
  objectManager_.reset();
}

void APMPRuntime::setModuleCreator(APMPDynamicProvider::Creator creator,
                                   const std::u16string& name) {
  apiProvider_->setModuleCreator(std::move(creator), name);
}

namespace {

// No exception leaves a run: running out of memory (or a container refusing a size) ends it
// like any other exhausted resource, with code 18.
template <class F> APMPValueRef guarded(APMPContext& ctx, F&& run) {
  try {
    return run();
  } catch (const std::exception&) {
    ctx.fail(APMPErrorLimit);
    return APMPUndefined();
  }
}

}  // namespace

APMPValueRef APMPRuntime::executeStatements(const APMPValueList& statements, APMPContext& ctx) {
  return guarded(ctx, [&] {
    APMPValueRef result = APMPUndefined();
    for (const APMPValueRef& statement : statements) {
      result = APMPEvaluator::evaluateStatement(statement, *globalScope_, ctx);
      if (ctx.failed()) return APMPUndefined();
    }
    return result;
  });
}

APMPValueRef APMPRuntime::executeStatements(const std::vector<const MessageInfo*>& entities,
                                            APMPContext& ctx) {
  return guarded(ctx, [&] {
    APMPValueRef result = APMPUndefined();
    for (const MessageInfo* entity : entities) {
      const APMPValueRef statement =
          APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, ctx);
      if (ctx.failed()) return APMPUndefined();
      result = APMPEvaluator::evaluateStatement(statement, *globalScope_, ctx);
      if (ctx.failed()) return APMPUndefined();
    }
    return result;
  });
}

APMPRef<APMPScope> APMPRuntime::getRunScope() {
  return globalScope_->createChildScope();
}

void APMPRuntime::addGarbageCollectionRoot(std::weak_ptr<const APMPGarbageCollectionRoot> root) {
  objectManager_->addRoot(std::move(root));
}
