#include "measurement/audiences/apm_audience_filters.h"

#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/storage/apm_monitor.h"

namespace {

namespace EventFilterField = apmpb_field::EventFilter;
namespace PropertyFilterField = apmpb_field::PropertyFilter;
namespace FilterField = apmpb_field::Filter;
namespace StringField = apmpb_field::StringFilter;
namespace NumberField = apmpb_field::NumberFilter;

void report(std::int64_t level, std::int64_t code, std::string_view message,
            platform::ValueList contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

template <class Message> platform::Value object(const std::shared_ptr<Message>& message) {
  return message ? platform::Value(platform::ObjectPtr(message)) : platform::Value();
}

// An optional bool field that is present and set.
bool isSet(const NANOMessageBase* message, std::int32_t field) {
  return NANOHasField(message, field) && NANOGetBool(message, field);
}

std::optional<std::string> presentString(const NANOMessageBase* message, std::int32_t field) {
  return NANOHasField(message, field) ? NANOGetString(message, field) : std::nullopt;
}

struct RegexCloser {
  void operator()(URegularExpression* re) const { uregex_close(re); }
};
using Regex = std::unique_ptr<URegularExpression, RegexCloser>;

std::u16string utf16(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()),
                &status);
  return U_SUCCESS(status) ? out : std::u16string();
}

// ICU's full case folding: the form case-insensitive comparisons use.
std::u16string folded(std::string_view text) {
  const std::u16string source = utf16(text);
  if (source.empty()) return source;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = u_strFoldCase(
      nullptr, 0, source.data(), static_cast<int32_t>(source.size()), U_FOLD_CASE_DEFAULT, &status);
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFoldCase(out.data(), length, source.data(), static_cast<int32_t>(source.size()),
                U_FOLD_CASE_DEFAULT, &status);
  return U_SUCCESS(status) ? out : source;
}

// The string filter's validity; for a valid PATTERN filter, `compiled` (when asked for) receives
// the expression compiled with its match limits.
bool internalIsValidStringFilter(const std::shared_ptr<APMPBStringFilter>& filter,
                                 Regex* compiled) {
  const platform::ValueList context{object(filter)};
  if (!filter || !NANOHasField(filter.get(), StringField::kMatchType)) {
    report(1, 9000, "String filter has no match type", context);
    return false;
  }
  const std::int32_t match = NANOGetInt32(filter.get(), StringField::kMatchType);
  if (match == APMAudienceStringMatchAnyOf) {
    const auto list = NANOGetArray(filter.get(), StringField::kExpressionList, nullptr);
    if (!list || list->empty()) {
      report(1, 9003, "String filter has no expression list", context);
      return false;
    }
    return true;
  }
  if (match == APMAudienceStringMatchUnset) {
    report(1, 9001, "String filter has unknown match type", context);
    return false;
  }
  const auto expression = presentString(filter.get(), StringField::kExpression);
  if (!expression) {
    report(1, 9002, "String filter has no expression", context);
    return false;
  }
  if (match != APMAudienceStringMatchPattern) return true;
  const std::u16string pattern = utf16(*expression);
  const std::uint32_t flags =
      isSet(filter.get(), StringField::kCaseSensitive) ? 0 : UREGEX_CASE_INSENSITIVE;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  Regex re(uregex_open(pattern.data(), static_cast<int32_t>(pattern.size()), flags, &parseError,
                       &status));
  if (U_SUCCESS(status)) uregex_setTimeLimit(re.get(), APMAudienceRegexTimeLimit, &status);
  if (U_SUCCESS(status)) uregex_setStackLimit(re.get(), APMAudienceRegexStackLimit, &status);
  if (U_FAILURE(status)) {
    report(1, 9004, "Unable to parse regular expression",
           {object(filter), platform::Value(std::string(u_errorName(status)))});
    return false;
  }
  if (compiled) *compiled = std::move(re);
  return true;
}

bool startsWith(const std::u16string& text, const std::u16string& part) {
  return text.size() >= part.size() && text.compare(0, part.size(), part) == 0;
}

bool endsWith(const std::u16string& text, const std::u16string& part) {
  return text.size() >= part.size() &&
         text.compare(text.size() - part.size(), part.size(), part) == 0;
}

