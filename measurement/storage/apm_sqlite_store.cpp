#include "measurement/storage/apm_sqlite_store.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/sqlite/sqflite_darwin_database.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

// Linux's immutable inode flag. A file system without inode flags has no such mark: the query
// then answers "not immutable".
bool isImmutable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  const bool immutable = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
  ::close(fd);
  return immutable;
}

// 0 or an errno value.
int clearImmutable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int flags = 0;
  int result = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
    flags &= ~FS_IMMUTABLE_FL;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) result = errno;
  }
  ::close(fd);
  return result;
}

bool startsWithSelect(const std::string& query) {
  static constexpr std::string_view kSelect = "select";
  if (query.size() < kSelect.size()) return false;
  for (std::size_t i = 0; i < kSelect.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(query[i])) != kSelect[i]) return false;
  }
  return true;
}

bool containsWhere(const std::string& query) {
  std::string lower(query.size(), '\0');
  std::transform(query.begin(), query.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("where") != std::string::npos;
}

bool isBindableKind(const platform::Value& value) {
  switch (value.kind()) {
  case platform::ValueKind::Null:
  case platform::ValueKind::Bool:
  case platform::ValueKind::Int:
  case platform::ValueKind::Double:
  case platform::ValueKind::String:
  case platform::ValueKind::Bytes:
    return true;
  default:
    return false;
  }
}

// Binds one value at `position`; text with `textDestructor` (SQLITE_STATIC when the caller keeps
// the value until the statement is reset), bytes always without a copy.
int bindValue(const platform::Value& value, sqlite3_stmt* statement, int position,
              sqlite3_destructor_type textDestructor) {
  switch (value.kind()) {
  case platform::ValueKind::Null:
    return sqlite3_bind_null(statement, position);
  case platform::ValueKind::Bool:
    return sqlite3_bind_int64(statement, position, value.asBool() ? 1 : 0);
  case platform::ValueKind::Int:
    return sqlite3_bind_int64(statement, position, value.asInt());
  case platform::ValueKind::Double:
    return sqlite3_bind_double(statement, position, value.asDouble());
  case platform::ValueKind::String: {
    const std::string& text = value.asString();
    return sqlite3_bind_text(statement, position, text.data(), static_cast<int>(text.size()),
                             textDestructor);
  }
  case platform::ValueKind::Bytes: {
    const platform::Bytes& bytes = value.asBytes();
    // An empty vector may have no storage; a null pointer would bind NULL, not a blob.
    return bytes.empty() ? sqlite3_bind_zeroblob(statement, position, 0)
                         : sqlite3_bind_blob(statement, position, bytes.data(),
                                             static_cast<int>(bytes.size()), SQLITE_STATIC);
  }
  default:
    return SQLITE_ERROR;  // a kind SQLite cannot hold
  }
}

// Hands a statement back to the store when the scope ends: a cached one is reset and its
// bindings cleared, any other is finalized. Declared after the values bound to the statement,
// so the statement lets go of their bytes (bound without a copy) before they go.
class ScopedStatement {
 public:
  ScopedStatement(APMSqliteStore& store, sqlite3_stmt* statement, std::string query)
      : store_(store), statement_(statement), query_(std::move(query)) {}
  ~ScopedStatement() {
    if (statement_) store_.cleanUpStatement(statement_, query_);
  }
  ScopedStatement(const ScopedStatement&) = delete;
  ScopedStatement& operator=(const ScopedStatement&) = delete;
  sqlite3_stmt* get() const { return statement_; }

 private:
  APMSqliteStore& store_;
  sqlite3_stmt* statement_;
  std::string query_;
};

}  // namespace

APMColumnList APMCorrectedColumnInfo(const APMColumnList& columns,
                                     const APMModifyColumnMap& modify) {
  APMColumnList corrected;
  corrected.reserve(columns.size());
  for (const auto& [name, type] : columns) {
    const auto found = modify.find(name);
    corrected.emplace_back(name, found == modify.end() ? type : found->second);
  }
  return corrected;
}

APMSqliteStore::APMSqliteStore(std::string path) : databasePath_(std::move(path)) {}

APMSqliteStore::~APMSqliteStore() {
  closeDatabase();
}

bool APMSqliteStore::isDamageResultCode(int resultCode) {
  const int primary = resultCode & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::shared_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     platform::ErrorPtr* error) {
  if (!APMAssertNotZero(path.size(), error, 1, "Received empty database path on init")) {
    return nullptr;
  }
  auto store = std::make_shared<APMSqliteStore>(path);
  store->checkSequence();
  bool damaged = false;
  if (store->openAndValidateDatabase(error, &damaged)) return store;
  // Only a damaged file is given up. A busy, locked or unreadable one keeps its data; the open
  // fails and the next start tries again.
  if (!damaged) {
    store->closeDatabase();
    return nullptr;
  }
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (store->openAndValidateDatabase(error)) return store;
  store->closeDatabase();
  return nullptr;
}

