// Reading and writing rules for message values that several measurement subsystems share: consent
// type and status names, data-control names, the value precedence of event parameters, user
// attributes and experiment flags, and the filter bit sets of audience result data. Plain
// functions over message objects; a message is used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/value.h"

// Consent: type values 1 "ad_storage", 2 "analytics_storage", 3 "ad_user_data",
// 4 "ad_personalization"; status values 1 "granted", 2 "denied". Other values name nothing ("").
std::string APMConsentTypeName(int32_t value);
std::string APMConsentStatusName(int32_t value);

// Data-control names the measurement engine acts on.
inline constexpr std::string_view APMDataControlAppInstanceID = "app_instance_id";
inline constexpr std::string_view APMDataControlDeviceInfo = "device_info";
inline constexpr std::string_view APMDataControlDeviceModel = "device_model";
inline constexpr std::string_view APMDataControlEnhancedUserID = "enhanced_user_id";
inline constexpr std::string_view APMDataControlOSVersion = "os_version";
inline constexpr std::string_view APMDataControlUserID = "user_id";

// Event parameters. A value becomes exactly one value field: Double double_value, Int int_value,
// String string_value; a list of maps becomes param_value with one unnamed element per item, each
// holding the item's entries (string, integer or double values only; deeper lists are not
// written) as named parameters. Any other value gives none.
std::shared_ptr<APMPBEventParam> APMEventParamFromValue(std::string_view name,
                                                        const platform::Value& value);
// The first present of string_value, int_value, double_value, param_value (an array of maps from
// the inner parameters' names to their values); none for a parameter without a value.
std::optional<platform::Value> APMEventParamValue(const APMPBEventParam* param);

// User attributes. Writing sets exactly one value field: double_value for a Double, int_value for
// an Int or Bool, string_value for a String; false (nothing written) for other values.
bool APMUserAttributeSetValue(APMPBUserAttribute* attribute, const platform::Value& value);
// string_value if present, else double_value, else int_value; none without any of them.
std::optional<platform::Value> APMUserAttributeValue(const APMPBUserAttribute* attribute);

// Experiment flags. Writing sets name and one value field: string_value for a String,
// double_value for a Double, int_value for an Int or Bool (bool_value is never written).
std::shared_ptr<APMPBFlag> APMFlagFromValue(std::string_view name, const platform::Value& value);
// int_value, else double_value, else string_value, else bool_value; none without any of them.
std::optional<platform::Value> APMFlagValue(const APMPBFlag* flag);

// Audience result data: filter n is bit n % 64 of word n / 64 of `status` (has a result) and of
// `results` (the result is true). Recording a filter beyond the current length extends both lists
// with zero words up to the one holding it. Negative filter identifiers are refused.
bool APMResultDataRecordFilter(APMPBResultData* data, int32_t filterID, bool value);
// True when the filter's word exists in both lists and both bits are set.
bool APMResultDataFilterIsTrue(const APMPBResultData* data, int32_t filterID);
// True when the filter's status bit is set.
bool APMResultDataHasFilter(const APMPBResultData* data, int32_t filterID);
