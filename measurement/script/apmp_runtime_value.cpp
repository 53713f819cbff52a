#include "measurement/script/apmp_runtime_value.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

APMPValueRef applyBaseRule(const APMPRuntimeValue& self, const std::u16string& name,
                           APMPContext& ctx) {
  if (name == APMPToStringMethodName) {
    std::u16string text = self.stringValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
    return APMPStringValue::make(std::move(text), ctx);
  }
  ctx.fail(APMPErrorUnknownMethod);
  return APMPUndefined();
}

std::u16string ascii(std::string_view s) {
  return std::u16string(s.begin(), s.end());
}

}  // namespace

// ---- base

std::u16string APMPRuntimeValue::stringValueOrError(APMPContext& ctx) const {
  ctx.fail(APMPErrorStringConversion);
  return {};
}

double APMPRuntimeValue::doubleValueOrError(APMPContext& ctx) const {
  ctx.fail(APMPErrorNumberConversion);
  return std::numeric_limits<double>::quiet_NaN();
}

bool APMPRuntimeValue::booleanValueOrError(APMPContext& ctx) const {
  ctx.fail(APMPErrorBooleanConversion);
  return false;
}

APMPValueRef APMPRuntimeValue::applyWithName(const std::u16string& name, const APMPValueList&,
                                             APMPScope&, APMPContext& ctx) {
  return applyBaseRule(*this, name, ctx);
}

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue&, APMPContext&) const {
  return false;
}

const APMPValueRef& APMPHoleValue() {
  struct Hole final : APMPRuntimeValue {
    Hole() : APMPRuntimeValue(Kind::Hole) { makeImmortal(); }
  };
  static const APMPValueRef hole(new Hole());
  return hole;
}

// ---- undefined and null

const APMPValueRef& APMPUndefinedValue::sharedInstance() {
  static const APMPValueRef instance(new APMPUndefinedValue());
  return instance;
}

double APMPUndefinedValue::doubleValueOrError(APMPContext&) const {
  return std::numeric_limits<double>::quiet_NaN();
}

APMPValueRef APMPUndefinedValue::applyWithName(const std::u16string&, const APMPValueList&,
                                               APMPScope&, APMPContext& ctx) {
  ctx.fail(APMPErrorMethodOnNothing);
  return APMPUndefined();
}

bool APMPUndefinedValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  return other.isUndefined();
}

const APMPValueRef& APMPNullValue::sharedInstance() {
  static const APMPValueRef instance(new APMPNullValue());
  return instance;
}

APMPValueRef APMPNullValue::applyWithName(const std::u16string&, const APMPValueList&, APMPScope&,
                                          APMPContext& ctx) {
  ctx.fail(APMPErrorMethodOnNothing);
  return APMPUndefined();
}

bool APMPNullValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  return other.isNull();
}

// ---- booleans

const APMPValueRef& APMPBooleanValue::booleanValueWithBool(bool value) {
  struct Shared final {
    APMPValueRef yes;
    APMPValueRef no;
    Shared() {
      auto* t = new APMPBooleanValue(true);
      auto* f = new APMPBooleanValue(false);
      t->makeImmortal();
      f->makeImmortal();
      yes = APMPValueRef(t);
      no = APMPValueRef(f);
    }
  };
  static const Shared shared;
  return value ? shared.yes : shared.no;
}

std::u16string APMPBooleanValue::stringValueOrError(APMPContext&) const {
  return value_ ? u"true" : u"false";
}

bool APMPBooleanValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  return other.isBoolean() && APMPAs<APMPBooleanValue>(other).value() == value_;
}

// ---- numbers

std::u16string APMPNumberValue::stringValueOrError(APMPContext&) const {
  return APMPNumberToString(value_);
}

bool APMPNumberValue::booleanValueOrError(APMPContext&) const {
  return !(value_ == 0 || std::isnan(value_));
}

bool APMPNumberValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  if (!other.isNumber()) return false;
  const double o = APMPAs<APMPNumberValue>(other).value();
  return o == value_ || (std::isnan(o) && std::isnan(value_));
}

