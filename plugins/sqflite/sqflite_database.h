// One open database of the SQLite plugin: its connection queue, the transaction gate that parks
// operations while a transaction of another id is open, its cursors, and the SQL operations
// (execute, insert, update, query, next page, batch).
//
// Threads: the registry fields (id, path, singleInstance, logLevel, queue) are set on the main
// thread before the database is shared and never change. Everything else is used only on the
// database's serial queue, inside its connection queue's units; `inTransaction` and the closed
// flag are atomics because the main thread reads them. Held by shared pointer: the plugin's maps
// and every unit of work in flight keep it alive.
//
// Order: every call is handed straight to the database's serial queue, so calls for one
// database run in the order the application sent them (an insert sent just before
// "closeDatabase" runs before the close).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "plugins/sqflite/sqflite_operation.h"

namespace platform {
class SqfliteDarwinDatabase;
class SqfliteDarwinDatabaseQueue;
class SqfliteDarwinResultSet;
}  // namespace platform

namespace sqflite {

// The connection layer, shared with other users of SQLite in the process.
using platform::SqfliteDarwinDatabase;
using platform::SqfliteDarwinDatabaseQueue;
using platform::SqfliteDarwinResultSet;

struct SqfliteCursor {
  std::int64_t cursorId = 0;
  std::int64_t pageSize = 0;
  std::shared_ptr<SqfliteDarwinResultSet> resultSet;
};

using SqfliteOperationHandler =
    std::function<void(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation)>;

struct SqfliteQueuedOperation {
  SqfliteOperationPtr operation;
  SqfliteOperationHandler handler;
};

class SqfliteDatabase : public std::enable_shared_from_this<SqfliteDatabase> {
 public:
  SqfliteDatabase() = default;
  SqfliteDatabase(const SqfliteDatabase&) = delete;
  SqfliteDatabase& operator=(const SqfliteDatabase&) = delete;

  // Registry fields, set once before the database is shared.
  bool singleInstance = false;
  int logLevel = 0;
  std::int64_t databaseId = 0;
  std::shared_ptr<SqfliteDarwinDatabaseQueue> fmDatabaseQueue;
  std::optional<std::string> path;

  bool inTransaction() const { return inTransaction_.load(); }
  std::optional<std::int64_t> currentTransactionId() const { return currentTransactionId_; }
  std::size_t parkedOperationCount() const { return noTransactionOperationQueue_.size(); }
  std::size_t cursorCount() const { return cursorMap_.size(); }

  // Runs `block` on the connection queue after every unit handed in before it: returns at once.
  void inDatabase(std::function<void(SqfliteDarwinDatabase*)> block);

  // Runs one SQL call of the channel ("execute", "insert", "update", "query",
  // "queryCursorNext", "batch") in the background. A database closed meanwhile answers
  // "database_closed"; a connection that cannot be reopened answers an error and runs nothing.
  void runSqlCall(const SqfliteOperationPtr& operation);

  // Closes for good. On the serial queue, after every call handed in before (which run as
  // usual), closes the cursors, answers the parked operations in arrival order and closes the
  // connection; then calls `completion` (on the serial queue). Every call handed in after the
  // close is answered "database_closed".
  void close(std::function<void()> completion);
  bool isClosed() const { return closed_.load(); }

  // The operations, on the serial queue with the connection. The first four pass the
  // transaction gate; next-page and batch run at once.
  void dbExecute(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbInsert(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbUpdate(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbQuery(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbQueryCursorNext(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbBatch(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);

  // Workers: run one statement and answer; return whether it succeeded.
  bool dbDoExecute(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  bool dbDoInsert(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  bool dbDoUpdate(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  bool dbDoQuery(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);

  void closeCursorById(std::int64_t cursorId);
  // Closes every cursor (serial queue).
  void closeAllCursors();

 private:
  void wrapSqlOperationHandler(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation,
                               const SqfliteOperationHandler& handler);
  void dbRunQueuedOperations(SqfliteDarwinDatabase* db);
  bool dbExecuteOrError(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  void dbHandleError(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation);
  // Reads rows into a query result map; false when a step failed.
  bool resultSetToResults(SqfliteDarwinResultSet& rs, std::optional<std::int64_t> pageSize,
                          platform::Value* result);
  // By value: the map entry it may come from is erased on the way.
  void closeCursor(std::shared_ptr<SqfliteCursor> cursor);
  void logSql(const std::string& sql, const platform::ValueList& arguments) const;

  std::atomic<bool> inTransaction_{false};
  std::atomic<bool> closed_{false};
  std::int32_t lastCursorId_ = 0;
  std::int32_t lastTransactionId_ = 0;
  std::map<std::int64_t, std::shared_ptr<SqfliteCursor>> cursorMap_;
  std::optional<std::int64_t> currentTransactionId_;
  std::deque<SqfliteQueuedOperation> noTransactionOperationQueue_;
};

// The error record of a closed (or unknown) database.
SqfliteError databaseClosedError();

}  // namespace sqflite
