#include "measurement/script/apmp_string_commands.h"

#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_text.h"

namespace {

// A compiled pattern may not run longer than about 50 x 10,000 match steps, nor use more than
// 1 MiB of backtracking stack: a catastrophic pattern then fails the call instead of holding the
// worker queue for minutes.
constexpr int32_t kRegexTimeLimit = 50;
constexpr int32_t kRegexStackLimit = 1 << 20;

// Clamped to [0, length].
std::size_t clampIndex(double index, std::size_t length) {
  return static_cast<std::size_t>(std::clamp(index, 0.0, static_cast<double>(length)));
}

// The text of the first argument, "undefined" when there is none.
std::u16string searchText(const APMPValueList& values, APMPContext& ctx) {
  if (values.empty()) return u"undefined";
  return values[0]->stringValueOrError(ctx);
}

APMPValueRef newString(std::u16string text, APMPContext& ctx) {
  return APMPStringValue::make(std::move(text), ctx);
}

APMPValueRef number(double d) {
  return APMPNumberValue::make(d);
}

struct RegexCloser {
  void operator()(URegularExpression* re) const { uregex_close(re); }
};

// The start and end of the first match of `pattern` in `text`; none when there is none. A
// failure (bad pattern, time or stack bound) is stored as ICU's error.
std::optional<std::pair<int32_t, int32_t>>
firstMatch(const std::u16string& pattern, const std::u16string& text, APMPContext& ctx) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<URegularExpression, RegexCloser> re(
      uregex_open(pattern.data(), static_cast<int32_t>(pattern.size()), 0, &parseError, &status));
  if (U_SUCCESS(status)) uregex_setTimeLimit(re.get(), kRegexTimeLimit, &status);
  if (U_SUCCESS(status)) uregex_setStackLimit(re.get(), kRegexStackLimit, &status);
  if (U_SUCCESS(status)) {
    uregex_setText(re.get(), text.data(), static_cast<int32_t>(text.size()), &status);
  }
  bool found = false;
  if (U_SUCCESS(status)) found = uregex_findNext(re.get(), &status);
  std::optional<std::pair<int32_t, int32_t>> match;
  if (U_SUCCESS(status) && found) {
    const int32_t start = uregex_start(re.get(), 0, &status);
    const int32_t end = uregex_end(re.get(), 0, &status);
    if (U_SUCCESS(status)) match.emplace(start, end);
  }
  if (U_FAILURE(status)) {
    ctx.fail(static_cast<int>(status), APMPRegexErrorDomain);
    return std::nullopt;
  }
  return match;
}

using CaseMapper = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

std::u16string mapCase(CaseMapper mapping, const std::u16string& text, const char* locale,
                       APMPContext& ctx) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t needed =
      mapping(nullptr, 0, text.data(), static_cast<int32_t>(text.size()), locale, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    ctx.fail(static_cast<int>(status), APMPRegexErrorDomain);
    return {};
  }
  if (!ctx.checkStringLength(static_cast<std::size_t>(needed))) return {};
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  mapping(out.data(), needed, text.data(), static_cast<int32_t>(text.size()), locale, &status);
  if (U_FAILURE(status)) {
    ctx.fail(static_cast<int>(status), APMPRegexErrorDomain);
    return {};
  }
  return out;
}

APMPValueRef CharAt(const std::u16string& text, const APMPValueList& values, APMPScope&,
                    APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 1, ctx)) return APMPUndefined();
  const double pos = values.empty() ? 0 : APMPIntegerArgument(values[0], ctx);
  if (ctx.failed()) return APMPUndefined();
  if (pos < 0 || pos >= static_cast<double>(text.size())) return APMPStringValue::make(u"");
  return APMPStringValue::make(std::u16string(1, text[static_cast<std::size_t>(pos)]));
}

APMPValueRef Concat(const std::u16string& text, const APMPValueList& values, APMPScope&,
                    APMPContext& ctx) {
  std::u16string out = text;
  for (const APMPValueRef& value : values) {
    if (!ctx.tick()) return APMPUndefined();
    out += value->stringValueOrError(ctx);
    if (ctx.failed() || !ctx.checkStringLength(out.size())) return APMPUndefined();
  }
  return newString(std::move(out), ctx);
}

APMPValueRef HasOwnProperty(const std::u16string& text, const APMPValueList& values, APMPScope&,
                            APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 1, ctx)) return APMPUndefined();
  const std::u16string key = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  if (key == APMPLengthPropertyName) return APMPBoolean(true);
  const double index = values[0]->doubleValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  return APMPBoolean(std::isfinite(index) && index >= 0 && index == std::trunc(index) &&
                     index < static_cast<double>(text.size()));
}

