// APMSqliteStore: one connection to one SQLite database file, with a small record-oriented
// interface for the measurement database and the experiments database. Records are maps from
// column name to value; tables and columns are named by the caller; every operation reports
// failure through an optional error out-parameter (apm_error.h) and never throws.
//
// Opening runs SQLite's integrity check. A file SQLite calls damaged (corrupt, not a database,
// an integrity answer other than "ok") is deleted and replaced by an empty database. Any other
// failure (busy, locked, an I/O error, a file that cannot be opened) fails the open and keeps
// the file, so a second process holding a lock never costs the stored data.
//
// Values: Int and Bool bind as INTEGER, Double as REAL, String as TEXT, Bytes as BLOB (not
// copied), null as NULL. Read back: INTEGER as Int, FLOAT as Double, TEXT as String, BLOB as
// Bytes (none for a zero-length blob), NULL as null.
//
// Prepared statements are cached by their SQL text (statements with "?" parameters, statements
// without WHERE, and the insert-or-replace and update statements built here). A cached statement
// belongs to the cache: its users reset it and clear its bindings, and only closing finalizes it.
//
// The connection is opened read-write-create in SQLite's full-mutex mode (flags 0x10006), with no
// pragma and no busy handler: a locked file fails at once with SQLITE_BUSY. It goes through the
// shared connection layer (platform/sqlite); the store's own file operations (attributes,
// folders, deletion, the backup mark) go through the file seam (platform/foundation).
//
// Threads: no lock of its own; the statement cache is unsynchronised. Each owner uses its store
// from one serial queue only (the measurement database from the worker queue); a sequence
// checker bound at the first use backs that up.
//
// The schema upkeep (ensureTable..., validation, rebuilds and table statements) is in
// apm_sqlite_store_schema.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/sequence_checker.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform {
class SqfliteDarwinDatabase;
}

// A record: column name (a string value) to value.
using APMSqliteRecord = platform::ValueMap;
// A column pair: name and the type text that follows it in a column definition.
using APMColumnPair = std::pair<std::string, std::string>;
using APMColumnList = std::vector<APMColumnPair>;
// Column name to new type text.
using APMModifyColumnMap = std::map<std::string, std::string>;
// Add-on columns in the order they were introduced: name and its ALTER statement.
using APMAddOnStatementList = std::vector<std::pair<std::string, std::string>>;

// Marks a table-constraint entry in a column list.
inline constexpr const char* APMPrimaryKeyTag = "PRIMARY KEY";
// Open flags: read-write, create, full mutex.
inline constexpr int APMSqliteStoreOpenFlags = 0x10006;

// The column list with every column named in `modify` given its new type text.
APMColumnList APMCorrectedColumnInfo(const APMColumnList& columns,
                                     const APMModifyColumnMap& modify);

class APMSqliteStore {
 public:
  using RowFilter = std::function<bool(std::uint32_t rowIndex, const APMSqliteRecord& row)>;

