// APMEDatabase: keeps the experiment snapshots across launches in a SQLite file of its own,
// "ziriza_experimentation_database.sql" in the measurement folder (the caller passes the path).
// Three tables of the same four columns hold one snapshot per SDK name each: the latest fetched
// snapshot not yet activated (pending), the activated one (every experiment but the launched
// one) and the launched experiment (ID 0) as a snapshot of its own.
//
// A file SQLite calls damaged is the store's to replace (apm_sqlite_store.h); a busy, locked or
// failing file fails the open and keeps its rows. This class deletes the file only when its
// tables cannot be made to fit their columns. A stored row whose snapshot does not decode is
// reported (810008) and passed over by the reads; the automatic activation deletes it.
//
// Owns its store. Used from one serial queue only (the experiments task manager's worker queue);
// the store's sequence checker backs that up. Nothing throws; diagnostics go to the process-wide
// measurement monitor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/apme_snapshot.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/storage/apm_sqlite_store.h"
#include "platform/core/error.h"

inline constexpr const char* APMEDatabaseFileName = "ziriza_experimentation_database.sql";
// Activated snapshots older than this are deleted at the next start (three days).
inline constexpr double APMEFlagTimeToLiveInSeconds = 259200;
// The row limit of a full-table read.
inline constexpr std::int64_t APMEDatabaseTableLimit = 100000;

inline constexpr const char* APMEPendingSnapshotTableName = "pending_snapshot_table";
inline constexpr const char* APMEActivatedSnapshotTableName = "activated_snapshot_table";
inline constexpr const char* APMELaunchedSnapshotTableName = "launched_snapshot_table";

// The four columns of each table, in creation order.
const APMColumnList& APMESnapshotTableColumns();

// The snapshots of stored rows, in row order, each with its row's time and (when the row has
// one) its manually-activated mark. Rows that give no snapshot are reported (810008, with the
// table and the row's SDK name) and left out. None for none.
std::optional<std::vector<std::shared_ptr<APMESnapshot>>>
APMESnapshotsFromRecords(const std::optional<std::vector<APMSqliteRecord>>& records,
                         const std::string& tableName);

class APMEDatabase {
 public:
  // Opens (creating it when missing) the file at `path`. None when the path is empty (810000),
  // the file cannot be opened (810001) or its tables do not fit (810002; the file is deleted).
  static std::shared_ptr<APMEDatabase> initWithPath(const std::string& path);

  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath);
  bool ensureAllTables();
  // Closes and deletes the file; the database is unusable afterwards.
  void closeAndDelete();
  // Deletes the file and opens a new, empty one.
  void reset();
  // Runs `block` in one exclusive transaction: committed when it answers true, rolled back
  // otherwise (also when it throws; the exception is reported, not passed on).
  bool performTransaction(const std::function<bool()>& block);

  using Snapshots = std::vector<std::shared_ptr<APMESnapshot>>;
  std::optional<Snapshots> fetchAllActivatedSnapshots(platform::ErrorPtr* error);
  std::optional<Snapshots> fetchAllPendingSnapshots(platform::ErrorPtr* error);
  std::optional<Snapshots> fetchAllLaunchedSnapshots(platform::ErrorPtr* error);

  // Writes each snapshot as the pending row of its SDK name, with its own time and mark; the
  // first failure stops (earlier rows stay unless the caller's transaction rolls back).
  bool upsertPendingExperimentSnapshots(const Snapshots& snapshots, platform::ErrorPtr* error);
  // Moves the snapshot's launched experiment to the launched row and the others to the activated
  // row, both at `timestamp`; with no other experiment the activated row is deleted. Then
  // deletes the SDK's pending rows not newer than `timestamp`.
  bool activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                        platform::ErrorPtr* error);
  // Activates every pending row not marked manually activated, at the row's own time. A row
  // that does not decode is reported (810008) and deleted.
  bool activatePendingSnapshotsAutomatically(platform::ErrorPtr* error);
  // Deletes the activated rows older than three days (platform::Clock).
  bool deleteStaleActivatedSnapshots(platform::ErrorPtr* error);

  bool deleteActivatedExperimentsOfSDKName(const std::string& SDKName, platform::ErrorPtr* error);
  bool deletePendingExperimentsOfSDKName(const std::string& SDKName, platform::ErrorPtr* error);
  bool deleteLaunchedExperimentSDKName(const std::string& SDKName, platform::ErrorPtr* error);

  // Insert-or-replace of the row of the message's SDK name; `manuallyActivated` none leaves the
  // column NULL.
  bool upsertSnapshot(const APMPBSnapshot* snapshot, const std::string& tableName, double timestamp,
                      std::optional<bool> manuallyActivated, platform::ErrorPtr* error);
  // "SELECT rowid, * FROM table ORDER BY rowid LIMIT tableLimit".
  std::optional<std::vector<APMSqliteRecord>>
  allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                platform::ErrorPtr* error);
  bool deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& tableName,
                                  platform::ErrorPtr* error);

  // The open store, or none after a failed open or closeAndDelete().
  const std::shared_ptr<APMSqliteStore>& sqliteStore() const { return sqliteStore_; }

 private:
  std::optional<Snapshots> fetchAllSnapshots(const std::string& tableName,
                                             platform::ErrorPtr* error);

  std::shared_ptr<APMSqliteStore> sqliteStore_;
  platform::ErrorPtr lastEnsureError_;  // the failure of the last ensureAllTables()
};
