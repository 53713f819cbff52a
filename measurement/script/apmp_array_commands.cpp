#include "measurement/script/apmp_array_commands.h"

#include <cmath>
#include <limits>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"

namespace {

bool isPresent(const APMPArrayValue& array, std::size_t i) {
  return i < array.count() && !array.elements()[i]->isHole();
}

APMPValueRef newArray(APMPValueList values, APMPScope& scope, APMPContext& ctx) {
  if (values.size() > APMPMaxArrayLength) {
    ctx.fail(APMPErrorArrayLength);
    return APMPUndefined();
  }
  return APMPObjectManager::arrayValueWithArray(std::move(values), scope, ctx);
}

APMPRef<APMPFunctionValue> functionArgument(const APMPValueRef& value, APMPContext& ctx) {
  if (!value->isFunction()) {
    ctx.fail(APMPErrorArgumentKind);
    return {};
  }
  return APMPRef<APMPFunctionValue>(&APMPAs<APMPFunctionValue>(*value));
}

// The walk of every, some, filter, map and forEach. `step(i, value, result)` answers whether the
// walk goes on. The length is read once; each index is re-checked before it is read, because the
// callback may have changed the array.
template <class Step>
bool iterate(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope, APMPContext& ctx,
             Step step) {
  if (!APMPHasExpectedArgumentLength(values, 1, ctx)) return false;
  const APMPRef<APMPFunctionValue> callback = functionArgument(values[0], ctx);
  if (!callback) return false;
  const APMPValueRef self(&array);
  const std::size_t length = array.count();
  for (std::size_t i = 0; i < length; ++i) {
    if (!ctx.tick()) return false;
    if (!isPresent(array, i)) continue;
    const APMPValueRef value = array.elements()[i];
    const APMPValueRef result = callback->invokeWithArguments(
        {value, APMPNumberValue::make(static_cast<double>(i)), self}, scope, ctx);
    if (ctx.failed()) return false;
    const bool goOn = step(i, value, result);
    if (ctx.failed()) return false;
    if (!goOn) break;
  }
  return true;
}

APMPValueRef Concat(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                    APMPContext& ctx) {
  const APMPRef<APMPArrayValue> result =
      APMPObjectManager::subarrayWithArray(array, 0, array.count(), scope, ctx);
  for (const APMPValueRef& value : values) {
    if (!ctx.tick()) return APMPUndefined();
    result->concat(value, ctx);
    if (ctx.failed()) return APMPUndefined();
  }
  return result;
}

APMPValueRef Every(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                   APMPContext& ctx) {
  bool all = true;
  iterate(array, values, scope, ctx, [&](std::size_t, const APMPValueRef&, const APMPValueRef& r) {
    all = r->booleanValueOrError(ctx);
    return all;
  });
  return ctx.failed() ? APMPUndefined() : APMPBoolean(all);
}

APMPValueRef Some(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                  APMPContext& ctx) {
  bool any = false;
  iterate(array, values, scope, ctx, [&](std::size_t, const APMPValueRef&, const APMPValueRef& r) {
    any = r->booleanValueOrError(ctx);
    return !any;
  });
  return ctx.failed() ? APMPUndefined() : APMPBoolean(any);
}

APMPValueRef Filter(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                    APMPContext& ctx) {
  APMPValueList kept;
  iterate(array, values, scope, ctx,
          [&](std::size_t, const APMPValueRef& value, const APMPValueRef& r) {
            if (r->booleanValueOrError(ctx) && ctx.charge(sizeof(APMPValueRef))) {
              kept.push_back(value);
            }
            return true;
          });
  return ctx.failed() ? APMPUndefined() : newArray(std::move(kept), scope, ctx);
}

APMPValueRef Map(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                 APMPContext& ctx) {
  APMPValueList mapped;
  iterate(array, values, scope, ctx,
          [&](std::size_t i, const APMPValueRef&, const APMPValueRef& r) {
            if (!ctx.charge((i + 1 - mapped.size()) * sizeof(APMPValueRef))) return false;
            // Unvisited indices stay holes; the length ends one past the last visited index.
            mapped.resize(i + 1, APMPHoleValue());
            mapped[i] = r;
            return true;
          });
  return ctx.failed() ? APMPUndefined() : newArray(std::move(mapped), scope, ctx);
}

APMPValueRef ForEach(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                     APMPContext& ctx) {
  iterate(array, values, scope, ctx,
          [](std::size_t, const APMPValueRef&, const APMPValueRef&) { return true; });
  return APMPUndefined();
}

APMPValueRef HasOwnProperty(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                            APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 1, ctx)) return APMPUndefined();
  const std::u16string key = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  if (key == APMPLengthPropertyName) return APMPBoolean(true);
  const bool has = array.hasProperty(*values[0], ctx);
  return ctx.failed() ? APMPUndefined() : APMPBoolean(has);
}