  // Opens and validates the file at the absolute `path` (see the file comment). None on failure.
  static std::shared_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              platform::ErrorPtr* error);
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  // Closes, then removes the file (and any journal beside it). True also when there was none.
  bool closeAndDeleteDatabase();
  // The open connection, or null once closed.
  sqlite3* sqliteHandle() const;
  const std::string& databasePath() const { return databasePath_; }

  bool upsertRecord(const APMSqliteRecord& record, const std::string& tableName,
                    platform::ErrorPtr* error);
  bool updateRecord(const APMSqliteRecord& record, const std::string& tableName,
                    const std::string& columnName, const platform::Value& columnValue,
                    platform::ErrorPtr* error);
  bool updateAllRecordsInTableWithName(const std::string& tableName, const std::string& columnName,
                                       const platform::Value& columnValue,
                                       platform::ErrorPtr* error);
  bool increaseColumn(const std::string& column, std::int64_t byValue, const std::string& table,
                      const std::string& condition, const platform::ValueList& parameterValues,
                      platform::ErrorPtr* error);
  bool deleteRecordFromTableWithName(const std::string& tableName, const std::string& columnName,
                                     const platform::Value& columnValue, platform::ErrorPtr* error);
  // The number of rows deleted.
  std::optional<std::int64_t>
  deleteRecordsFromTableWithName(const std::string& tableName, const std::string& condition,
                                 const platform::ValueList& parameterValues,
                                 platform::ErrorPtr* error);
  bool deleteAllRecordsFromTableWithName(const std::string& tableName, platform::ErrorPtr* error);

  // Rows of a select query. A step that fails part-way is an error (none), never a shortened
  // result; a filter that answers false ends the reading early and the read still succeeds.
  std::optional<std::vector<APMSqliteRecord>>
  recordsForQuery(const std::string& query, const platform::ValueList& parameterValues,
                  platform::ErrorPtr* error);
  std::optional<std::vector<APMSqliteRecord>>
  recordsForQuery(const std::string& query, const platform::ValueList& parameterValues,
                  platform::ErrorPtr* error, const RowFilter& withFilter);
  // Column 0 of the first row: an Int or Double value; none without error for NULL.
  std::optional<platform::Value> numberForQuery(const std::string& query,
                                                const platform::ValueList& parameterValues,
                                                platform::ErrorPtr* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                       platform::ErrorPtr* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                       const std::string& columnName,
                                                       const platform::Value& columnValue,
                                                       platform::ErrorPtr* error);
  std::optional<bool> tableExists(const std::string& tableName, platform::ErrorPtr* error);
  // Column names in table order.
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& tableName,
                                                                  platform::ErrorPtr* error);
  // Column name to declared type.
  std::optional<std::map<std::string, std::string>>
  columnInfoForTableWithName(const std::string& tableName, platform::ErrorPtr* error);

  // Runs `block` inside "BEGIN EXCLUSIVE TRANSACTION" ... "END TRANSACTION"; rolls back when it
  // answers false or throws (the exception goes on to the caller), and when the end fails while
  // the connection is still inside the transaction.
  bool performTransactionWithError(platform::ErrorPtr* error, const std::function<bool()>& block);

  // --- Schema upkeep (apm_sqlite_store_schema.cpp) ---
  bool ensureTableWithName(const std::string& tableName, const APMColumnList& elementaryColumnInfo,
                           const APMColumnList& addOnColumnInfo,
                           const APMModifyColumnMap& modifyColumnInfo, platform::ErrorPtr* error);
  bool ensureTableWithName(const std::string& tableName, const APMColumnList& elementaryColumnInfo,
                           const APMColumnList& addOnColumnInfo, platform::ErrorPtr* error);
  bool ensureSchemaOfTableWithName(const std::string& tableName,
                                   const APMColumnList& elementaryColumnInfo,
                                   const APMColumnList& addOnColumnInfo, platform::ErrorPtr* error);
  bool ensureTableWithName(const std::string& tableName, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const APMAddOnStatementList& addOnColumns, platform::ErrorPtr* error);
  std::optional<bool> validateTableWithName(const std::string& tableName,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const APMAddOnStatementList& addOnColumns,
                                            platform::ErrorPtr* error);
  bool renameTable(const std::string& oldName, const std::string& toName,
                   platform::ErrorPtr* error);
  // Copies every row; `columns` (when given) names the columns copied, else all of them.
  bool copyContentsFromTable(const std::string& source, const std::string& toTable,
                             platform::ErrorPtr* error,
                             const std::vector<std::string>* columns = nullptr);
  bool createEmptyTable(const std::string& destination, const std::string& fromTable,
                        platform::ErrorPtr* error);
  bool dropTableWithName(const std::string& tableName, platform::ErrorPtr* error);

  // --- Lower-level operations ---
  // A statement the caller owns (finalize it), or null.
  sqlite3_stmt* prepareSQL(const std::string& sql, platform::ErrorPtr* error);
  bool executeSQL(const std::string& sql, platform::ErrorPtr* error);
  // Runs a statement with "?" parameters to its end, kept in the statement cache like a query of
  // the same text; true on SQLITE_DONE. For writes the caller makes often with the same text.
  bool executeSQL(const std::string& sql, const platform::ValueList& parameterValues,
                  platform::ErrorPtr* error);
  // The same, with the values bound by `bind` straight onto the statement (values that outlive
  // the call may be bound without a copy: the bindings are cleared before this returns). `bind`
  // answers SQLITE_OK or the result code of a bind that failed, which fails the call unrun.
  bool executeSQLBinding(const std::string& sql, const std::function<int(sqlite3_stmt*)>& bind,
                         platform::ErrorPtr* error);
  // Steps once and finalizes; true on SQLITE_DONE.
  bool executeSQLStatement(sqlite3_stmt* statement, platform::ErrorPtr* error);
  sqlite3_stmt* statementForQuery(const std::string& query, platform::ErrorPtr* error);
  sqlite3_stmt* statementForQuery(const std::string& query,
                                  const platform::ValueList& parameterValues,
                                  platform::ErrorPtr* error);
  // Resets and clears a cached statement; finalizes any other.
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& forQuery);
  // Binds by position. Bytes are bound without a copy: `values` must outlive the statement's
  // use (until it is reset or finalized).
  bool bindValues(const platform::ValueList& values, sqlite3_stmt* toStatement,
                  platform::ErrorPtr* error);
  std::optional<platform::Value> valueAtColumn(int column, sqlite3_stmt* forStatement);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();
  // Opens the file and runs the integrity check. `damaged` tells whether a failure means the
  // file itself is damaged (the only case in which it may be deleted).
  bool openAndValidateDatabase(platform::ErrorPtr* error, bool* damaged = nullptr);
  bool validateDatabaseWithError(platform::ErrorPtr* error, bool* damaged = nullptr);
  void closeDatabase();
  void finalizeAndClearStatements();
  std::optional<std::string> lastErrorMessage();
  std::string errorDescriptionForDatabaseOperation(const std::string& operation,
                                                   std::optional<int> resultCode = {}) const;
  std::string monitorContextForDatabaseOperation(const std::string& operation,
                                                 std::optional<int> resultCode = {}) const;
  // A code-3 error for `operation` with the connection's last result code, or `resultCode` when
  // the failing call's own code is known. Also remembered as lastFailureResultCode().
  void setDatabaseError(platform::ErrorPtr* error, const std::string& operation,
                        std::optional<int> resultCode = {});

  // The SQLite result code of the last code-3 error this store reported (0 when none).
  int lastFailureResultCode() const { return lastFailureResultCode_; }
  // Whether a SQLite result code says the file itself is damaged (corrupt, not a database).
  static bool isDamageResultCode(int resultCode);

  // A number that moves whenever the rows of `tableName` may have changed on this connection:
  // each row inserted, updated or deleted in it, and anything this store cannot tell apart by
  // table (a rollback, a statement run through executeSQL, a schema change, a reopen, row
  // changes SQLite reports in total only). Equal numbers mean the table's rows are as they were.
  // Changes another connection committed are seen from the next transaction's start on
  // (performTransactionWithError asks SQLite's data version there).
  std::uint64_t tableGeneration(const std::string& tableName);

  // Test support: how many statements the cache holds.
  std::size_t cachedStatementCountForTesting() const { return statementCache_.size(); }

  explicit APMSqliteStore(std::string path);

 private:
  int lastResultCode() const;
  bool checkSequence() const;
  bool runTransactionStatement(const char* sql);
  // Hooks of the open connection (row changes, rollbacks) feeding tableGeneration().
  void watchConnection();
  static void noteRowChange(void* store, int operation, const char* database, const char* table,
                            long long rowID);
  static void noteRollback(void* store);
  // Inside a transaction: moves every generation when another connection committed since the
  // last look.
  void noteOtherConnectionsChanges();

  std::shared_ptr<platform::SqfliteDarwinDatabase> connection_;
  std::map<std::string, sqlite3_stmt*> statementCache_;
  // BEGIN, END and ROLLBACK, prepared on first use (every event commits its own transaction),
  // finalized with the cache above.
  std::vector<std::pair<const char*, sqlite3_stmt*>> transactionStatements_;
  const std::string databasePath_;
  int lastFailureResultCode_ = 0;
  // Row changes per table, the changes the hook saw in all, and the generation that moves for
  // what cannot be told apart by table.
  std::vector<std::pair<std::string, std::uint64_t>> tableRowChanges_;
  std::int64_t hookedRowChanges_ = 0;
  std::uint64_t wholeStoreGeneration_ = 0;
  std::optional<std::int64_t> otherConnectionsDataVersion_;
  platform::SequenceChecker sequence_;
};
