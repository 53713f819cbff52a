// APMDatabase: the measurement engine's one SQLite database, "ziriza-app-measurement.sql" in the
// measurement folder. It holds what the engine keeps between launches apart from the persisted
// settings: raw events and their bundle metadata, the upload queue, event aggregates, user
// attributes, conditional user properties, audience filters and results, purchase and
// subscription fingerprints, complex-event state, on-device-measurement values and the single
// app-metadata row. This class opens and resets the file, keeps its fourteen tables fitting
// their column lists, runs transactions and offers the generic row operations the table
// families build on; the app-metadata row's operations are in apm_database_app_metadata.cpp.
//
// Opening gives up the file only when it is damaged or its tables cannot be made to fit; a
// busy, locked or failing file fails the open and keeps its data for the next start.
//
// Owns its store (replaced on every (re)initialisation) and shares the persisted configuration
// (for the midnight offset of the daily counters). Every operation is synchronous and runs on
// the measurement worker queue; a sequence checker bound at the first use backs that up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_sqlite_store.h"
#include "platform/core/error.h"
#include "platform/dispatch/sequence_checker.h"

class APMPersistedConfig;

inline constexpr const char* APMDatabaseFileName = "ziriza-app-measurement.sql";
inline constexpr std::int64_t APMDatabaseAllEventMaxCount = 2000;
inline constexpr std::int64_t APMDatabaseAllUserAttributeMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseUserAttributePerOriginMaxCount = 25;
inline constexpr std::int64_t APMDatabaseRawEventsMetadataMaxCount = 100000;
inline constexpr std::int64_t APMDatabaseRawEventsSelectLimit = 1000;
inline constexpr std::int64_t APMDatabasePurchaseTransactionsMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseConditionalUserPropertyMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseODMValuesMaxCount = 10;
inline constexpr const char* APMDatabaseODM1Value = "odm1_value";
inline constexpr const char* APMDatabaseODM1SessionValue = "odm1_session_value";
inline constexpr const char* APMDatabaseODM2Value = "odm2_value";

inline constexpr const char* APMAppMetadataTableName = "app_metadata";

// One table of the schema: its elementary columns (used when it is created), its add-on columns
// (added when missing, in this order) and its changed declared types.
struct APMTableSchema {
  std::string name;
  APMColumnList elementary;
  APMColumnList addOn;
  APMModifyColumnMap modify;
};
// The fourteen tables, in creation order.
const std::vector<APMTableSchema>& APMDatabaseSchema();

// The row of an app-metadata record: "rowid" 1 and the record's four columns.
std::optional<APMSqliteRecord> APMDictionaryFromAppMetadata(const APMAppMetadata* metadata,
                                                            platform::ErrorPtr* error);

class APMDatabase {
 public:
  template <class T>
  using CreateDataTypeBlock = std::function<std::optional<T>(const APMSqliteRecord& row)>;

