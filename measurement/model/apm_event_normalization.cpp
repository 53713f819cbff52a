#include "measurement/model/apm_event_normalization.h"

#include <vector>

#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"

namespace {

const platform::Value kErr("_err");
const platform::Value kEv("_ev");
const platform::Value kEl("_el");
const platform::Value kValue("value");
const platform::Value kCurrency("currency");

// Names that reach the error parameters are at most this long.
constexpr std::int64_t kErrorNameMaxLength = 40;

bool contains(const platform::ValueMap& map, const platform::Value& key) {
  return map.find(key) != map.end();
}

bool isPublicKey(const platform::Value& name) {
  const std::string* text = name.ifString();
  return text && !text->empty() && text->front() != '_';
}

bool isInternalEvent(const std::string* eventName) {
  return eventName && (eventName->starts_with("_") || APMInternalEventNames().contains(*eventName));
}

}  // namespace

void APMAddErrorParameter(platform::ValueMap& parameters, std::int64_t code) {
  if (!contains(parameters, kErr)) parameters[kErr] = platform::Value(code);
}

void APMAddErrorParameters(platform::ValueMap& parameters, std::int64_t code,
                           const platform::Value& value, std::int64_t maxLength,
                           const platform::Value* lengthSubject) {
  if (contains(parameters, kEv) || contains(parameters, kEl) || contains(parameters, kErr)) return;
  parameters[kErr] = platform::Value(code);
  APMAddErrorValueAndLengthParameters(parameters, value, maxLength, lengthSubject);
}

void APMAddErrorValueAndLengthParameters(platform::ValueMap& parameters,
                                         const platform::Value& value, std::int64_t maxLength,
                                         const platform::Value* lengthSubject) {
  if (contains(parameters, kEv) || contains(parameters, kEl)) return;
  std::string text;
  const std::string* string = value.ifString();
  if (value.isNull()) {
    text = "(nil)";
  } else if (!string || !APMIsValidUTF8(*string)) {
    text = APMClassNameOfValue(value);
  } else if (APMUTF32Length(*string) > maxLength) {
    // Cut on code points, so a character is never split.
    text = string->substr(0, APMUTF8PrefixLength(*string, maxLength)) + "...";
  } else {
    text = *string;
  }
  parameters[kEv] = platform::Value(std::move(text));
  if (lengthSubject) {
    std::int64_t length = 0;
    if (const std::string* subject = lengthSubject->ifString()) {
      length = APMIsValidUTF8(*subject) ? APMUTF32Length(*subject) : 0;
    } else if (const auto* list = lengthSubject->ifList()) {
      length = static_cast<std::int64_t>(list->size());
    }
    parameters[kEl] = platform::Value(length);
  }
}

void APMAddErrorParametersForEcommerceValidationFailureCode(platform::ValueMap& parameters,
                                                            std::int64_t failureCode,
                                                            const platform::Value& parameterName,
                                                            const std::string* eventName) {
  switch (failureCode) {
  case APMValidatorFailureArrayNotEcommerceEvent:
    APMAddErrorParameters(parameters, 21,
                          eventName ? platform::Value(*eventName) : platform::Value(),
                          kErrorNameMaxLength, nullptr);
    break;
  case APMValidatorFailureArrayNotItems:
    APMAddErrorParameters(parameters, 20, parameterName, kErrorNameMaxLength, nullptr);
    break;
  case APMValidatorFailureArrayTooManyItems:
    APMAddErrorParameters(parameters, 17, parameterName, kErrorNameMaxLength, nullptr);
    break;
  case APMValidatorFailureArrayNested:
    APMAddErrorParameters(parameters, 22, parameterName, kErrorNameMaxLength, nullptr);
    break;
  default:
    break;
  }
}

bool APMEventUtilIsValidParameterKey(const platform::Value& name, bool isPublic,
                                     platform::ValueMap& errors) {
  std::int64_t code = 0;
  const bool valid =
      (!isPublic || APMDataTypeValidator::isValidPublicEventParameterName(name, &code)) &&
      APMDataTypeValidator::isValidInternalEventParameterName(name, &code);
  if (valid) return true;
  if (code != 0 && !contains(errors, kErr)) {
    errors[kErr] = platform::Value(code == APMValidatorFailureReserved ? 14 : 3);
    const std::string* text = name.ifString();
    const bool measured = text && APMIsValidUTF8(*text);
    const bool long_ = measured && APMUTF32Length(*text) > kErrorNameMaxLength;
    APMAddErrorValueAndLengthParameters(errors, name, kErrorNameMaxLength, long_ ? &name : nullptr);
  }
  return false;
}

