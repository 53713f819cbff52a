#include "measurement/model/apm_data_type_validator.h"

#include <array>
#include <cstdlib>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"

namespace {

using Code = APMDataTypeValidator::Code;

void setCode(Code* failureCode, Code code) {
  if (failureCode) *failureCode = code;
}

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

// Parameter values and user-property values are warnings; every other kind is an error.
std::int64_t levelForKind(std::int64_t kind) {
  return kind == APMDataTypeValidatorTypeEventParameterValue ||
                 kind == APMDataTypeValidatorTypeUserPropertyValue
             ? 3
             : 0;
}

// Code points of valid UTF-8, one at a time.
UChar32 nextCodePoint(std::string_view text, std::size_t& offset) {
  UChar32 c;
  const auto length = static_cast<std::int32_t>(text.size());
  auto i = static_cast<std::int32_t>(offset);
  U8_NEXT(text.data(), i, length, c);
  offset = static_cast<std::size_t>(i);
  return c;
}

bool isLetter(UChar32 c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0;
}

bool isNameCharacter(UChar32 c) {
  if (c < 0x80) return isLetter(c) || (c >= '0' && c <= '9') || c == '_';
  return isLetter(c) || u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::int64_t remotePublicValueLimit() {
  return APMCurrentEventModelLimits().maxPublicEventParameterValueLength;
}

}  // namespace

std::int64_t APMUTF32Length(std::string_view text) {
  std::int64_t count = 0;
  for (const char byte : text) {
    // Every byte but a continuation byte starts a code point.
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::size_t APMUTF8PrefixLength(std::string_view text, std::int64_t count) {
  std::size_t offset = 0;
  for (std::int64_t i = 0; i < count && offset < text.size(); ++i)
    nextCodePoint(text, offset);
  return offset;
}

std::string APMPrependStringTypeName(std::int64_t kind, std::string_view suffix) {
  static constexpr std::array<const char*, 10> texts{"Event name",
                                                     "Event origin",
                                                     "Event parameter name",
                                                     "Event parameter value",
                                                     "User property name",
                                                     "User property value",
                                                     "Screen parameter value",
                                                     "Conditional user property origin",
                                                     "Conditional user property name",
                                                     "Conditional user property value"};
  std::string text = kind >= 0 && kind < static_cast<std::int64_t>(texts.size())
                         ? texts[static_cast<std::size_t>(kind)]
                         : "Object";
  text += suffix;
  return text;
}

bool APMDataTypeValidator::isValidString(const platform::Value& object, std::int64_t minLength,
                                         std::int64_t maxLength, std::int64_t kind,
                                         Code* failureCode) {
  setCode(failureCode, APMValidatorFailureNone);
  const std::int64_t level = levelForKind(kind);
  if (object.isNull()) {
    setCode(failureCode, APMValidatorFailureMissing);
    report(level, 13001, APMPrependStringTypeName(kind, " is required and can't be nil"));
    return false;
  }
  const std::string* text = object.ifString();
  if (!text || !APMIsValidUTF8(*text)) {
    setCode(failureCode, APMValidatorFailureWrongKind);
    report(level, 13000, APMPrependStringTypeName(kind, " must be of type NSString"),
           {platform::Value(APMClassNameOfValue(object))});
    return false;
  }
  if (text->empty() && minLength > 0) {
    setCode(failureCode, APMValidatorFailureMissing);
    if (level == 0) {
      report(level, 13001, APMPrependStringTypeName(kind, " is required and can't be empty"));
    }
    return false;
  }
  const std::int64_t length = APMUTF32Length(*text);
  if (length > maxLength) {
    setCode(failureCode, APMValidatorFailureTooLong);
    report(level, 13000,
           APMPrependStringTypeName(kind, " is too long. The maximum supported length is " +
                                              std::to_string(maxLength)),
           {object});
    return false;
  }
  if (length < minLength) {
    setCode(failureCode, APMValidatorFailureTooShort);
    report(level, 13000,
           APMPrependStringTypeName(kind, " is too short. The minimum supported length is " +
                                              std::to_string(minLength)),
           {object});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalName(const platform::Value& name, std::int64_t maxLength,
                                               std::int64_t kind, Code* failureCode) {
  if (!isValidString(name, 1, maxLength, kind, failureCode)) return false;
  const std::string& text = name.asString();
  for (std::size_t offset = 0; offset < text.size();) {
    if (!isNameCharacter(nextCodePoint(text, offset))) {
      setCode(failureCode, APMValidatorFailureInvalidCharacter);
      report(0, 13002,
             APMPrependStringTypeName(kind, " must contain only letters, numbers, or underscores"),
             {name});
      return false;
    }
  }
  return true;
}

bool APMDataTypeValidator::isValidPublicName(const platform::Value& name, std::int64_t maxLength,
                                             std::int64_t kind, Code* failureCode) {
  if (!isValidInternalName(name, maxLength, kind, failureCode)) return false;
  std::size_t offset = 0;
  if (!isLetter(nextCodePoint(name.asString(), offset))) {
    setCode(failureCode, APMValidatorFailureInvalidCharacter);
    report(0, 13003, APMPrependStringTypeName(kind, " must start with a letter"), {name});
    return false;
  }
  return true;
}

bool APMIsNonNilAPMValue(const APMValue* value, std::int64_t kind, std::int64_t* failureCode) {
  setCode(failureCode, APMValidatorFailureNone);
  if (!value) {
    setCode(failureCode, APMValidatorFailureMissing);
    report(3, 13004, APMPrependStringTypeName(kind, " cannot be nil"));
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidValue(const APMValue* value, std::int64_t minLength,
                                        std::int64_t maxLength, std::int64_t kind,
                                        Code* failureCode) {
  if (!APMIsNonNilAPMValue(value, kind, failureCode)) return false;
  if (!value->isString()) return true;
  return isValidString(value->value(), minLength, maxLength, kind, failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return name.starts_with("zevevidi_") || name.starts_with("ziriza_") || name.starts_with("za_");
}

bool APMDataTypeValidator::isValidPublicEventName(const platform::Value& name, Code* failureCode) {
  if (!isValidPublicName(name, APMDataTypeEventMaxNameLength, APMDataTypeValidatorTypeEventName,
                         failureCode)) {
    return false;
  }
  const std::string& text = name.asString();
  if (text == "screen_view") return true;
  if (APMInternalEventNames().contains(text) &&
      !APMInternalEventNamesByPublicEventNames().contains(text)) {
    setCode(failureCode, APMValidatorFailureReserved);
    report(0, 13006, "Event name is reserved. Ignoring event", {name});
    return false;
  }
  if (hasReservedPrefixes(text)) {
    setCode(failureCode, APMValidatorFailureReserved);
    report(0, 13007, "Event name uses reserved prefix. Ignoring event", {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventName(const platform::Value& name,
                                                    Code* failureCode) {
  return isValidInternalName(name, APMDataTypeEventMaxNameLength, APMDataTypeValidatorTypeEventName,
                             failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const platform::Value& origin,
                                                      Code* failureCode) {
  return isValidInternalName(origin, APMDataTypeEventMaxOriginLength,
                             APMDataTypeValidatorTypeEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const platform::Value& origin,
                                                       Code* failureCode) {
  setCode(failureCode, APMValidatorFailureNone);
  const std::string* text = origin.ifString();
  if (origin.isNull() || (text && text->empty())) {
    setCode(failureCode, APMValidatorFailureMissing);
    return false;
  }
  if (!text || !APMIsValidUTF8(*text)) {
    return isValidString(origin, 1, APMDataTypeEventMaxOriginLength,
                         APMDataTypeValidatorTypeEventOrigin, failureCode);
  }
  static constexpr std::string_view suffix = "+ztm";
  if (!endsWith(*text, suffix)) {
    setCode(failureCode, APMValidatorFailureNotForwardedOrigin);
    return false;
  }
  return isValidInternalEventOrigin(platform::Value(text->substr(0, text->size() - suffix.size())),
                                    failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const platform::Value& name,
                                                           Code* failureCode) {
  if (!isValidPublicName(name, APMDataTypeEventParameterMaxNameLength,
                         APMDataTypeValidatorTypeEventParameterName, failureCode)) {
    return false;
  }
  if (hasReservedPrefixes(name.asString())) {
    setCode(failureCode, APMValidatorFailureReserved);
    report(0, 13008, "Parameter name uses reserved prefix. Ignoring parameter", {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const platform::Value& name,
                                                             Code* failureCode) {
  return isValidInternalName(name, APMDataTypeEventParameterMaxNameLength,
                             APMDataTypeValidatorTypeEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMValue* value,
                                                            Code* failureCode) {
  return isValidValue(value, 0, remotePublicValueLimit(),
                      APMDataTypeValidatorTypeEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMValue* value,
                                                              Code* failureCode) {
  return isValidValue(value, 0, APMCurrentEventModelLimits().maxInternalEventParameterValueLength(),
                      APMDataTypeValidatorTypeEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const platform::Value& name,
                                                          Code* failureCode) {
  if (!isValidPublicName(name, APMDataTypeUserAttributeMaxNameLength,
                         APMDataTypeValidatorTypeUserPropertyName, failureCode)) {
    return false;
  }
  const std::string& text = name.asString();
  if (APMInternalUserPropertyNames().contains(text)) {
    setCode(failureCode, APMValidatorFailureReserved);
    report(0, 13009, "User property name is reserved. Ignoring user property", {name});
    return false;
  }
  if (hasReservedPrefixes(text)) {
    setCode(failureCode, APMValidatorFailureReserved);
    report(0, 13010, "User property name uses reserved prefix. Ignoring user property", {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const platform::Value& name,
                                                            Code* failureCode) {
  return isValidInternalName(name, APMDataTypeUserAttributeMaxNameLength,
                             APMDataTypeValidatorTypeUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMValue* value,
                                                           Code* failureCode) {
  return isValidValue(value, 1, APMDataTypeUserAttributeMaxValueLength,
                      APMDataTypeValidatorTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMValue* value,
                                                             std::string_view name,
                                                             Code* failureCode) {
  std::int64_t maxLength = APMDataTypeUserAttributeMaxValueLength;
  if (name == "_psmvalue" || name == "_psmvalue_zads") {
    maxLength = APMDataTypePSMValueMaxValueLength;
  } else if (name == "_zbraid") {
    maxLength = APMDataTypeZBRAIDMaxValueLength;
  } else if (name == "_id") {
    maxLength = APMDataTypeUserIDMaxValueLength;
  }
  return isValidValue(value, 1, maxLength, APMDataTypeValidatorTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const platform::Value& value,
                                                       Code* failureCode) {
  return isValidString(value, 1, remotePublicValueLimit(),
                       APMDataTypeValidatorTypeScreenParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const platform::Value& origin,
                                                                Code* failureCode) {
  return isValidInternalName(origin, APMDataTypeEventMaxOriginLength,
                             APMDataTypeValidatorTypeConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const platform::Value& name,
                                                              Code* failureCode) {
  return isValidInternalName(name, APMDataTypeUserAttributeMaxNameLength,
                             APMDataTypeValidatorTypeConditionalUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMValue* value,
                                                               Code* failureCode) {
  return isValidValue(value, 1, APMDataTypeUserAttributeMaxValueLength,
                      APMDataTypeValidatorTypeConditionalUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const APMValue* value, Code* failureCode) {
  if (!APMIsNonNilAPMValue(value, APMDataTypeValidatorTypeEventParameterValue, failureCode)) {
    return false;
  }
  if (value->isInt64() || value->isDouble()) return true;
  setCode(failureCode, APMValidatorFailureNotNumeric);
  report(3, 13011,
         APMPrependStringTypeName(APMDataTypeValidatorTypeEventParameterValue,
                                  " must be specified with a numeric type. value"),
         {value->isString() ? value->value() : platform::Value()});
  return false;
}

bool APMDataTypeValidator::isValidCurrencyCode(const APMValue* value, Code* failureCode) {
  if (!APMIsNonNilAPMValue(value, APMDataTypeValidatorTypeEventParameterValue, failureCode)) {
    return false;
  }
  bool valid = false;
  if (const std::string* text = value->stringValue()) {
    // Three UTF-16 units: three letters of the basic plane.
    valid = APMUTF32Length(*text) == 3;
    for (std::size_t offset = 0; valid && offset < text->size();) {
      const UChar32 c = nextCodePoint(*text, offset);
      valid = c <= 0xFFFF && isLetter(c);
    }
  }
  if (valid) return true;
  setCode(failureCode, APMValidatorFailureNotCurrency);
  report(3, 13012,
         APMPrependStringTypeName(APMDataTypeValidatorTypeEventParameterValue,
                                  " must contain a 3-letter ISO_4217 currency code. value"),
         {platform::Value(value->description())});
  return false;
}

bool APMDataTypeValidator::isValidArrayParamForEvent(std::string_view eventName,
                                                     std::string_view paramName,
                                                     std::int64_t arrayCount,
                                                     bool isNestedArrayParam, Code* failureCode) {
  setCode(failureCode, APMValidatorFailureNone);
  if (isNestedArrayParam) {
    setCode(failureCode, APMValidatorFailureArrayNested);
    report(0, 13013, "Nested array parameters are not allowed. Name", {platform::Value(paramName)});
    return false;
  }
  if (!APMEventUtilIsValidEcommerceEventName(eventName)) {
    setCode(failureCode, APMValidatorFailureArrayNotEcommerceEvent);
    report(0, 13013,
           "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
           {platform::Value(eventName)});
    return false;
  }
  if (paramName != "items") {
    setCode(failureCode, APMValidatorFailureArrayNotItems);
    report(0, 13013,
           APMPrependStringTypeName(APMDataTypeValidatorTypeEventParameterName,
                                    " is an invalid ecommerce items. The name of array parameters "
                                    "for ecommerce should be \"items\". Invalid parameter name"),
           {platform::Value(paramName)});
    return false;
  }
  if (arrayCount > APMDataTypeEventParameterArrayItemsMaxSize) {
    setCode(failureCode, APMValidatorFailureArrayTooManyItems);
    report(0, 13013,
           "Array parameter has too many items. The maximum number of supported items is " +
               std::to_string(APMDataTypeEventParameterArrayItemsMaxSize) + ". Invalid array size",
           {platform::Value(arrayCount)});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidArrayParamItem(const platform::Value& item, Code* failureCode) {
  setCode(failureCode, APMValidatorFailureNone);
  if (item.isMap()) return true;
  setCode(failureCode, APMValidatorFailureArrayItemNotMap);
  report(0, 13014, "Array param must be a dictionary. Parameters", {item});
  return false;
}

// Numeric strings.

bool APMIsValidNumericString(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t wholeDigits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    ++i;
    ++wholeDigits;
  }
  std::size_t fractionDigits = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      ++i;
      ++fractionDigits;
    }
  }
  return i == text.size() && (wholeDigits > 0 || fractionDigits > 0);
}

std::string APMDecimalNumber::description() const {
  if (digits.empty()) return "0";
  std::string text = negative ? "-" : "";
  const auto length = static_cast<std::int64_t>(digits.size());
  if (exponent >= 0) {
    text += digits;
    text.append(static_cast<std::size_t>(exponent), '0');
  } else if (length + exponent > 0) {
    const auto point = static_cast<std::size_t>(length + exponent);
    text += digits.substr(0, point);
    text += '.';
    text += digits.substr(point);
  } else {
    text += "0.";
    text.append(static_cast<std::size_t>(-(length + exponent)), '0');
    text += digits;
  }
  return text;
}

double APMDecimalNumber::doubleValue() const {
  return std::strtod(description().c_str(), nullptr);
}

std::optional<APMDecimalNumber> APMParseNumericValueFromString(std::string_view text) {
  // The decimal type holds 38 significant digits and exponents from -128 to 127.
  static constexpr std::size_t maxDigits = 38;
  static constexpr std::int64_t minExponent = -128;
  static constexpr std::int64_t maxExponent = 127;
  const platform::Value context{std::string(text)};
  if (!APMIsValidNumericString(text)) {
    report(2, 26001, "String value does not represent a numeric value. Value", {context});
    return std::nullopt;
  }
  APMDecimalNumber number;
  std::size_t i = 0;
  if (text[0] == '+' || text[0] == '-') number.negative = text[i++] == '-';
  std::string digits;
  std::int64_t exponent = 0;
  bool afterPoint = false;
  for (; i < text.size(); ++i) {
    if (text[i] == '.') {
      afterPoint = true;
      continue;
    }
    if (digits.empty() && text[i] == '0') {
      if (afterPoint) --exponent;
      continue;
    }
    digits += text[i];
    if (afterPoint) --exponent;
  }
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (digits.empty()) {
    number.negative = false;
    exponent = 0;
  }
  if (exponent < minExponent || exponent > maxExponent) {
    report(2, 26002, "Unable to create a NSDecimalNumber from string value. Value", {context});
    return std::nullopt;
  }
  number.digits = std::move(digits);
  number.exponent = static_cast<std::int32_t>(exponent);

  std::string compared(text);
  if (compared.starts_with("+.") || compared.starts_with("-.")) {
    compared.replace(1, 1, "0.");
  } else if (compared.starts_with(".")) {
    compared.replace(0, 1, "0.");
  }
  APMDecimalNumber magnitude = number;
  magnitude.negative = false;
  if (number.digits.size() > maxDigits ||
      compared.find(magnitude.description()) == std::string::npos) {
    report(2, 26003,
           "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
           {context});
    return std::nullopt;
  }
  return number;
}

std::strong_ordering operator<=>(const APMDecimalNumber& a, const APMDecimalNumber& b) {
  // Canonical forms: zero has no digits and is never negative.
  if (a.negative != b.negative) {
    return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  std::strong_ordering magnitude = std::strong_ordering::equal;
  if (a.digits.empty() || b.digits.empty()) {
    magnitude = !a.digits.empty()   ? std::strong_ordering::greater
                : !b.digits.empty() ? std::strong_ordering::less
                                    : std::strong_ordering::equal;
  } else {
    // 0.d1d2... times ten to (digit count + exponent): first the place of the leading digit,
    // then the digits themselves (no trailing zeros, so a prefix is the smaller).
    const auto placeA = static_cast<std::int64_t>(a.digits.size()) + a.exponent;
    const auto placeB = static_cast<std::int64_t>(b.digits.size()) + b.exponent;
    magnitude = placeA != placeB ? placeA <=> placeB : a.digits.compare(b.digits) <=> 0;
  }
  if (!a.negative || magnitude == std::strong_ordering::equal) return magnitude;
  return magnitude == std::strong_ordering::less ? std::strong_ordering::greater
                                                 : std::strong_ordering::less;
}
