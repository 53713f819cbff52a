#include "measurement/model/apm_value.h"

#include <charconv>

#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"

std::optional<APMValue> APMValue::valueFromObject(const platform::Value& object, bool allowArray) {
  if (const auto* text = object.ifString()) {
    if (APMIsValidUTF8(*text)) return APMValue(APMValueTypeString, object);
  } else if (object.isInt()) {
    return APMValue(APMValueTypeInt64, object);
  } else if (object.isDouble()) {
    return APMValue(APMValueTypeDouble, object);
  } else if (const auto* flag = object.ifBool()) {
    // A channel boolean is a number to the measurement core.
    return APMValue(static_cast<std::int64_t>(*flag ? 1 : 0));
  } else if (object.isList() && allowArray) {
    return APMValue(APMValueTypeArray, object);
  }
  if (object.isNull()) {
    APMProcessMonitor()->logWithLevel(0, 35000, "Cannot create Value type with nil value");
  } else {
    APMProcessMonitor()->logWithLevel(0, 35001,
                                      "Cannot create Value type with unsupported value. The Value "
                                      "has to be NSNumber, NSString or NSArray (if supported). "
                                      "Value",
                                      {platform::Value(APMClassNameOfValue(object))});
  }
  return std::nullopt;
}

std::optional<APMValue> APMValue::fromStored(const platform::Value& stored) {
  switch (stored.kind()) {
  case platform::ValueKind::Int:
    return APMValue(APMValueTypeInt64, stored);
  case platform::ValueKind::Double:
    return APMValue(APMValueTypeDouble, stored);
  case platform::ValueKind::String:
    return APMValue(APMValueTypeString, stored);
  case platform::ValueKind::List:
    return APMValue(APMValueTypeArray, stored);
  default:
    return std::nullopt;
  }
}

std::optional<APMValue> APMValue::initWithString(std::string text) {
  if (!APMIsValidUTF8(text)) {
    APMProcessMonitor()->logWithLevel(
        0, 35003, "Cannot create String value with non-string value. Value",
        {platform::Value(APMClassNameOfValue(platform::Value(text)))});
    return std::nullopt;
  }
  return APMValue(APMValueTypeString, platform::Value(std::move(text)));
}

APMValue APMValue::initWithArray(platform::ValueList items) {
  return APMValue(APMValueTypeArray, platform::Value(std::move(items)));
}

double APMValue::doubleValue() const {
  const double* number = value_.ifDouble();
  return number ? *number : 0;
}

std::int64_t APMValue::int64Value() const {
  const std::int64_t* number = value_.ifInt();
  return number ? *number : 0;
}

const std::string* APMValue::stringValue() const {
  return value_.ifString();
}

const platform::ValueList* APMValue::arrayValue() const {
  return value_.ifList();
}

std::string APMValue::description() const {
  if (const auto* text = value_.ifString()) return *text;
  if (value_.isNumber()) return APMNumberDescription(value_);
  return value_.debugString();
}

std::size_t APMValue::hash() const {
  return static_cast<std::size_t>(type_) * 31 ^ value_.hash();
}

std::string APMNumberDescription(const platform::Value& number) {
  if (const auto* integer = number.ifInt()) return std::to_string(*integer);
  if (const auto* real = number.ifDouble()) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, *real);
    return std::string(buffer, result.ptr);
  }
  return number.debugString();
}

std::string APMClassNameOfValue(const platform::Value& value) {
  switch (value.kind()) {
  case platform::ValueKind::Null:
    return "nil";
  case platform::ValueKind::Bool:
  case platform::ValueKind::Int:
  case platform::ValueKind::Double:
    return "NSNumber";
  case platform::ValueKind::String:
    // Only text that is not UTF-8 is asked about: it is bytes to us.
    return APMIsValidUTF8(value.asString()) ? "NSString" : "NSData";
  case platform::ValueKind::Bytes:
    return "NSData";
  case platform::ValueKind::List:
  case platform::ValueKind::Int32List:
  case platform::ValueKind::Int64List:
  case platform::ValueKind::Float32List:
  case platform::ValueKind::Float64List:
    return "NSArray";
  case platform::ValueKind::Map:
    return "NSDictionary";
  case platform::ValueKind::Date:
    return "NSDate";
  case platform::ValueKind::Error:
    return "NSError";
  case platform::ValueKind::Object:
    return value.asObject() ? value.asObject()->className() : "nil";
  }
  return "NSObject";
}
