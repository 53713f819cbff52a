// How monitor messages show events, parameters and user properties: in debug mode (with the
// analytics interface present) the public name stands next to each internal one, and parameter
// maps print as indented blocks sorted case-insensitively, with "_err" codes named. Outside debug
// mode names and maps print plainly. Stateless; any thread; the monitor's debug switch is read at
// each call.
#pragma once

#include <string>
#include <string_view>

#include "measurement/model/apm_name_tables.h"
#include "platform/core/value.h"

// The class whose presence says the analytics interface is linked in.
inline constexpr const char* APMAnalyticsInterfaceClassName = "DIDErizevizo";

// "public (internal)" for an internal name the table knows, in debug mode with the analytics
// interface present; otherwise the name itself.
std::string APMFormattedName(std::string_view name, const APMNameTable& table);
std::string APMFormattedEventName(std::string_view name);
std::string APMFormattedParameterName(std::string_view name);
// "_exp_" names always show as "experiment_id (name)".
std::string APMFormattedUserPropertyName(std::string_view name);

std::string APMFormattedParametersDescription(const platform::Value& parameters);
std::string APMFormattedParametersDescriptionWithIndentation(const platform::Value& parameters,
                                                             std::string_view indentation);
std::string APMFormattedNestedParametersDescription(const platform::Value& items);

// The plain text of a value in messages: strings as they are, numbers in decimal, lists and maps
// in a compact form.
std::string APMValueDescription(const platform::Value& value);
