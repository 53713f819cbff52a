#include "measurement/script/apmp_array_value.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "measurement/script/apmp_array_commands.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_text.h"

namespace {

struct ArrayKey {
  enum class Kind { Length, Index, Name } kind = Kind::Name;
  double index = 0;  // for Kind::Index: finite, whole, >= 0
  std::u16string name;
};

double numberOf(const APMPRuntimeValue& v) {
  return v.isNumber() ? APMPAs<APMPNumberValue>(v).value()
                      : APMPStringToNumber(APMPAs<APMPStringValue>(v).value());
}

// What a key means for an array; false when its string form cannot be taken (error stored).
bool classify(const APMPRuntimeValue& key, APMPContext& ctx, ArrayKey& out) {
  if (key.isString() && APMPAs<APMPStringValue>(key).value() == APMPLengthPropertyName) {
    out.kind = ArrayKey::Kind::Length;
    return true;
  }
  if (APMPIsZeroOrPositiveInteger(key)) {
    out.kind = ArrayKey::Kind::Index;
    out.index = numberOf(key);
    return true;
  }
  out.kind = ArrayKey::Kind::Name;
  out.name = key.stringValueOrError(ctx);
  return !ctx.failed();
}

APMPValueRef holeAsUndefined(const APMPValueRef& v) {
  return v->isHole() ? APMPUndefined() : v;
}

constexpr std::size_t kSlotBytes = sizeof(APMPValueRef);

}  // namespace

std::u16string APMPArrayValue::stringValueWithSeparator(std::u16string_view separator,
                                                        APMPContext& ctx) const {
  if (elements_.empty() || ctx.isJoining(this)) return {};
  APMPDepthGuard guard(ctx);
  if (!guard.ok()) return {};
  ctx.pushJoining(this);
  std::u16string out;
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) {
      // Checked here too: holes and empty slots add separators only.
      if (!ctx.checkStringLength(out.size() + separator.size())) break;
      out.append(separator);
    }
    if (!ctx.tick()) break;
    const APMPRuntimeValue& v = *elements_[i];
    if (v.isHole() || v.isUndefined() || v.isNull()) continue;
    out += v.stringValueOrError(ctx);
    if (ctx.failed() || !ctx.checkStringLength(out.size())) break;
  }
  ctx.popJoining();
  if (ctx.failed()) return {};
  return out;
}

std::u16string APMPArrayValue::stringValueOrError(APMPContext& ctx) const {
  return stringValueWithSeparator(u",", ctx);
}

double APMPArrayValue::doubleValueOrError(APMPContext& ctx) const {
  const std::u16string text = stringValueOrError(ctx);
  if (ctx.failed()) return std::nan("");
  return APMPStringToNumber(text);
}

bool APMPArrayValue::reserveGrowth(std::uint64_t newLength, APMPContext& ctx) {
  if (newLength > APMPMaxArrayLength) {
    ctx.fail(APMPErrorArrayLength);
    return false;
  }
  if (newLength > elements_.size()) return ctx.charge((newLength - elements_.size()) * kSlotBytes);
  return true;
}

bool APMPArrayValue::setLength(std::uint64_t n, APMPContext& ctx) {
  if (!reserveGrowth(n, ctx)) return false;
  if (n > elements_.size()) {
    elements_.resize(n, APMPHoleValue());
  } else if (n < elements_.size()) {
    // Moved out before release, so nothing freed on the way sees a half-changed list.
    APMPValueList dropped(std::make_move_iterator(elements_.begin() + static_cast<long>(n)),
                          std::make_move_iterator(elements_.end()));
    elements_.resize(n);
  }
  return true;
}

void APMPArrayValue::setValue(const APMPValueRef& value, const APMPRuntimeValue& key,
                              APMPContext& ctx) {
  ArrayKey k;
  if (!classify(key, ctx, k)) return;
  switch (k.kind) {
  case ArrayKey::Kind::Length: {
    if (!APMPIsZeroOrPositiveInteger(*value)) {
      ctx.fail(APMPErrorArrayLength);
      return;
    }
    // Compared as a double: a huge length is refused before any cast or allocation.
    const double n = numberOf(*value);
    if (n > static_cast<double>(APMPMaxArrayLength)) {
      ctx.fail(APMPErrorArrayLength);
      return;
    }
    setLength(static_cast<std::uint64_t>(n), ctx);
    return;
  }
  case ArrayKey::Kind::Index: {
    if (k.index >= static_cast<double>(APMPMaxArrayLength)) {
      ctx.fail(APMPErrorArrayLength);
      return;
    }
    const auto i = static_cast<std::size_t>(k.index);
    if (i >= elements_.size() && !setLength(i + 1, ctx)) return;
    APMPValueRef old = std::move(elements_[i]);
    elements_[i] = value;
    return;
  }
  case ArrayKey::Kind::Name:
    if (properties_.setValue(value, k.name)) ctx.charge(k.name.size() * 2 + 64);
    return;
  }
}

