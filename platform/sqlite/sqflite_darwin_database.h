// The SQLite connection layer: one connection (SqfliteDarwinDatabase), its prepared statements
// (SqfliteDarwinStatement) and the result sets that step them (SqfliteDarwinResultSet).
//
// Ownership: a result set owns its statement holder and keeps its connection alive until it is
// closed; the connection only lists its open result sets (non-owning) and its live statement
// holders (weak), so that closing it can close the former and tell the latter when SQLite's
// close finalised their statement behind their back.
//
// Threads: none of these classes locks. Every use of one connection, its statements and result
// sets must happen on one thread at a time: the serial queue of its SqfliteDarwinDatabaseQueue,
// or the one queue of whoever owns the connection directly.
//
// Shared by the SQLite plugin and the measurement store: each opens with its own flags, writes
// its diagnostic lines to its own log, and chooses its busy wait (none when the interval is 0).
// Files a connection creates are readable by their owner only (0600).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/log/log.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform {

class SqfliteDarwinDatabase;
class SqfliteDarwinResultSet;

// Error domain of the connection's error records.
inline constexpr const char* kSqfliteDarwinDatabaseDomain = "SqfliteDarwinDatabase";

// SQL text (or an argument list) as it goes into a log line: whole when short, else its first
// kSqlLogExcerptBytes bytes (cut on a character boundary) followed by its full length, so that a
// huge statement cannot flood the log.
inline constexpr std::size_t kSqlLogExcerptBytes = 1000;
std::string sqlTextForLog(std::string_view text);

// One prepared statement. Finalised when closed or dropped, unless the connection's close
// already finalised it (then the handle is gone and nothing touches it again).
class SqfliteDarwinStatement {
 public:
  SqfliteDarwinStatement(sqlite3_stmt* statement, std::string query);
  ~SqfliteDarwinStatement();
  SqfliteDarwinStatement(const SqfliteDarwinStatement&) = delete;
  SqfliteDarwinStatement& operator=(const SqfliteDarwinStatement&) = delete;

  void close();
  void reset();
  sqlite3_stmt* statement() const { return statement_; }
  const std::string& query() const { return query_; }
  std::int64_t useCount() const { return useCount_; }
  bool inUse() const { return inUse_; }
  void setInUse(bool inUse) { inUse_ = inUse; }

 private:
  friend class SqfliteDarwinDatabase;
  sqlite3_stmt* statement_;
  std::string query_;
  std::int64_t useCount_ = 0;
  bool inUse_ = false;
};

// Steps a prepared statement and reads the current row.
class SqfliteDarwinResultSet {
 public:
  static std::shared_ptr<SqfliteDarwinResultSet>
  resultSetWithStatement(std::shared_ptr<SqfliteDarwinStatement> statement,
                         std::shared_ptr<SqfliteDarwinDatabase> parentDatabase,
                         bool shouldAutoClose);
  // Made only by resultSetWithStatement(); the key keeps the constructor private in effect
  // while letting one allocation hold the object and its reference count.
  class Key {
    friend class SqfliteDarwinResultSet;
    Key() = default;
  };
  explicit SqfliteDarwinResultSet(Key) {}
  ~SqfliteDarwinResultSet();
  SqfliteDarwinResultSet(const SqfliteDarwinResultSet&) = delete;
  SqfliteDarwinResultSet& operator=(const SqfliteDarwinResultSet&) = delete;

  // Steps once; true exactly when a row is current. Any other outcome closes an auto-closing
  // result set; lastStepCode() then tells completion (101) from a failure.
  bool next();
  // Whether the last step produced a row (false once closed).
  bool hasAnotherRow() const;
  // Result code of the last step (0 before the first).
  int lastStepCode() const { return lastStepCode_; }
  // True when the last step failed (busy, locked, I/O, corruption, a run-time error).
  bool stepFailed() const;

  int columnCount() const;
  std::string columnNameForIndex(int index) const;
  // SQLite's fundamental type of the value in the current row (SQLITE_INTEGER ... SQLITE_NULL).
  int columnTypeForIndex(int index) const;
  std::int64_t longLongIntForColumnIndex(int index) const;
  double doubleForColumnIndex(int index) const;
  std::optional<std::string> stringForColumnIndex(int index) const;
  std::optional<platform::Bytes> dataForColumnIndex(int index) const;

  void close();
  bool isClosed() const { return statement_ == nullptr; }
  const std::shared_ptr<SqfliteDarwinStatement>& statement() const { return statement_; }
  // The SQL text of its statement (empty once closed); kept by the statement, not copied per
  // result set, since a batch creates one result set for each of its entries.
  const std::string& query() const;

 private:
  bool validColumn(int index) const;

  std::shared_ptr<SqfliteDarwinStatement> statement_;
  std::shared_ptr<SqfliteDarwinDatabase> parentDB_;
  bool shouldAutoClose_ = false;
  int lastStepCode_ = 0;
};

