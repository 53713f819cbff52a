// Script values: the base class of every value a script handles, the primitive values (undefined,
// null, boolean, number, string), their conversions, type names and equality rules, and the
// shared helpers that the commands use (argument counts, integer conversions, the index test).
//
// Values are cells (apmp_cell.h) held by APMPValueRef. Primitive values never change after
// construction. Arrays and maps are in apmp_array_value.h / apmp_map_value.h, functions,
// statements and control signals in apmp_function_value.h. Text is UTF-16 code units.
// Used by one thread at a time (the runtime's), except the immortal shared instances.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/apmp_cell.h"
#include "measurement/script/apmp_context.h"

class APMPRuntimeValue;
class APMPScope;
class APMPMarker;

using APMPValueRef = APMPRef<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValueRef>;

inline constexpr std::u16string_view APMPLengthPropertyName = u"length";
inline constexpr std::u16string_view APMPMapValueToString = u"[object Object]";
inline constexpr std::u16string_view APMPToStringMethodName = u"toString";
inline constexpr std::u16string_view APMPInstructionCounterVariableName = u"runtime.counter";
inline constexpr std::uint32_t APMPInstructionCountHardLimit = 1000000;
inline constexpr std::u16string_view APMPTypeNameUndefined = u"undefined";
inline constexpr std::u16string_view APMPTypeNameBoolean = u"boolean";
inline constexpr std::u16string_view APMPTypeNameNumber = u"number";
inline constexpr std::u16string_view APMPTypeNameString = u"string";
inline constexpr std::u16string_view APMPTypeNameFunction = u"function";
inline constexpr std::u16string_view APMPTypeNameObject = u"object";

class APMPRuntimeValue : public APMPCell {
 public:
  enum class Kind : std::uint8_t {
    Hole,  // the bare instance: the hole marker of arrays
    Undefined,
    Null,
    Boolean,
    Number,
    String,
    Array,
    Map,
    Function,
    Statement,
    Control,
  };

  Kind kind() const { return kind_; }
  bool isUndefined() const { return kind_ == Kind::Undefined; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool isBoolean() const { return kind_ == Kind::Boolean; }
  bool isNumber() const { return kind_ == Kind::Number; }
  bool isString() const { return kind_ == Kind::String; }
  bool isArray() const { return kind_ == Kind::Array; }
  bool isMap() const { return kind_ == Kind::Map; }
  bool isFunction() const { return kind_ == Kind::Function; }
  bool isStatement() const { return kind_ == Kind::Statement; }
  bool isControl() const { return kind_ == Kind::Control; }
  bool isHole() const { return kind_ == Kind::Hole; }

  // Conversions. The base fails with codes 5, 4 and 3 and yields "", NaN and false.
  virtual std::u16string stringValueOrError(APMPContext& ctx) const;
  virtual double doubleValueOrError(APMPContext& ctx) const;
  virtual bool booleanValueOrError(APMPContext& ctx) const;

  // Calls the method `name` on this value. `arguments` are operands (statements or values);
  // `scope` is the caller's. Base: "toString" yields the string form, other names fail with 17.
  virtual APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                     APMPScope& scope, APMPContext& ctx);

  // Structural equality with a value that is not this one (APMPStructurallyEqual handles
  // identity, nesting depth and cycles). Base: false.
  virtual bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const;

 protected:
  explicit APMPRuntimeValue(Kind kind) : kind_(kind) {}
  using APMPCell::makeImmortal;

 private:
  friend const APMPValueRef& APMPHoleValue();
  const Kind kind_;
};

class APMPUndefinedValue final : public APMPRuntimeValue {
 public:
  static const APMPValueRef& sharedInstance();
  std::u16string stringValueOrError(APMPContext&) const override { return u"undefined"; }
  double doubleValueOrError(APMPContext&) const override;
  bool booleanValueOrError(APMPContext&) const override { return false; }
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  APMPUndefinedValue() : APMPRuntimeValue(Kind::Undefined) { makeImmortal(); }
};

class APMPNullValue final : public APMPRuntimeValue {
 public:
  static const APMPValueRef& sharedInstance();
  std::u16string stringValueOrError(APMPContext&) const override { return u"null"; }
  double doubleValueOrError(APMPContext&) const override { return 0; }
  bool booleanValueOrError(APMPContext&) const override { return false; }
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  APMPNullValue() : APMPRuntimeValue(Kind::Null) { makeImmortal(); }
};