APMPValueRef APMPArrayValue::valueForProperty(const APMPRuntimeValue& key, APMPContext& ctx) const {
  ArrayKey k;
  if (!classify(key, ctx, k)) return APMPUndefined();
  switch (k.kind) {
  case ArrayKey::Kind::Length:
    return APMPNumberValue::make(static_cast<double>(elements_.size()));
  case ArrayKey::Kind::Index:
    if (k.index < static_cast<double>(elements_.size())) {
      return holeAsUndefined(elements_[static_cast<std::size_t>(k.index)]);
    }
    return APMPUndefined();
  case ArrayKey::Kind::Name:
    return properties_.valueForName(k.name);
  }
  return APMPUndefined();
}

APMPValueList APMPArrayValue::allPropertyNames() const {
  APMPValueList names;
  properties_.forEach([&](const std::u16string& name, const APMPValueRef&) {
    names.push_back(APMPStringValue::make(name));
  });
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i]->isHole()) {
      names.push_back(APMPStringValue::make(APMPNumberToString(static_cast<double>(i))));
    }
  }
  return names;
}

bool APMPArrayValue::hasProperty(const APMPRuntimeValue& key, APMPContext& ctx) const {
  ArrayKey k;
  if (!classify(key, ctx, k)) return false;
  switch (k.kind) {
  case ArrayKey::Kind::Length:
    return false;
  case ArrayKey::Kind::Index:
    return k.index < static_cast<double>(elements_.size()) &&
           !elements_[static_cast<std::size_t>(k.index)]->isHole();
  case ArrayKey::Kind::Name:
    return properties_.hasName(k.name);
  }
  return false;
}

APMPValueList APMPArrayValue::allElements() const {
  APMPValueList out;
  out.reserve(elements_.size());
  for (const auto& v : elements_)
    out.push_back(holeAsUndefined(v));
  return out;
}

APMPValueRef APMPArrayValue::applyWithName(const std::u16string& name,
                                           const APMPValueList& arguments, APMPScope& scope,
                                           APMPContext& ctx) {
  if (auto result = APMPCallOwnProperty(properties_, name, arguments, scope, ctx)) return *result;
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, *this, arguments, scope,
                                                                     ctx);
}

APMPRef<APMPArrayValue> APMPArrayValue::subarrayWithRange(std::size_t location,
                                                          std::size_t length) const {
  const std::size_t start = std::min(location, elements_.size());
  const std::size_t n = std::min(length, elements_.size() - start);
  return APMPMake<APMPArrayValue>(APMPValueList(elements_.begin() + static_cast<long>(start),
                                                elements_.begin() + static_cast<long>(start + n)));
}

void APMPArrayValue::sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope,
                                            APMPContext& ctx) {
  // <0: a first; >0: b first; 0: equal. Once any comparison has failed, all answer equal.
  auto order = [&](const APMPValueRef& a, const APMPValueRef& b) -> int {
    if (ctx.failed() || !ctx.tick()) return 0;
    if (a->isHole() || b->isHole()) return a->isHole() == b->isHole() ? 0 : (a->isHole() ? 1 : -1);
    if (a->isUndefined() || b->isUndefined()) {
      return a->isUndefined() == b->isUndefined() ? 0 : (a->isUndefined() ? 1 : -1);
    }
    if (compare) {
      APMPRef<APMPFunctionValue> keep(compare);
      const APMPValueRef result = compare->invokeWithArguments({a, b}, scope, ctx);
      if (ctx.failed()) return 0;
      const double d = result->doubleValueOrError(ctx);
      if (ctx.failed() || std::isnan(d) || d == 0) return 0;
      return d < 0 ? -1 : 1;
    }
    const std::u16string ta = a->stringValueOrError(ctx);
    if (ctx.failed()) return 0;
    const std::u16string tb = b->stringValueOrError(ctx);
    if (ctx.failed()) return 0;
    // Long texts count towards the deadline by their length.
    if (!ctx.tick(
            static_cast<std::uint32_t>(std::min<std::size_t>(ta.size() + tb.size(), UINT32_MAX))))
      return 0;
    return APMPCompareCanonical(ta, tb);
  };

  // Bottom-up merge sort over a copy: stable, bounded whatever the comparison answers, and safe
  // when the comparison function changes this array while the sort runs.
  APMPValueList items = elements_;
  APMPValueList buffer(items.size());
  for (std::size_t width = 1; width < items.size(); width *= 2) {
    for (std::size_t lo = 0; lo < items.size(); lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, items.size());
      const std::size_t hi = std::min(lo + 2 * width, items.size());
      std::size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        buffer[k++] = order(items[i], items[j]) > 0 ? items[j++] : items[i++];
      }
      while (i < mid)
        buffer[k++] = items[i++];
      while (j < hi)
        buffer[k++] = items[j++];
    }
    items.swap(buffer);
  }
  elements_.swap(items);
}