APMPValueRef IndexOf(const std::u16string& text, const APMPValueList& values, APMPScope&,
                     APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const std::u16string search = searchText(values, ctx);
  const double pos = values.size() > 1 ? APMPIntegerArgument(values[1], ctx) : 0;
  if (ctx.failed()) return APMPUndefined();
  if (search.empty()) return number(-1);
  const auto match = APMPCanonicalSearch(text, search).next(clampIndex(pos, text.size()));
  return number(match ? static_cast<double>(match->start) : -1);
}

APMPValueRef LastIndexOf(const std::u16string& text, const APMPValueList& values, APMPScope&,
                         APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const std::u16string search = searchText(values, ctx);
  double pos = INFINITY;
  if (values.size() > 1) {
    const double d = values[1]->doubleValueOrError(ctx);
    if (!std::isnan(d)) pos = APMPToInteger(d);
  }
  if (ctx.failed()) return APMPUndefined();
  if (search.empty()) return number(-1);
  const std::size_t from = clampIndex(pos, text.size());
  const std::size_t limit = std::min(text.size(), from + search.size());
  const auto match = APMPCanonicalSearch(text, search).last(from, limit);
  return number(match ? static_cast<double>(match->start) : -1);
}

APMPValueRef Match(const std::u16string& text, const APMPValueList& values, APMPScope& scope,
                   APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 1, ctx)) return APMPUndefined();
  const std::u16string pattern = values.empty() ? std::u16string() : searchText(values, ctx);
  if (ctx.failed()) return APMPUndefined();
  if (pattern.empty()) {
    return APMPObjectManager::arrayValueWithArray({APMPStringValue::make(u"")}, scope, ctx);
  }
  const auto match = firstMatch(pattern, text, ctx);
  if (ctx.failed()) return APMPUndefined();
  if (!match) return APMPNull();
  const APMPValueRef found =
      newString(text.substr(static_cast<std::size_t>(match->first),
                            static_cast<std::size_t>(match->second - match->first)),
                ctx);
  return ctx.failed() ? APMPUndefined()
                      : APMPObjectManager::arrayValueWithArray({found}, scope, ctx);
}

APMPValueRef Search(const std::u16string& text, const APMPValueList& values, APMPScope&,
                    APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 1, ctx)) return APMPUndefined();
  const std::u16string pattern = searchText(values, ctx);
  if (ctx.failed()) return APMPUndefined();
  if (pattern.empty()) return number(0);
  const auto match = firstMatch(pattern, text, ctx);
  if (ctx.failed()) return APMPUndefined();
  return number(match ? match->first : -1);
}

APMPValueRef Replace(const std::u16string& text, const APMPValueList& values, APMPScope& scope,
                     APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const std::u16string search = searchText(values, ctx);
  if (ctx.failed()) return APMPUndefined();
  APMPTextMatch found;
  if (!search.empty()) {
    const auto match = APMPCanonicalSearch(text, search).next(0);
    if (!match) return APMPStringValue::make(text);
    found = *match;
  }
  std::u16string replacement = u"undefined";
  if (values.size() > 1) {
    if (values[1]->isFunction()) {
      const APMPRef<APMPFunctionValue> function(&APMPAs<APMPFunctionValue>(*values[1]));
      const APMPValueRef result = function->invokeWithArguments(
          {APMPStringValue::make(search), number(static_cast<double>(found.start)),
           APMPStringValue::make(text)},
          scope, ctx);
      if (ctx.failed()) return APMPUndefined();
      replacement = result->stringValueOrError(ctx);
    } else {
      replacement = values[1]->stringValueOrError(ctx);
    }
    if (ctx.failed()) return APMPUndefined();
  }
  if (!ctx.checkStringLength(text.size() - found.length + replacement.size())) {
    return APMPUndefined();
  }
  std::u16string out = text;
  out.replace(found.start, found.length, replacement);
  return newString(std::move(out), ctx);
}

// The text between `start` and `end` (empty when end is not after start).
APMPValueRef substringValue(const std::u16string& text, std::size_t start, std::size_t end,
                            APMPContext& ctx) {
  if (end <= start) return APMPStringValue::make(u"");
  return newString(text.substr(start, end - start), ctx);
}

// slice and substring: start defaults to 0, end to the length only when it is absent (an
// explicit undefined is NaN, so 0). slice counts negative positions from the end; substring
// clamps both and takes them in either order.
template <bool fromEnd>
APMPValueRef Range(const std::u16string& text, const APMPValueList& values, APMPScope&,
                   APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  const double start = values.empty() ? 0 : APMPIntegerArgument(values[0], ctx);
  const double end =
      values.size() > 1 ? APMPIntegerArgument(values[1], ctx) : static_cast<double>(text.size());
  if (ctx.failed()) return APMPUndefined();
  if (fromEnd) {
    return substringValue(text, APMPRelativeIndex(start, text.size()),
                          APMPRelativeIndex(end, text.size()), ctx);
  }
  const std::size_t a = clampIndex(start, text.size());
  const std::size_t b = clampIndex(end, text.size());
  return substringValue(text, std::min(a, b), std::max(a, b), ctx);
}

