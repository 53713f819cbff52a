#include "measurement/audiences/apm_audience_validation.h"

#include <optional>
#include <string>

#include "measurement/audiences/apm_audience_filters.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_error.h"

namespace {

namespace AudienceField = apmpb_field::Audience;
namespace EventFilterField = apmpb_field::EventFilter;
namespace PropertyFilterField = apmpb_field::PropertyFilter;
namespace FilterField = apmpb_field::Filter;
namespace NumberField = apmpb_field::NumberFilter;

bool refuse(platform::ErrorPtr* error, std::int64_t code, std::string_view description) {
  APMSetError(error, code, description);
  return false;
}

bool hasNonEmptyString(const NANOMessageBase* message, std::int32_t field) {
  if (!NANOHasField(message, field)) return false;
  const auto text = NANOGetString(message, field);
  return text && !text->empty();
}

template <class Wrapper>
std::vector<std::shared_ptr<Wrapper>> messagesOf(const NANOMessageBase* message,
                                                 std::int32_t field) {
  std::vector<std::shared_ptr<Wrapper>> out;
  const auto values = NANOGetArray(message, field, Wrapper::classObject());
  for (const auto& value : values.value_or(platform::ValueList{})) {
    if (auto item = value.template asObjectOf<Wrapper>()) out.push_back(std::move(item));
  }
  return out;
}

}  // namespace

bool APMIsValidAudienceProto(const APMPBAudience& audience,
                             const std::set<std::int32_t>& acceptedAudienceIDs,
                             platform::ErrorPtr* error) {
  const auto remote = APMRemoteConfig::current();
  const std::int64_t maxFilters = remote->integerSetting(APMSetting::MaxFiltersPerAudience);
  const std::int64_t maxParameters = remote->integerSetting(APMSetting::MaxParametersPerFilter);
  constexpr std::int64_t A = APMAudienceErrorCodeAudience;
  constexpr std::int64_t E = APMAudienceErrorCodeEventFilter;
  constexpr std::int64_t P = APMAudienceErrorCodePropertyFilter;

  // 1-5: the audience.
  if (!NANOHasField(&audience, AudienceField::kAudienceId)) {
    return refuse(error, A, "Missing audience ID");
  }
  const std::int32_t audienceID = NANOGetInt32(&audience, AudienceField::kAudienceId);
  if (audienceID < 0) return refuse(error, A, "Audience ID is negative");
  if (acceptedAudienceIDs.count(audienceID)) return refuse(error, A, "Duplicate audience ID");
  const auto eventFilters = messagesOf<APMPBEventFilter>(&audience, AudienceField::kEventFilters);
  const auto propertyFilters =
      messagesOf<APMPBPropertyFilter>(&audience, AudienceField::kPropertyFilters);
  if (eventFilters.empty() && propertyFilters.empty()) {
    return refuse(error, A, "Audience missing filters arrays");
  }
  const auto filterCount = static_cast<std::int64_t>(eventFilters.size() + propertyFilters.size());
  if (filterCount < 1 || filterCount > maxFilters) {
    return refuse(error, A, "Audience filter count out of range");
  }

  // One set of identifiers for the event and the property filters together.
  std::set<std::int32_t> filterIDs;

  // 6-16: each event filter, its parameter filters in order.
  for (const auto& filter : eventFilters) {
    const NANOMessageBase* message = filter.get();
    if (!hasNonEmptyString(message, EventFilterField::kEventName)) {
      return refuse(error, E, "Event filter missing event name");
    }
    if (!NANOHasField(message, EventFilterField::kFilterId)) {
      return refuse(error, E, "Missing event filter ID");
    }
    const std::int32_t filterID = NANOGetInt32(message, EventFilterField::kFilterId);
    if (filterID < 0 || filterID >= maxFilters) {
      return refuse(error, E, "Event filter ID is out of range");
    }
    if (!filterIDs.insert(filterID).second) return refuse(error, E, "Duplicate event filter ID");
    if (NANOHasField(message, EventFilterField::kEventCountFilter)) {
      const auto count =
          NANOGetMessage<APMPBNumberFilter>(message, EventFilterField::kEventCountFilter);
      if (count && NANOHasField(count.get(), NumberField::kMatchAsFloat) &&
          NANOGetBool(count.get(), NumberField::kMatchAsFloat)) {
        return refuse(error, E, "Event filter has float event count filter");
      }
      if (!APMAudienceIsValidNumberFilter(count)) {
        return refuse(error, E, "Event filter has invalid event count filter");
      }
    }
    const auto parameters = messagesOf<APMPBFilter>(message, EventFilterField::kFilters);
    if (static_cast<std::int64_t>(parameters.size()) > maxParameters) {
      return refuse(error, E, "Event filter parameters filters count out of range");
    }
    for (const auto& parameter : parameters) {
      if (!hasNonEmptyString(parameter.get(), FilterField::kParamName)) {
        return refuse(error, E, "Event filter missing parameter name");
      }
      const bool hasNumber = NANOHasField(parameter.get(), FilterField::kNumberFilter);
      const bool hasText = NANOHasField(parameter.get(), FilterField::kStringFilter);
      if (hasNumber == hasText) {
        return refuse(error, E, "Event filter must have exactly one of number or string filter");
      }
      if (hasNumber && !APMAudienceIsValidNumberFilter(NANOGetMessage<APMPBNumberFilter>(
                           parameter.get(), FilterField::kNumberFilter))) {
        return refuse(error, E, "Event filter has invalid number filter");
      }
      if (hasText && !APMAudienceIsValidStringFilter(NANOGetMessage<APMPBStringFilter>(
                         parameter.get(), FilterField::kStringFilter))) {
        return refuse(error, E, "Event filter has invalid string filter");
      }
    }
  }

  // 17-24: each property filter.
  for (const auto& filter : propertyFilters) {
    const NANOMessageBase* message = filter.get();
    if (!hasNonEmptyString(message, PropertyFilterField::kPropertyName)) {
      return refuse(error, P, "Property filter missing property name");
    }
    if (!NANOHasField(message, PropertyFilterField::kFilterId)) {
      return refuse(error, P, "Missing property filter ID");
    }
    const std::int32_t filterID = NANOGetInt32(message, PropertyFilterField::kFilterId);
    if (filterID < 0 || filterID >= maxFilters) {
      return refuse(error, P, "Property filter ID is out of range");
    }
    if (!filterIDs.insert(filterID).second) {
      return refuse(error, P, "Duplicate property filter ID");
    }
    const auto value = NANOGetMessage<APMPBFilter>(message, PropertyFilterField::kFilter);
    if (!value) return refuse(error, P, "Property filter has no filter");
    const bool hasNumber = NANOHasField(value.get(), FilterField::kNumberFilter);
    const bool hasText = NANOHasField(value.get(), FilterField::kStringFilter);
    if (hasNumber == hasText) {
      return refuse(error, P, "Property filter must have exactly one of number or string filter");
    }
    // An invalid number filter is refused with the same text as the check above; there is no
    // text of its own for it.
    if (hasNumber && !APMAudienceIsValidNumberFilter(NANOGetMessage<APMPBNumberFilter>(
                         value.get(), FilterField::kNumberFilter))) {
      return refuse(error, P, "Property filter must have exactly one of number or string filter");
    }
    if (hasText && !APMAudienceIsValidStringFilter(NANOGetMessage<APMPBStringFilter>(
                       value.get(), FilterField::kStringFilter))) {
      return refuse(error, P, "Property filter has invalid string filter");
    }
  }
  return true;
}
