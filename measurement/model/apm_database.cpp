#include "measurement/model/apm_database.h"

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

// Whether a failed table ensure gives the file up. Tables that do not fit their column lists
// (codes 1 and 2) and a file SQLite calls damaged do; a SQLite call that failed for any other
// reason (busy, locked, an I/O error) does not: the data stay for the next start.
bool ensureFailureMeansDamage(const platform::ErrorPtr& error, const APMSqliteStore& store) {
  if (!error) return false;
  if (error->code != 3) return true;
  return APMSqliteStore::isDamageResultCode(store.lastFailureResultCode());
}

}  // namespace

const std::vector<APMTableSchema>& APMDatabaseSchema() {
  // Never destroyed: the worker queue may still be opening the database while the process
  // exits, after static destructors have begun.
  static const auto* const schema = new std::vector<APMTableSchema>{
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"last_delivery_index", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}},
       {}},
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {"queue",
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {APMPrimaryKeyTag, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {APMPrimaryKeyTag, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"conditional_properties",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
      {"odm_values",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "TEXT NOT NULL"}},
       {},
       {}},
  };
  return *schema;
}

APMDatabase::APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

bool APMDatabase::checkSequence() const {
  return sequence_.check(__FILE__, __LINE__, "APMDatabase");
}

std::shared_ptr<APMDatabase>
APMDatabase::initWithDatabaseName(const std::string& name,
                                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                                  platform::ErrorPtr* error) {
  if (!APMAssertNotZero(name.size(), error, 1, "Received empty database name in init")) {
    return nullptr;
  }
  auto database = std::make_shared<APMDatabase>(std::move(persistedConfig));
  if (!database->initializeDatabaseResourcesWithContext("Init", APMFilePathForDatabaseName(name),
                                                        error)) {
    return nullptr;
  }
  return database;
}

bool APMDatabase::reset(platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotNull(store_.get(), error, 2, "Failed to delete database data")) return false;
  const std::string path = store_->databasePath();
  if (!store_->closeAndDeleteDatabase()) {
    APMSetError(error, 2, "Failed to delete database data");
    return false;
  }
  return initializeDatabaseResourcesWithContext("Reset", path, error);
}

bool APMDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                         const std::string& databasePath,
                                                         platform::ErrorPtr* error) {
  checkSequence();
  store_ = APMSqliteStore::initWithDatabasePath(databasePath, error);
  if (!store_) return false;

  platform::ErrorPtr ensureError;
  if (!ensureAllTables(&ensureError)) {
    report(1, 12002, "Failed to create or validate required database tables (" + context + ")");
    const bool damaged = ensureFailureMeansDamage(ensureError, *store_);
    store_->closeDatabase();
    if (damaged) {
      platform::ErrorPtr deleteError;
      if (!APMDeleteFile(databasePath, &deleteError) && deleteError) {
        report(4, 12003,
               "Failed to delete old database file after failed validation. Error (" + context +
                   ")",
               {platform::Value(deleteError)});
      }
    }
    if (error) *error = ensureError;
    return false;
  }
  if (!initializeAppMetadata()) {
    report(1, 12004, "Failed to initialize App Metadata table (" + context + ")");
    APMSetError(error, 2, "Failed to initialize App Metadata table");
    return false;
  }
  return true;
}

bool APMDatabase::ensureAllTables(platform::ErrorPtr* error) {
  if (!APMAssertNotNull(store_.get(), error, 2, "Database not open")) return false;
  for (const auto& table : APMDatabaseSchema()) {
    platform::ErrorPtr tableError;
    if (!store_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify,
                                     &tableError)) {
      report(1, 12047, "Failed to ensure table. Table, error",
             {platform::Value(table.name),
              tableError ? platform::Value(tableError) : platform::Value()});
      if (error) *error = tableError;
      return false;
    }
  }
  return true;
}

bool APMDatabase::performTransaction(const std::function<bool()>& block) {
  checkSequence();
  platform::ErrorPtr error;
  if (!store_) {
    report(1, 12056, "Transaction failed. Database not open");
    return false;
  }
  if (store_->performTransactionWithError(&error, block)) return true;
  report(1, 12056,
         "Transaction failed. " + (error ? error->localizedDescription() : std::string()));
  return false;
}

bool APMDatabase::initializeAppMetadata() {
  return performTransaction([this] {
    platform::ErrorPtr error;
    const auto metadata = queryAppMetadata(&error);
    if (!metadata && error) {
      report(1, 12005, "Failed to query app metadata");
      return false;
    }
    if (metadata) return true;
    const auto fresh = APMAppMetadata::initWithLastBundleIndex(0, 0, 0.0, 0.0);
    if (!upsertDataType(APMDictionaryFromAppMetadata(fresh.get(), &error), APMAppMetadataTableName,
                        "rowid", platform::Value(std::int64_t{1}), 1, &error)) {
      report(1, 12006, "Unable to update the app metadata. Error",
             {error ? platform::Value(error) : platform::Value()});
      return false;
    }
    return true;
  });
}