bool APMSqliteStore::checkSequence() const {
  return sequence_.check(__FILE__, __LINE__, "APMSqliteStore");
}

sqlite3* APMSqliteStore::sqliteHandle() const {
  return connection_ ? connection_->sqliteHandle() : nullptr;
}

int APMSqliteStore::lastResultCode() const {
  sqlite3* db = sqliteHandle();
  return db ? sqlite3_errcode(db) : 0;
}

bool APMSqliteStore::openAndValidateDatabase(platform::ErrorPtr* error, bool* damaged) {
  if (damaged) *damaged = false;
  auto& files = platform::FileManager::defaultManager();
  if (files.fileExists(databasePath_)) {
    if (!files.attributesOfItem(databasePath_, error)) return false;
    if (isImmutable(databasePath_)) {
      if (const int err = clearImmutable(databasePath_); err != 0) {
        if (error) {
          *error =
              platform::fileErrorFromErrno(err, true, databasePath_, "Cannot clear the mark of");
        }
        return false;
      }
    }
  } else if (!APMCreateDirectory(APMParentDirectory(databasePath_), error)) {
    return false;
  }

  connection_ = platform::SqfliteDarwinDatabase::databaseWithPath(databasePath_);
  // No busy handler: a file another connection has locked fails at once.
  connection_->setMaxBusyRetryTimeInterval(0);
  if (!connection_->openWithFlags(APMSqliteStoreOpenFlags)) {
    const int code = connection_->lastErrorCode();
    lastFailureResultCode_ = code;
    APMSetErrorWithMonitorContext(
        error, 3,
        "Database operation \"initialize sqlite handle\" failed with sqlite code " +
            std::to_string(code) + " and error message \"" + connection_->lastErrorMessage() + "\"",
        monitorContextForDatabaseOperation("initialize sqlite handle", code));
    closeDatabase();
    return false;
  }

  watchConnection();

  platform::ErrorPtr backupError;
  if (!APMExcludeFilePathFromBackup(databasePath_, &backupError)) {
    report(4, 34017, "Failed to exclude database file from backup",
           {backupError ? platform::Value(backupError) : platform::Value()});
  }
  return validateDatabaseWithError(error, damaged);
}

void APMSqliteStore::watchConnection() {
  // A new connection counts its changes from zero and may see another file. (The per-table
  // counts are kept: every generation only grows.)
  ++wholeStoreGeneration_;
  hookedRowChanges_ = 0;
  otherConnectionsDataVersion_.reset();
  if (sqlite3* db = sqliteHandle()) {
    sqlite3_update_hook(db, &APMSqliteStore::noteRowChange, this);
    sqlite3_rollback_hook(db, &APMSqliteStore::noteRollback, this);
    noteOtherConnectionsChanges();
  }
}

void APMSqliteStore::noteRowChange(void* store, int, const char* database, const char* table,
                                   long long) {
  auto* self = static_cast<APMSqliteStore*>(store);
  ++self->hookedRowChanges_;
  if (!table || !database || std::strcmp(database, "main") != 0) {
    ++self->wholeStoreGeneration_;
    return;
  }
  for (auto& [name, count] : self->tableRowChanges_) {
    if (name == table) {
      ++count;
      return;
    }
  }
  self->tableRowChanges_.emplace_back(table, 1);
}

void APMSqliteStore::noteRollback(void* store) {
  // Rows deleted or changed in the transaction are back as they were.
  ++static_cast<APMSqliteStore*>(store)->wholeStoreGeneration_;
}

void APMSqliteStore::noteOtherConnectionsChanges() {
  static const std::string kQuery = "PRAGMA data_version";
  sqlite3_stmt* statement = statementForQuery(kQuery, nullptr);
  std::optional<std::int64_t> version;
  if (statement && sqlite3_step(statement) == SQLITE_ROW) {
    version = sqlite3_column_int64(statement, 0);
  }
  cleanUpStatement(statement, kQuery);
  // Unknown counts as changed.
  if (!version || version != otherConnectionsDataVersion_) ++wholeStoreGeneration_;
  otherConnectionsDataVersion_ = version;
}

std::uint64_t APMSqliteStore::tableGeneration(const std::string& tableName) {
  checkSequence();
  if (sqlite3* db = sqliteHandle()) {
    // Rows SQLite changed without telling the hook (a whole table emptied at once, a table
    // without row IDs) show only in its total.
    const std::int64_t total = sqlite3_total_changes64(db);
    if (total != hookedRowChanges_) {
      ++wholeStoreGeneration_;
      hookedRowChanges_ = total;
    }
  }
  std::uint64_t rows = 0;
  for (const auto& [name, count] : tableRowChanges_) {
    if (name == tableName) rows = count;
  }
  return wholeStoreGeneration_ + rows;
}

