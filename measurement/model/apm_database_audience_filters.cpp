// APMDatabase: the audience definitions' event and user-property filters (tables "event_filters"
// and "property_filters") and each audience's evaluation results ("audience_filter_values").
#include <set>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kEventFilters = "event_filters";
constexpr const char* kPropertyFilters = "property_filters";
constexpr const char* kFilterValues = "audience_filter_values";

struct FilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

// The flags as the stored message says; all false when it does not decode.
template <class Message>
FilterFlags flagsOf(const platform::Bytes* data, std::int32_t sessionScoped, std::int32_t dynamic,
                    std::int32_t sequence) {
  const auto message = data ? Message::initWithBuffer(*data) : nullptr;
  if (!message) return {};
  return {NANOGetBool(message.get(), sessionScoped), NANOGetBool(message.get(), dynamic),
          NANOGetBool(message.get(), sequence)};
}

std::string filterTerms(const std::vector<std::pair<std::int32_t, std::int32_t>>& keys) {
  std::string condition;
  for (const auto& [audience, filter] : keys) {
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(audience) +
                 " AND filter_id=" + std::to_string(filter) + ")";
  }
  return condition;
}

}  // namespace

std::shared_ptr<APMFilterResult> APMFilterResultFromDictionary(const APMSqliteRecord* row,
                                                               platform::ErrorPtr* error) {
  if (!APMAssertTrue(row && !row->empty(), error, 3,
                     "Received empty dictionary for getting filter result")) {
    return nullptr;
  }
  const auto audienceID = int32Column(*row, "audience_id");
  if (!APMAssertTrue(audienceID.has_value(), error, 3,
                     "Received filter result without a valid audience ID")) {
    return nullptr;
  }
  const platform::Bytes* current = bytesColumn(*row, "current_results");
  const platform::Bytes* previous = bytesColumn(*row, "previous_results");
  return APMFilterResult::initWithAudienceID(*audienceID, current ? *current : platform::Bytes{},
                                             previous ? *previous : platform::Bytes{});
}

bool APMDatabase::updateEventFilters(const EventFilters& filters, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(filters.size(), error, 1, "Received empty event filters to update")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  for (const auto& filter : filters) {
    if (!APMAssertNotNull(filter.get(), error, 3,
                          "Received empty event filter for getting dictionary representation") ||
        !APMAssertNotZero(filter->eventName().size(), error, 3,
                          "Received event filter with empty event name for getting dictionary "
                          "representation") ||
        !APMAssertNotZero(filter->data().size(), error, 3,
                          "Received event filter with empty data for getting dictionary "
                          "representation")) {
      return false;
    }
    const APMSqliteRecord row{
        {platform::Value("audience_id"), integer(filter->audienceID())},
        {platform::Value("filter_id"), integer(filter->filterID())},
        {platform::Value("event_name"), platform::Value(filter->eventName())},
        {platform::Value("data"), platform::Value(filter->data())},
        {platform::Value("session_scoped"), integer(filter->isSessionScoped() ? 1 : 0)},
    };
    if (!store->upsertRecord(row, kEventFilters, error)) return false;
  }
  return true;
}

bool APMDatabase::updatePropertyFilters(const PropertyFilters& filters, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(filters.size(), error, 1, "Received empty property filters to update")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  for (const auto& filter : filters) {
    if (!APMAssertNotNull(filter.get(), error, 3,
                          "Received empty property filter for getting dictionary representation") ||
        !APMAssertNotZero(filter->propertyName().size(), error, 3,
                          "Received property filter with empty property name for getting "
                          "dictionary representation") ||
        !APMAssertNotZero(filter->data().size(), error, 3,
                          "Received property filter with empty data for getting dictionary "
                          "representation")) {
      return false;
    }
    const APMSqliteRecord row{
        {platform::Value("audience_id"), integer(filter->audienceID())},
        {platform::Value("filter_id"), integer(filter->filterID())},
        {platform::Value("property_name"), platform::Value(filter->propertyName())},
        {platform::Value("data"), platform::Value(filter->data())},
        {platform::Value("session_scoped"), integer(filter->isSessionScoped() ? 1 : 0)},
    };
    if (!store->upsertRecord(row, kPropertyFilters, error)) return false;
  }
  return true;
}

