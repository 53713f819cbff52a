#include "measurement/experiments/apme_database.h"

#include <exception>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return error ? platform::Value(error) : platform::Value();
}

// Whether a failed table ensure gives the file up: tables that do not fit their columns (codes 1
// and 2) and a file SQLite calls damaged do; a call that failed for any other reason (busy,
// locked, an I/O error) does not, and the rows stay for the next start.
bool ensureFailureMeansDamage(const platform::ErrorPtr& error, const APMSqliteStore& store) {
  if (!error) return false;
  if (error->code != 3) return true;
  return APMSqliteStore::isDamageResultCode(store.lastFailureResultCode());
}

bool storeIsOpen(const std::shared_ptr<APMSqliteStore>& store, platform::ErrorPtr* error) {
  return APMAssertNotNull(store.get(), error, 2, "Database not open");
}

// The snapshot of one stored row, or none when its bytes, its name or its time are unusable.
std::shared_ptr<APMESnapshot> snapshotFromRecord(const APMSqliteRecord& row) {
  const auto find = [&row](const char* column) -> const platform::Value* {
    const auto it = row.find(platform::Value(column));
    return it == row.end() ? nullptr : &it->second;
  };
  const platform::Value* bytes = find(kSnapshotColumn);
  const platform::Value* time = find(kTimestampColumn);
  double timestamp = 0;
  // A time that is no number would leave the snapshot with an invented one (and an activated
  // row that never grows stale).
  if (!bytes || !bytes->isBytes() || !time || !time->isNumber() || !time->toDouble(&timestamp)) {
    return nullptr;
  }
  const auto message = APMPBSnapshot::initWithBuffer(bytes->asBytes());
  if (!message) return nullptr;
  auto snapshot = APMESnapshot::initWithProtobuf(message.get());
  if (!snapshot) return nullptr;
  snapshot->setTimestamp(timestamp);
  if (const platform::Value* mark = find(kManuallyActivatedColumn); mark && mark->isNumber()) {
    double value = 0;
    mark->toDouble(&value);
    snapshot->setManuallyActivated(value != 0);
  }
  return snapshot;
}

void reportUnreadableRow(const APMSqliteRecord& row, const std::string& tableName) {
  const auto name = row.find(platform::Value(kSDKNameColumn));
  report(2, 810008, "Cannot read a stored snapshot. Table, SDK name",
         {platform::Value(tableName), name == row.end() ? platform::Value() : name->second});
}

}  // namespace