bool APMSqliteStore::validateDatabaseWithError(platform::ErrorPtr* error, bool* damaged) {
  if (damaged) *damaged = false;
  sqlite3* db = sqliteHandle();
  if (!APMAssertNotNull(db, error, 2, "Validate database failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
  bool valid = false;
  bool badAnswer = false;
  if (code == SQLITE_OK) {
    code = sqlite3_step(statement);
    if (code == SQLITE_ROW) {
      const unsigned char* text =
          sqlite3_column_count(statement) == 1 ? sqlite3_column_text(statement, 0) : nullptr;
      valid = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok";
      code = sqlite3_errcode(db);
      if (!valid) {
        // The check lists what it found row by row and stops at a read that fails: a file
        // that cannot be read now (an I/O error, a lock) is not a damaged one.
        int next;
        while ((next = sqlite3_step(statement)) == SQLITE_ROW) {
        }
        if (next != SQLITE_DONE && !isDamageResultCode(next)) {
          code = next;
        } else {
          badAnswer = true;
        }
      }
    } else if (code == SQLITE_DONE) {
      badAnswer = true;  // the check always answers; no answer is no valid database
    }
  }
  sqlite3_finalize(statement);
  if (valid) return true;
  if (damaged) *damaged = badAnswer || isDamageResultCode(code);
  setDatabaseError(error, "validate database", code);
  closeDatabase();
  return false;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& [query, statement] : statementCache_)
    sqlite3_finalize(statement);
  statementCache_.clear();
  for (auto& [sql, statement] : transactionStatements_)
    sqlite3_finalize(statement);
  transactionStatements_.clear();
}

void APMSqliteStore::closeDatabase() {
  if (!connection_) return;
  if (sqlite3* db = connection_->sqliteHandle()) {
    finalizeAndClearStatements();
    // A statement still alive here was leaked by a caller; SQLite refuses to close over it. The
    // layer's close finalizes it and closes anyway, so the connection is never leaked.
    if (sqlite3_next_stmt(db, nullptr) != nullptr) {
      report(1, 34018, "Failed to close database. Got error code",
             {platform::Value(static_cast<std::int64_t>(SQLITE_BUSY))});
    }
  }
  connection_->close();
  connection_.reset();
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  auto& files = platform::FileManager::defaultManager();
  if (files.fileExists(databasePath_)) {
    clearImmutable(databasePath_);
    platform::ErrorPtr removeError;
    if (!files.removeItem(databasePath_, &removeError)) {
      report(1, 34019, "Failed to delete database. Error",
             {removeError ? platform::Value(removeError) : platform::Value()});
      return false;
    }
  }
  // A journal left beside a deleted file would be played back into the new one.
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    const std::string companion = databasePath_ + suffix;
    if (files.fileExists(companion)) files.removeItem(companion);
  }
  return true;
}

std::optional<std::string> APMSqliteStore::lastErrorMessage() {
  sqlite3* db = sqliteHandle();
  if (!db) {
    report(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(db));
}

std::string
APMSqliteStore::errorDescriptionForDatabaseOperation(const std::string& operation,
                                                     std::optional<int> resultCode) const {
  sqlite3* db = sqliteHandle();
  if (!db) return {};
  const int code = resultCode.value_or(sqlite3_errcode(db));
  // The connection's message belongs to its last result; a failure SQLite did not record (a
  // value of a kind that cannot be bound) gets the generic text of its code.
  const char* message = sqlite3_errcode(db) == code ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(code) + " and error message \"" + (message ? message : "") + "\"";
}

std::string
APMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation,
                                                   std::optional<int> resultCode) const {
  const int code = resultCode.value_or(lastResultCode());
  const bool writable = ::access(databasePath_.c_str(), W_OK) == 0;
  return (operation.empty() ? std::string("Unknown operation") : operation) + "," +
         std::to_string(code) + "," + (writable ? "A" : "NA");
}

void APMSqliteStore::setDatabaseError(platform::ErrorPtr* error, const std::string& operation,
                                      std::optional<int> resultCode) {
  const int code = resultCode.value_or(lastResultCode());
  lastFailureResultCode_ = code;
  APMSetErrorWithMonitorContext(error, 3, errorDescriptionForDatabaseOperation(operation, code),
                                monitorContextForDatabaseOperation(operation, code));
}