APMPValueRef IndexOf(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                     APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const APMPValueRef search = values.empty() ? APMPUndefined() : values[0];
  const double from = values.size() > 1 ? APMPIntegerArgument(values[1], ctx) : 0;
  if (ctx.failed()) return APMPUndefined();
  const auto length = static_cast<double>(array.count());
  if (!(from < length)) return APMPNumberValue::make(-1);
  const std::int64_t found =
      array.indexOfValue(*search, APMPRelativeIndex(from, array.count()), ctx);
  return ctx.failed() ? APMPUndefined() : APMPNumberValue::make(static_cast<double>(found));
}

APMPValueRef LastIndexOf(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                         APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const APMPValueRef search = values.empty() ? APMPUndefined() : values[0];
  const auto length = static_cast<double>(array.count());
  double from = length - 1;
  if (values.size() > 1) {
    const double d = values[1]->doubleValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
    if (!std::isnan(d)) from = APMPToInteger(d);
  }
  if (from < 0) from += length;
  if (from < 0 || array.count() == 0) return APMPNumberValue::make(-1);
  from = std::min(from, length - 1);
  const std::int64_t found = array.lastIndexOfValue(*search, static_cast<std::size_t>(from), ctx);
  return ctx.failed() ? APMPUndefined() : APMPNumberValue::make(static_cast<double>(found));
}

APMPValueRef Join(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                  APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 1, ctx)) return APMPUndefined();
  std::u16string separator = u",";
  if (!values.empty()) {
    separator = values[0]->isUndefined() || values[0]->isNull()
                    ? std::u16string()
                    : values[0]->stringValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
  }
  std::u16string text = array.stringValueWithSeparator(separator, ctx);
  if (ctx.failed()) return APMPUndefined();
  return APMPStringValue::make(std::move(text), ctx);
}

APMPValueRef ToString(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                      APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return Join(array, {}, scope, ctx);
}

APMPValueRef Pop(APMPArrayValue& array, const APMPValueList& values, APMPScope&, APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return array.removeLastElement();
}

APMPValueRef Shift(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                   APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return array.removeFirstElement();
}

APMPValueRef Push(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                  APMPContext& ctx) {
  const std::size_t length = array.appendElements(values, ctx);
  return ctx.failed() ? APMPUndefined() : APMPNumberValue::make(static_cast<double>(length));
}

APMPValueRef Unshift(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                     APMPContext& ctx) {
  const std::size_t length = array.prependElements(values, ctx);
  return ctx.failed() ? APMPUndefined() : APMPNumberValue::make(static_cast<double>(length));
}

// reduce walks upward, reduceRight downward; the length is read once.
APMPValueRef reduceWalk(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                        APMPContext& ctx, bool upward) {
  if (!APMPAssertArgumentsAtLeast(values, 1, ctx) || !APMPAssertArgumentsAtMost(values, 2, ctx)) {
    return APMPUndefined();
  }
  const APMPRef<APMPFunctionValue> callback = functionArgument(values[0], ctx);
  if (!callback) return APMPUndefined();
  const APMPValueRef self(&array);
  const std::size_t length = array.count();
  // Positions in walking order: k-th step visits index(k).
  auto index = [&](std::size_t k) { return upward ? k : length - 1 - k; };
  std::size_t k = 0;
  APMPValueRef accumulator;
  if (values.size() > 1) {
    if (values[1]->isControl()) {
      ctx.fail(APMPErrorArgumentKind);
      return APMPUndefined();
    }
    accumulator = values[1];
  } else {
    for (; k < length; ++k) {
      if (!ctx.tick()) return APMPUndefined();
      if (isPresent(array, index(k))) break;
    }
    if (k == length) {
      ctx.fail(APMPErrorReduceOfEmpty);
      return APMPUndefined();
    }
    accumulator = array.elements()[index(k)];
    ++k;
  }
  for (; k < length; ++k) {
    if (!ctx.tick()) return APMPUndefined();
    const std::size_t i = index(k);
    if (!isPresent(array, i)) continue;
    const APMPValueRef value = array.elements()[i];
    accumulator = callback->invokeWithArguments(
        {accumulator, value, APMPNumberValue::make(static_cast<double>(i)), self}, scope, ctx);
    if (ctx.failed()) return APMPUndefined();
  }
  return accumulator;
}

