// APMValue: one typed parameter or user-property value of the measurement core: a double, a
// signed 64-bit integer, a UTF-8 string, or an array (the "items" of ecommerce events: a list
// whose items are parameter maps). An immutable value type; copies share nothing observable.
//
// Inside a parameter map (platform::ValueMap, name to value) a value is kept in its plain form
// (value()): an Int, Double, String or List platform::Value. Numbers keep their kind: int64 5 and
// double 5.0 are different values. The analytics interface's FIRAValue is the same type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/value.h"

enum APMValueType : std::int64_t {
  APMValueTypeDouble = 0,
  APMValueTypeInt64 = 1,
  APMValueTypeString = 2,
  APMValueTypeArray = 3,
};

class APMValue {
 public:
  // valueFromObject:allowArray: a string becomes a string value, a double a double value, an
  // integer or a boolean an int64 value, a list an array value when allowed. Anything else, and
  // text that is not UTF-8, gives none and a monitor report.
  static std::optional<APMValue> valueFromObject(const platform::Value& object,
                                                 bool allowArray = false);
  // A value of a parameter map as normalisation stored it; none for any other kind.
  static std::optional<APMValue> fromStored(const platform::Value& stored);

  explicit APMValue(double value) : type_(APMValueTypeDouble), value_(value) {}
  explicit APMValue(std::int64_t value) : type_(APMValueTypeInt64), value_(value) {}
  // Refused (none, with a monitor report) when the text is not UTF-8.
  static std::optional<APMValue> initWithString(std::string text);
  static APMValue initWithArray(platform::ValueList items);

  APMValueType valueType() const { return type_; }
  bool isDouble() const { return type_ == APMValueTypeDouble; }
  bool isInt64() const { return type_ == APMValueTypeInt64; }
  bool isString() const { return type_ == APMValueTypeString; }
  bool isArray() const { return type_ == APMValueTypeArray; }

  // Never convert between kinds: 0, 0, null, null for a value of another kind.
  double doubleValue() const;
  std::int64_t int64Value() const;
  const std::string* stringValue() const;
  const platform::ValueList* arrayValue() const;

  // The plain form kept in parameter maps.
  const platform::Value& value() const { return value_; }
  // The wrapped value's text: a string as it is, numbers in their shortest decimal form.
  std::string description() const;
  std::size_t hash() const;

  friend bool operator==(const APMValue& a, const APMValue& b) {
    return a.type_ == b.type_ && a.value_ == b.value_;
  }

 private:
  APMValue(APMValueType type, platform::Value value) : type_(type), value_(std::move(value)) {}

  APMValueType type_;
  platform::Value value_;
};

using FIRAValue = APMValue;

// The text of a number as the measurement core prints it: integers in decimal, doubles in the
// shortest form that reads back to the same double ("0.5", "1", "1e+100").
std::string APMNumberDescription(const platform::Value& number);
// A name for the kind of a value that is not what a check wanted, for messages and "_ev".
std::string APMClassNameOfValue(const platform::Value& value);