sqlite3_stmt* APMSqliteStore::prepareSQL(const std::string& sql, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(sql.size(), error, 1, "Received empty SQL string to prepare")) {
    return nullptr;
  }
  sqlite3* db = sqliteHandle();
  if (!APMAssertNotNull(db, error, 2, "Prepare SQL failed. Database not open.")) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  const int code =
      sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, &tail);
  if (code != SQLITE_OK) {
    setDatabaseError(error, "prepare statement", code);
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail && tail != sql.data() + sql.size()) {
    APMSetError(error, 1, "Query contained more than one SQL statement.");
    sqlite3_finalize(statement);
    return nullptr;
  }
  // Only white space or a comment: SQLite prepares nothing.
  if (!APMAssertNotNull(statement, error, 1, "Received empty SQL string to prepare")) {
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, platform::ErrorPtr* error) {
  if (!APMAssertNotNull(statement, error, 1, "Execute SQL statement failed. Statement is NULL.")) {
    return false;
  }
  if (!APMAssertNotNull(sqliteHandle(), error, 2,
                        "Execute SQL statement failed. Database not open.")) {
    return false;
  }
  const int code = sqlite3_step(statement);
  sqlite3_finalize(statement);
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "execute statement", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::executeSQL(const std::string& sql, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(sql.size(), error, 1, "Received empty SQL string to execute")) return false;
  if (!APMAssertNotNull(sqliteHandle(), error, 2, "Execute SQL failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  // Any statement may come here (a schema change, a savepoint rolled back): every table counts
  // as changed.
  const bool done = executeSQLStatement(statement, error);
  ++wholeStoreGeneration_;
  return done;
}

bool APMSqliteStore::executeSQL(const std::string& sql, const platform::ValueList& parameterValues,
                                platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(sql.size(), error, 1, "Received empty SQL string to execute") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Execute SQL failed. Database not open.")) {
    return false;
  }
  ScopedStatement statement(*this, statementForQuery(sql, parameterValues, error), sql);
  if (!statement.get()) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "execute statement", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::executeSQLBinding(const std::string& sql,
                                       const std::function<int(sqlite3_stmt*)>& bind,
                                       platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(sql.size(), error, 1, "Received empty SQL string to execute") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Execute SQL failed. Database not open.") ||
      !APMAssertTrue(static_cast<bool>(bind), error, 1, "Received no values to bind")) {
    return false;
  }
  sqlite3_stmt* statement = nullptr;
  if (const auto cached = statementCache_.find(sql); cached != statementCache_.end()) {
    statement = cached->second;
    sqlite3_clear_bindings(statement);
  } else {
    statement = prepareSQL(sql, error);
    if (!statement) return false;
    // Kept by the same rule as the statements of statementForQuery.
    if (sql.find('?') != std::string::npos || !containsWhere(sql)) statementCache_[sql] = statement;
  }
  const int bound = bind(statement);
  int code = SQLITE_DONE;
  if (bound != SQLITE_OK) {
    setDatabaseError(error, "bind values", bound);
  } else {
    code = sqlite3_step(statement);
    if (code != SQLITE_DONE) setDatabaseError(error, "execute statement", code);
  }
  cleanUpStatement(statement, sql);
  return bound == SQLITE_OK && code == SQLITE_DONE;
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query,
                                                platform::ErrorPtr* error) {
  return statementForQuery(query, {}, error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query,
                                                const platform::ValueList& parameterValues,
                                                platform::ErrorPtr* error) {
  const bool hasParameters = query.find('?') != std::string::npos;
  sqlite3_stmt* statement = nullptr;
  if (const auto cached = statementCache_.find(query); cached != statementCache_.end()) {
    statement = cached->second;
  } else {
    if (!APMAssertNotNull(sqliteHandle(), error, 2,
                          "Statement for query failed. Database not open.")) {
      return nullptr;
    }
    if (hasParameters &&
        !APMAssertNotZero(parameterValues.size(), error, 1, "Received empty parameters")) {
      return nullptr;
    }
    statement = prepareSQL(query, error);
    if (!statement) return nullptr;
    // Conditions written inline differ from use to use; those statements are not kept.
    if (hasParameters || !containsWhere(query)) statementCache_[query] = statement;
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    cleanUpStatement(statement, query);
    return nullptr;
  }
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& forQuery) {
  if (!statement) return;
  const auto cached = statementCache_.find(forQuery);
  if (cached == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (cached->second != statement) {
    report(5, 34016, "Statement is not the same one in the cache");
    // Not the cache's: nobody else will finalize it, and left open it would keep the
    // connection from closing.
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

bool APMSqliteStore::bindValues(const platform::ValueList& values, sqlite3_stmt* toStatement,
                                platform::ErrorPtr* error) {
  if (!APMAssertNotNull(toStatement, error, 1, "Failed to bind to NULL statement")) return false;
  sqlite3_clear_bindings(toStatement);
  bool bound = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const int code = bindValue(values[i], toStatement, static_cast<int>(i) + 1, SQLITE_TRANSIENT);
    if (code != SQLITE_OK) {
      setDatabaseError(error, "bind values", code);
      bound = false;
    }
  }
  return bound;
}

std::optional<platform::Value> APMSqliteStore::valueAtColumn(int column,
                                                             sqlite3_stmt* forStatement) {
  switch (sqlite3_column_type(forStatement, column)) {
  case SQLITE_INTEGER:
    return platform::Value(static_cast<std::int64_t>(sqlite3_column_int64(forStatement, column)));
  case SQLITE_FLOAT:
    return platform::Value(sqlite3_column_double(forStatement, column));
  case SQLITE_TEXT: {
    const unsigned char* text = sqlite3_column_text(forStatement, column);
    if (!text) return std::nullopt;
    const int length = sqlite3_column_bytes(forStatement, column);
    return platform::Value(
        std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)));
  }
  case SQLITE_BLOB: {
    const void* blob = sqlite3_column_blob(forStatement, column);
    if (!blob) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(blob);
    return platform::Value(
        platform::Bytes(bytes, bytes + sqlite3_column_bytes(forStatement, column)));
  }
  case SQLITE_NULL:
    return platform::Value();
  default:
    return std::nullopt;
  }
}

// --- Records ---

namespace {

// The cached statement for a text built here, prepared and cached on first use.
sqlite3_stmt* cachedStatement(APMSqliteStore& store, std::map<std::string, sqlite3_stmt*>& cache,
                              const std::string& sql, platform::ErrorPtr* error) {
  if (const auto found = cache.find(sql); found != cache.end()) return found->second;
  sqlite3_stmt* statement = store.prepareSQL(sql, error);
  if (statement) cache[sql] = statement;
  return statement;
}

}  // namespace

bool APMSqliteStore::upsertRecord(const APMSqliteRecord& record, const std::string& tableName,
                                  platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(record.size(), error, 1, "Received empty record for upsert") ||
      !APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for upsert") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Upsert record failed. Database not open.")) {
    return false;
  }
  std::string sql = "INSERT OR REPLACE INTO " + tableName + " (";
  for (const auto& [column, value] : record) {
    if (!column.isString() || !isBindableKind(value)) {
      report(4, 34020, "Record has value of unexpected type");
      return false;
    }
    sql += column.asString();
    sql += ", ";
  }
  sql.resize(sql.size() - 2);
  sql += ") VALUES (";
  for (std::size_t i = 0; i < record.size(); ++i)
    sql += i ? ", ?" : "?";
  sql += ");";
  ScopedStatement statement(*this, cachedStatement(*this, statementCache_, sql, error), sql);
  if (!statement.get()) return false;
  // The record outlives the statement's use (the scope resets it), so nothing is copied.
  sqlite3_clear_bindings(statement.get());
  int position = 0;
  for (const auto& entry : record) {
    const int code = bindValue(entry.second, statement.get(), ++position, SQLITE_STATIC);
    if (code != SQLITE_OK) {
      setDatabaseError(error, "bind values", code);
      return false;
    }
  }
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "execute statement", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::updateRecord(const APMSqliteRecord& record, const std::string& tableName,
                                  const std::string& columnName, const platform::Value& columnValue,
                                  platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(record.size(), error, 1, "Empty record for update") ||
      !APMAssertNotZero(tableName.size(), error, 1, "Empty table name for update") ||
      !APMAssertNotZero(columnName.size(), error, 1, "Empty column name for update") ||
      !APMAssertNotNil(columnValue, error, 1, "Nil column value for update") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Update record failed. Database not open.")) {
    return false;
  }
  std::string assignments;
  platform::ValueList values;
  for (const auto& [column, value] : record) {
    if (!column.isString() || !isBindableKind(value)) {
      report(4, 34021, "Record has value of unexpected type (update)");
      APMSetError(error, 1, "Failed to bind parameter of unexpected type to update statement");
      return false;
    }
    assignments += column.asString() + "=?,";
    values.push_back(value);
  }
  assignments.pop_back();
  values.push_back(columnValue);
  const std::string sql =
      "UPDATE " + tableName + " SET " + assignments + " WHERE " + columnName + "=?";
  ScopedStatement statement(*this, cachedStatement(*this, statementCache_, sql, error), sql);
  if (!statement.get() || !bindValues(values, statement.get(), error)) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "execute statement", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::updateAllRecordsInTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const platform::Value& columnValue,
                                                     platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1, "Empty table name for update") ||
      !APMAssertNotZero(columnName.size(), error, 1, "Empty column name for update") ||
      !APMAssertNotNil(columnValue, error, 1, "Nil column value for update") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Update record failed. Database not open.")) {
    return false;
  }
  const std::string sql = "UPDATE " + tableName + " SET " + columnName + "=?";
  const platform::ValueList parameters{columnValue};
  ScopedStatement statement(*this, statementForQuery(sql, parameters, error), sql);
  if (!statement.get()) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "update all records value", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::increaseColumn(const std::string& column, std::int64_t byValue,
                                    const std::string& table, const std::string& condition,
                                    const platform::ValueList& parameterValues,
                                    platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(table.size(), error, 1, "Empty table name for increase column") ||
      !APMAssertNotZero(column.size(), error, 1, "Empty column name for increase column") ||
      !APMAssertNotZero(condition.size(), error, 1, "Empty condition for increase column") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Increase column failed. Database not open.")) {
    return false;
  }
  const auto info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  const auto found = info->find(column);
  if (!APMAssertTrue(found != info->end(), error, 1, "Invalid column or table name")) return false;
  std::string type = found->second;
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (!APMAssertTrue(type == "INTEGER", error, 1, "Column type is not integer.")) return false;
  const std::string sql = "UPDATE " + table + " SET " + column + " = " + column + " + " +
                          std::to_string(byValue) + " WHERE " + condition;
  ScopedStatement statement(*this, statementForQuery(sql, parameterValues, error), sql);
  if (!statement.get()) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "increase records value", code);
    return false;
  }
  return true;
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& tableName,
                                                   const std::string& columnName,
                                                   const platform::Value& columnValue,
                                                   platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for delete record") ||
      !APMAssertNotZero(columnName.size(), error, 1, "Received empty column for delete record") ||
      !APMAssertNotNil(columnValue, error, 1, "Received nil value for delete record") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Delete record failed. Database not open.")) {
    return false;
  }
  const std::string sql = "DELETE FROM " + tableName + " WHERE " + columnName + "=?";
  const platform::ValueList parameters{columnValue};
  ScopedStatement statement(*this, prepareSQL(sql, error), sql);
  if (!statement.get() || !bindValues(parameters, statement.get(), error)) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "delete record", code);
    return false;
  }
  return true;
}