std::optional<APMDatabase::EventFilters>
APMDatabase::eventFiltersForEventName(const std::string& eventName, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(eventName.size(), error, 1,
                        "Received empty event name for getting event filters")) {
    return std::nullopt;
  }
  using Result = std::shared_ptr<APMEventFilter>;
  platform::ErrorPtr rowError;
  auto filters = dataTypesFromTableWithName<Result>(
      kEventFilters, "event_name", platform::Value(eventName), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        if (!APMAssertNotZero(row.size(), &rowError, 3,
                              "Received empty dictionary for getting event filter")) {
          return std::nullopt;
        }
        const auto audienceID = int32Column(row, "audience_id");
        const auto filterID = int32Column(row, "filter_id");
        const std::string* name = stringColumn(row, "event_name");
        const platform::Bytes* data = bytesColumn(row, "data");
        if (!audienceID || !filterID || !name) {
          APMSetError(&rowError, 3, "Received event filter row without its keys");
          return std::nullopt;
        }
        namespace field = apmpb_field::EventFilter;
        const FilterFlags flags = flagsOf<APMPBEventFilter>(data, field::kSessionScoped,
                                                            field::kDynamic, field::kSequence);
        return APMEventFilter::initWithAudienceID(
            *audienceID, *filterID, *name, data ? *data : platform::Bytes{}, flags.sessionScoped,
            flags.dynamic, flags.sequence);
      });
  if (!filters && error && rowError) *error = rowError;
  return filters;
}

std::optional<APMDatabase::PropertyFilters>
APMDatabase::propertyFiltersForPropertyName(const std::string& propertyName,
                                            platform::ErrorPtr* error) {
  if (!APMAssertNotZero(propertyName.size(), error, 1,
                        "Received empty property name for getting property filters")) {
    return std::nullopt;
  }
  using Result = std::shared_ptr<APMPropertyFilter>;
  platform::ErrorPtr rowError;
  auto filters = dataTypesFromTableWithName<Result>(
      kPropertyFilters, "property_name", platform::Value(propertyName), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        if (!APMAssertNotZero(row.size(), &rowError, 3,
                              "Received empty dictionary for getting property filter")) {
          return std::nullopt;
        }
        const auto audienceID = int32Column(row, "audience_id");
        const auto filterID = int32Column(row, "filter_id");
        const std::string* name = stringColumn(row, "property_name");
        const platform::Bytes* data = bytesColumn(row, "data");
        if (!audienceID || !filterID || !name) {
          APMSetError(&rowError, 3, "Received property filter row without its keys");
          return std::nullopt;
        }
        namespace field = apmpb_field::PropertyFilter;
        const FilterFlags flags = flagsOf<APMPBPropertyFilter>(data, field::kSessionScoped,
                                                               field::kDynamic, field::kSequence);
        return APMPropertyFilter::initWithAudienceID(
            *audienceID, *filterID, *name, data ? *data : platform::Bytes{}, flags.sessionScoped,
            flags.dynamic, flags.sequence);
      });
  if (!filters && error && rowError) *error = rowError;
  return filters;
}

std::optional<std::vector<std::int32_t>> APMDatabase::allAudienceIDs(platform::ErrorPtr* error) {
  const auto rows = rowsFromQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!rows) return std::nullopt;
  std::vector<std::int32_t> ids;
  for (const auto& row : *rows) {
    const auto id = int32Column(row, "audience_id");
    if (!APMAssertTrue(id.has_value(), error, 1,
                       "Received nil audience ID for querying all audience IDs")) {
      return std::nullopt;
    }
    ids.push_back(*id);
  }
  return ids;
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
APMDatabase::allSessionScopedFilters(platform::ErrorPtr* error) {
  const auto rows = rowsFromQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, std::vector<std::int32_t>> filters;
  for (const auto& row : *rows) {
    const auto audienceID = int32Column(row, "audience_id");
    const auto filterID = int32Column(row, "filter_id");
    if (audienceID && filterID) filters[*audienceID].push_back(*filterID);
  }
  return filters;
}

