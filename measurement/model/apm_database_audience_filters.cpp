// APMDatabase: the audience definitions' event and user-property filters (tables "event_filters"
// and "property_filters") and each audience's evaluation results ("audience_filter_values").
#include <sqlite3.h>

#include <set>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/storage/apm_monitor.h"

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
FilterFlags flagsOf(const platform::Bytes& data, std::int32_t sessionScoped, std::int32_t dynamic,
                    std::int32_t sequence) {
  const auto message = data.empty() ? nullptr : Message::initWithBuffer(data);
  if (!message) return {};
  return {NANOGetBool(message.get(), sessionScoped), NANOGetBool(message.get(), dynamic),
          NANOGetBool(message.get(), sequence)};
}

// The audience rows are read and written on every bundled event and user property, so they go
// through statements of their own, kept in the store's statement cache, with their columns read
// in place rather than through row dictionaries. What they answer, report and fail with is what
// the generic row operations would.
constexpr const char* kSelectEventFilters =
    "SELECT audience_id, filter_id, data FROM event_filters WHERE event_name = ?";
constexpr const char* kSelectPropertyFilters =
    "SELECT audience_id, filter_id, data FROM property_filters WHERE property_name = ?";
constexpr const char* kSelectFilterResult =
    "SELECT current_results, previous_results FROM audience_filter_values WHERE audience_id = ?";
// The text the store's insert-or-replace builds for these three columns, so both share one
// cached statement.
constexpr const char* kUpsertFilterResult =
    "INSERT OR REPLACE INTO audience_filter_values (audience_id, current_results, "
    "previous_results) VALUES (?, ?, ?);";

// A cached statement of the store with its first parameter bound; reset and cleared when the
// scope ends.
class CachedStatement {
 public:
  CachedStatement(APMSqliteStore& store, const char* sql, platform::Value first,
                  platform::ErrorPtr* error)
      : store_(store), sql_(sql),
        statement_(store.statementForQuery(sql_, platform::ValueList{std::move(first)}, error)) {}
  ~CachedStatement() {
    if (statement_) store_.cleanUpStatement(statement_, sql_);
  }
  CachedStatement(const CachedStatement&) = delete;
  CachedStatement& operator=(const CachedStatement&) = delete;
  sqlite3_stmt* get() const { return statement_; }

 private:
  APMSqliteStore& store_;
  std::string sql_;
  sqlite3_stmt* statement_;
};

// An identifier column as the row layer converts it: a whole number in the int32 range.
std::optional<std::int32_t> int32At(APMSqliteStore& store, sqlite3_stmt* statement, int column) {
  const auto value = store.valueAtColumn(column, statement);
  return value ? APMInt32FromValue(*value) : std::nullopt;
}

// A blob column's bytes; empty for NULL, text or a number. A zero-length blob has no value for
// the row layer either, and is reported as it reports it.
std::span<const std::uint8_t> blobAt(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) != SQLITE_BLOB) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
  if (!bytes) {
    const char* name = sqlite3_column_name(statement, column);
    APMProcessMonitor()->logWithLevel(4, 34004, "Value is nil for column",
                                      {name ? platform::Value(name) : platform::Value()});
    return {};
  }
  return {bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
}

// The filter rows of one name: the keys of each row checked, the records made by `make`. A row
// without its keys is left out; when every row is, the answer is none with that row's error.
template <class Record, class Maker>
std::optional<std::vector<std::shared_ptr<Record>>>
filterRows(APMSqliteStore& store, const char* sql, const std::string& name, const Maker& make,
           const char* keysMissing, platform::ErrorPtr* error) {
  CachedStatement statement(store, sql, platform::Value(name), error);
  if (!statement.get()) return std::nullopt;
  std::vector<std::shared_ptr<Record>> made;
  platform::ErrorPtr rowError;
  bool anyRow = false;
  int code = sqlite3_step(statement.get());
  while (code == SQLITE_ROW) {
    anyRow = true;
    const auto audienceID = int32At(store, statement.get(), 0);
    const auto filterID = int32At(store, statement.get(), 1);
    const auto data = blobAt(statement.get(), 2);
    if (!audienceID || !filterID) {
      APMSetError(&rowError, 3, keysMissing);
    } else if (auto record = make(*audienceID, *filterID, name, data)) {
      made.push_back(std::move(record));
    }
    code = sqlite3_step(statement.get());
  }
  // A step that fails part-way would hand back a shortened list as if it were whole.
  if (code != SQLITE_DONE) {
    store.setDatabaseError(error, "query records", code);
    return std::nullopt;
  }
  if (anyRow && made.empty()) {
    if (rowError) {
      if (error) *error = rowError;
    } else {
      APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    }
    return std::nullopt;
  }
  return made;
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
  return eventFiltersForEventName(
      eventName,
      [](std::int32_t audienceID, std::int32_t filterID, const std::string& name,
         std::span<const std::uint8_t> bytes) {
        platform::Bytes data(bytes.begin(), bytes.end());
        namespace field = apmpb_field::EventFilter;
        const FilterFlags flags = flagsOf<APMPBEventFilter>(data, field::kSessionScoped,
                                                            field::kDynamic, field::kSequence);
        return APMEventFilter::initWithAudienceID(audienceID, filterID, name, std::move(data),
                                                  flags.sessionScoped, flags.dynamic,
                                                  flags.sequence);
      },
      error);
}