std::optional<std::int64_t> APMSqliteStore::deleteRecordsFromTableWithName(
    const std::string& tableName, const std::string& condition,
    const platform::ValueList& parameterValues, platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for delete record") ||
      !APMAssertNotZero(condition.size(), error, 1, "Received empty condition for delete record") ||
      !APMAssertNotNull(sqliteHandle(), error, 2,
                        "Delete records with condition failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string sql = "DELETE FROM " + tableName + " WHERE " + condition;
  ScopedStatement statement(*this, statementForQuery(sql, parameterValues, error), sql);
  if (!statement.get()) return std::nullopt;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "delete records with condition", code);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(sqlite3_changes(sqliteHandle()));
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& tableName,
                                                       platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for delete all records") ||
      !APMAssertNotNull(sqliteHandle(), error, 2,
                        "Delete all records failed. Database not open.")) {
    return false;
  }
  const std::string sql = "DELETE FROM " + tableName;
  ScopedStatement statement(*this, statementForQuery(sql, error), sql);
  if (!statement.get()) return false;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "delete all records", code);
    return false;
  }
  return true;
}

std::optional<std::vector<APMSqliteRecord>>
APMSqliteStore::recordsForQuery(const std::string& query,
                                const platform::ValueList& parameterValues,
                                platform::ErrorPtr* error) {
  return recordsForQuery(query, parameterValues, error,
                         [](std::uint32_t, const APMSqliteRecord&) { return true; });
}

