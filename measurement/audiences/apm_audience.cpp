// APMAudience: storing the audience definitions of an accepted configuration.
#include "measurement/audiences/apm_audience.h"

#include "measurement/audiences/apm_audience_validation.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_monitor.h"

namespace {

namespace AudienceField = apmpb_field::Audience;
namespace EventFilterField = apmpb_field::EventFilter;
namespace PropertyFilterField = apmpb_field::PropertyFilter;
namespace FilterField = apmpb_field::Filter;

void report(std::int64_t level, std::int64_t code, std::string_view message,
            platform::ValueList contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

platform::Value errorValue(const platform::ErrorPtr& error) {
  return error ? platform::Value(error) : platform::Value();
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

bool flag(const NANOMessageBase* message, std::int32_t field) {
  return NANOHasField(message, field) && NANOGetBool(message, field);
}

// The filter with its public event and parameter names replaced by their internal forms.
std::shared_ptr<APMEventFilter> eventFilterRow(std::int32_t audienceID, APMPBEventFilter& filter) {
  const std::string name = NANOGetString(&filter, EventFilterField::kEventName).value_or("");
  if (const std::string* internal = APMInternalEventNames().find(name)) {
    NANOSetString(&filter, EventFilterField::kEventName, *internal);
  }
  auto parameters = messagesOf<APMPBFilter>(&filter, EventFilterField::kFilters);
  bool replaced = false;
  for (const auto& parameter : parameters) {
    const auto parameterName = NANOGetString(parameter.get(), FilterField::kParamName);
    if (!parameterName) continue;
    if (const std::string* internal = APMInternalParameterNames().find(*parameterName)) {
      NANOSetString(parameter.get(), FilterField::kParamName, *internal);
      replaced = true;
    }
  }
  if (replaced) {
    const auto values = NANOMessageValues(parameters);
    NANOSetArray(&filter, EventFilterField::kFilters, &values);
  }
  const auto data = filter.protoBuffer();
  return APMEventFilter::initWithAudienceID(
      audienceID, NANOGetInt32(&filter, EventFilterField::kFilterId),
      NANOGetString(&filter, EventFilterField::kEventName).value_or(""),
      data.value_or(platform::Bytes{}), flag(&filter, EventFilterField::kSessionScoped),
      flag(&filter, EventFilterField::kDynamic), flag(&filter, EventFilterField::kSequence));
}

std::shared_ptr<APMPropertyFilter> propertyFilterRow(std::int32_t audienceID,
                                                     APMPBPropertyFilter& filter) {
  const std::string name = NANOGetString(&filter, PropertyFilterField::kPropertyName).value_or("");
  if (const std::string* internal = APMInternalUserPropertyNames().find(name)) {
    NANOSetString(&filter, PropertyFilterField::kPropertyName, *internal);
  }
  const auto data = filter.protoBuffer();
  return APMPropertyFilter::initWithAudienceID(
      audienceID, NANOGetInt32(&filter, PropertyFilterField::kFilterId),
      NANOGetString(&filter, PropertyFilterField::kPropertyName).value_or(""),
      data.value_or(platform::Bytes{}), flag(&filter, PropertyFilterField::kSessionScoped),
      flag(&filter, PropertyFilterField::kDynamic), flag(&filter, PropertyFilterField::kSequence));
}

}  // namespace

std::shared_ptr<APMAudience> APMAudience::initWithDatabase(std::shared_ptr<APMDatabase> database) {
  if (!database) return nullptr;
  return std::make_shared<APMAudience>(std::move(database));
}

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const auto db = database_.lock();
  if (!db) return false;
  const auto remote = APMRemoteConfig::current();
  // 1.
  const auto count = static_cast<std::int64_t>(audiences.size());
  if (count > remote->integerSetting(APMSetting::MaxAudienceCount)) {
    report(2, 6008,
           "Configuration contains too many audiences. Audiences will not be saved. Audience "
           "count",
           {platform::Value(count)});
    return true;
  }
  // 2.
  std::set<std::int32_t> accepted;
  APMDatabase::EventFilters eventRows;
  APMDatabase::PropertyFilters propertyRows;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    platform::ErrorPtr invalid;
    if (!APMIsValidAudienceProto(*audience, accepted, &invalid)) {
      report(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
             {platform::Value(platform::ObjectPtr(audience)), errorValue(invalid)});
      continue;
    }
    const std::int32_t audienceID = NANOGetInt32(audience.get(), AudienceField::kAudienceId);
    accepted.insert(audienceID);
    for (const auto& filter :
         messagesOf<APMPBEventFilter>(audience.get(), AudienceField::kEventFilters)) {
      eventRows.push_back(eventFilterRow(audienceID, *filter));
    }
    for (const auto& filter :
         messagesOf<APMPBPropertyFilter>(audience.get(), AudienceField::kPropertyFilters)) {
      propertyRows.push_back(propertyFilterRow(audienceID, *filter));
    }
  }
  // 3.
  if (!maybeDeleteStaleFilterResults(accepted)) return false;
  // 4.-7.
  platform::ErrorPtr error;
  if (!db->deleteAllEventFilters(&error) && error) {
    report(1, 6010,
           "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  error.reset();
  if (!db->deleteAllPropertyFilters(&error) && error) {
    report(1, 6011,
           "Unable to delete existing Audience user property filters. Audiences will not be "
           "saved. Error",
           {errorValue(error)});
    return false;
  }
  error.reset();
  if (!eventRows.empty() && !db->updateEventFilters(eventRows, &error) && error) {
    report(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  error.reset();
  if (!propertyRows.empty() && !db->updatePropertyFilters(propertyRows, &error) && error) {
    report(1, 6013,
           "Unable to save Audience user property filters. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs) {
  const auto db = database_.lock();
  if (!db) return false;
  platform::ErrorPtr error;
  const auto results = db->allFilterResults(&error);
  if (!results && error) {
    report(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  const auto count = static_cast<std::int64_t>(results ? results->size() : 0);
  const std::int64_t limit =
      APMRemoteConfig::current()->integerSetting(APMSetting::MaxFilterResultCount);
  if (count <= limit) return true;
  report(3, 6016,
         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
         "result count, max filter result count",
         {platform::Value(count), platform::Value(limit)});
  error.reset();
  const auto current = db->allAudienceIDs(&error);
  if (!current && error) {
    report(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  std::set<std::int32_t> stored;
  if (current) stored.insert(current->begin(), current->end());
  APMDatabase::FilterResults stale;
  for (const auto& [audienceID, result] : *results) {
    if (!stored.count(audienceID) && !audienceIDs.count(audienceID)) stale.push_back(result);
  }
  // Nothing stale, nothing to delete: the database refuses an empty list, and refusing here would
  // turn every later configuration away while the live audiences stay over the limit.
  if (stale.empty()) return true;
  error.reset();
  if (!db->deleteFilterResults(stale, &error) && error) {
    report(1, 6018,
           "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
           {errorValue(error)});
    return false;
  }
  return true;
}