std::optional<std::vector<APMSqliteRecord>>
APMDatabase::rowsFromQuery(const std::string& query, const platform::ValueList& parameters,
                           platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotNull(store_.get(), error, 2, "Database not open")) return std::nullopt;
  return store_->recordsForQuery(query, parameters, error);
}

bool APMDatabase::insertDataType(const std::optional<APMSqliteRecord>& record,
                                 const std::string& tableName, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for inserting") ||
      !APMAssertTrue(record.has_value(), error, 2, "Failed to insert empty record")) {
    return false;
  }
  return insertDataType(*record, tableName, error);
}

bool APMDatabase::insertDataType(const APMSqliteRecord& record, const std::string& tableName,
                                 platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for inserting") ||
      !APMAssertNotNull(store_.get(), error, 2, "Database not open")) {
    return false;
  }
  return store_->upsertRecord(record, tableName, error);
}

bool APMDatabase::upsertDataType(const std::optional<APMSqliteRecord>& record,
                                 const std::string& tableName, const std::string& columnName,
                                 const platform::Value& columnValue, std::int64_t tableLimit,
                                 platform::ErrorPtr* error) {
  if (!APMAssertTrue(record.has_value(), error, 1, "Received empty data type to upsert")) {
    return false;
  }
  return upsertDataType(*record, tableName, columnName, columnValue, tableLimit, error);
}

bool APMDatabase::upsertDataType(const APMSqliteRecord& record, const std::string& tableName,
                                 const std::string& columnName, const platform::Value& columnValue,
                                 std::int64_t tableLimit, platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for checking upsert") ||
      !APMAssertNotNull(store_.get(), error, 2, "Database not open")) {
    return false;
  }
  const auto existing = store_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!existing) return false;
  const auto all = store_->rowCountForTableWithName(tableName, error);
  if (!all) return false;
  if (*existing == 0 && *all >= tableLimit) {
    APMSetError(error, 2, "Failed to insert data type. Table is full");
    return false;
  }
  return store_->upsertRecord(record, tableName, error);
}

bool APMDatabase::updateDataType(const std::optional<APMSqliteRecord>& record,
                                 const std::string& tableName, const std::string& columnName,
                                 const platform::Value& columnValue, platform::ErrorPtr* error) {
  if (!APMAssertTrue(record.has_value(), error, 1, "Received empty data type to update")) {
    return false;
  }
  return updateDataType(*record, tableName, columnName, columnValue, error);
}

bool APMDatabase::updateDataType(const APMSqliteRecord& record, const std::string& tableName,
                                 const std::string& columnName, const platform::Value& columnValue,
                                 platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for updating") ||
      !APMAssertNotNull(store_.get(), error, 2, "Database not open")) {
    return false;
  }
  const auto existing = store_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!existing) return false;
  if (!APMAssertTrue(*existing > 0, error, 2, "Failed to update record. Item doesn't exist")) {
    return false;
  }
  return store_->updateRecord(record, tableName, columnName, columnValue, error);
}

APMSqliteStore* APMDatabase::openStore(platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotNull(store_.get(), error, 2, "Database not open")) return nullptr;
  return store_.get();
}

std::optional<platform::Value> APMDatabase::numberFromQuery(const std::string& query,
                                                            const platform::ValueList& parameters,
                                                            platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  return store->numberForQuery(query, parameters, error);
}

std::optional<bool> APMDatabase::boolFromQuery(const std::string& query,
                                               const platform::ValueList& parameters,
                                               platform::ErrorPtr* error) {
  platform::ErrorPtr queryError;
  const auto number = numberFromQuery(query, parameters, &queryError);
  if (!number) {
    if (error) *error = queryError;
    if (queryError) return std::nullopt;
    return false;
  }
  return number->isInt() ? number->asInt() != 0 : number->asDouble() != 0;
}

std::optional<std::int64_t> APMDatabase::countFromQuery(const std::string& query,
                                                        const platform::ValueList& parameters,
                                                        platform::ErrorPtr* error) {
  platform::ErrorPtr queryError;
  const auto number = numberFromQuery(query, parameters, &queryError);
  if (!number) {
    if (error) *error = queryError;
    if (queryError) return std::nullopt;
    return 0;
  }
  return number->isInt() ? number->asInt() : static_cast<std::int64_t>(number->asDouble());
}

std::optional<std::int64_t> APMDatabase::deleteRows(const std::string& table,
                                                    const std::string& condition,
                                                    const platform::ValueList& parameters,
                                                    platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  return store->deleteRecordsFromTableWithName(table, condition, parameters, error);
}