std::optional<std::vector<APMSqliteRecord>>
APMSqliteStore::recordsForQuery(const std::string& query,
                                const platform::ValueList& parameterValues,
                                platform::ErrorPtr* error, const RowFilter& withFilter) {
  checkSequence();
  if (!APMAssertNotZero(query.size(), error, 1, "Received empty query for records for query") ||
      !APMAssertTrue(static_cast<bool>(withFilter), error, 1,
                     "Received empty filter for selecting records") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Query records failed. Database not open.") ||
      !APMAssertTrue(startsWithSelect(query), error, 1, "Received invalid select query")) {
    return std::nullopt;
  }
  ScopedStatement statement(*this, statementForQuery(query, parameterValues, error), query);
  if (!statement.get()) return std::nullopt;
  std::vector<APMSqliteRecord> rows;
  std::uint32_t index = 0;
  bool stoppedByFilter = false;
  int code = sqlite3_step(statement.get());
  const int columns = sqlite3_column_count(statement.get());
  // Rows are built key by key, with the reports of a column without a name or a value. Once the
  // first row came complete (every column named, once, and with a value), its keys give the
  // layout of the rest: a later complete row is laid out in that order directly.
  std::vector<std::pair<platform::Value, int>> layout;
  bool firstComplete = false;
  std::vector<std::optional<platform::Value>> values(static_cast<std::size_t>(columns));
  while (code == SQLITE_ROW) {
    bool complete = true;
    for (int column = 0; column < columns; ++column) {
      auto& value = values[static_cast<std::size_t>(column)];
      value = valueAtColumn(column, statement.get());
      complete = complete && value.has_value();
    }
    if (index == 1 && firstComplete) {
      // The first row's keys ascend; each names the column it came from.
      const APMSqliteRecord& first = rows.front();
      layout.reserve(first.size());
      for (const auto& entry : first)
        layout.emplace_back(entry.first, -1);
      for (int column = 0; column < columns; ++column) {
        const char* name = sqlite3_column_name(statement.get(), column);
        const auto at = name ? std::lower_bound(layout.begin(), layout.end(), platform::Value(name),
                                                [](const auto& entry, const platform::Value& key) {
                                                  return entry.first < key;
                                                })
                             : layout.end();
        if (at == layout.end() || at->second >= 0 || !(at->first == platform::Value(name))) {
          layout.clear();
          break;
        }
        at->second = column;
      }
    }
    APMSqliteRecord row;
    if (complete && !layout.empty()) {
      APMSqliteRecord::container_type entries;
      entries.reserve(layout.size());
      for (const auto& [key, column] : layout) {
        entries.emplace_back(key, std::move(*values[static_cast<std::size_t>(column)]));
      }
      row = APMSqliteRecord::fromEntries(std::move(entries));
    } else {
      bool named = true;
      for (int column = 0; column < columns; ++column) {
        const char* name = sqlite3_column_name(statement.get(), column);
        if (!name) {
          named = false;
          report(4, 34003, "Failed to get column name");
          continue;
        }
        auto& value = values[static_cast<std::size_t>(column)];
        if (!value) {
          report(4, 34004, "Value is nil for column", {platform::Value(name)});
          continue;
        }
        row[platform::Value(name)] = std::move(*value);
      }
      if (index == 0) {
        firstComplete = complete && named && row.size() == static_cast<std::size_t>(columns);
      }
    }
    if (!withFilter(index++, row)) {
      stoppedByFilter = true;
      break;
    }
    rows.push_back(std::move(row));
    code = sqlite3_step(statement.get());
  }
  // A step that fails part-way would hand back a shortened result as if it were whole.
  if (!stoppedByFilter && code != SQLITE_DONE) {
    setDatabaseError(error, "query records", code);
    return std::nullopt;
  }
  if (index > 0 && rows.empty()) {
    report(4, 34005, "Database contains records that were all filtered out");
  }
  return rows;
}