  // Opens (creating it when missing) the database `name` in the measurement folder. None, with
  // the store's or this class's error, when it cannot be opened.
  static std::shared_ptr<APMDatabase>
  initWithDatabaseName(const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig,
                       platform::ErrorPtr* error);
  // Deletes the file and opens it anew: every table empty, a new app-metadata row.
  bool reset(platform::ErrorPtr* error);
  // Runs `block` in one exclusive transaction; false (12056) when it fails or answers false.
  bool performTransaction(const std::function<bool()>& block);

  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath,
                                              platform::ErrorPtr* error);
  bool ensureAllTables(platform::ErrorPtr* error = nullptr);
  bool initializeAppMetadata();

  // --- Generic row operations ---
  // "SELECT rowid, * FROM table ORDER BY rowid LIMIT tableLimit"; rows the block makes nothing
  // of are skipped.
  template <class T>
  std::optional<std::vector<T>>
  allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                platform::ErrorPtr* error,
                                const CreateDataTypeBlock<T>& createDataTypeBlock);
  // The rows whose column equals the value; an error when rows came but none made an object.
  template <class T>
  std::optional<std::vector<T>>
  dataTypesFromTableWithName(const std::string& tableName, const std::string& columnName,
                             const platform::Value& columnValue, platform::ErrorPtr* error,
                             const CreateDataTypeBlock<T>& createDataTypeBlock);
  bool insertDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      platform::ErrorPtr* error);
  // Insert-or-replace, allowed when the key exists already or the table holds fewer than
  // `tableLimit` rows.
  bool upsertDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      std::int64_t tableLimit, platform::ErrorPtr* error);
  // Updates the row whose column equals the value; it must exist.
  bool updateDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      platform::ErrorPtr* error);

  // --- App-metadata row, daily counters, stored configuration (apm_database_app_metadata.cpp)
  // None without an error when the row is missing.
  std::shared_ptr<APMAppMetadata> queryAppMetadata(platform::ErrorPtr* error);
  bool updateAppMetadata(const APMAppMetadata* metadata, platform::ErrorPtr* error);
  std::shared_ptr<APMDailyCounts> dailyCounts(platform::ErrorPtr* error);
  bool updateDailyCounts(const APMDailyCounts* counts, platform::ErrorPtr* error);
  bool updateRemoteConfig(const APMPBMeasurementConfig* config, platform::ErrorPtr* error);
  bool updateRemoteConfigSuccessfulTimestamp(double seconds, platform::ErrorPtr* error);
  // None without an error when no configuration is stored.
  std::shared_ptr<APMPBMeasurementConfig>
  queryMeasurementConfigWithError(platform::ErrorPtr* error);
  // None before the first configuration.
  std::optional<double> lastRemoteConfigUpdateTimestamp(platform::ErrorPtr* error);
  // Today's day number: platform::Clock's time and the persisted midnight offset.
  std::int32_t currentDayNumber() const;

  const std::shared_ptr<APMSqliteStore>& store() const { return store_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  explicit APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig);

 private:
  std::optional<std::vector<APMSqliteRecord>> rowsFromQuery(const std::string& query,
                                                            const platform::ValueList& parameters,
                                                            platform::ErrorPtr* error);
  std::optional<APMSqliteRecord> appMetadataRow(platform::ErrorPtr* error);
  bool checkSequence() const;

  std::shared_ptr<APMSqliteStore> store_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  platform::SequenceChecker sequence_;
};

template <class T>
std::optional<std::vector<T>>
APMDatabase::allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                           platform::ErrorPtr* error,
                                           const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!APMAssertTrue(static_cast<bool>(createDataTypeBlock), error, 1,
                     "Received nil block to get all data types")) {
    return std::nullopt;
  }
  const auto rows = rowsFromQuery("SELECT rowid, * FROM " + tableName + " ORDER BY rowid LIMIT " +
                                      std::to_string(tableLimit),
                                  {}, error);
  if (!rows) return std::nullopt;
  std::vector<T> made;
  for (const auto& row : *rows) {
    if (auto object = createDataTypeBlock(row)) made.push_back(std::move(*object));
  }
  return made;
}

template <class T>
std::optional<std::vector<T>> APMDatabase::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName, const platform::Value& columnValue,
    platform::ErrorPtr* error, const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name to create data type from table") ||
      !APMAssertNotZero(columnName.size(), error, 1,
                        "Received empty column name to create data type from table") ||
      !APMAssertNotNil(columnValue, error, 1,
                       "Received nil column value to create data type from table") ||
      !APMAssertTrue(static_cast<bool>(createDataTypeBlock), error, 2,
                     "Received nil block to create data type from table")) {
    return std::nullopt;
  }
  const auto rows = rowsFromQuery(
      "SELECT rowid, * FROM " + tableName + " WHERE " + columnName + " = ?", {columnValue}, error);
  if (!rows) return std::nullopt;
  std::vector<T> made;
  for (const auto& row : *rows) {
    if (auto object = createDataTypeBlock(row)) made.push_back(std::move(*object));
  }
  if (!rows->empty() && made.empty()) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return made;
}