std::u16string APMPNumberToString(double x) {
  if (std::isnan(x)) return u"NaN";
  if (std::isinf(x)) return x > 0 ? u"Infinity" : u"-Infinity";
  if (x == 0) return u"0";

  // The shortest digits that read back as x, in the form d[.ddd]e[+-]xx.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);

  const double magnitude = std::fabs(x);
  std::string out = negative ? "-" : "";
  if (magnitude >= 1e21 || magnitude < 1e-6) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent >= 0 ? "e+" : "e-";
    out += std::to_string(exponent >= 0 ? exponent : -exponent);
    return ascii(out);
  }
  // The decimal point stands after `point` digits (negative: that many zeros after "0.").
  const int point = exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else if (point > 0) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  }
  return ascii(out);
}

// ---- strings

APMPValueRef APMPStringValue::make(std::u16string value, APMPContext& ctx) {
  if (!ctx.checkStringLength(value.size()) || !ctx.charge(value.size() * 2 + 48)) {
    return APMPUndefined();
  }
  return make(std::move(value));
}

double APMPStringValue::doubleValueOrError(APMPContext&) const {
  return APMPStringToNumber(value_);
}

APMPValueRef APMPStringValue::applyWithName(const std::u16string& name, const APMPValueList&,
                                            APMPScope&, APMPContext& ctx) {
  return applyBaseRule(*this, name, ctx);
}

bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext&) const {
  return other.isString() && APMPAs<APMPStringValue>(other).value() == value_;
}

namespace {

bool isBlank(char16_t c) {
  switch (c) {
  case 0x09:
  case 0x0A:
  case 0x0B:
  case 0x0C:
  case 0x0D:
  case 0x85:
  case 0x2028:
  case 0x2029:
    return true;
  default:
    return u_charType(c) == U_SPACE_SEPARATOR;
  }
}

bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

}  // namespace

double APMPStringToNumber(std::u16string_view text) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isBlank(text[begin]))
    ++begin;
  while (end > begin && isBlank(text[end - 1]))
    --end;
  const std::u16string_view s = text.substr(begin, end - begin);
  if (s.empty()) return 0;
  if (s == u"NaN") return kNaN;
  if (s == u"Infinity") return std::numeric_limits<double>::infinity();
  if (s == u"-Infinity") return -std::numeric_limits<double>::infinity();

  // [+-] digits [. digits] [(e|E) [+-] digits], with at least one digit around the point.
  std::size_t i = 0;
  bool negative = false;
  if (s[i] == u'+' || s[i] == u'-') negative = s[i++] == u'-';
  std::string intDigits, fracDigits;
  while (i < s.size() && isDigit(s[i]))
    intDigits.push_back(static_cast<char>(s[i++]));
  if (i < s.size() && s[i] == u'.') {
    ++i;
    while (i < s.size() && isDigit(s[i]))
      fracDigits.push_back(static_cast<char>(s[i++]));
  }
  if (intDigits.empty() && fracDigits.empty()) return kNaN;
  long long exponent = 0;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    bool expNegative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) expNegative = s[i++] == u'-';
    if (i >= s.size() || !isDigit(s[i])) return kNaN;
    while (i < s.size() && isDigit(s[i])) {
      // Saturates: beyond this every non-zero mantissa is an infinity or a zero anyway.
      if (exponent < 100000000) exponent = exponent * 10 + (s[i] - u'0');
      ++i;
    }
    if (expNegative) exponent = -exponent;
  }
  if (i != s.size()) return kNaN;

  const double zero = negative ? -0.0 : 0.0;
  const std::size_t firstInt = intDigits.find_first_not_of('0');
  const std::size_t firstFrac = fracDigits.find_first_not_of('0');
  if (firstInt == std::string::npos && firstFrac == std::string::npos) return zero;

  std::string canonical = (intDigits.empty() ? "0" : intDigits) + "." +
                          (fracDigits.empty() ? "0" : fracDigits) + "e" + std::to_string(exponent);
  double value = 0;
  const auto r = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    // The decimal exponent of the first significant digit tells overflow from underflow.
    const long long lead = firstInt != std::string::npos
                               ? static_cast<long long>(intDigits.size() - firstInt)
                               : -static_cast<long long>(firstFrac);
    const bool huge = exponent + lead > 0;
    value = huge ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (r.ec != std::errc()) {
    return kNaN;
  }
  return negative ? -value : value;
}

