#include "plugins/sqflite/sqflite_database.h"

#include <sqlite3.h>

#include <exception>
#include <string_view>

#include "platform/core/error.h"
#include "platform/sqlite/sqflite_darwin_database.h"
#include "platform/sqlite/sqflite_darwin_database_queue.h"
#include "plugins/sqflite/sqflite_log.h"

namespace sqflite {

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

namespace {

// The text that marks the defensive-mode switch; it is then run like any other statement.
constexpr std::string_view kDefensiveOffSql = "PRAGMA sqflite -- db_config_defensive_off";
constexpr int kDbConfigDefensive = 1010;

std::string argumentsText(const ValueList& arguments) {
  return arguments.empty() ? std::string() : Value(arguments).debugString();
}

}  // namespace

SqfliteError databaseClosedError() {
  return SqfliteError{SqliteErrorCode, "database_closed", {}};
}

void SqfliteDatabase::logSql(const std::string& sql, const ValueList& arguments) const {
  if (logLevel > 0) {
    sqfliteLog(platform::sqlTextForLog(sql) + " " +
               platform::sqlTextForLog(argumentsText(arguments)));
  }
}

// ---------------------------------------------------------------------------------------------
// Entering the connection

void SqfliteDatabase::inDatabase(std::function<void(SqfliteDarwinDatabase*)> block) {
  // Straight onto the serial queue: a hop through a concurrent queue first would let two calls
  // in flight overtake each other.
  fmDatabaseQueue->inDatabaseAsync(std::move(block));
}

void SqfliteDatabase::runSqlCall(const SqfliteOperationPtr& operation) {
  auto self = shared_from_this();
  inDatabase([self, operation](SqfliteDarwinDatabase* db) {
    if (self->isClosed()) {
      operation->error(databaseClosedError());
      return;
    }
    if (!db) {
      operation->error(
          SqfliteError{SqliteErrorCode, "open_failed " + self->path.value_or(std::string()), {}});
      return;
    }
    try {
      const std::string method = operation->getMethod();
      if (method == SqfliteMethodInsert) {
        self->dbInsert(db, operation);
      } else if (method == SqfliteMethodQuery) {
        self->dbQuery(db, operation);
      } else if (method == SqfliteMethodUpdate) {
        self->dbUpdate(db, operation);
      } else if (method == SqfliteMethodExecute) {
        self->dbExecute(db, operation);
      } else if (method == "batch") {
        self->dbBatch(db, operation);
      } else if (method == "queryCursorNext") {
        self->dbQueryCursorNext(db, operation);
      } else {
        operation->error(SqfliteError{SqfliteErrorBadParam, "Unknown method " + method, {}});
      }
    } catch (const std::exception& e) {
      operation->error(
          SqfliteError{SqliteErrorCode, std::string("internal error: ") + e.what(), {}});
    }
  });
}

void SqfliteDatabase::close(std::function<void()> completion) {
  auto self = shared_from_this();
  fmDatabaseQueue->inDatabaseAsync([self](SqfliteDarwinDatabase*) {
    // Calls handed in before the close have run by now; every later one finds it closed.
    self->closed_.store(true);
    // Cursors hold statements of this connection: close them before the connection so that
    // nothing is left for SQLite's close to finalise behind their back.
    self->closeAllCursors();
    // Operations parked behind a transaction will never pass the gate now.
    auto parked = std::move(self->noTransactionOperationQueue_);
    self->noTransactionOperationQueue_.clear();
    for (auto& entry : parked)
      entry.operation->error(databaseClosedError());
  });
  fmDatabaseQueue->closeForGoodAsync(std::move(completion));
}

// ---------------------------------------------------------------------------------------------
// Transaction gate

void SqfliteDatabase::wrapSqlOperationHandler(SqfliteDarwinDatabase* db,
                                              const SqfliteOperationPtr& operation,
                                              const SqfliteOperationHandler& handler) {
  if (!currentTransactionId_) {
    handler(db, operation);
    return;
  }
  auto transactionId = operation->getTransactionId();
  bool parks = !transactionId || (static_cast<std::int32_t>(*transactionId) !=
                                      static_cast<std::int32_t>(*currentTransactionId_) &&
                                  static_cast<std::int32_t>(*transactionId) != -1);
  if (parks) {
    noTransactionOperationQueue_.push_back(SqfliteQueuedOperation{operation, handler});
    return;
  }
  handler(db, operation);
  if (!currentTransactionId_ && !noTransactionOperationQueue_.empty()) dbRunQueuedOperations(db);
}

void SqfliteDatabase::dbRunQueuedOperations(SqfliteDarwinDatabase* db) {
  while (!currentTransactionId_ && !noTransactionOperationQueue_.empty()) {
    SqfliteQueuedOperation entry = std::move(noTransactionOperationQueue_.front());
    noTransactionOperationQueue_.pop_front();
    entry.handler(db, entry.operation);
  }
}

// ---------------------------------------------------------------------------------------------
// Statements

void SqfliteDatabase::dbHandleError(SqfliteDarwinDatabase* db,
                                    const SqfliteOperationPtr& operation) {
  std::string message = "SqfliteDarwinDatabase (code " + std::to_string(db->lastErrorCode()) +
                        "): " + db->lastErrorMessage();
  Value details;
  if (auto sql = operation->getSql()) {
    auto arguments = operation->getSqlArguments();
    details = Value::map(
        {{Value(SqfliteParamSql), Value(*sql)},
         {Value(SqfliteParamSqlArguments), Value(arguments ? arguments->list() : ValueList{})}});
  }
  operation->error(SqfliteError{SqliteErrorCode, std::move(message), std::move(details)});
}

bool SqfliteDatabase::dbExecuteOrError(SqfliteDarwinDatabase* db,
                                       const SqfliteOperationPtr& operation) {
  auto sql = operation->getSql();
  if (!sql) {
    operation->error(invalidArgumentError(SqfliteParamSql, operation->getMethod()));
    return false;
  }
  auto arguments = operation->getSqlArguments();
  if (!arguments) {
    operation->error(invalidArgumentError(SqfliteParamSqlArguments, operation->getMethod()));
    return false;
  }
  if (*sql == kDefensiveOffSql) {
    sqlite3_db_config(db->sqliteHandle(), kDbConfigDefensive, 0, nullptr);
  }
  const ValueList& values = arguments->list();
  logSql(*sql, values);
  bool ok = values.empty() ? db->executeUpdate(*sql) : db->executeUpdate(*sql, values);
  auto inTransactionChange = operation->getInTransactionChange();
  if (inTransactionChange) {
    if (!*inTransactionChange) {
      inTransaction_.store(false);
    } else if (ok) {
      inTransaction_.store(true);
    }
  }
  if (!ok) {
    dbHandleError(db, operation);
    return false;
  }
  return true;
}

void SqfliteDatabase::dbExecute(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  auto self = shared_from_this();
  wrapSqlOperationHandler(
      db, operation, [self](SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
        auto inTransactionChange = operation->getInTransactionChange();
        if (inTransactionChange.value_or(false) && operation->hasNullTransactionId()) {
          std::int32_t id = ++self->lastTransactionId_;
          self->currentTransactionId_ = id;
          if (self->dbExecuteOrError(db, operation)) {
            operation->success(Value::map({{Value(SqfliteParamTransactionId), Value(id)}}));
          } else {
            self->currentTransactionId_.reset();
          }
          return;
        }
        if (self->dbExecuteOrError(db, operation)) {
          if (inTransactionChange && !*inTransactionChange) self->currentTransactionId_.reset();
          operation->success(Value());
        }
      });
}

bool SqfliteDatabase::dbDoExecute(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  if (!dbExecuteOrError(db, operation)) return false;
  operation->success(Value());
  return true;
}

bool SqfliteDatabase::dbDoInsert(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  if (!dbExecuteOrError(db, operation)) return false;
  if (operation->getNoResult()) {
    operation->success(Value());
    return true;
  }
  if (db->changes() == 0) {
    if (logLevel > 0) sqfliteLog("no changes");
    operation->success(Value());
    return true;
  }
  std::int64_t id = db->lastInsertRowId();
  if (logLevel > 0) sqfliteLog("inserted " + std::to_string(id));
  operation->success(Value(id));
  return true;
}

bool SqfliteDatabase::dbDoUpdate(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  if (!dbExecuteOrError(db, operation)) return false;
  if (operation->getNoResult()) {
    operation->success(Value());
    return true;
  }
  std::int32_t changed = db->changes();
  if (logLevel > 0) sqfliteLog("changed " + std::to_string(changed));
  operation->success(Value(changed));
  return true;
}

void SqfliteDatabase::dbInsert(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  auto self = shared_from_this();
  wrapSqlOperationHandler(db, operation,
                          [self](SqfliteDarwinDatabase* db, const SqfliteOperationPtr& op) {
                            self->dbDoInsert(db, op);
                          });
}

void SqfliteDatabase::dbUpdate(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  auto self = shared_from_this();
  wrapSqlOperationHandler(db, operation,
                          [self](SqfliteDarwinDatabase* db, const SqfliteOperationPtr& op) {
                            self->dbDoUpdate(db, op);
                          });
}

void SqfliteDatabase::dbQuery(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  auto self = shared_from_this();
  wrapSqlOperationHandler(db, operation,
                          [self](SqfliteDarwinDatabase* db, const SqfliteOperationPtr& op) {
                            self->dbDoQuery(db, op);
                          });
}

// ---------------------------------------------------------------------------------------------
// Queries and cursors

namespace {

Value rowValue(const SqfliteDarwinResultSet& rs, int index) {
  switch (rs.columnTypeForIndex(index)) {
  case SQLITE_INTEGER:
    return Value(rs.longLongIntForColumnIndex(index));
  case SQLITE_FLOAT:
    return Value(rs.doubleForColumnIndex(index));
  case SQLITE_BLOB: {
    auto data = rs.dataForColumnIndex(index);
    return Value(data ? std::move(*data) : platform::Bytes{});
  }
  case SQLITE_TEXT: {
    auto text = rs.stringForColumnIndex(index);
    return text ? Value(std::move(*text)) : Value();
  }
  default:
    return Value();
  }
}

// One column of the current row, converted where it is stored: a row's values are built in
// place instead of being moved into the row.
struct ColumnValue {
  const SqfliteDarwinResultSet& rs;
  int index;
  operator Value() const { return rowValue(rs, index); }
};

}  // namespace

bool SqfliteDatabase::resultSetToResults(SqfliteDarwinResultSet& rs,
                                         std::optional<std::int64_t> pageSize, Value* result) {
  ValueList columns;
  ValueList rows;
  int columnCount = 0;
  bool any = false;
  while (rs.next()) {
    if (!any) {
      any = true;
      columnCount = rs.columnCount();
      for (int i = 0; i < columnCount; ++i)
        columns.emplace_back(rs.columnNameForIndex(i));
    }
    ValueList row;
    row.reserve(static_cast<std::size_t>(columnCount));
    for (int i = 0; i < columnCount; ++i)
      row.emplace_back(ColumnValue{rs, i});
    rows.emplace_back(std::move(row));
    if (pageSize) {
      // The page size is taken as its 32-bit value: 0 still hands out one row per page, a
      // negative size never ends a page.
      auto limit = static_cast<std::uint64_t>(
          static_cast<std::int64_t>(static_cast<std::int32_t>(*pageSize)));
      if (static_cast<std::uint64_t>(rows.size()) >= limit) break;
    }
  }
  if (rs.stepFailed()) return false;
  if (!any) {
    *result = Value::emptyMap();
    return true;
  }
  // Built by moving: a map made from an initializer list would copy every row.
  platform::ValueMap map;
  map.emplace(Value("columns"), Value(std::move(columns)));
  map.emplace(Value("rows"), Value(std::move(rows)));
  *result = Value(std::move(map));
  return true;
}

bool SqfliteDatabase::dbDoQuery(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  auto sql = operation->getSql();
  if (!sql) {
    operation->error(invalidArgumentError(SqfliteParamSql, operation->getMethod()));
    return false;
  }
  auto arguments = operation->getSqlArguments();
  if (!arguments) {
    operation->error(invalidArgumentError(SqfliteParamSqlArguments, operation->getMethod()));
    return false;
  }
  std::optional<std::int64_t> pageSize;
  if (const Value* v = operation->getArgument("cursorPageSize"); v && !v->isNull()) {
    if (!v->isInt()) {
      operation->error(invalidArgumentError("cursorPageSize", operation->getMethod()));
      return false;
    }
    pageSize = v->asInt();
  }
  logSql(*sql, arguments->list());
  auto rs = db->executeQuery(*sql, arguments->list());
  if (!rs) {
    // Whatever refused the statement (SQLite, or the layer's own checks such as the bind
    // count), the query did not run.
    dbHandleError(db, operation);
    return false;
  }
  Value result;
  if (!resultSetToResults(*rs, pageSize, &result)) {
    rs->close();
    dbHandleError(db, operation);
    return false;
  }
  if (pageSize && rs->hasAnotherRow()) {
    auto cursor = std::make_shared<SqfliteCursor>();
    cursor->cursorId = ++lastCursorId_;
    cursor->pageSize = *pageSize;
    cursor->resultSet = rs;
    cursorMap_[cursor->cursorId] = cursor;
    result.set(Value("cursorId"), Value(static_cast<std::int32_t>(cursor->cursorId)));
    // The cursor owns the result set from now on: the connection must not close it at the end
    // of this unit of work.
    db->resultSetDidClose(rs.get());
  } else {
    rs->close();
  }
  operation->success(std::move(result));
  return true;
}

void SqfliteDatabase::dbQueryCursorNext(SqfliteDarwinDatabase* db,
                                        const SqfliteOperationPtr& operation) {
  const Value* idValue = operation->getArgument("cursorId");
  bool cancel = operation->getBoolArgument("cancel");
  if (!idValue || !idValue->isInt()) {
    operation->error(invalidArgumentError("cursorId", operation->getMethod()));
    return;
  }
  std::int64_t cursorId = idValue->asInt();
  if (logLevel > 1) {
    sqfliteLog("queryCursorNext " + std::to_string(cursorId) + (cancel ? " (cancel)" : ""));
  }
  if (cancel) {
    closeCursorById(cursorId);
    operation->success(Value());
    return;
  }
  auto it = cursorMap_.find(cursorId);
  if (it == cursorMap_.end()) {
    sqfliteLog("cursor " + std::to_string(cursorId) + " not found.");
    operation->error(SqfliteError{SqliteErrorCode, "Cursor not found", {}});
    return;
  }
  auto cursor = it->second;
  Value page;
  if (!resultSetToResults(*cursor->resultSet, cursor->pageSize, &page)) {
    closeCursor(cursor);
    dbHandleError(db, operation);
    return;
  }
  if (cursor->resultSet->hasAnotherRow()) {
    page.set(Value("cursorId"), Value(static_cast<std::int32_t>(cursorId)));
    db->resultSetDidClose(cursor->resultSet.get());
  } else {
    closeCursor(cursor);
  }
  operation->success(std::move(page));
}

void SqfliteDatabase::closeCursor(std::shared_ptr<SqfliteCursor> cursor) {
  if (logLevel > 1) sqfliteLog("closing cursor " + std::to_string(cursor->cursorId));
  cursorMap_.erase(cursor->cursorId);
  if (cursor->resultSet) cursor->resultSet->close();
}

void SqfliteDatabase::closeCursorById(std::int64_t cursorId) {
  auto it = cursorMap_.find(cursorId);
  if (it != cursorMap_.end()) closeCursor(it->second);
}

void SqfliteDatabase::closeAllCursors() {
  auto cursors = cursorMap_;
  for (auto& [id, cursor] : cursors)
    closeCursor(cursor);
}

// ---------------------------------------------------------------------------------------------
// Batches

void SqfliteDatabase::dbBatch(SqfliteDarwinDatabase* db, const SqfliteOperationPtr& operation) {
  bool noResult = operation->getNoResult();
  bool continueOnError = operation->getContinueOnError();
  const Value* operations = operation->getArgument("operations");
  if (operations && !operations->isNull() && !operations->isList()) {
    operation->error(invalidArgumentError("operations", operation->getMethod()));
    return;
  }
  static const ValueList kNoEntries;
  const ValueList* entries =
      operations && operations->isList() ? &operations->asList() : &kNoEntries;
  ValueList results;
  if (!noResult) results.reserve(entries->size());
  // The entries of a batch usually repeat one statement: keep it prepared for the batch's
  // length instead of preparing it for every entry.
  struct ReuseForBatch {
    SqfliteDarwinDatabase* db;
    explicit ReuseForBatch(SqfliteDarwinDatabase* d) : db(d) { db->setReusesLastStatement(true); }
    ~ReuseForBatch() { db->setReusesLastStatement(false); }
  } reuse(db);
  for (const Value& entry : *entries) {
    if (!entry.isMap()) {
      operation->error(invalidArgumentError("operations", operation->getMethod()));
      return;
    }
    SqfliteBatchOperation entryOperation(entry, noResult);
    // Not owning, and no allocation per entry: the workers use an entry's operation only while
    // they run (batch entries are never parked).
    const std::shared_ptr<SqfliteBatchOperation> batchOperation(
        std::shared_ptr<SqfliteBatchOperation>(), &entryOperation);
    // Looked at where it is: a method that is absent or not a string is no known method.
    const std::string* methodName = entryOperation.method();
    const std::string_view method = methodName ? std::string_view(*methodName) : std::string_view();
    bool ok;
    if (method == SqfliteMethodInsert) {
      ok = dbDoInsert(db, batchOperation);
    } else if (method == SqfliteMethodUpdate) {
      ok = dbDoUpdate(db, batchOperation);
    } else if (method == SqfliteMethodExecute) {
      ok = dbDoExecute(db, batchOperation);
    } else if (method == SqfliteMethodQuery) {
      ok = dbDoQuery(db, batchOperation);
    } else {
      operation->error(SqfliteError{
          SqfliteErrorBadParam, "Batch method '" + std::string(method) + "' not supported", {}});
      return;
    }
    if (ok) {
      if (!noResult) {
        // A map of one entry, made in one allocation of exactly its size.
        ValueMap::container_type result;
        result.reserve(1);
        result.emplace_back(Value(SqfliteParamResult), batchOperation->takeResults());
        results.emplace_back(ValueMap::fromEntries(std::move(result)));
      }
      continue;
    }
    const SqfliteError record = batchOperation->errorRecord().value_or(
        SqfliteError{SqliteErrorCode, "operation failed", Value()});
    if (!continueOnError) {
      operation->error(record);
      return;
    }
    if (!noResult) {
      ValueMap error{{Value(SqfliteParamErrorCode), Value(record.code)}};
      if (record.message) error[Value(SqfliteParamErrorMessage)] = Value(*record.message);
      if (!record.details.isNull()) error[Value(SqfliteParamErrorData)] = record.details;
      results.push_back(Value::map({{Value(SqfliteParamError), Value(std::move(error))}}));
    }
  }
  operation->success(noResult ? Value() : Value(std::move(results)));
}

}  // namespace sqflite
