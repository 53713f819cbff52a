#include "measurement/script/apmp_script_event_editing.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_info.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_event_native_functions.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "measurement/script/apmp_scope.h"
#include "measurement/script/apmp_script_modules.h"
#include "measurement/script/apmp_text.h"

namespace {

platform::ErrorPtr errorOf(const APMPContext& ctx) {
  return platform::Error::make(ctx.errorDomain(), ctx.errorCode());
}

// The records a program lends: the activities of its tag 2 and, per activity, its name and
// entries. Absent fields read as empty.
std::vector<const MessageInfo*> activitiesOf(const MessageInfo& program) {
  std::vector<const MessageInfo*> out;
  const auto* holder =
      std::get_if<std::unique_ptr<MessageInfo>>(&program.slot(apmpb_field::Program::kActivities));
  if (!holder || !*holder) return out;
  if (const ArrayInfo* list = (*holder)->array(apmpb_field::OgtActivities::kActivities)) {
    for (const auto& activity : list->messages)
      out.push_back(activity.get());
  }
  return out;
}

}  // namespace

// ---- callbacks

void APMPEditingCallbackHandler::registerWithPriority(std::int32_t priority,
                                                      APMPRef<APMPFunctionValue> callback,
                                                      const std::u16string& ruleType,
                                                      APMPContext& ctx) {
  if (edit_.size() + create_.size() >= static_cast<std::size_t>(APMPEMaxRules)) {
    ctx.fail(APMPEErrorTooManyRules, APMPEErrorDomain);
    return;
  }
  if (ruleType == u"create") {
    addCallback(std::move(callback), create_, priority);
  } else if (ruleType == u"edit") {
    addCallback(std::move(callback), edit_, priority);
  } else {
    ctx.fail(APMPEErrorUnknownRuleType, APMPEErrorDomain);
  }
}

void APMPEditingCallbackHandler::addCallback(APMPRef<APMPFunctionValue> callback,
                                             Callbacks& callbacks, std::int32_t priority) {
  const auto byPriority = [](const auto& entry, std::int32_t p) { return entry.first < p; };
  const auto inUse = [&](std::int32_t p) {
    const auto at = std::lower_bound(callbacks.begin(), callbacks.end(), p, byPriority);
    return at != callbacks.end() && at->first == p;
  };
  if (inUse(priority)) {
    const std::int32_t largest = callbacks.back().first;
    if (largest < std::numeric_limits<std::int32_t>::max()) {
      priority = largest + 1;
    } else {
      // Counting on would wrap onto the smallest priorities and replace a callback: take the
      // first free one from the bottom instead (at most 1,000 are in use).
      priority = std::numeric_limits<std::int32_t>::min();
      while (inUse(priority))
        ++priority;
    }
  }
  const auto at = std::lower_bound(callbacks.begin(), callbacks.end(), priority, byPriority);
  callbacks.emplace(at, priority, std::move(callback));
}

void APMPEditingCallbackHandler::mark(APMPMarker& marker) const {
  for (const auto& [priority, callback] : edit_)
    marker.visit(callback.get());
  for (const auto& [priority, callback] : create_)
    marker.visit(callback.get());
}

APMPRegisterCallbackNativeFunctionValue::APMPRegisterCallbackNativeFunctionValue(
    std::shared_ptr<APMPEditingCallbackHandler> callbackHandler)
    : APMPFunctionValue(std::u16string(APMPEModuleRegisterCallback)),
      callbackHandler_(std::move(callbackHandler)) {}

