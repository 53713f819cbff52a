// The script's view of the event being edited: the event records of the editing context (input,
// output and the events scripts log), the one normalisation rule every parameter a script writes
// passes through, event equality, the event object handed to every callback (a map value with six
// native methods over the output event) and the event logger behind "internal.eventLogger".
//
// Parameters keep their kinds: an integer parameter stays an integer when a script sets a number
// on it, a floating one stays floating, a text one takes the number's text. Integer forms are cut
// toward zero; NaN gives 0 and values past the 64-bit range saturate, so no cast is ever out of
// range.
//
// Everything here runs on the editing runtime's thread (the measurement worker queue); the
// context is shared (shared_ptr) by the editing object, its event objects and its logger.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/apmp_event_editing.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"

inline constexpr std::u16string_view APMPEEventNativeCommandGetEventName = u"getEventName";
inline constexpr std::u16string_view APMPEEventNativeCommandGetParameter = u"getParamValue";
inline constexpr std::u16string_view APMPEEventNativeCommandGetParameters = u"getParams";
inline constexpr std::u16string_view APMPEEventNativeCommandGetTimestamp = u"getTimestamp";
inline constexpr std::u16string_view APMPEEventNativeCommandSetEventName = u"setEventName";
inline constexpr std::u16string_view APMPEEventNativeCommandSetParameter = u"setParamValue";
inline constexpr std::u16string_view APMPEModuleEventLogger = u"internal.eventLogger";

// How many events the scripts may log while one event is handled; the next log call fails with
// 18.
inline constexpr std::size_t APMPEMaxLoggedEventsPerEvent = 1000;

// The integer form of a number: toward zero, NaN 0, saturated at the 64-bit bounds.
std::int64_t APMPSaturatedInt64(double value);

// The text form of a parameter number: decimal for an integer, the runtime's number form for a
// floating value ("5", "3.7").
std::string APMPParameterNumberText(const platform::Value& number);

// The value to store under `name` when `newValue` replaces `existing` (null: none).
platform::Value APMPNormalizedParameter(const std::string& name, const platform::Value* existing,
                                        platform::Value newValue);

// Sets (normalised against the event's own value) or, with none, removes a parameter.
void APMPEventSetParameter(APMPEvent& event, const std::string& name,
                           std::optional<platform::Value> value);

// Equal when the timestamps differ by at most 2^-52, the names agree and both events carry the
// same parameters with values of the same kind. Both parameter sets are compared, so an edit that
// only removes a parameter is an edit.
bool APMPEventIsEqualToEvent(const APMPEvent& a, const APMPEvent& b);

// Starts an event: the input is `event`, the output a copy, no logged events.
void APMPEventContextSetInputEvent(APMPEventContext& context, const APMPEvent& event);
// Appends an event whose parameters are normalised against the input event's.
void APMPEventContextLogEvent(APMPEventContext& context, std::string name, double timestamp,
                              const platform::ValueMap& parameters);

// The event object: a map value whose six methods read and change the context's output event;
// any other method call is a map's.
class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext);

  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;

 private:
  std::shared_ptr<APMPEventContext> eventContext_;
};

// "internal.eventLogger": called with (name, timestamp, parameters), logs an event.
class APMPEventLogger final : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext);

  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;

 private:
  std::shared_ptr<APMPEventContext> eventContext_;
};