std::optional<platform::Value>
APMSqliteStore::numberForQuery(const std::string& query, const platform::ValueList& parameterValues,
                               platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(query.size(), error, 1, "Received empty query to get numeric result") ||
      !APMAssertNotNull(sqliteHandle(), error, 2,
                        "Query numeric result failed. Database not open.")) {
    return std::nullopt;
  }
  ScopedStatement statement(*this, statementForQuery(query, parameterValues, error), query);
  if (!statement.get()) return std::nullopt;
  const int code = sqlite3_step(statement.get());
  if (code != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result", code);
    return std::nullopt;
  }
  auto value = valueAtColumn(0, statement.get());
  if (!value || value->isNull()) return std::nullopt;
  if (!APMAssertTrue(value->isNumber(), error, 1, "Found result that was not numeric")) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     platform::ErrorPtr* error) {
  return rowCountForTableWithName(tableName, std::string(), platform::Value(), error);
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(
    const std::string& tableName, const std::string& columnName, const platform::Value& columnValue,
    platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for row count") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Row count failed. Database not open.")) {
    return std::nullopt;
  }
  std::string sql = "SELECT count(1) FROM " + tableName;
  platform::ValueList parameters;
  if (!columnName.empty() && !columnValue.isNull()) {
    sql += " WHERE " + columnName + "=?";
    parameters.push_back(columnValue);
  }
  const auto number = numberForQuery(sql, parameters, error);
  if (!number) return std::nullopt;
  return number->isInt() ? number->asInt() : static_cast<std::int64_t>(number->asDouble());
}

std::optional<bool> APMSqliteStore::tableExists(const std::string& tableName,
                                                platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for table exists") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Table exists failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string sql = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
  const platform::ValueList parameters{platform::Value(tableName)};
  ScopedStatement statement(*this, prepareSQL(sql, error), sql);
  if (!statement.get() || !bindValues(parameters, statement.get(), error)) return std::nullopt;
  const int code = sqlite3_step(statement.get());
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // A failed read is no answer: taking it for "missing" would try to create the table.
  setDatabaseError(error, "table exists", code);
  return std::nullopt;
}