bool APMDatabase::deleteEventFilters(const EventFilters& filters, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(filters.size(), error, 1, "Received empty event filters to delete")) {
    return false;
  }
  std::vector<std::pair<std::int32_t, std::int32_t>> keys;
  for (const auto& filter : filters) {
    if (!APMAssertNotNull(filter.get(), error, 1, "Received unknown type to delete event filter")) {
      return false;
    }
    keys.emplace_back(filter->audienceID(), filter->filterID());
  }
  return deleteRows(kEventFilters, filterTerms(keys), {}, error).has_value();
}

bool APMDatabase::deletePropertyFilters(const PropertyFilters& filters, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(filters.size(), error, 1, "Received empty property filters to delete")) {
    return false;
  }
  std::vector<std::pair<std::int32_t, std::int32_t>> keys;
  for (const auto& filter : filters) {
    if (!APMAssertNotNull(filter.get(), error, 1,
                          "Received unknown type to delete property filter")) {
      return false;
    }
    keys.emplace_back(filter->audienceID(), filter->filterID());
  }
  return deleteRows(kPropertyFilters, filterTerms(keys), {}, error).has_value();
}

bool APMDatabase::deleteAllEventFilters(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kEventFilters, error);
}

bool APMDatabase::deleteAllPropertyFilters(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kPropertyFilters, error);
}

bool APMDatabase::updateFilterResults(const FilterResults& results, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(results.size(), error, 1, "Received empty filter results to update")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  for (const auto& result : results) {
    if (!APMAssertNotNull(result.get(), error, 3,
                          "Received empty filter result for getting dictionary representation") ||
        !APMAssertNotZero(result->currentResults().size(), error, 3,
                          "Received filter result with empty data for getting dictionary "
                          "representation")) {
      return false;
    }
    const APMSqliteRecord row{
        {platform::Value("audience_id"), integer(result->audienceID())},
        {platform::Value("current_results"), platform::Value(result->currentResults())},
        {platform::Value("previous_results"), result->previousResults().empty()
                                                  ? platform::Value()
                                                  : platform::Value(result->previousResults())},
    };
    if (!store->upsertRecord(row, kFilterValues, error)) return false;
  }
  return true;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(std::int32_t audienceID,
                                                                        platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMFilterResult>;
  platform::ErrorPtr rowError;
  const auto rows = dataTypesFromTableWithName<Result>(
      kFilterValues, "audience_id", integer(audienceID), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMFilterResultFromDictionary(&row, &rowError);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
  if (!rows) {
    if (error && rowError) *error = rowError;
    return nullptr;
  }
  return rows->empty() ? nullptr : rows->front();
}

std::optional<std::map<std::int32_t, std::shared_ptr<APMFilterResult>>>
APMDatabase::allFilterResults(platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMFilterResult>;
  // A row that does not convert is left out; its error is reported with the answer.
  const auto results = allDataTypesFromTableWithName<Result>(
      kFilterValues, -1, error, [error](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMFilterResultFromDictionary(&row, error);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
  if (!results) return std::nullopt;
  std::map<std::int32_t, Result> byAudience;
  for (const auto& result : *results)
    byAudience[result->audienceID()] = result;
  return byAudience;
}

bool APMDatabase::deleteFilterResults(const FilterResults& results, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(results.size(), error, 1, "Received empty filter results to delete")) {
    return false;
  }
  std::set<std::int32_t> audiences;
  for (const auto& result : results) {
    if (!APMAssertNotNull(result.get(), error, 1,
                          "Received unknown type to delete filter result")) {
      return false;
    }
    audiences.insert(result->audienceID());
  }
  std::string list;
  for (const std::int32_t audience : audiences)
    list += (list.empty() ? "" : ", ") + std::to_string(audience);
  return deleteRows(kFilterValues, "audience_id IN (" + list + ")", {}, error).has_value();
}