// Operand text read as a double without regard to locale ("5.", ".5", "+5").
std::optional<double> doubleFromText(const std::optional<std::string>& text) {
  if (!text || !APMIsValidNumericString(*text)) return std::nullopt;
  std::string_view digits = *text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  std::string normal(digits);
  if (normal.front() == '.') normal.insert(normal.begin(), '0');
  if (normal.back() == '.') normal.pop_back();
  double value = 0;
  const auto [end, error] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (error != std::errc() || end != normal.data() + normal.size()) return std::nullopt;
  return negative ? -value : value;
}

APMAudienceOutcome evaluateNumberAsDecimal(const std::shared_ptr<APMPBNumberFilter>& filter,
                                           const APMDecimalNumber& value) {
  return APMAudienceEvaluateNumberFilterWithDecimalNumber(filter, value);
}

}  // namespace

// --- Strings ---

bool APMAudienceIsValidStringFilter(const std::shared_ptr<APMPBStringFilter>& filter) {
  return internalIsValidStringFilter(filter, nullptr);
}

APMAudienceOutcome
APMAudienceEvaluateStringFilterWithString(const std::shared_ptr<APMPBStringFilter>& filter,
                                          const std::string* text) {
  if (!text) {
    report(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  Regex compiled;
  if (!internalIsValidStringFilter(filter, &compiled)) {
    report(1, 9006, "String filter is invalid. Audience filter will not be evaluated",
           {object(filter)});
    return std::nullopt;
  }
  const bool caseSensitive = isSet(filter.get(), StringField::kCaseSensitive);
  const auto form = [caseSensitive](std::string_view raw) {
    return caseSensitive ? utf16(raw) : folded(raw);
  };
  const std::string expression = presentString(filter.get(), StringField::kExpression).value_or("");
  switch (NANOGetInt32(filter.get(), StringField::kMatchType)) {
  case APMAudienceStringMatchPattern: {
    if (!compiled) {
      report(1, 9008, "Parsed regex is nil. Audience filter will not be evaluated",
             {object(filter)});
      return std::nullopt;
    }
    const std::u16string subject = utf16(*text);
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(compiled.get(), subject.data(), static_cast<int32_t>(subject.size()), &status);
    const bool found = U_SUCCESS(status) && uregex_findNext(compiled.get(), &status);
    if (U_FAILURE(status)) {
      // A pattern from the server must not hold the worker queue: the time and stack limits
      // end a runaway match here.
      report(1, 9009,
             "Regular expression match exceeded its limit. Audience filter will not be evaluated",
             {object(filter), platform::Value(std::string(u_errorName(status)))});
      return std::nullopt;
    }
    return found;
  }
  case APMAudienceStringMatchPrefix:
    return startsWith(form(*text), form(expression));
  case APMAudienceStringMatchSuffix:
    return endsWith(form(*text), form(expression));
  case APMAudienceStringMatchContains:
    return form(*text).find(form(expression)) != std::u16string::npos;
  case APMAudienceStringMatchWholeText:
    return form(*text) == form(expression);
  case APMAudienceStringMatchAnyOf: {
    const std::u16string subject = form(*text);
    const auto list = NANOGetArray(filter.get(), StringField::kExpressionList, nullptr);
    for (const auto& entry : list.value_or(platform::ValueList{})) {
      const std::string* candidate = entry.ifString();
      if (candidate && form(*candidate) == subject) return true;
    }
    return false;
  }
  case APMAudienceStringMatchUnset:
    report(1, 9007,
           "Validated string filter has unknown comparison type. Audience filter will not be "
           "evaluated",
           {object(filter)});
    return std::nullopt;
  default:
    return false;
  }
}

// --- Numbers ---

bool APMAudienceIsValidNumberFilter(const std::shared_ptr<APMPBNumberFilter>& filter) {
  const platform::ValueList context{object(filter)};
  if (!filter || !NANOHasField(filter.get(), NumberField::kComparisonType)) {
    report(1, 8006, "Number filter has no comparison type", context);
    return false;
  }
  const auto numeric = [&filter](std::int32_t field) {
    const auto text = presentString(filter.get(), field);
    return text && APMIsValidNumericString(*text);
  };
  switch (NANOGetInt32(filter.get(), NumberField::kComparisonType)) {
  case APMAudienceComparisonBelow:
  case APMAudienceComparisonAbove:
  case APMAudienceComparisonSameValue:
    if (!numeric(NumberField::kComparisonValue)) {
      report(1, 8008, "Numeric filter does not have a valid comparison value. Filter", context);
      return false;
    }
    return true;
  case APMAudienceComparisonRange: {
    bool valid = true;
    if (!numeric(NumberField::kMinComparisonValue)) {
      report(1, 8009, "Numeric filter does not have a valid min comparison value. Filter", context);
      valid = false;
    }
    if (!numeric(NumberField::kMaxComparisonValue)) {
      report(1, 8010, "Numeric filter does not have a valid max comparison value. Filter", context);
      valid = false;
    }
    return valid;
  }
  case APMAudienceComparisonUnset:
    report(1, 8007, "Number filter has unknown comparison type", context);
    return false;
  default:
    report(1, 8011, "Number filter has a real unknown comparison type", context);
    return false;
  }
}

APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithDecimalNumber(const std::shared_ptr<APMPBNumberFilter>& filter,
                                                 const APMDecimalNumber& value) {
  if (!APMAudienceIsValidNumberFilter(filter)) return std::nullopt;
  const platform::ValueList context{object(filter)};
  APMAudienceComparisonValues operands;
  const auto invalid = [&](std::int64_t code, const char* message) {
    report(1, code, message, context);
    operands.setValid(false);
  };
  const std::int32_t type = NANOGetInt32(filter.get(), NumberField::kComparisonType);
  switch (type) {
  case APMAudienceComparisonBelow:
  case APMAudienceComparisonAbove:
  case APMAudienceComparisonSameValue: {
    const auto text = presentString(filter.get(), NumberField::kComparisonValue);
    if (!text) {
      invalid(8001, "Number filter has no comparison value");
    } else if (auto number = APMParseNumericValueFromString(*text)) {
      operands.setComparisonValue(std::move(number));
    } else {
      invalid(8002, "Number filter comparison value is not a number");
    }
    break;
  }
  case APMAudienceComparisonRange: {
    const auto low = presentString(filter.get(), NumberField::kMinComparisonValue);
    const auto high = presentString(filter.get(), NumberField::kMaxComparisonValue);
    if (!low || !high) {
      invalid(8003, "Number filter does not have both min and max comparison values");
      break;
    }
    operands.setMinComparisonValue(APMParseNumericValueFromString(*low));
    if (!operands.minComparisonValue()) {
      invalid(8004, "Number filter min comparison value is not a number");
      break;
    }
    operands.setMaxComparisonValue(APMParseNumericValueFromString(*high));
    if (!operands.maxComparisonValue()) {
      invalid(8005, "Number filter max comparison value is not a number");
    }
    break;
  }
  case APMAudienceComparisonUnset:
    invalid(8000, "Number filter has unknown comparison type");
    break;
  default:
    break;
  }
  if (!operands.valid()) {
    report(1, 8015,
           "Parsed decimal number comparison values are not valid. Audience filter will not be "
           "evaluated. Filter",
           context);
    return std::nullopt;
  }
  switch (type) {
  case APMAudienceComparisonBelow:
    return value < *operands.comparisonValue();
  case APMAudienceComparisonAbove:
    return value > *operands.comparisonValue();
  case APMAudienceComparisonSameValue:
    return value == *operands.comparisonValue();
  case APMAudienceComparisonRange:
    return *operands.minComparisonValue() <= value && value <= *operands.maxComparisonValue();
  case APMAudienceComparisonUnset:
    report(1, 8016,
           "Validated decimal number for number filter has unknown comparison type. Audience "
           "filter will not be evaluated",
           context);
    return std::nullopt;
  default:
    return false;
  }
}

APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithInt64(const std::shared_ptr<APMPBNumberFilter>& filter,
                                         std::int64_t value) {
  // Every int64 has an exact decimal (at most 19 digits).
  APMDecimalNumber number;
  number.negative = value < 0;
  std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                      : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  std::int32_t exponent = 0;
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (digits.empty()) {
    number.negative = false;
    exponent = 0;
  }
  number.digits = std::move(digits);
  number.exponent = exponent;
  return evaluateNumberAsDecimal(filter, number);
}

APMAudienceOutcome
APMAudienceEvaluateNumberFilterWithDouble(const std::shared_ptr<APMPBNumberFilter>& filter,
                                          double value) {
  if (!APMAudienceIsValidNumberFilter(filter)) return std::nullopt;
  const std::int32_t type = NANOGetInt32(filter.get(), NumberField::kComparisonType);
  std::optional<double> operand;
  std::optional<double> low;
  std::optional<double> high;
  bool read = true;
  if (type == APMAudienceComparisonRange) {
    low = doubleFromText(presentString(filter.get(), NumberField::kMinComparisonValue));
    high = doubleFromText(presentString(filter.get(), NumberField::kMaxComparisonValue));
    read = low && high;
  } else {
    operand = doubleFromText(presentString(filter.get(), NumberField::kComparisonValue));
    read = operand.has_value();
  }
  if (!read) {
    report(1, 8012,
           "Number filter is invalid, the comparison filter is not valid. Audience filter will "
           "not be evaluated",
           {object(filter)});
    return std::nullopt;
  }
  constexpr double infinity = std::numeric_limits<double>::infinity();
  switch (type) {
  case APMAudienceComparisonBelow:
    return value < *operand;
  case APMAudienceComparisonAbove:
    return value > *operand;
  case APMAudienceComparisonSameValue: {
    // Within one unit in the last place: c or one of its two neighbours.
    const double below = std::nextafter(std::nextafter(*operand, -infinity), -infinity);
    const double above = std::nextafter(std::nextafter(*operand, infinity), infinity);
    return below < value && value < above;
  }
  case APMAudienceComparisonRange:
    return *low <= value && value <= *high;
  case APMAudienceComparisonUnset:
    report(1, 8013,
           "Validated double number filter has unknown comparison type. Audience filter will not "
           "be evaluated",
           {object(filter)});
    return std::nullopt;
  default:
    return false;
  }
}

// --- Values, events, properties ---

APMAudienceOutcome APMAudienceEvaluateFilterWithValue(const std::shared_ptr<APMPBFilter>& filter,
                                                      const APMValue& value) {
  const auto numberFilter =
      filter ? NANOGetMessage<APMPBNumberFilter>(filter.get(), FilterField::kNumberFilter)
             : nullptr;
  const auto stringFilter =
      filter ? NANOGetMessage<APMPBStringFilter>(filter.get(), FilterField::kStringFilter)
             : nullptr;
  const bool hasNumber = filter && NANOHasField(filter.get(), FilterField::kNumberFilter);
  const bool hasString = filter && NANOHasField(filter.get(), FilterField::kStringFilter);
  if (!hasNumber && !hasString) {
    report(1, 7000,
           "Filter has neither a number nor string filter. Audience filter will not be evaluated",
           {value.value(), object(filter)});
    return std::nullopt;
  }
  APMAudienceOutcome outcome;
  if (hasNumber) {
    if (const std::string* text = value.stringValue()) {
      if (!APMIsValidNumericString(*text)) {
        report(3, 7001,
               "String value is not a numeric value. Audience filter will not be evaluated. "
               "Value, filter",
               {value.value(), object(filter)});
        return std::nullopt;
      }
      const auto number = APMParseNumericValueFromString(*text);
      if (!number) return std::nullopt;
      outcome = APMAudienceEvaluateNumberFilterWithDecimalNumber(numberFilter, *number);
    } else if (value.isDouble()) {
      if (!std::isfinite(value.doubleValue())) {
        report(3, 7002, "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      outcome = APMAudienceEvaluateNumberFilterWithDouble(numberFilter, value.doubleValue());
    } else if (value.isInt64()) {
      outcome = APMAudienceEvaluateNumberFilterWithInt64(numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    const std::string* text = value.stringValue();
    if (!text) {
      report(3, 7003, "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    outcome = APMAudienceEvaluateStringFilterWithString(stringFilter, text);
  }
  if (outcome && isSet(filter.get(), FilterField::kComplement)) return !*outcome;
  return outcome;
}

APMAudienceOutcome APMAudienceEvaluateEventFilter(const std::shared_ptr<APMPBEventFilter>& filter,
                                                  const std::string& eventName,
                                                  const platform::ValueMap& parameters,
                                                  const APMEventAggregates* aggregates) {
  const platform::Value formattedName(APMFormattedEventName(eventName));
  if (!filter) {
    report(1, 7004, "Event filter is nil. Audience filter will not be evaluated", {formattedName});
    return std::nullopt;
  }
  if (eventName.empty()) {
    report(1, 7005, "Event name is nil. Audience filter will not be evaluated", {object(filter)});
    return std::nullopt;
  }
  if (presentString(filter.get(), EventFilterField::kEventName) != eventName) {
    report(1, 7006,
           "Event filter name does not match event name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const bool hasCount = NANOHasField(filter.get(), EventFilterField::kEventCountFilter);
  const auto parameterFilters =
      NANOGetArray(filter.get(), EventFilterField::kFilters, APMPBFilter::classObject())
          .value_or(platform::ValueList{});
  if (!hasCount && parameterFilters.empty()) return true;
  if (hasCount) {
    if (!aggregates || aggregates->name() != eventName) {
      report(1, 7007,
             "Event aggregates name does not match event name. Audience filter will not be "
             "evaluated",
             {platform::Value(aggregates ? aggregates->name() : std::string()), formattedName,
              object(filter)});
      return std::nullopt;
    }
    const std::int64_t count = isSet(filter.get(), EventFilterField::kSessionScoped)
                                   ? aggregates->currentSessionCount()
                                   : aggregates->lifetimeCount();
    const auto outcome = APMAudienceEvaluateNumberFilterWithInt64(
        NANOGetMessage<APMPBNumberFilter>(filter.get(), EventFilterField::kEventCountFilter),
        count);
    if (outcome != true) return outcome;
  }
  const auto parametersText = [&parameters] {
    return platform::Value(APMFormattedParametersDescription(platform::Value(parameters)));
  };
  for (const auto& element : parameterFilters) {
    const auto parameterFilter = element.asObjectOf<APMPBFilter>();
    const auto name = parameterFilter
                          ? presentString(parameterFilter.get(), FilterField::kParamName)
                          : std::nullopt;
    if (!name) {
      report(1, 7008,
             "Event filter does not have parameter name. Audience filter will not be evaluated",
             {formattedName, object(filter)});
      return std::nullopt;
    }
    const auto found = parameters.find(platform::Value(*name));
    const auto value =
        found == parameters.end() ? std::nullopt : APMValue::fromStored(found->second);
    if (!value) {
      report(3, 7009,
             "Event does not have parameter required by filter. Audience filter will not be "
             "evaluated",
             {formattedName, parametersText(), object(parameterFilter)});
      return std::nullopt;
    }
    if (value->isString() && !NANOHasField(parameterFilter.get(), FilterField::kStringFilter)) {
      report(3, 7010,
             "Event param is a string and the filter does not have a string filter. Audience "
             "filter will not be evaluated. Event name, event params, filter",
             {formattedName, parametersText(), object(parameterFilter)});
      return std::nullopt;
    }
    const auto outcome = APMAudienceEvaluateFilterWithValue(parameterFilter, *value);
    if (outcome != true) return outcome;
  }
  return true;
}

APMAudienceOutcome
APMAudienceEvaluatePropertyFilter(const std::shared_ptr<APMPBPropertyFilter>& filter,
                                  const APMUserAttribute* property) {
  if (!filter) {
    report(1, 7011, "Property filter is nil. Audience filter will not be evaluated",
           property ? platform::ValueList{platform::Value(
                          APMFormattedUserPropertyName(property->name()))}
                    : platform::ValueList{});
    return std::nullopt;
  }
  if (!property) {
    report(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (presentString(filter.get(), PropertyFilterField::kPropertyName) != property->name()) {
    report(1, 7013,
           "User property name does not match property filter name. Audience filter will not be "
           "evaluated");
    return std::nullopt;
  }
  if (!NANOHasField(filter.get(), PropertyFilterField::kFilter)) {
    report(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const APMValue& value = property->value();
  if (!value.isString() && !value.isInt64() && !value.isDouble()) {
    report(1, 7015,
           "Unknown user property type. Audience filter will not be evaluated. Property Name",
           {platform::Value(APMFormattedUserPropertyName(property->name()))});
    return std::nullopt;
  }
  return APMAudienceEvaluateFilterWithValue(
      NANOGetMessage<APMPBFilter>(filter.get(), PropertyFilterField::kFilter), value);
}