// One SQLite connection. Starts closed; see openWithFlags().
class SqfliteDarwinDatabase : public std::enable_shared_from_this<SqfliteDarwinDatabase> {
 public:
  // A closed connection for `path`; no path means a private in-memory database, an empty path a
  // private temporary one. Diagnostic lines go to `log` (the layer's own log when null).
  static std::shared_ptr<SqfliteDarwinDatabase> databaseWithPath(std::optional<std::string> path,
                                                                 LogPtr log = nullptr);
  ~SqfliteDarwinDatabase();
  SqfliteDarwinDatabase(const SqfliteDarwinDatabase&) = delete;
  SqfliteDarwinDatabase& operator=(const SqfliteDarwinDatabase&) = delete;

  // A database file that does not exist yet is created with mode 0600 when `flags` allow
  // creating it; SQLite gives its journal and WAL files the same mode. The connection is opened
  // without SQLite's per-connection lock (one thread at a time uses it) unless `flags` ask for
  // SQLITE_OPEN_FULLMUTEX.
  bool openWithFlags(int flags, const char* vfsName = nullptr);
  // Closes open result sets, then the handle (finalising leaked statements if SQLite refuses
  // to close because of them). Always reports success.
  bool close();
  bool isOpen() const { return isOpen_; }
  sqlite3* sqliteHandle() const { return db_; }
  const std::optional<std::string>& databasePath() const { return databasePath_; }

  // Prepares `sql` and binds `arguments` by position. None on failure; the error state then
  // says why (SQLite's error, or the layer's own when SQLite has none to give).
  std::shared_ptr<SqfliteDarwinResultSet> executeQuery(const std::string& sql,
                                                       const platform::ValueList& arguments);
  // Runs a statement that must complete on its first step.
  bool executeUpdate(const std::string& sql);
  bool executeUpdate(const std::string& sql, const platform::ValueList& arguments);

  // Error state. Codes are SQLite's (extended once switched on) or, for refusals the layer makes
  // itself (closed connection, bind count, connection in use), the layer's own record.
  int lastErrorCode() const;
  std::string lastErrorMessage() const;
  // The primary code (code & 0xFF) lies between 1 and 99: an extended code counts by its
  // primary code, row and done do not count.
  bool hadError() const;
  platform::ErrorPtr lastError() const;

  int changes();
  std::int64_t lastInsertRowId();

  void resultSetDidClose(SqfliteDarwinResultSet* resultSet);
  bool hasOpenResultSets() const { return !openResultSets_.empty(); }
  void closeOpenResultSets();

  // While on, the last statement prepared stays prepared and the next statement with the same
  // text reuses it (rebinding every parameter) instead of preparing it again: the entries of one
  // batch call usually repeat one statement. Turning it off finalises the kept statement.
  void setReusesLastStatement(bool reuse);

  // How long a statement waits for a database locked by another connection. The wait reads
  // platform::Clock and sleeps through it, so under a mock clock it ends in mock time. 0 (set
  // before opening) installs no busy handler at all: a locked database fails at once.
  void setMaxBusyRetryTimeInterval(double seconds);
  double maxBusyRetryTimeInterval() const { return maxBusyRetryTimeInterval_; }
  const LogPtr& log() const { return log_; }

 private:
  friend class SqfliteDarwinResultSet;
  SqfliteDarwinDatabase(std::optional<std::string> path, LogPtr log);

  // Prepares (or reuses the kept statement) and binds; counts the use. None on failure, with the
  // error state set.
  std::shared_ptr<SqfliteDarwinStatement> prepareStatement(const std::string& sql,
                                                           const platform::ValueList& arguments);
  // Logs a step that was busy or failed.
  void noteStepResult(int code) const;
  bool bindStatement(sqlite3_stmt* statement, const platform::ValueList& arguments);
  int bindObject(const platform::Value& value, int index, sqlite3_stmt* statement);
  void setLayerError(int code, std::string message);
  // True (and logged) while a statement is being prepared: the connection refuses other use.
  bool inUse() const;
  void recordStepError(int code);
  void installBusyHandler(bool on);
  static int busyHandler(void* context, int count);

  sqlite3* db_ = nullptr;
  bool isExecutingStatement_ = false;
  double startBusyRetryTime_ = 0;
  // Few at a time: a vector beats a node-based set on every statement.
  std::vector<SqfliteDarwinResultSet*> openResultSets_;
  std::vector<std::weak_ptr<SqfliteDarwinStatement>> statements_;
  bool isOpen_ = false;
  double maxBusyRetryTimeInterval_ = 2.0;
  std::optional<std::string> databasePath_;
  // Set when the last failure came from the layer or from a step (whose code a later reset
  // could blur); cleared when the next statement is prepared.
  std::optional<std::pair<int, std::string>> layerError_;
  LogPtr log_;
  bool reusesLastStatement_ = false;
  std::shared_ptr<SqfliteDarwinStatement> lastStatement_;
};

}  // namespace platform