APMPValueRef Reduce(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                    APMPContext& ctx) {
  return reduceWalk(array, values, scope, ctx, true);
}

APMPValueRef ReduceRight(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                         APMPContext& ctx) {
  return reduceWalk(array, values, scope, ctx, false);
}

APMPValueRef Reverse(APMPArrayValue& array, const APMPValueList& values, APMPScope&,
                     APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  array.reverse();
  return APMPValueRef(&array);
}

APMPValueRef Slice(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                   APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const std::size_t length = array.count();
  const double startArg = values.empty() ? 0 : APMPIntegerArgument(values[0], ctx);
  const double endArg =
      values.size() > 1 ? APMPIntegerArgument(values[1], ctx) : static_cast<double>(length);
  if (ctx.failed()) return APMPUndefined();
  const std::size_t start = APMPRelativeIndex(startArg, length);
  const std::size_t end = std::max(start, APMPRelativeIndex(endArg, length));
  return APMPObjectManager::subarrayWithArray(array, start, end - start, scope, ctx);
}

APMPValueRef Sort(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                  APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 1, ctx)) return APMPUndefined();
  if (array.count() < 2) return APMPValueRef(&array);
  APMPRef<APMPFunctionValue> compare;
  if (!values.empty()) {
    compare = functionArgument(values[0], ctx);
    if (!compare) return APMPUndefined();
  }
  const APMPValueRef self(&array);
  array.sortUsingFunctionValue(compare.get(), scope, ctx);
  return ctx.failed() ? APMPUndefined() : self;
}

APMPValueRef Splice(APMPArrayValue& array, const APMPValueList& values, APMPScope& scope,
                    APMPContext& ctx) {
  if (values.empty()) return newArray({}, scope, ctx);
  const std::size_t length = array.count();
  const std::size_t start = APMPRelativeIndex(APMPIntegerArgument(values[0], ctx), length);
  if (ctx.failed()) return APMPUndefined();
  std::size_t deleteCount = length - start;
  if (values.size() > 1) {
    const double d = APMPIntegerArgument(values[1], ctx);
    if (ctx.failed()) return APMPUndefined();
    deleteCount = static_cast<std::size_t>(std::clamp(d, 0.0, static_cast<double>(deleteCount)));
  }
  const APMPValueList items(values.begin() + std::min<std::ptrdiff_t>(2, values.size()),
                            values.end());
  APMPValueList removed = array.spliceFrom(static_cast<std::int64_t>(start),
                                           static_cast<std::int64_t>(deleteCount), items, ctx);
  if (ctx.failed()) return APMPUndefined();
  return newArray(std::move(removed), scope, ctx);
}

}  // namespace

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator instance;
  return instance;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator()
    : handlers_{
          {u"concat", Concat},
          {u"every", Every},
          {u"filter", Filter},
          {u"forEach", ForEach},
          {u"hasOwnProperty", HasOwnProperty},
          {u"indexOf", IndexOf},
          {u"join", Join},
          {u"lastIndexOf", LastIndexOf},
          {u"map", Map},
          {u"pop", Pop},
          {u"push", Push},
          {u"reduce", Reduce},
          {u"reduceRight", ReduceRight},
          {u"reverse", Reverse},
          {u"shift", Shift},
          {u"slice", Slice},
          {u"some", Some},
          {u"sort", Sort},
          {u"splice", Splice},
          {u"toString", ToString},
          {u"unshift", Unshift},
      } {}

APMPValueRef APMPArrayCommandEvaluator::evaluateCommand(const std::u16string& name,
                                                        APMPArrayValue& array,
                                                        const APMPValueList& arguments,
                                                        APMPScope& scope, APMPContext& ctx) const {
  const auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    ctx.fail(APMPErrorUnknownMethod);
    return APMPUndefined();
  }
  const APMPRef<APMPArrayValue> keep(&array);
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  return it->second(array, values, scope, ctx);
}