APMPValueList APMPArrayValue::spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                         const APMPValueList& values, APMPContext& ctx) {
  const auto length = static_cast<std::int64_t>(elements_.size());
  const std::int64_t s = std::clamp<std::int64_t>(start, 0, length);
  const std::int64_t n = std::clamp<std::int64_t>(deleteCount, 0, length - s);
  const auto newLength = static_cast<std::uint64_t>(length - n) + values.size();
  if (!reserveGrowth(newLength, ctx)) return {};
  APMPValueList removed(elements_.begin() + s, elements_.begin() + s + n);
  elements_.erase(elements_.begin() + s, elements_.begin() + s + n);
  elements_.insert(elements_.begin() + s, values.begin(), values.end());
  return removed;
}

void APMPArrayValue::concat(const APMPValueRef& value, APMPContext& ctx) {
  if (value->isControl()) {
    ctx.fail(APMPErrorArgumentKind);
    return;
  }
  if (value->isArray()) {
    const APMPValueList slots = APMPAs<APMPArrayValue>(*value).elements_;
    if (!reserveGrowth(elements_.size() + slots.size(), ctx)) return;
    elements_.insert(elements_.end(), slots.begin(), slots.end());
    return;
  }
  if (!reserveGrowth(elements_.size() + 1, ctx)) return;
  elements_.push_back(value);
}

void APMPArrayValue::reverse() {
  std::reverse(elements_.begin(), elements_.end());
}

APMPValueRef APMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  return holeAsUndefined(first);
}

APMPValueRef APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef last = std::move(elements_.back());
  elements_.pop_back();
  return holeAsUndefined(last);
}

std::size_t APMPArrayValue::appendElements(const APMPValueList& values, APMPContext& ctx) {
  if (reserveGrowth(elements_.size() + values.size(), ctx)) {
    elements_.insert(elements_.end(), values.begin(), values.end());
  }
  return elements_.size();
}

std::size_t APMPArrayValue::prependElements(const APMPValueList& values, APMPContext& ctx) {
  if (reserveGrowth(elements_.size() + values.size(), ctx)) {
    elements_.insert(elements_.begin(), values.begin(), values.end());
  }
  return elements_.size();
}

namespace {

// 1 when slot i holds `value` (strict equality; a hole never does), 0 when it does not, -1 when
// the search must stop (an error or the deadline).
int slotMatch(const APMPValueList& slots, std::size_t i, const APMPRuntimeValue& value,
              APMPContext& ctx) {
  if (!ctx.tick()) return -1;
  if (slots[i]->isHole()) return 0;
  const bool equal = APMPStrictEqualityCompare(value, *slots[i], ctx);
  if (ctx.failed()) return -1;
  return equal ? 1 : 0;
}

}  // namespace

std::int64_t APMPArrayValue::indexOfValue(const APMPRuntimeValue& value, std::size_t fromIndex,
                                          APMPContext& ctx) const {
  for (std::size_t i = fromIndex; i < elements_.size(); ++i) {
    const int match = slotMatch(elements_, i, value, ctx);
    if (match != 0) return match > 0 ? static_cast<std::int64_t>(i) : -1;
  }
  return -1;
}

std::int64_t APMPArrayValue::lastIndexOfValue(const APMPRuntimeValue& value, std::size_t fromIndex,
                                              APMPContext& ctx) const {
  if (elements_.empty()) return -1;
  std::size_t i = std::min(fromIndex, elements_.size() - 1) + 1;
  while (i-- > 0) {
    const int match = slotMatch(elements_, i, value, ctx);
    if (match != 0) return match > 0 ? static_cast<std::int64_t>(i) : -1;
  }
  return -1;
}

bool APMPArrayValue::isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const {
  if (!other.isArray()) return false;
  const auto& o = APMPAs<APMPArrayValue>(other);
  if (o.elements_.size() != elements_.size()) return false;
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (!APMPStructurallyEqual(*elements_[i], *o.elements_[i], ctx)) return false;
  }
  return true;
}

void APMPArrayValue::mark(APMPMarker& marker) const {
  properties_.mark(marker);
  for (const auto& v : elements_)
    marker.visit(v.get());
}

void APMPArrayValue::sweep() {
  properties_.clear();
  APMPValueList dropped = std::move(elements_);
  elements_.clear();
}