APMPValueRef
APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                             APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, ctx)) return APMPUndefined();
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  if (!values[1]->isFunction() || !values[2]->isMap()) {
    ctx.fail(APMPErrorArgumentKind);
    return APMPUndefined();
  }
  const auto& options = APMPAs<APMPMapValue>(*values[2]);
  if (!options.hasProperty(u"type")) {
    ctx.fail(APMPEErrorNoRuleType, APMPEErrorDomain);
    return APMPUndefined();
  }
  const std::u16string type = options.valueForProperty(u"type")->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  std::int32_t priority = APMPEMaxRules;
  if (options.hasProperty(u"priority")) {
    const double number = options.valueForProperty(u"priority")->doubleValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
    priority = APMPToInt32(number);
  }
  callbackHandler_->registerWithPriority(
      priority, APMPRef<APMPFunctionValue>(&APMPAs<APMPFunctionValue>(*values[1])), type, ctx);
  return APMPUndefined();
}

// ---- the editing object

APMPScriptEventEditing::APMPScriptEventEditing()
    : eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()),
      runtime_(std::make_unique<APMPRuntime>()) {
  runtime_->addGarbageCollectionRoot(callbackHandler_);
  std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
  runtime_->setModuleCreator(
      [handler]() -> APMPValueRef {
        auto strong = handler.lock();
        if (!strong) return nullptr;
        return APMPMake<APMPRegisterCallbackNativeFunctionValue>(std::move(strong));
      },
      std::u16string(APMPEModuleRegisterCallback));
  std::weak_ptr<APMPEventContext> context = eventContext_;
  runtime_->setModuleCreator(
      [context]() -> APMPValueRef {
        auto strong = context.lock();
        if (!strong) return nullptr;
        return APMPMake<APMPEventLogger>(std::move(strong));
      },
      std::u16string(APMPEModuleEventLogger));
}

APMPScriptEventEditing::~APMPScriptEventEditing() = default;

void APMPScriptEventEditing::setModuleCreator(ModuleCreator creator, const std::string& name) {
  std::optional<std::u16string> moduleName = APMPUtf16FromUtf8(name);
  if (!moduleName) return;
  if (!creator) {
    runtime_->setModuleCreator(nullptr, *moduleName);
    return;
  }
  runtime_->setModuleCreator(
      [creator = std::move(creator)]() { return APMPScriptModuleFromModule(creator()); },
      *moduleName);
}

void APMPScriptEventEditing::loadProgram(const APMPBProgram& program, platform::ErrorPtr* error) {
  APMPContext ctx(runtime_.get());
  runtime_->resetInstructionCount();
  try {
    const APMPValueRef value = runtime_->executeStatements(APMPProgramInstructions(program), ctx);
    if (!ctx.failed() && value->isControl()) {
      ctx.fail(APMPEErrorControlAtTopLevel, APMPEErrorDomain);
    }
    if (!ctx.failed() && program.messageInfo()) {
      for (const MessageInfo* activity : activitiesOf(*program.messageInfo())) {
        loadActivityData(*activity, ctx);
        if (ctx.failed()) break;
      }
    }
  } catch (const std::exception&) {
    ctx.fail(APMPErrorLimit);
  }
  if (!ctx.failed()) runtime_->collectGarbage();
  if (ctx.failed() && error) *error = errorOf(ctx);
}

void APMPScriptEventEditing::loadActivityData(const MessageInfo& activity, APMPContext& ctx) {
  const auto* nameBytes = std::get_if<std::string>(&activity.slot(apmpb_field::OgtActivity::kName));
  std::optional<std::u16string> name = APMPUtf16FromUtf8(nameBytes ? *nameBytes : std::string());
  const ArrayInfo* entries = activity.array(apmpb_field::OgtActivity::kData);
  if (!entries) return;
  for (const auto& entry : entries->messages) {
    const APMPValueRef value = runtime_->executeStatements({entry.get()}, ctx);
    if (ctx.failed()) return;
    if (!value->isMap()) {
      ctx.fail(APMPEErrorActivityNotAMap, APMPEErrorDomain);
      return;
    }
    if (!name) {
      // A name that is not text names no function.
      ctx.fail(APMPEErrorRuleNotAFunction, APMPEErrorDomain);
      return;
    }
    registerRuleWithName(*name, value, ctx);
    if (ctx.failed()) return;
  }
}