std::optional<APMDatabase::EventFilters>
APMDatabase::eventFiltersForEventName(const std::string& eventName, const EventFilterMaker& make,
                                      platform::ErrorPtr* error) {
  if (!APMAssertNotZero(eventName.size(), error, 1,
                        "Received empty event name for getting event filters")) {
    return std::nullopt;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  if (stillKnown(eventNamesWithoutFilters_, kEventFilters, eventName)) return EventFilters{};
  auto filters = filterRows<APMEventFilter>(*store, kSelectEventFilters, eventName, make,
                                            "Received event filter row without its keys", error);
  // An empty list means no row at all: a row that makes no record fails the read instead.
  if (filters && filters->empty()) {
    rememberKnown(eventNamesWithoutFilters_, kEventFilters, eventName);
  }
  return filters;
}

std::optional<APMDatabase::PropertyFilters>
APMDatabase::propertyFiltersForPropertyName(const std::string& propertyName,
                                            platform::ErrorPtr* error) {
  return propertyFiltersForPropertyName(
      propertyName,
      [](std::int32_t audienceID, std::int32_t filterID, const std::string& name,
         std::span<const std::uint8_t> bytes) {
        platform::Bytes data(bytes.begin(), bytes.end());
        namespace field = apmpb_field::PropertyFilter;
        const FilterFlags flags = flagsOf<APMPBPropertyFilter>(data, field::kSessionScoped,
                                                               field::kDynamic, field::kSequence);
        return APMPropertyFilter::initWithAudienceID(audienceID, filterID, name, std::move(data),
                                                     flags.sessionScoped, flags.dynamic,
                                                     flags.sequence);
      },
      error);
}

std::optional<APMDatabase::PropertyFilters> APMDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, const PropertyFilterMaker& make, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(propertyName.size(), error, 1,
                        "Received empty property name for getting property filters")) {
    return std::nullopt;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  return filterRows<APMPropertyFilter>(*store, kSelectPropertyFilters, propertyName, make,
                                       "Received property filter row without its keys", error);
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
    CachedStatement statement(*store, kUpsertFilterResult, integer(result->audienceID()), error);
    if (!statement.get()) return false;
    // The result outlives the statement's use (the scope resets it), so nothing is copied.
    const platform::Bytes& current = result->currentResults();
    const platform::Bytes& previous = result->previousResults();
    int code = sqlite3_bind_blob(statement.get(), 2, current.data(),
                                 static_cast<int>(current.size()), SQLITE_STATIC);
    if (code == SQLITE_OK) {
      code = previous.empty() ? sqlite3_bind_null(statement.get(), 3)
                              : sqlite3_bind_blob(statement.get(), 3, previous.data(),
                                                  static_cast<int>(previous.size()), SQLITE_STATIC);
    }
    if (code != SQLITE_OK) {
      store->setDatabaseError(error, "bind values", code);
      return false;
    }
    code = sqlite3_step(statement.get());
    if (code != SQLITE_DONE) {
      store->setDatabaseError(error, "execute statement", code);
      return false;
    }
  }
  return true;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(std::int32_t audienceID,
                                                                        platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return nullptr;
  CachedStatement statement(*store, kSelectFilterResult, integer(audienceID), error);
  if (!statement.get()) return nullptr;
  std::shared_ptr<APMFilterResult> first;
  int code = sqlite3_step(statement.get());
  while (code == SQLITE_ROW) {
    const auto current = blobAt(statement.get(), 0);
    const auto previous = blobAt(statement.get(), 1);
    if (!first) {
      first = APMFilterResult::initWithAudienceID(
          audienceID, platform::Bytes(current.begin(), current.end()),
          platform::Bytes(previous.begin(), previous.end()));
    }
    code = sqlite3_step(statement.get());
  }
  if (code != SQLITE_DONE) {
    store->setDatabaseError(error, "query records", code);
    return nullptr;
  }
  return first;
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
