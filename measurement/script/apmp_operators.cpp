// The operators: arithmetic (math evaluator), logical, comparison and bitwise. The math,
// comparison and bitwise operands arrive evaluated (the comparison evaluator has already checked
// that there are two); the logical operands arrive as statements.

#include <cmath>
#include <cstdint>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_text.h"

namespace {

const APMPValueRef& undefinedValue() {
  return APMPUndefined();
}

APMPValueRef number(double d) {
  return APMPNumberValue::make(d);
}

// Both operands as numbers, left first; false with the error stored.
bool numbers(const APMPValueList& args, double& a, double& b, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return false;
  a = args[0]->doubleValueOrError(ctx);
  if (ctx.failed()) return false;
  b = args[1]->doubleValueOrError(ctx);
  return !ctx.failed();
}

// ---- math

APMPValueRef Add(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  if (APMPIsNonNullObjectOrString(*args[0]) || APMPIsNonNullObjectOrString(*args[1])) {
    std::u16string text = args[0]->stringValueOrError(ctx);
    if (ctx.failed()) return undefinedValue();
    const std::u16string right = args[1]->stringValueOrError(ctx);
    if (ctx.failed() || !ctx.checkStringLength(text.size() + right.size())) {
      return undefinedValue();
    }
    text += right;
    return APMPStringValue::make(std::move(text), ctx);
  }
  double a, b;
  if (!numbers(args, a, b, ctx)) return undefinedValue();
  return number(a + b);
}

template <class Op> APMPValueRef arithmetic(const APMPValueList& args, APMPContext& ctx, Op op) {
  double a, b;
  if (!numbers(args, a, b, ctx)) return undefinedValue();
  return number(op(a, b));
}

APMPValueRef Subtract(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return arithmetic(args, ctx, [](double a, double b) { return a - b; });
}

APMPValueRef Multiply(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return arithmetic(args, ctx, [](double a, double b) { return a * b; });
}

APMPValueRef Divide(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return arithmetic(args, ctx, [](double a, double b) { return a / b; });
}

APMPValueRef Modulus(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  // fmod is exact, takes the dividend's sign, and is NaN for x % 0 and for an infinite x.
  return arithmetic(args, ctx, [](double a, double b) { return std::fmod(a, b); });
}

APMPValueRef Negate(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  const double d = args[0]->doubleValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  return number(-d);
}

// The increments and decrements change nothing themselves: evaluating their operands does.
APMPValueRef PreChange(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  return args[0];
}

APMPValueRef PostChange(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  return args[0];
}

// ---- logical

APMPValueRef And(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  APMPValueRef first = APMPEvaluator::evaluateStatement(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const bool truth = first->booleanValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  if (!truth) return first;
  return APMPEvaluator::evaluateStatement(args[1], scope, ctx);
}

APMPValueRef Or(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 2, ctx)) return undefinedValue();
  APMPValueRef first = APMPEvaluator::evaluateStatement(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const bool truth = first->booleanValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  if (truth) return first;
  return APMPEvaluator::evaluateStatement(args[1], scope, ctx);
}

APMPValueRef Not(const APMPValueList& args, APMPScope& scope, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  const APMPValueRef value = APMPEvaluator::evaluateStatement(args[0], scope, ctx);
  if (ctx.failed()) return undefinedValue();
  const bool truth = value->booleanValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  return APMPBoolean(!truth);
}

// ---- comparison

int typeRank(const APMPRuntimeValue& v) {
  if (v.isUndefined() || v.isNull()) return 0;
  if (v.isNumber() || v.isBoolean()) return 1;
  if (v.isString()) return 2;
  return 3;
}

bool looseEquals(const APMPRuntimeValue& left, const APMPRuntimeValue& right, APMPContext& ctx) {
  const bool swap = typeRank(right) < typeRank(left);
  const APMPRuntimeValue& first = swap ? right : left;
  const APMPRuntimeValue& second = swap ? left : right;
  switch (typeRank(first)) {
  case 0:
    return typeRank(second) == 0;
  case 1:
    return APMPNumberEquals(first, second, ctx);
  case 2:
    return APMPStringEquals(first, second, ctx);
  default:
    return &first == &second;
  }
}

// Equals, NotEquals, IdentityEquals and IdentityNotEquals: a boolean, or undefined with the
// conversion's error.
template <bool (*kEquals)(const APMPRuntimeValue&, const APMPRuntimeValue&, APMPContext&),
          bool kNegate>
APMPValueRef equality(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  const bool equal = kEquals(*args[0], *args[1], ctx);
  if (ctx.failed()) return undefinedValue();
  return APMPBoolean(equal != kNegate);
}

// -1, 0 or 1; 1 (with the error stored) when a conversion fails, and 1 when a NaN takes part.
int compare(const APMPRuntimeValue& left, const APMPRuntimeValue& right, APMPContext& ctx) {
  if (APMPIsNonNullObjectOrString(left) && APMPIsNonNullObjectOrString(right)) {
    const std::u16string a = left.stringValueOrError(ctx);
    if (ctx.failed()) return 1;
    const std::u16string b = right.stringValueOrError(ctx);
    if (ctx.failed()) return 1;
    const int order = APMPCompareCanonical(a, b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  }
  const double a = left.doubleValueOrError(ctx);
  if (ctx.failed()) return 1;
  const double b = right.doubleValueOrError(ctx);
  if (ctx.failed()) return 1;
  if (a == b) return 0;
  return a < b ? -1 : 1;
}

template <bool kSwap, bool kOrEqual>
APMPValueRef relational(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  const int order = kSwap ? compare(*args[1], *args[0], ctx) : compare(*args[0], *args[1], ctx);
  if (ctx.failed()) return undefinedValue();
  return APMPBoolean(order == -1 || (kOrEqual && order == 0));
}

// ---- bitwise

template <class Op> APMPValueRef bitwise(const APMPValueList& args, APMPContext& ctx, Op op) {
  double a, b;
  if (!numbers(args, a, b, ctx)) return undefinedValue();
  return number(op(a, b));
}

APMPValueRef BitwiseAnd(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx, [](double a, double b) { return APMPToInt32(a) & APMPToInt32(b); });
}

APMPValueRef BitwiseOr(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx, [](double a, double b) { return APMPToInt32(a) | APMPToInt32(b); });
}