void APMPScriptEventEditing::registerRuleWithName(const std::u16string& name,
                                                  const APMPValueRef& rule, APMPContext& ctx) {
  const APMPRef<APMPScope> scope = runtime_->getRunScope();
  const APMPValueRef function = scope->valueForName(name);
  if (!function->isFunction()) {
    ctx.fail(APMPEErrorRuleNotAFunction, APMPEErrorDomain);
    return;
  }
  APMPAs<APMPFunctionValue>(*function).invokeWithArguments({rule}, *scope, ctx);
}

bool APMPScriptEventEditing::handleEvent(const APMPEvent& event, platform::ErrorPtr* error) {
  APMPEventContextSetInputEvent(*eventContext_, event);
  APMPContext ctx(runtime_.get());
  if (!usable_) {
    ctx.fail(APMPErrorLimit);
  } else {
    runtime_->resetInstructionCount();
    try {
      const APMPRef<APMPScope> scope = runtime_->getRunScope();
      triggerCallbacks(*scope, ctx);
    } catch (const std::exception&) {
      ctx.fail(APMPErrorLimit);
    }
    runtime_->collectGarbage();
    // What the program keeps between events is bounded too: past the bound the event fails
    // and this object runs no more.
    if (runtime_->objectManager().liveValueBytes() > APMPEMaxLiveValueBytes) {
      usable_ = false;
      ctx.fail(APMPErrorLimit);
    }
  }
  if (ctx.failed()) {
    if (error) *error = errorOf(ctx);
    return false;
  }
  return !APMPEventIsEqualToEvent(eventContext_->outputEvent, event) ||
         !eventContext_->eventsToLog.empty();
}

bool APMPScriptEventEditing::hasEdits() const {
  return !APMPEventIsEqualToEvent(eventContext_->outputEvent, eventContext_->inputEvent);
}

bool APMPScriptEventEditing::hasCreatedEvents() const {
  return !eventContext_->eventsToLog.empty();
}

void APMPScriptEventEditing::triggerCallbacks(APMPScope& scope, APMPContext& ctx) {
  auto eventObject = APMPMake<APMPEventNativeFunctions>(eventContext_);
  if (auto* manager = scope.objectManager()) manager->addObject(eventObject.get());
  const APMPValueRef eventValue = eventObject;
  // The lists as they are now: a callback that registers another changes the next event only.
  const APMPEditingCallbackHandler::Callbacks edits = callbackHandler_->editCallbacks();
  const APMPEditingCallbackHandler::Callbacks creates = callbackHandler_->createCallbacks();
  for (const auto& [priority, callback] : edits) {
    APMPEvent snapshot = eventContext_->outputEvent;
    const std::int32_t outcome = invokeCallback(scope, *callback, eventValue, ctx);
    if (ctx.failed()) {
      eventContext_->outputEvent = std::move(snapshot);
      return;
    }
    if (outcome == APMPECallbackError || outcome == APMPECallbackUnknown) {
      eventContext_->outputEvent = std::move(snapshot);
    }
  }
  for (const auto& [priority, callback] : creates) {
    invokeCallback(scope, *callback, eventValue, ctx);
    if (ctx.failed()) return;
  }
}

std::int32_t APMPScriptEventEditing::invokeCallback(APMPScope& scope, APMPFunctionValue& callback,
                                                    const APMPValueRef& eventObject,
                                                    APMPContext& ctx) {
  const APMPValueRef result = callback.invokeWithArguments({eventObject}, scope, ctx);
  if (ctx.failed()) return APMPECallbackError;
  if (result->isNumber()) return APMPToInt32(APMPAs<APMPNumberValue>(*result).value());
  return APMPECallbackUnknown;
}

void APMPScriptEventEditingLoad() {
  APMPEventEditing::registerFactory([] { return std::make_shared<APMPScriptEventEditing>(); });
}
