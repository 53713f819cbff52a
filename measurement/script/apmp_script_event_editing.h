// Event editing over the script runtime: the implementation of the event model's
// APMPEventEditing that the remote configuration builds for a configuration carrying programs.
//
// Loading a program runs its top-level instructions in the runtime's global scope and then its
// activities, each of which calls a named script function with a rule map; those functions
// register callbacks through "internal.registerCallback". Per event, every "edit" callback runs
// in ascending priority on the output event (one whose outcome is 2 or not a number has its
// changes undone), then every "create" callback. The callbacks of one event are those registered
// when it started: a registration made while they run takes effect from the next event.
//
// Bounds: 1,000 callbacks; 1,000 events logged per handled event (the runtime's instruction,
// depth, time and size bounds apply to each run); after each event's collection, more than
// 16 MiB of live script values fail that event and leave the object unusable, so its owner drops
// it as after a failed load.
//
// `APMPScriptEventEditingLoad` registers the factory with the event model; the host calls it once
// at start-up. An editing object is used on one thread at a time (the measurement worker queue).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measurement/model/apmp_event_editing.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_runtime.h"

inline constexpr std::int32_t APMPEMaxRules = 1000;
inline constexpr std::int32_t APMPECallbackError = 2;
inline constexpr std::int32_t APMPECallbackUnknown = -1;
inline constexpr const char* APMPEErrorDomain =
    "com.ziriza.duz.measurement.pixie.editing.ErrorDomain";
inline constexpr std::u16string_view APMPEModuleRegisterCallback = u"internal.registerCallback";
inline constexpr std::size_t APMPEMaxLiveValueBytes = 16u << 20;

// Errors of the editing domain.
enum APMPEErrorCode : int {
  APMPEErrorNoRuleType = 2,         // the options map has no "type"
  APMPEErrorUnknownRuleType = 3,    // "type" is neither "edit" nor "create"
  APMPEErrorTooManyRules = 4,       // 1,000 callbacks are registered already
  APMPEErrorControlAtTopLevel = 5,  // the top-level instructions ended in a control value
  APMPEErrorActivityNotAMap = 6,    // an activity entry's value is not a map
  APMPEErrorRuleNotAFunction = 7,   // an activity's name is not bound to a function
};

// The registered callbacks, by rule type and priority. A collection root of its runtime.
class APMPEditingCallbackHandler final : public APMPGarbageCollectionRoot {
 public:
  using Callbacks = std::vector<std::pair<std::int32_t, APMPRef<APMPFunctionValue>>>;

  // Fails the run with editing error 4 or 3. A priority already in use of that rule type
  // becomes the largest one plus one or, when that would pass INT32_MAX, the smallest one not
  // in use counting up from INT32_MIN; no callback is ever replaced.
  void registerWithPriority(std::int32_t priority, APMPRef<APMPFunctionValue> callback,
                            const std::u16string& ruleType, APMPContext& ctx);

  // Ascending priority.
  const Callbacks& editCallbacks() const { return edit_; }
  const Callbacks& createCallbacks() const { return create_; }

  void mark(APMPMarker& marker) const override;

 private:
  static void addCallback(APMPRef<APMPFunctionValue> callback, Callbacks& callbacks,
                          std::int32_t priority);

  Callbacks edit_;
  Callbacks create_;
};

// "internal.registerCallback" (identifier, callback, {type, priority}).
class APMPRegisterCallbackNativeFunctionValue final : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(
      std::shared_ptr<APMPEditingCallbackHandler> callbackHandler);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;

 private:
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

class APMPScriptEventEditing final : public APMPEventEditing {
 public:
  APMPScriptEventEditing();
  ~APMPScriptEventEditing() override;

  void setModuleCreator(ModuleCreator creator, const std::string& name) override;
  void loadProgram(const APMPBProgram& program, platform::ErrorPtr* error) override;
  bool handleEvent(const APMPEvent& event, platform::ErrorPtr* error) override;
  bool hasEdits() const override;
  bool hasCreatedEvents() const override;
  const APMPEventContext& eventContext() const override { return *eventContext_; }
  bool isUsable() const override { return usable_; }

  APMPRuntime& runtime() { return *runtime_; }
  const APMPEditingCallbackHandler& callbackHandler() const { return *callbackHandler_; }

 private:
  void loadActivityData(const MessageInfo& activity, APMPContext& ctx);
  void registerRuleWithName(const std::u16string& name, const APMPValueRef& rule, APMPContext& ctx);
  void triggerCallbacks(APMPScope& scope, APMPContext& ctx);
  std::int32_t invokeCallback(APMPScope& scope, APMPFunctionValue& callback,
                              const APMPValueRef& eventObject, APMPContext& ctx);

  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
  // Declared last, destroyed first: emptying its values releases what they held of the above.
  std::unique_ptr<APMPRuntime> runtime_;
  bool usable_ = true;
};

// Registers the factory of APMPScriptEventEditing with the event model.
void APMPScriptEventEditingLoad();