APMPValueRef Split(const std::u16string& text, const APMPValueList& values, APMPScope& scope,
                   APMPContext& ctx) {
  if (!APMPAssertArgumentsAtMost(values, 2, ctx)) return APMPUndefined();
  if (text.empty() || values.empty()) {
    return APMPObjectManager::arrayValueWithArray({APMPStringValue::make(text)}, scope, ctx);
  }
  const std::u16string separator = values[0]->stringValueOrError(ctx);
  if (ctx.failed()) return APMPUndefined();
  std::uint64_t limit = UINT64_MAX;
  if (values.size() > 1) {
    const double d = values[1]->doubleValueOrError(ctx);
    if (ctx.failed()) return APMPUndefined();
    limit = APMPToUInt32(d);
  }
  APMPValueList pieces;
  auto add = [&](std::u16string piece) {
    if (!ctx.tick() || pieces.size() >= APMPMaxArrayLength) {
      ctx.fail(APMPErrorLimit);
      return false;
    }
    pieces.push_back(newString(std::move(piece), ctx));
    return !ctx.failed();
  };
  if (separator.empty()) {
    for (std::size_t i = 0; i < text.size() && pieces.size() < limit; ++i) {
      if (!add(std::u16string(1, text[i]))) return APMPUndefined();
    }
  } else {
    const APMPCanonicalSearch search(text, separator);
    std::size_t from = 0;
    while (pieces.size() < limit) {
      const auto match = search.next(from);
      const std::size_t end = match ? match->start : text.size();
      if (!add(text.substr(from, end - from))) return APMPUndefined();
      if (!match) break;
      from = match->start + match->length;
    }
  }
  return APMPObjectManager::arrayValueWithArray(std::move(pieces), scope, ctx);
}

// toUpperCase, toLowerCase and their locale forms: the root locale unless `localized`.
template <bool upper, bool localized>
APMPValueRef CaseMapping(const std::u16string& text, const APMPValueList& values, APMPScope&,
                         APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  const std::string locale = localized ? APMPCurrentLocaleIdentifier() : std::string();
  std::u16string out = upper ? APMPToUpperCase(text, locale.c_str(), ctx)
                             : APMPToLowerCase(text, locale.c_str(), ctx);
  if (ctx.failed()) return APMPUndefined();
  return newString(std::move(out), ctx);
}

APMPValueRef ToString(const std::u16string& text, const APMPValueList& values, APMPScope&,
                      APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  return APMPStringValue::make(text);
}

APMPValueRef Trim(const std::u16string& text, const APMPValueList& values, APMPScope&,
                  APMPContext& ctx) {
  if (!APMPHasExpectedArgumentLength(values, 0, ctx)) return APMPUndefined();
  const std::u16string_view trimmed = APMPTrimWhiteSpace(text);
  return newString(std::u16string(trimmed), ctx);
}

}  // namespace

std::string APMPCurrentLocaleIdentifier() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);
    if (name && *name) break;
    name = nullptr;
  }
  if (!name) return {};
  std::string id(name);
  id = id.substr(0, id.find_first_of(".@"));
  if (id == "C" || id == "POSIX") return {};
  return id;
}

std::u16string APMPToUpperCase(const std::u16string& text, const char* locale, APMPContext& ctx) {
  return mapCase(u_strToUpper, text, locale, ctx);
}

std::u16string APMPToLowerCase(const std::u16string& text, const char* locale, APMPContext& ctx) {
  return mapCase(u_strToLower, text, locale, ctx);
}

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator instance;
  return instance;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator()
    : handlers_{
          {u"charAt", CharAt},
          {u"concat", Concat},
          {u"hasOwnProperty", HasOwnProperty},
          {u"indexOf", IndexOf},
          {u"lastIndexOf", LastIndexOf},
          {u"match", Match},
          {u"replace", Replace},
          {u"search", Search},
          {u"slice", Range<true>},
          {u"split", Split},
          {u"substring", Range<false>},
          {u"toLowerCase", CaseMapping<false, false>},
          {u"toLocaleLowerCase", CaseMapping<false, true>},
          {u"toUpperCase", CaseMapping<true, false>},
          {u"toLocaleUpperCase", CaseMapping<true, true>},
          {u"toString", ToString},
          {u"trim", Trim},
      } {}

APMPValueRef APMPStringCommandEvaluator::evaluateCommand(const std::u16string& name,
                                                         const std::u16string& text,
                                                         const APMPValueList& arguments,
                                                         APMPScope& scope, APMPContext& ctx) const {
  const auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    ctx.fail(APMPErrorUnknownMethod);
    return APMPUndefined();
  }
  const APMPValueList values = APMPEvaluateArguments(arguments, scope, ctx);
  if (ctx.failed()) return APMPUndefined();
  return it->second(text, values, scope, ctx);
}