std::optional<APMValue> APMNormalizeArrayParametersValue(const platform::ValueList& array,
                                                         const platform::Value& parameterName,
                                                         const std::string* eventName,
                                                         platform::ValueMap& errors, bool isNested,
                                                         bool isPublic, std::int64_t* failureCode) {
  std::int64_t code = 0;
  const std::string* name = parameterName.ifString();
  const bool valid = APMDataTypeValidator::isValidArrayParamForEvent(
      eventName ? std::string_view(*eventName) : std::string_view(),
      name ? std::string_view(*name) : std::string_view(), static_cast<std::int64_t>(array.size()),
      isNested, &code);
  if (failureCode) *failureCode = code;
  if (!valid && code != APMValidatorFailureArrayTooManyItems) return std::nullopt;

  const std::size_t count =
      std::min(array.size(), static_cast<std::size_t>(APMDataTypeEventParameterArrayItemsMaxSize));
  platform::ValueList items;
  items.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const platform::Value& item = array[i];
    if (APMDataTypeValidator::isValidArrayParamItem(item, nullptr)) {
      auto normalized =
          APMNormalizedParametersForParametersAndEventName(item.asMap(), eventName, isPublic, true);
      if (normalized) items.emplace_back(std::move(*normalized));
    } else {
      const std::string label =
          (name ? *name : APMClassNameOfValue(parameterName)) + "[" + std::to_string(i) + "]";
      APMAddErrorParameters(errors, 4, platform::Value(label), kErrorNameMaxLength, nullptr);
    }
  }
  return APMValue::initWithArray(std::move(items));
}

std::optional<platform::ValueMap> APMNormalizedParametersForParametersAndEventName(
    platform::ValueMap parameters, const std::string* eventName, bool isPublic, bool isNested) {
  if (parameters.empty()) return std::nullopt;
  const APMEventModelLimits limits = APMCurrentEventModelLimits();
  const std::int64_t internalLimit = limits.maxInternalEventParameterValueLength();
  const bool internalEvent = isInternalEvent(eventName);

  std::vector<platform::ValueMap::iterator> removed;
  platform::ValueMap updates;
  for (auto entry = parameters.begin(); entry != parameters.end(); ++entry) {
    const platform::Value& name = entry->first;
    const platform::Value& given = entry->second;
    if (!APMEventUtilIsValidParameterKey(name, isPublic, updates)) {
      removed.push_back(entry);
      continue;
    }
    std::optional<APMValue> value = APMValue::valueFromObject(given, true);
    if (!value) {
      removed.push_back(entry);
      APMProcessMonitor()->logWithLevel(
          3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
          {platform::Value(APMClassNameOfValue(given))});
      continue;
    }
    // A boolean arrives as a boolean and is stored as an int64.
    bool converted = value->value().kind() != given.kind();
    std::int64_t failure = 0;
    bool valueFailed = false;
    bool drop = false;
    if (isPublic && !APMDataTypeValidator::isValidPublicEventParameterValue(&*value, &failure)) {
      valueFailed = true;
    } else if (name == kEv) {
      const std::string* text = value->stringValue();
      if (text) {
        const std::int64_t length = APMUTF32Length(*text);
        const bool alreadyCut = length == internalLimit + 3 && text->ends_with("...");
        if (length > internalLimit && !alreadyCut) {
          // The cut text replaces the value; the updates are written over the parameters.
          if (!contains(updates, kEv) && !contains(updates, kEl)) {
            APMAddErrorValueAndLengthParameters(updates, value->value(), internalLimit,
                                                &value->value());
          }
        }
      }
    } else if (internalEvent &&
               !APMDataTypeValidator::isValidInternalEventParameterValue(&*value, &failure)) {
      valueFailed = true;
    } else if (const auto* array = value->arrayValue()) {
      auto normalized = APMNormalizeArrayParametersValue(*array, name, eventName, updates, isNested,
                                                         isPublic, &failure);
      if (normalized) {
        if (!(*normalized == *value)) converted = true;
        value = std::move(normalized);
      } else {
        drop = true;
      }
    }
    if (valueFailed) {
      drop = true;
      if (failure == APMValidatorFailureTooLong && !contains(updates, kErr)) {
        updates[kErr] = platform::Value(4);
        APMAddErrorValueAndLengthParameters(updates, name, kErrorNameMaxLength, &value->value());
      }
    }
    if (value->isArray() && failure != 0) {
      APMAddErrorParametersForEcommerceValidationFailureCode(updates, failure, name, eventName);
    }
    if (drop) {
      removed.push_back(entry);
    } else if (converted && !contains(updates, name)) {
      updates[name] = value->value();
    }
  }

  platform::ValueMap result;
  if (removed.size() == parameters.size()) return updates;
  if (removed.empty() && updates.empty()) {
    result = std::move(parameters);
  } else {
    for (const auto& entry : removed)
      parameters.erase(entry);
    result = std::move(parameters);
    for (auto& [name, value] : updates)
      result[name] = std::move(value);
  }

  if (isNested) {
    const std::int64_t maximum = limits.maxItemScopedCustomParameters;
    if (APMEventPublicParameterCountIgnoringAllowlistedParams(result, true) > maximum) {
      APMEventTrimEventParametersIgnoringAllowlistedParams(result, maximum, true);
      APMAddErrorParameter(result, maximum == 0 ? 23 : 28);
      APMProcessMonitor()->logWithLevel(0, 18016, "Item cannot contain custom parameters");
    }
  } else {
    const std::int64_t maximum = limits.maxPublicEventParams;
    if (APMEventPublicParameterCountIgnoringAllowlistedParams(result, false) > maximum) {
      APMEventTrimEventParametersIgnoringAllowlistedParams(result, maximum, false);
      APMAddErrorParameter(result, 5);
      APMProcessMonitor()->logWithLevel(
          1, 18017, "Event cannot contain more than " + std::to_string(maximum) + " parameters");
    }
  }
  return result;
}

