// APMDatabase: the aggregates kept per event name (table "events") and the copy of them saved
// while analytics storage is denied (table "events_snapshot", made on demand).
#include <sqlite3.h>

#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/storage/apm_monitor.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kEvents = "events";
constexpr const char* kEventsSnapshot = "events_snapshot";
constexpr const char* kFirstOpen = "_f";

}  // namespace

std::shared_ptr<APMEventAggregates> APMEventAggregatesFromDictionary(const APMSqliteRecord& row) {
  const std::string* name = stringColumn(row, "name");
  const auto lifetime = int32Column(row, "lifetime_count");
  const auto bundle = int32Column(row, "current_bundle_count");
  const auto lastFire = doubleColumn(row, "last_fire_timestamp");
  // Added by later versions: NULL reads as the record's start value.
  const platform::Value* session = presentColumn(row, "current_session_count");
  const auto sessionCount = session ? APMInt32FromValue(*session) : std::optional<std::int32_t>(0);
  if (!name || !lifetime || !bundle || !lastFire || !sessionCount) return nullptr;
  auto aggregates =
      APMEventAggregates::initWithName(*name, *lifetime, *bundle, *sessionCount, *lastFire);
  if (!aggregates) return nullptr;
  aggregates->setLastBundledTimestamp(doubleColumn(row, "last_bundled_timestamp").value_or(0));
  aggregates->setLastSamplingRate(int32Column(row, "last_sampling_rate").value_or(1));
  aggregates->setLastExemptFromSampling(int64Column(row, "last_exempt_from_sampling").value_or(0) !=
                                        0);
  aggregates->setLastBundledDay(int32Column(row, "last_bundled_day").value_or(0));
  aggregates->setLastSampledComplexEventID(int64Column(row, "last_sampled_complex_event_id"));
  return aggregates;
}

namespace {

// The row of `aggregates`, or none (with the error) for a missing object or an empty name.
std::optional<APMSqliteRecord> eventAggregatesRow(const APMEventAggregates* aggregates,
                                                  platform::ErrorPtr* error) {
  if (!APMAssertNotNull(aggregates, error, 3,
                        "Received empty event aggregates object for getting dictionary "
                        "representation") ||
      !APMAssertNotZero(aggregates->name().size(), error, 1,
                        "Received event aggregates object with empty name for getting "
                        "dictionary representation")) {
    return std::nullopt;
  }
  // Entries in ascending key order, which the record takes as they are.
  APMSqliteRecord::container_type entries;
  entries.reserve(10);
  entries.emplace_back(platform::Value("current_bundle_count"),
                       integer(aggregates->currentBundleCount()));
  entries.emplace_back(platform::Value("current_session_count"),
                       integer(aggregates->currentSessionCount()));
  entries.emplace_back(platform::Value("last_bundled_day"), integer(aggregates->lastBundledDay()));
  entries.emplace_back(platform::Value("last_bundled_timestamp"),
                       platform::Value(aggregates->lastBundledTimestamp()));
  entries.emplace_back(platform::Value("last_exempt_from_sampling"),
                       integer(aggregates->lastExemptFromSampling() ? 1 : 0));
  entries.emplace_back(platform::Value("last_fire_timestamp"),
                       platform::Value(aggregates->lastFireTimestamp()));
  if (const auto id = aggregates->lastSampledComplexEventID()) {
    entries.emplace_back(platform::Value("last_sampled_complex_event_id"), integer(*id));
  }
  entries.emplace_back(platform::Value("last_sampling_rate"),
                       integer(aggregates->lastSamplingRate()));
  entries.emplace_back(platform::Value("lifetime_count"), integer(aggregates->lifetimeCount()));
  entries.emplace_back(platform::Value("name"), platform::Value(aggregates->name()));
  auto row = APMSqliteRecord::fromEntries(std::move(entries));
  return row;
}

}  // namespace

bool APMDatabase::updateEventAggregates(const APMEventAggregates* aggregates,
                                        platform::ErrorPtr* error) {
  const auto row = eventAggregatesRow(aggregates, error);
  if (!row) return false;
  return upsertDataType(*row, kEvents, "name", platform::Value(aggregates->name()),
                        APMDatabaseAllEventMaxCount, error);
}

bool APMDatabase::replaceStoredEventAggregates(const APMEventAggregates* aggregates,
                                               platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotNull(aggregates, error, 3,
                        "Received empty event aggregates object for getting dictionary "
                        "representation") ||
      !APMAssertNotZero(aggregates->name().size(), error, 1,
                        "Received event aggregates object with empty name for getting "
                        "dictionary representation") ||
      !APMAssertNotNull(store_.get(), error, 2, "Database not open")) {
    return false;
  }
  // The row eventAggregatesRow makes, through one statement: a write per bundled event keeps no
  // SQL text or record of its own. A missing complex event ID is NULL, as in the record, where
  // the column is left out.
  static const std::string kReplace =
      "INSERT OR REPLACE INTO events (current_bundle_count, current_session_count, "
      "last_bundled_day, last_bundled_timestamp, last_exempt_from_sampling, last_fire_timestamp, "
      "last_sampled_complex_event_id, last_sampling_rate, lifetime_count, name) VALUES (?, ?, ?, "
      "?, ?, ?, ?, ?, ?, ?)";
  const auto id = aggregates->lastSampledComplexEventID();
  const std::string& name = aggregates->name();
  return store_->executeSQLBinding(
      kReplace,
      [&](sqlite3_stmt* statement) {
        int code = SQLITE_OK;
        const auto keep = [&code](int result) {
          if (code == SQLITE_OK) code = result;
        };
        keep(sqlite3_bind_int64(statement, 1, aggregates->currentBundleCount()));
        keep(sqlite3_bind_int64(statement, 2, aggregates->currentSessionCount()));
        keep(sqlite3_bind_int64(statement, 3, aggregates->lastBundledDay()));
        keep(sqlite3_bind_double(statement, 4, aggregates->lastBundledTimestamp()));
        keep(sqlite3_bind_int64(statement, 5, aggregates->lastExemptFromSampling() ? 1 : 0));
        keep(sqlite3_bind_double(statement, 6, aggregates->lastFireTimestamp()));
        keep(id ? sqlite3_bind_int64(statement, 7, *id) : sqlite3_bind_null(statement, 7));
        keep(sqlite3_bind_int64(statement, 8, aggregates->lastSamplingRate()));
        keep(sqlite3_bind_int64(statement, 9, aggregates->lifetimeCount()));
        keep(sqlite3_bind_text(statement, 10, name.data(), static_cast<int>(name.size()),
                               SQLITE_STATIC));
        return code;
      },
      error);
}