namespace {

// Steps "PRAGMA table_info" and hands each row to `row`; false (and the code) when a step fails.
template <class RowFunction>
bool readTableInfo(sqlite3_stmt* statement, int* failure, RowFunction row) {
  int code;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW)
    row(statement);
  *failure = code;
  return code == SQLITE_DONE;
}

std::string columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

std::optional<std::vector<std::string>>
APMSqliteStore::columnsForTableWithName(const std::string& tableName, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for get columns") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Get table columns failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string sql = "PRAGMA table_info(" + tableName + ")";
  ScopedStatement statement(*this, statementForQuery(sql, error), sql);
  if (!statement.get()) return std::nullopt;
  std::vector<std::string> names;
  int failure = 0;
  if (!readTableInfo(statement.get(), &failure, [&](sqlite3_stmt* st) {
        std::string name = columnText(st, 1);
        if (!name.empty()) names.push_back(std::move(name));
      })) {
    setDatabaseError(error, "table info", failure);
    return std::nullopt;
  }
  return names;
}

std::optional<std::map<std::string, std::string>>
APMSqliteStore::columnInfoForTableWithName(const std::string& tableName,
                                           platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for column info") ||
      !APMAssertNotNull(sqliteHandle(), error, 2,
                        "Get table column info failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string sql = "PRAGMA table_info(" + tableName + ")";
  ScopedStatement statement(*this, statementForQuery(sql, error), sql);
  if (!statement.get()) return std::nullopt;
  std::map<std::string, std::string> info;
  int failure = 0;
  if (!readTableInfo(statement.get(), &failure, [&](sqlite3_stmt* st) {
        std::string name = columnText(st, 1);
        std::string type = columnText(st, 2);
        if (!name.empty() && !type.empty()) info[std::move(name)] = std::move(type);
      })) {
    setDatabaseError(error, "table info", failure);
    return std::nullopt;
  }
  return info;
}

// --- Transactions ---

bool APMSqliteStore::runTransactionStatement(const char* sql) {
  sqlite3* db = sqliteHandle();
  if (!db) return false;
  sqlite3_stmt* statement = nullptr;
  for (const auto& [text, prepared] : transactionStatements_) {
    if (std::strcmp(text, sql) == 0) statement = prepared;
  }
  if (!statement) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK || !statement) {
      sqlite3_finalize(statement);
      return false;
    }
    transactionStatements_.emplace_back(sql, statement);
  }
  const int code = sqlite3_step(statement);
  // The reset hands the step's failure to the connection, where lastResultCode() reads it.
  sqlite3_reset(statement);
  return code == SQLITE_DONE;
}

bool APMSqliteStore::beginTransaction() {
  return runTransactionStatement("BEGIN EXCLUSIVE TRANSACTION");
}

bool APMSqliteStore::endTransaction() {
  return runTransactionStatement("END TRANSACTION");
}

bool APMSqliteStore::rollbackTransaction() {
  return runTransactionStatement("ROLLBACK");
}

bool APMSqliteStore::performTransactionWithError(platform::ErrorPtr* error,
                                                 const std::function<bool()>& block) {
  checkSequence();
  if (!APMAssertTrue(static_cast<bool>(block), error, 1, "Received nil transaction block") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Database not open")) {
    return false;
  }
  if (!beginTransaction()) {
    lastFailureResultCode_ = lastResultCode();
    APMSetErrorWithMonitorContext(error, 3, "Failed to begin transaction",
                                  monitorContextForDatabaseOperation("begin transaction"));
    return false;
  }
  // The lock is held from here: what other connections committed before is known now.
  noteOtherConnectionsChanges();
  bool committed = false;
  try {
    committed = block();
  } catch (...) {
    if (!rollbackTransaction()) report(1, 34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (!committed) {
    APMSetError(error, 3, "Transaction failed");
    if (!rollbackTransaction()) report(1, 34011, "Failed to rollback transaction");
    return false;
  }
  if (!endTransaction()) {
    lastFailureResultCode_ = lastResultCode();
    APMSetErrorWithMonitorContext(error, 3, "Failed to end transaction",
                                  monitorContextForDatabaseOperation("end transaction"));
    // A commit refused (a deferred constraint, a busy reader) leaves the transaction open, and
    // every later BEGIN would fail. Roll it back.
    sqlite3* db = sqliteHandle();
    if (db && sqlite3_get_autocommit(db) == 0 && !rollbackTransaction()) {
      report(1, 34011, "Failed to rollback transaction");
    }
    return false;
  }
  return true;
}
