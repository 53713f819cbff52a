// The one normalisation every event's parameter map goes through before the event exists: names
// are validated, values become stored values (a boolean an int64), values that are too long are
// dropped, "items" arrays are validated and each item normalised in turn, and the number of
// public parameters is cut to the remote limit. Problems never reject the event: the first one is
// recorded inside the parameters as "_err" (code), "_ev" (the offending name or value) and "_el"
// (its length). Problems found elsewhere go out as the internal "_err" event.
//
// Parameter maps are platform::ValueMap, names visited in key order (which decides the first
// problem recorded). Stateless; any thread; the remote limits are read at each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/apm_value.h"
#include "platform/core/value.h"

inline constexpr const char* APMZADPrefix = "zad_";

// The normalised map, or none for an empty one. `eventName` may be absent. The map is taken by
// value so that one which needs no change comes back without a copy.
std::optional<platform::ValueMap> APMNormalizedParametersForParametersAndEventName(
    platform::ValueMap parameters, const std::string* eventName, bool isPublic, bool isNested);
std::optional<platform::ValueMap>
APMNormalizedParametersForParameters(platform::ValueMap parameters, bool isPublic);
// The normalised items of an array parameter, or none; array failures go to `failureCode`,
// items that are not maps are recorded in `errors`.
std::optional<APMValue> APMNormalizeArrayParametersValue(const platform::ValueList& array,
                                                         const platform::Value& parameterName,
                                                         const std::string* eventName,
                                                         platform::ValueMap& errors, bool isNested,
                                                         bool isPublic, std::int64_t* failureCode);
// Whether the parameter name passes; records "_err" 14 or 3 in `errors` when it does not.
bool APMEventUtilIsValidParameterKey(const platform::Value& name, bool isPublic,
                                     platform::ValueMap& errors);

// The number of public names (not starting with "_"); with ignoreAllowlisted, predefined item
// parameters are not counted.
std::int64_t
APMEventPublicParameterCountIgnoringAllowlistedParams(const platform::ValueMap& parameters,
                                                      bool ignoreAllowlisted);
// Removes the alphabetically last public names until at most `maximum` are counted.
void APMEventTrimEventParametersIgnoringAllowlistedParams(platform::ValueMap& parameters,
                                                          std::int64_t maximum,
                                                          bool ignoreAllowlisted);
void APMEventTrimEventParameters(platform::ValueMap& parameters, std::int64_t maximum);

// True when "value" is absent or numeric with a valid "currency"; otherwise "value" is removed,
// the error recorded, and false.
bool APMValidateConversionEventParameters(platform::ValueMap& parameters);

// "_err" = code, when no "_err" is present.
void APMAddErrorParameter(platform::ValueMap& parameters, std::int64_t code);
// When none of "_ev", "_el", "_err" is present: "_err" = code, then the value and length.
void APMAddErrorParameters(platform::ValueMap& parameters, std::int64_t code,
                           const platform::Value& value, std::int64_t maxLength,
                           const platform::Value* lengthSubject);
// When neither "_ev" nor "_el" is present: "_ev" = the value's text cut to `maxLength` code
// points ("..." appended when cut; "(nil)" for null, a class name for a non-string), and "_el" =
// the subject's length (code points of a string, items of a list, else 0) when one is given.
void APMAddErrorValueAndLengthParameters(platform::ValueMap& parameters,
                                         const platform::Value& value, std::int64_t maxLength,
                                         const platform::Value* lengthSubject);
// Maps an array failure (10 to 13) to its error code; other codes add nothing.
void APMAddErrorParametersForEcommerceValidationFailureCode(platform::ValueMap& parameters,
                                                            std::int64_t failureCode,
                                                            const platform::Value& parameterName,
                                                            const std::string* eventName);

// The internal "_err" event (origin "auto") through the installed internal-event entry; nothing
// for code 0.
void APMLogErrorEventWithCode(std::int64_t code);
void APMLogErrorEventWithParameters(std::int64_t code, const platform::Value& value,
                                    std::int64_t maxLength, const platform::Value* lengthSubject);

platform::ValueMap APMParametersWithoutZADParams(const platform::ValueMap& parameters);
// Whether any of "_si", "_sc", "_sn" is present.
bool APMHasScreenParameters(const platform::ValueMap& parameters);
platform::ValueMap APMExtractScreenParameters(const platform::ValueMap& parameters);