class APMPBooleanValue final : public APMPRuntimeValue {
 public:
  // One of the two shared instances.
  static const APMPValueRef& booleanValueWithBool(bool value);
  // A separate instance.
  explicit APMPBooleanValue(bool value) : APMPRuntimeValue(Kind::Boolean), value_(value) {}

  bool value() const { return value_; }
  std::u16string stringValueOrError(APMPContext&) const override;
  double doubleValueOrError(APMPContext&) const override { return value_ ? 1 : 0; }
  bool booleanValueOrError(APMPContext&) const override { return value_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  const bool value_;
};

class APMPNumberValue final : public APMPRuntimeValue {
 public:
  explicit APMPNumberValue(double value) : APMPRuntimeValue(Kind::Number), value_(value) {}
  static APMPValueRef make(double value) { return APMPMake<APMPNumberValue>(value); }

  double value() const { return value_; }
  std::u16string stringValueOrError(APMPContext&) const override;
  double doubleValueOrError(APMPContext&) const override { return value_; }
  bool booleanValueOrError(APMPContext&) const override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  const double value_;
};

class APMPStringValue final : public APMPRuntimeValue {
 public:
  explicit APMPStringValue(std::u16string value)
      : APMPRuntimeValue(Kind::String), value_(std::move(value)) {}
  // Unchecked: for literals and texts whose size is already bounded.
  static APMPValueRef make(std::u16string value) {
    return APMPMake<APMPStringValue>(std::move(value));
  }
  // A text made by script code: over the length bound it fails with 18 and yields undefined;
  // otherwise its bytes count against the run's allowance.
  static APMPValueRef make(std::u16string value, APMPContext& ctx);

  const std::u16string& value() const { return value_; }
  std::u16string stringValueOrError(APMPContext&) const override { return value_; }
  double doubleValueOrError(APMPContext&) const override;
  bool booleanValueOrError(APMPContext&) const override { return !value_.empty(); }
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  const std::u16string value_;
};

// The hole marker of arrays: the one bare APMPRuntimeValue. Never handed to a script.
const APMPValueRef& APMPHoleValue();

inline const APMPValueRef& APMPUndefined() {
  return APMPUndefinedValue::sharedInstance();
}
inline const APMPValueRef& APMPNull() {
  return APMPNullValue::sharedInstance();
}
inline const APMPValueRef& APMPBoolean(bool b) {
  return APMPBooleanValue::booleanValueWithBool(b);
}

// Downcasts by kind; the value must be of that kind.
template <class T> const T& APMPAs(const APMPRuntimeValue& v) {
  return static_cast<const T&>(v);
}
template <class T> T& APMPAs(APMPRuntimeValue& v) {
  return static_cast<T&>(v);
}

// Number to text and text to number, the same in every locale.
std::u16string APMPNumberToString(double value);
double APMPStringToNumber(std::u16string_view text);

// The typeof name of a value.
std::u16string_view APMPTypeName(const APMPRuntimeValue& value);

bool APMPHasExpectedArgumentLength(const APMPValueList& list, std::size_t n, APMPContext& ctx);
bool APMPAssertArgumentsAtLeast(const APMPValueList& list, std::size_t n, APMPContext& ctx);
bool APMPAssertArgumentsAtMost(const APMPValueList& list, std::size_t n, APMPContext& ctx);

// ECMAScript ToInt32, ToUint32 and ToInteger; no out-of-range cast ever happens.
std::int32_t APMPToInt32(double x);
std::uint32_t APMPToUInt32(double x);
double APMPToInteger(double x);

bool APMPStringEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx);
bool APMPNumberEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx);
bool APMPStrictEqualityCompare(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                               APMPContext& ctx);
// Structural equality: the same object, else the value's own rule, bounded in depth (code 18
// past APMPMaxDepth levels); a pair already under comparison counts as equal.
bool APMPStructurallyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx);

bool APMPIsZeroOrPositiveInteger(const APMPRuntimeValue& value);
bool APMPIsNonNullObjectOrString(const APMPRuntimeValue& value);