// ---- shared helpers

std::u16string_view APMPTypeName(const APMPRuntimeValue& value) {
  switch (value.kind()) {
  case APMPRuntimeValue::Kind::Boolean:
    return APMPTypeNameBoolean;
  case APMPRuntimeValue::Kind::Function:
    return APMPTypeNameFunction;
  case APMPRuntimeValue::Kind::Number:
    return APMPTypeNameNumber;
  case APMPRuntimeValue::Kind::String:
    return APMPTypeNameString;
  case APMPRuntimeValue::Kind::Undefined:
    return APMPTypeNameUndefined;
  default:
    return APMPTypeNameObject;
  }
}

bool APMPHasExpectedArgumentLength(const APMPValueList& list, std::size_t n, APMPContext& ctx) {
  if (list.size() == n) return true;
  ctx.fail(APMPErrorArgumentCount);
  return false;
}

bool APMPAssertArgumentsAtLeast(const APMPValueList& list, std::size_t n, APMPContext& ctx) {
  if (list.size() >= n) return true;
  ctx.fail(APMPErrorArgumentCount);
  return false;
}

bool APMPAssertArgumentsAtMost(const APMPValueList& list, std::size_t n, APMPContext& ctx) {
  if (list.size() <= n) return true;
  ctx.fail(APMPErrorArgumentCount);
  return false;
}

namespace {

// The integer part of a finite x reduced into [0, 2^32); fmod is exact, so no step casts a
// double that is out of range.
std::uint32_t modulo32(double x) {
  if (!std::isfinite(x)) return 0;
  double m = std::fmod(std::trunc(x), 4294967296.0);
  if (m < 0) m += 4294967296.0;
  return static_cast<std::uint32_t>(m);
}

}  // namespace

std::int32_t APMPToInt32(double x) {
  return static_cast<std::int32_t>(modulo32(x));
}

std::uint32_t APMPToUInt32(double x) {
  return modulo32(x);
}

double APMPToInteger(double x) {
  if (std::isnan(x)) return 0;
  if (std::isinf(x) || x == 0) return x;
  return std::trunc(x);
}

bool APMPStringEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx) {
  const std::u16string ta = a.stringValueOrError(ctx);
  if (ctx.failed()) return false;
  const std::u16string tb = b.stringValueOrError(ctx);
  if (ctx.failed()) return false;
  return ta == tb;
}

bool APMPNumberEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx) {
  const double da = a.doubleValueOrError(ctx);
  if (ctx.failed()) return false;
  const double db = b.doubleValueOrError(ctx);
  if (ctx.failed()) return false;
  return da == db;
}

bool APMPStrictEqualityCompare(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                               APMPContext& ctx) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
  case APMPRuntimeValue::Kind::Number:
  case APMPRuntimeValue::Kind::Boolean:
    return APMPNumberEquals(a, b, ctx);
  case APMPRuntimeValue::Kind::String:
    return APMPStringEquals(a, b, ctx);
  default:
    return &a == &b;
  }
}

bool APMPStructurallyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPContext& ctx) {
  if (&a == &b) return true;
  if (ctx.isComparing(&a, &b)) return true;
  APMPDepthGuard guard(ctx);
  if (!guard.ok() || !ctx.tick()) return false;
  ctx.pushComparing(&a, &b);
  const bool equal = a.isEqualToRuntimeValue(b, ctx);
  ctx.popComparing();
  return equal && !ctx.failed();
}

bool APMPIsZeroOrPositiveInteger(const APMPRuntimeValue& value) {
  double d;
  if (value.isNumber()) {
    d = APMPAs<APMPNumberValue>(value).value();
  } else if (value.isString()) {
    d = APMPStringToNumber(APMPAs<APMPStringValue>(value).value());
  } else {
    return false;
  }
  return std::isfinite(d) && d >= 0 && std::trunc(d) == d;
}

bool APMPIsNonNullObjectOrString(const APMPRuntimeValue& value) {
  return value.isArray() || value.isFunction() || value.isMap() || value.isString();
}