std::shared_ptr<APMEventAggregates>
APMDatabase::eventAggregatesWithName(const std::string& name, platform::ErrorPtr* error) {
  return eventAggregatesWithName(name, kEvents, error);
}

bool APMDatabase::containsEventAggregatesWithName(const std::string& name,
                                                  platform::ErrorPtr* error) {
  if (stillKnown(knownEventAggregates_, kEvents, name)) return true;
  platform::ErrorPtr readError;
  const auto aggregates = eventAggregatesWithName(name, &readError);
  if (readError) {
    if (error) *error = readError;
    return false;
  }
  if (aggregates) rememberKnown(knownEventAggregates_, kEvents, name);
  return aggregates != nullptr;
}

std::shared_ptr<APMEventAggregates>
APMDatabase::eventAggregatesSnapshotWithName(const std::string& name, platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return nullptr;
  const auto exists = store->tableExists(kEventsSnapshot, error);
  if (!exists || !*exists) return nullptr;
  return eventAggregatesWithName(name, kEventsSnapshot, error);
}

std::shared_ptr<APMEventAggregates>
APMDatabase::eventAggregatesWithName(const std::string& name, const std::string& inTable,
                                     platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMEventAggregates>;
  const auto rows = dataTypesFromTableWithName<Result>(
      inTable, "name", platform::Value(name), error,
      [](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMEventAggregatesFromDictionary(row);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>>
APMDatabase::allEventAggregates(platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMEventAggregates>;
  return allDataTypesFromTableWithName<Result>(
      kEvents, APMDatabaseAllEventMaxCount, error,
      [](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMEventAggregatesFromDictionary(row);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
}

std::optional<std::int64_t> APMDatabase::publicEventCount(platform::ErrorPtr* error) {
  return countFromQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {},
                        error);
}

bool APMDatabase::clearCurrentSessionCounts(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->updateAllRecordsInTableWithName(kEvents, "current_session_count",
                                                         integer(0), error);
}

bool APMDatabase::deleteAllEventAggregates(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kEvents, error);
}

bool APMDatabase::deleteAllEventAggregatesInSnapshot(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kEventsSnapshot, error);
}

bool APMDatabase::createEventsSnapshotTable(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  // A snapshot left from before is replaced; failures here show in the creation below.
  if (store->tableExists(kEventsSnapshot, nullptr).value_or(false)) {
    store->dropTableWithName(kEventsSnapshot, nullptr);
  }
  if (!store->createEmptyTable(kEventsSnapshot, kEvents, error)) {
    APMProcessMonitor()->logWithLevel(4, 12058, "Failed to ensure event snapshot table");
    return false;
  }
  return store->copyContentsFromTable(kEvents, kEventsSnapshot, error);
}

bool APMDatabase::restoreFromEventsSnapshotTable(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  const auto exists = store->tableExists(kEventsSnapshot, error);
  if (!exists) return false;
  if (!*exists) return true;
  const auto saved = store->rowCountForTableWithName(kEventsSnapshot, error);
  if (!saved) return false;
  if (*saved == 0) return true;

  const auto currentFirstOpen = eventAggregatesWithName(kFirstOpen, nullptr);
  // The current rows are deleted before the saved ones are copied back: a savepoint (which also
  // nests inside a caller's transaction) puts them back if any step fails, so a failed restore
  // loses neither the aggregates nor the snapshot.
  if (!store->executeSQL("SAVEPOINT events_restore", error)) return false;
  const bool restored = [&] {
    if (!deleteAllEventAggregates(error) ||
        !store->copyContentsFromTable(kEventsSnapshot, kEvents, error)) {
      return false;
    }
    // A first open counted while storage was denied survives a snapshot that has none.
    const auto savedFirstOpen = eventAggregatesWithName(kFirstOpen, kEventsSnapshot, nullptr);
    if ((!savedFirstOpen || savedFirstOpen->lifetimeCount() == 0) && currentFirstOpen) {
      updateEventAggregates(currentFirstOpen.get(), nullptr);
    }
    return deleteAllEventAggregatesInSnapshot(error);
  }();
  if (!restored) store->executeSQL("ROLLBACK TO events_restore", nullptr);
  const bool released = store->executeSQL("RELEASE events_restore", restored ? error : nullptr);
  return restored && released;
}