std::optional<platform::ValueMap>
APMNormalizedParametersForParameters(platform::ValueMap parameters, bool isPublic) {
  return APMNormalizedParametersForParametersAndEventName(std::move(parameters), nullptr, isPublic,
                                                          false);
}

std::int64_t
APMEventPublicParameterCountIgnoringAllowlistedParams(const platform::ValueMap& parameters,
                                                      bool ignoreAllowlisted) {
  std::int64_t count = 0;
  for (const auto& [name, value] : parameters) {
    if (!isPublicKey(name)) continue;
    if (ignoreAllowlisted && APMEventUtilIsPredefinedEcommerceItemsParam(name.asString())) continue;
    ++count;
  }
  return count;
}

void APMEventTrimEventParametersIgnoringAllowlistedParams(platform::ValueMap& parameters,
                                                          std::int64_t maximum,
                                                          bool ignoreAllowlisted) {
  std::int64_t count =
      APMEventPublicParameterCountIgnoringAllowlistedParams(parameters, ignoreAllowlisted);
  // The map is in ascending name order: walk it from the last name back.
  for (auto it = parameters.end(); count > maximum && it != parameters.begin();) {
    --it;
    const platform::Value& name = it->first;
    if (!isPublicKey(name) ||
        (ignoreAllowlisted && APMEventUtilIsPredefinedEcommerceItemsParam(name.asString()))) {
      continue;
    }
    it = parameters.erase(it);
    --count;
  }
}

void APMEventTrimEventParameters(platform::ValueMap& parameters, std::int64_t maximum) {
  APMEventTrimEventParametersIgnoringAllowlistedParams(parameters, maximum, false);
}

bool APMValidateConversionEventParameters(platform::ValueMap& parameters) {
  const auto found = parameters.find(kValue);
  if (found == parameters.end()) return true;
  const std::int64_t internalLimit =
      APMCurrentEventModelLimits().maxInternalEventParameterValueLength();
  const std::optional<APMValue> value = APMValue::fromStored(found->second);
  if (!APMDataTypeValidator::isValidNumericValue(value ? &*value : nullptr, nullptr)) {
    parameters.erase(found);
    APMAddErrorParameters(parameters, 18, kValue, internalLimit, nullptr);
    return false;
  }
  const auto currencyEntry = parameters.find(kCurrency);
  const std::optional<APMValue> currency = currencyEntry == parameters.end()
                                               ? std::nullopt
                                               : APMValue::fromStored(currencyEntry->second);
  if (!APMDataTypeValidator::isValidCurrencyCode(currency ? &*currency : nullptr, nullptr)) {
    APMProcessMonitor()->logWithLevel(3, 18014,
                                      "Value parameter discarded. You must also supply a 3-letter "
                                      "ISO_4217 currency code in the currency parameter.");
    parameters.erase(found);
    APMAddErrorParameters(parameters, 19, kCurrency, internalLimit, nullptr);
    return false;
  }
  return true;
}

void APMLogErrorEventWithCode(std::int64_t code) {
  if (code == 0) return;
  APMLogInternalEvent("auto", "_err", platform::ValueMap{{kErr, platform::Value(code)}});
}

void APMLogErrorEventWithParameters(std::int64_t code, const platform::Value& value,
                                    std::int64_t maxLength, const platform::Value* lengthSubject) {
  if (code == 0) return;
  platform::ValueMap parameters{{kErr, platform::Value(code)}};
  bool withSubject = false;
  if (lengthSubject && !lengthSubject->isNull()) {
    const std::string* text = lengthSubject->ifString();
    withSubject = code == 4 || code == 7 ||
                  (text && APMIsValidUTF8(*text) && APMUTF32Length(*text) > maxLength);
  }
  APMAddErrorValueAndLengthParameters(parameters, value, maxLength,
                                      withSubject ? lengthSubject : nullptr);
  APMLogInternalEvent("auto", "_err", parameters);
}

platform::ValueMap APMParametersWithoutZADParams(const platform::ValueMap& parameters) {
  platform::ValueMap result;
  for (const auto& [name, value] : parameters) {
    const std::string* text = name.ifString();
    if (!text || !text->starts_with(APMZADPrefix)) result.emplace(name, value);
  }
  return result;
}

bool APMHasScreenParameters(const platform::ValueMap& parameters) {
  return contains(parameters, platform::Value("_si")) ||
         contains(parameters, platform::Value("_sc")) ||
         contains(parameters, platform::Value("_sn"));
}

platform::ValueMap APMExtractScreenParameters(const platform::ValueMap& parameters) {
  platform::ValueMap result;
  for (const char* name : {"_sn", "_sc", "_si"}) {
    const auto found = parameters.find(platform::Value(name));
    if (found != parameters.end()) result.emplace(found->first, found->second);
  }
  return result;
}