const APMColumnList& APMESnapshotTableColumns() {
  static const APMColumnList columns = {
      {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
      {kSnapshotColumn, "BLOB NOT NULL"},
      {kTimestampColumn, "REAL NOT NULL"},
      {kManuallyActivatedColumn, "INTEGER"},
  };
  return columns;
}

std::optional<std::vector<std::shared_ptr<APMESnapshot>>>
APMESnapshotsFromRecords(const std::optional<std::vector<APMSqliteRecord>>& records,
                         const std::string& tableName) {
  if (!records) return std::nullopt;
  std::vector<std::shared_ptr<APMESnapshot>> snapshots;
  snapshots.reserve(records->size());
  for (const auto& row : *records) {
    // One unreadable row must not hide every other SDK's snapshot.
    if (auto snapshot = snapshotFromRecord(row)) {
      snapshots.push_back(std::move(snapshot));
    } else {
      reportUnreadableRow(row, tableName);
    }
  }
  return snapshots;
}

std::shared_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::string& path) {
  if (path.empty()) {
    report(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  auto database = std::make_shared<APMEDatabase>();
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                          const std::string& databasePath) {
  platform::ErrorPtr openError;
  sqliteStore_ = APMSqliteStore::initWithDatabasePath(databasePath, &openError);
  if (!sqliteStore_) {
    report(1, 810001, "Failed to open database (" + context + ")", {errorContext(openError)});
    return false;
  }
  if (ensureAllTables()) return true;

  report(1, 810002, "Failed to create or validate required database tables (" + context + ")");
  // ensureAllTables() reported the table and its error; the store remembers the SQLite code.
  const bool damaged = ensureFailureMeansDamage(lastEnsureError_, *sqliteStore_);
  sqliteStore_->closeDatabase();
  sqliteStore_.reset();
  if (damaged) {
    platform::ErrorPtr deleteError;
    if (!APMDeleteFile(databasePath, &deleteError) && deleteError) {
      report(4, 810003,
             "Failed to delete old database file after failed validation. Error (" + context + ")",
             {platform::Value(deleteError)});
    }
  }
  return false;
}

bool APMEDatabase::ensureAllTables() {
  lastEnsureError_.reset();
  if (!storeIsOpen(sqliteStore_, &lastEnsureError_)) return false;
  for (const char* table : {APMEPendingSnapshotTableName, APMEActivatedSnapshotTableName,
                            APMELaunchedSnapshotTableName}) {
    platform::ErrorPtr error;
    if (!sqliteStore_->ensureTableWithName(table, APMESnapshotTableColumns(), {}, &error)) {
      report(1, 810004, "Failed to ensure table. Table, error",
             {platform::Value(table), errorContext(error)});
      lastEnsureError_ = error;
      return false;
    }
  }
  return true;
}

void APMEDatabase::closeAndDelete() {
  if (!sqliteStore_ || !sqliteStore_->closeAndDeleteDatabase()) {
    report(4, 810005, "Failed to delete database data");
  }
  sqliteStore_.reset();
}

void APMEDatabase::reset() {
  const std::string path = sqliteStore_ ? sqliteStore_->databasePath() : std::string();
  closeAndDelete();
  if (path.empty() || !initializeDatabaseResourcesWithContext("Reset", path)) {
    report(1, 810006, "Cannot re-initialize the database");
  }
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  platform::ErrorPtr error;
  if (!storeIsOpen(sqliteStore_, &error)) {
    report(1, 810007, "Transaction failed. " + error->localizedDescription());
    return false;
  }
  try {
    if (sqliteStore_->performTransactionWithError(&error, block)) return true;
  } catch (const std::exception& exception) {
    // The store has rolled back; the caller's work is lost, not the process.
    report(1, 810007, std::string("Transaction failed. ") + exception.what());
    return false;
  } catch (...) {
    report(1, 810007, "Transaction failed. Unknown exception");
    return false;
  }
  report(1, 810007, "Transaction failed. " + (error ? error->localizedDescription() : ""));
  return false;
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllSnapshots(const std::string& tableName,
                                                                       platform::ErrorPtr* error) {
  return APMESnapshotsFromRecords(
      allDataTypesFromTableWithName(tableName, APMEDatabaseTableLimit, error), tableName);
}

std::optional<APMEDatabase::Snapshots>
APMEDatabase::fetchAllActivatedSnapshots(platform::ErrorPtr* error) {
  return fetchAllSnapshots(APMEActivatedSnapshotTableName, error);
}

std::optional<APMEDatabase::Snapshots>
APMEDatabase::fetchAllPendingSnapshots(platform::ErrorPtr* error) {
  return fetchAllSnapshots(APMEPendingSnapshotTableName, error);
}

std::optional<APMEDatabase::Snapshots>
APMEDatabase::fetchAllLaunchedSnapshots(platform::ErrorPtr* error) {
  return fetchAllSnapshots(APMELaunchedSnapshotTableName, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const Snapshots& snapshots,
                                                    platform::ErrorPtr* error) {
  for (const auto& snapshot : snapshots) {
    if (!APMAssertNotNull(snapshot.get(), error, 1, "Received nil pending snapshot")) return false;
    const auto message = snapshot->proto();
    if (!upsertSnapshot(message.get(), APMEPendingSnapshotTableName, snapshot->timestamp(),
                        snapshot->manuallyActivated(), error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                                    platform::ErrorPtr* error) {
  if (!APMAssertNotNull(snapshot.get(), error, 1, "Received nil pending snapshot")) return false;
  std::shared_ptr<APMEExperiment> launched;
  std::vector<std::shared_ptr<APMEExperiment>> others;
  for (auto& experiment : snapshot->experiments()) {
    if (experiment->experimentID() == APMELaunchedExperimentID) {
      launched = std::move(experiment);
    } else {
      others.push_back(std::move(experiment));
    }
  }
  const std::string& name = snapshot->SDKName();
  if (launched) {
    const auto part = APMESnapshot::initWithSDKName(name, {launched});
    const auto message = part ? part->proto() : nullptr;
    if (!upsertSnapshot(message.get(), APMELaunchedSnapshotTableName, timestamp, std::nullopt,
                        error)) {
      return false;
    }
  }
  if (!others.empty()) {
    const auto part = APMESnapshot::initWithSDKName(name, others);
    const auto message = part ? part->proto() : nullptr;
    if (!upsertSnapshot(message.get(), APMEActivatedSnapshotTableName, timestamp, std::nullopt,
                        error)) {
      return false;
    }
  } else if (!deleteExperimentsOfSDKName(name, APMEActivatedSnapshotTableName, error)) {
    // The manager now holds an empty activated snapshot for this SDK; a row left behind would
    // bring the ended experiments back at the next start.
    return false;
  }
  if (!storeIsOpen(sqliteStore_, error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(APMEPendingSnapshotTableName,
                                       std::string(kSDKNameColumn) + " = ? AND " +
                                           kTimestampColumn + " <= ?",
                                       {platform::Value(name), platform::Value(timestamp)}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(platform::ErrorPtr* error) {
  if (!storeIsOpen(sqliteStore_, error)) return false;
  const auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {platform::Value(true)}, error);
  if (!rows) return false;
  for (const auto& row : *rows) {
    const auto name = row.find(platform::Value(kSDKNameColumn));
    const platform::Value key = name == row.end() ? platform::Value() : name->second;
    const auto snapshot = snapshotFromRecord(row);
    if (!snapshot) {
      // Left in place it would fail every start until the server resent this SDK.
      reportUnreadableRow(row, APMEPendingSnapshotTableName);
      if (!sqliteStore_->deleteRecordFromTableWithName(APMEPendingSnapshotTableName, kSDKNameColumn,
                                                       key, error)) {
        return false;
      }
      continue;
    }
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!sqliteStore_->deleteRecordFromTableWithName(APMEPendingSnapshotTableName, kSDKNameColumn,
                                                     key, error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(platform::ErrorPtr* error) {
  if (!storeIsOpen(sqliteStore_, error)) return false;
  const double cutoff = platform::Clock::current().now() - APMEFlagTimeToLiveInSeconds;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(APMEActivatedSnapshotTableName,
                                       std::string(kTimestampColumn) + " <= ?",
                                       {platform::Value(cutoff)}, error)
      .has_value();
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& SDKName,
                                                       platform::ErrorPtr* error) {
  if (!APMAssertNotZero(SDKName.size(), error, 1, "Received empty SDK Name")) return false;
  return deleteExperimentsOfSDKName(SDKName, APMEActivatedSnapshotTableName, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& SDKName,
                                                     platform::ErrorPtr* error) {
  return deleteExperimentsOfSDKName(SDKName, APMEPendingSnapshotTableName, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& SDKName,
                                                   platform::ErrorPtr* error) {
  return deleteExperimentsOfSDKName(SDKName, APMELaunchedSnapshotTableName, error);
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot* snapshot, const std::string& tableName,
                                  double timestamp, std::optional<bool> manuallyActivated,
                                  platform::ErrorPtr* error) {
  if (!storeIsOpen(sqliteStore_, error) ||
      !APMAssertNotNull(snapshot, error, 1, "Received nil snapshot to store")) {
    return false;
  }
  auto name = NANOGetString(snapshot, apmpb_field::Snapshot::kSdkName);
  auto bytes = snapshot->protoBuffer();
  if (!APMAssertTrue(name && !name->empty(), error, 1, "Received snapshot without SDK name") ||
      !APMAssertTrue(bytes.has_value(), error, 1, "Failed to encode the snapshot")) {
    return false;
  }
  APMSqliteRecord record{
      {platform::Value(kSDKNameColumn), platform::Value(std::move(*name))},
      {platform::Value(kTimestampColumn), platform::Value(timestamp)},
      {platform::Value(kSnapshotColumn), platform::Value(std::move(*bytes))},
  };
  if (manuallyActivated) {
    record[platform::Value(kManuallyActivatedColumn)] =
        platform::Value(std::int64_t{*manuallyActivated ? 1 : 0});
  }
  return sqliteStore_->upsertRecord(record, tableName, error);
}

std::optional<std::vector<APMSqliteRecord>>
APMEDatabase::allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                            platform::ErrorPtr* error) {
  if (!storeIsOpen(sqliteStore_, error)) return std::nullopt;
  return sqliteStore_->recordsForQuery("SELECT rowid, * FROM " + tableName +
                                           " ORDER BY rowid LIMIT " + std::to_string(tableLimit),
                                       {}, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& SDKName,
                                              const std::string& tableName,
                                              platform::ErrorPtr* error) {
  if (!storeIsOpen(sqliteStore_, error)) return false;
  return sqliteStore_->deleteRecordFromTableWithName(tableName, kSDKNameColumn,
                                                     platform::Value(SDKName), error);
}