APMPValueRef BitwiseXor(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx, [](double a, double b) { return APMPToInt32(a) ^ APMPToInt32(b); });
}

APMPValueRef BitwiseNot(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(args, 1, ctx)) return undefinedValue();
  const double d = args[0]->doubleValueOrError(ctx);
  if (ctx.failed()) return undefinedValue();
  return number(~APMPToInt32(d));
}

APMPValueRef BitwiseLeftShift(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx, [](double a, double b) {
    // Shifted as unsigned, then read back as signed: no overflow of a signed shift.
    const auto bits = static_cast<std::uint32_t>(APMPToInt32(a)) << (APMPToUInt32(b) & 31);
    return static_cast<std::int32_t>(bits);
  });
}

APMPValueRef BitwiseRightShift(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx,
                 [](double a, double b) { return APMPToInt32(a) >> (APMPToUInt32(b) & 31); });
}

APMPValueRef BitwiseUnsignedRightShift(const APMPValueList& args, APMPScope&, APMPContext& ctx) {
  return bitwise(args, ctx,
                 [](double a, double b) { return APMPToUInt32(a) >> (APMPToUInt32(b) & 31); });
}

}  // namespace

void APMPRegisterOperatorCommands(APMPCommandEntry (&table)[APMPCommandCount]) {
  constexpr auto math = APMPEvaluatorFamily::Math;
  table[APMPCommandAdd] = {math, Add};
  table[APMPCommandDivide] = {math, Divide};
  table[APMPCommandModulus] = {math, Modulus};
  table[APMPCommandMultiply] = {math, Multiply};
  table[APMPCommandNegate] = {math, Negate};
  table[APMPCommandPostDecrement] = {math, PostChange};
  table[APMPCommandPostIncrement] = {math, PostChange};
  table[APMPCommandPreDecrement] = {math, PreChange};
  table[APMPCommandPreIncrement] = {math, PreChange};
  table[APMPCommandSubtract] = {math, Subtract};

  constexpr auto logical = APMPEvaluatorFamily::Logical;
  table[APMPCommandAnd] = {logical, And};
  table[APMPCommandOr] = {logical, Or};
  table[APMPCommandNot] = {logical, Not};

  constexpr auto comparison = APMPEvaluatorFamily::Comparison;
  table[APMPCommandEquals] = {comparison, equality<looseEquals, false>};
  table[APMPCommandNotEquals] = {comparison, equality<looseEquals, true>};
  table[APMPCommandIdentityEquals] = {comparison, equality<APMPStrictEqualityCompare, false>};
  table[APMPCommandIdentityNotEquals] = {comparison, equality<APMPStrictEqualityCompare, true>};
  table[APMPCommandLessThan] = {comparison, relational<false, false>};
  table[APMPCommandLessThanEquals] = {comparison, relational<false, true>};
  table[APMPCommandGreaterThan] = {comparison, relational<true, false>};
  table[APMPCommandGreaterThanEquals] = {comparison, relational<true, true>};

  constexpr auto bits = APMPEvaluatorFamily::Bitwise;
  table[APMPCommandBitwiseAnd] = {bits, BitwiseAnd};
  table[APMPCommandBitwiseLeftShift] = {bits, BitwiseLeftShift};
  table[APMPCommandBitwiseNot] = {bits, BitwiseNot};
  table[APMPCommandBitwiseOr] = {bits, BitwiseOr};
  table[APMPCommandBitwiseRightShift] = {bits, BitwiseRightShift};
  table[APMPCommandBitwiseUnsignedRightShift] = {bits, BitwiseUnsignedRightShift};
  table[APMPCommandBitwiseXor] = {bits, BitwiseXor};
}
