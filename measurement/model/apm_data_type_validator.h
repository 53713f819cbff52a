// APMDataTypeValidator: whether event names, origins, parameter names and values, user-property
// names and values, screen parameters, conditional-user-property fields, numeric and currency
// values and array parameters are acceptable. Each check answers yes or no, writes a failure code
// (0 first) through an optional pointer, and on most failures reports one monitor line. Also the
// length measure used everywhere (Unicode code points of UTF-8 text) and the numeric-string
// parser.
//
// Names arrive as platform::Value (a parameter map's keys): null stands for a missing name, and a
// string that is not UTF-8 counts as "not a string" (code 5), never measured. Letters are the
// Unicode L* classes, digits Nd (ICU). Stateless; any thread. The limits that come from the
// remote configuration are read at each call (apm_event_model_environment.h).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/apm_value.h"
#include "platform/core/value.h"

inline constexpr std::int32_t APMDataTypeEventMaxNameLength = 40;
inline constexpr std::int32_t APMDataTypeEventMaxOriginLength = 32;
inline constexpr std::int32_t APMDataTypeEventParameterMaxNameLength = 40;
inline constexpr std::int32_t APMDataTypeEventParameterArrayItemsMaxSize = 200;
inline constexpr std::int32_t APMDataTypeInternalEventParameterMaxValueLength = 256;
inline constexpr std::int32_t APMDataTypeUserAttributeMaxNameLength = 24;
inline constexpr std::int32_t APMDataTypeUserAttributeMaxValueLength = 36;
inline constexpr std::int32_t APMDataTypeUserIDMaxValueLength = 256;
inline constexpr std::int32_t APMDataTypeZBRAIDMaxValueLength = 256;
inline constexpr std::int32_t APMDataTypePSMValueMaxValueLength = 512;
inline constexpr std::int32_t APMDataTypeMicrosMultiplier = 1000000;

// The kinds whose texts start every composed message.
enum APMDataTypeValidatorType : std::int64_t {
  APMDataTypeValidatorTypeEventName = 0,
  APMDataTypeValidatorTypeEventOrigin = 1,
  APMDataTypeValidatorTypeEventParameterName = 2,
  APMDataTypeValidatorTypeEventParameterValue = 3,
  APMDataTypeValidatorTypeUserPropertyName = 4,
  APMDataTypeValidatorTypeUserPropertyValue = 5,
  APMDataTypeValidatorTypeScreenParameterValue = 6,
  APMDataTypeValidatorTypeConditionalUserPropertyOrigin = 7,
  APMDataTypeValidatorTypeConditionalUserPropertyName = 8,
  APMDataTypeValidatorTypeConditionalUserPropertyValue = 9,
};

enum APMDataTypeValidatorFailureCode : std::int64_t {
  APMValidatorFailureNone = 0,
  APMValidatorFailureMissing = 1,
  APMValidatorFailureTooLong = 2,
  APMValidatorFailureInvalidCharacter = 3,
  APMValidatorFailureReserved = 4,
  APMValidatorFailureWrongKind = 5,
  APMValidatorFailureNotForwardedOrigin = 6,
  APMValidatorFailureTooShort = 7,
  APMValidatorFailureNotNumeric = 8,
  APMValidatorFailureNotCurrency = 9,
  APMValidatorFailureArrayNotEcommerceEvent = 10,
  APMValidatorFailureArrayNotItems = 11,
  APMValidatorFailureArrayTooManyItems = 12,
  APMValidatorFailureArrayNested = 13,
  APMValidatorFailureArrayItemNotMap = 14,
};

// The number of code points of UTF-8 text.
std::int64_t APMUTF32Length(std::string_view text);
// The byte length of the first `count` code points (all of it when shorter).
std::size_t APMUTF8PrefixLength(std::string_view text, std::int64_t count);
// The kind's text followed by the suffix; "Object" for an unknown kind.
std::string APMPrependStringTypeName(std::int64_t kind, std::string_view suffix);

class APMDataTypeValidator {
 public:
  using Code = std::int64_t;

  // Building blocks.
  static bool isValidString(const platform::Value& object, std::int64_t minLength,
                            std::int64_t maxLength, std::int64_t kind, Code* failureCode);
  static bool isValidInternalName(const platform::Value& name, std::int64_t maxLength,
                                  std::int64_t kind, Code* failureCode);
  static bool isValidPublicName(const platform::Value& name, std::int64_t maxLength,
                                std::int64_t kind, Code* failureCode);
  static bool isValidValue(const APMValue* value, std::int64_t minLength, std::int64_t maxLength,
                           std::int64_t kind, Code* failureCode);
  static bool hasReservedPrefixes(std::string_view name);

  static bool isValidPublicEventName(const platform::Value& name, Code* failureCode);
  static bool isValidInternalEventName(const platform::Value& name, Code* failureCode);
  static bool isValidInternalEventOrigin(const platform::Value& origin, Code* failureCode);
  static bool isValidForwardedEventOrigin(const platform::Value& origin, Code* failureCode);
  static bool isValidPublicEventParameterName(const platform::Value& name, Code* failureCode);
  static bool isValidInternalEventParameterName(const platform::Value& name, Code* failureCode);
  static bool isValidPublicEventParameterValue(const APMValue* value, Code* failureCode);
  static bool isValidInternalEventParameterValue(const APMValue* value, Code* failureCode);
  static bool isValidPublicUserAttributeName(const platform::Value& name, Code* failureCode);
  static bool isValidInternalUserAttributeName(const platform::Value& name, Code* failureCode);
  static bool isValidPublicUserAttributeValue(const APMValue* value, Code* failureCode);
  static bool isValidInternalUserAttributeValue(const APMValue* value, std::string_view name,
                                                Code* failureCode);
  static bool isValidScreenParameterValue(const platform::Value& value, Code* failureCode);
  static bool isValidConditionalUserPropertyOrigin(const platform::Value& origin,
                                                   Code* failureCode);
  static bool isValidConditionalUserPropertyName(const platform::Value& name, Code* failureCode);
  static bool isValidConditionalUserPropertyValue(const APMValue* value, Code* failureCode);
  static bool isValidNumericValue(const APMValue* value, Code* failureCode);
  static bool isValidCurrencyCode(const APMValue* value, Code* failureCode);
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                        std::int64_t arrayCount, bool isNestedArrayParam,
                                        Code* failureCode);
  static bool isValidArrayParamItem(const platform::Value& item, Code* failureCode);
};

// The presence test of a value: none gives code 1 (13004).
bool APMIsNonNilAPMValue(const APMValue* value, std::int64_t kind, std::int64_t* failureCode);

// A decimal number of at most 38 significant digits: digits (no leading or trailing zeros; empty
// for zero) times ten to the exponent.
struct APMDecimalNumber {
  bool negative = false;
  std::string digits;
  std::int32_t exponent = 0;

  // The canonical text: plain decimal notation without needless zeros ("0.5", "7", "-120").
  std::string description() const;
  double doubleValue() const;
  friend bool operator==(const APMDecimalNumber&, const APMDecimalNumber&) = default;
  // Exact numeric order.
  friend std::strong_ordering operator<=>(const APMDecimalNumber& a, const APMDecimalNumber& b);
};

// Whether the whole text matches ^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$; the empty text does not.
bool APMIsValidNumericString(std::string_view text);
// The decimal the text spells, or none (with a monitor report) when it is not numeric or cannot
// be held without losing digits.
std::optional<APMDecimalNumber> APMParseNumericValueFromString(std::string_view text);
