#include "platform/sqlite/sqflite_darwin_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "platform/core/assertion.h"
#include "platform/core/utf8.h"
#include "platform/dispatch/clock.h"

namespace platform {

std::string sqlTextForLog(std::string_view text) {
  if (text.size() <= kSqlLogExcerptBytes) return std::string(text);
  std::size_t cut = kSqlLogExcerptBytes;
  // Back up to the start of a UTF-8 character so the excerpt stays valid text.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  std::string out(text.substr(0, cut));
  out += "... (";
  out += std::to_string(text.size());
  out += " bytes)";
  return out;
}

// ---------------------------------------------------------------------------------------------
// Statement

SqfliteDarwinStatement::SqfliteDarwinStatement(sqlite3_stmt* statement, std::string query)
    : statement_(statement), query_(std::move(query)) {}

SqfliteDarwinStatement::~SqfliteDarwinStatement() {
  close();
}

void SqfliteDarwinStatement::close() {
  if (statement_) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
  inUse_ = false;
}

void SqfliteDarwinStatement::reset() {
  if (statement_) sqlite3_reset(statement_);
  inUse_ = false;
}

// ---------------------------------------------------------------------------------------------
// Result set

std::shared_ptr<SqfliteDarwinResultSet> SqfliteDarwinResultSet::resultSetWithStatement(
    std::shared_ptr<SqfliteDarwinStatement> statement,
    std::shared_ptr<SqfliteDarwinDatabase> parentDatabase, bool shouldAutoClose) {
  if (!LUMORA_CHECK(!statement->inUse(), "statement is already in use by another result set")) {
    return nullptr;
  }
  auto rs = std::make_shared<SqfliteDarwinResultSet>(Key());
  rs->statement_ = std::move(statement);
  rs->statement_->setInUse(true);
  rs->parentDB_ = std::move(parentDatabase);
  rs->shouldAutoClose_ = shouldAutoClose;
  return rs;
}

const std::string& SqfliteDarwinResultSet::query() const {
  static const std::string kNone;
  return statement_ ? statement_->query() : kNone;
}

SqfliteDarwinResultSet::~SqfliteDarwinResultSet() {
  close();
}

void SqfliteDarwinResultSet::close() {
  if (statement_) {
    statement_->reset();
    statement_.reset();
  }
  if (parentDB_) {
    auto parent = std::move(parentDB_);
    parentDB_.reset();
    parent->resultSetDidClose(this);
  }
}

bool SqfliteDarwinResultSet::next() {
  if (!statement_ || !statement_->statement()) {
    // Closed, or its statement was finalised by the connection's close.
    lastStepCode_ = SQLITE_MISUSE;
    if (parentDB_) parentDB_->setLayerError(SQLITE_MISUSE, "result set is closed");
    if (shouldAutoClose_) close();
    return false;
  }
  int rc = sqlite3_step(statement_->statement());
  lastStepCode_ = rc;
  if (parentDB_) parentDB_->noteStepResult(rc);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && parentDB_) parentDB_->recordStepError(rc);
  if (rc != SQLITE_ROW && shouldAutoClose_) close();
  return rc == SQLITE_ROW;
}

bool SqfliteDarwinResultSet::hasAnotherRow() const {
  return statement_ != nullptr && lastStepCode_ == SQLITE_ROW;
}

bool SqfliteDarwinResultSet::stepFailed() const {
  return lastStepCode_ != 0 && lastStepCode_ != SQLITE_ROW && lastStepCode_ != SQLITE_DONE;
}

bool SqfliteDarwinResultSet::validColumn(int index) const {
  return statement_ && statement_->statement() && index >= 0 && index < columnCount();
}

int SqfliteDarwinResultSet::columnCount() const {
  if (!statement_ || !statement_->statement()) return 0;
  return sqlite3_column_count(statement_->statement());
}

std::string SqfliteDarwinResultSet::columnNameForIndex(int index) const {
  if (!validColumn(index)) return {};
  const char* name = sqlite3_column_name(statement_->statement(), index);
  return name ? name : "";
}

int SqfliteDarwinResultSet::columnTypeForIndex(int index) const {
  if (!validColumn(index)) return SQLITE_NULL;
  return sqlite3_column_type(statement_->statement(), index);
}

std::int64_t SqfliteDarwinResultSet::longLongIntForColumnIndex(int index) const {
  if (!validColumn(index)) return 0;
  return sqlite3_column_int64(statement_->statement(), index);
}

double SqfliteDarwinResultSet::doubleForColumnIndex(int index) const {
  if (!validColumn(index)) return 0;
  return sqlite3_column_double(statement_->statement(), index);
}

// Each column call takes the connection's lock, so the NULL test rides on the pointer the value
// call returns: SQLite gives no pointer for NULL (nor for an empty blob), and the type is only
// asked when there is no pointer.
std::optional<std::string> SqfliteDarwinResultSet::stringForColumnIndex(int index) const {
  if (!validColumn(index)) return std::nullopt;
  sqlite3_stmt* st = statement_->statement();
  const unsigned char* text = sqlite3_column_text(st, index);
  if (!text) {
    if (sqlite3_column_type(st, index) == SQLITE_NULL) return std::nullopt;
    return std::string();
  }
  int n = sqlite3_column_bytes(st, index);
  if (!isValidUtf8(
          std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n)))) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
}

std::optional<Bytes> SqfliteDarwinResultSet::dataForColumnIndex(int index) const {
  if (!validColumn(index)) return std::nullopt;
  sqlite3_stmt* st = statement_->statement();
  const void* blob = sqlite3_column_blob(st, index);
  if (!blob) return std::nullopt;
  int n = sqlite3_column_bytes(st, index);
  auto p = static_cast<const std::uint8_t*>(blob);
  return Bytes(p, p + n);
}

// ---------------------------------------------------------------------------------------------
// Connection

std::shared_ptr<SqfliteDarwinDatabase>
SqfliteDarwinDatabase::databaseWithPath(std::optional<std::string> path, LogPtr log) {
  if (!LUMORA_CHECK(sqlite3_threadsafe() != 0, "the SQLite library is not thread-safe")) {
    return nullptr;
  }
  if (!log) log = Log::cached("com.lumora.platform", "sqlite");
  return std::shared_ptr<SqfliteDarwinDatabase>(
      new SqfliteDarwinDatabase(std::move(path), std::move(log)));
}

SqfliteDarwinDatabase::SqfliteDarwinDatabase(std::optional<std::string> path, LogPtr log)
    : databasePath_(std::move(path)), log_(std::move(log)) {}

namespace {

// Creates a missing database file with mode 0600 before SQLite opens it: SQLite would create
// it with its default mode (0644 less the umask), readable by every user. Only plain paths
// qualify; the in-memory name, the private temporary database and URI names are left alone.
void createPrivateFile(const std::string& path, int flags) {
  if (!(flags & SQLITE_OPEN_CREATE) || path.empty() || path == ":memory:") return;
  if ((flags & SQLITE_OPEN_URI) && path.rfind("file:", 0) == 0) return;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  // EEXIST keeps the file as it is; any other failure is left for SQLite's open to report.
}

}  // namespace

SqfliteDarwinDatabase::~SqfliteDarwinDatabase() {
  close();
}

bool SqfliteDarwinDatabase::openWithFlags(int flags, const char* vfsName) {
  if (isOpen_) return true;
  if (db_) close();
  const char* name = ":memory:";
  if (databasePath_) {
    name = databasePath_->c_str();
    createPrivateFile(*databasePath_, flags);
  }
  // One thread at a time uses a connection (see the header), so SQLite's own per-call lock on
  // it would only cost time on every column read; an owner that wants it asks for FULLMUTEX.
  if (!(flags & SQLITE_OPEN_FULLMUTEX)) flags |= SQLITE_OPEN_NOMUTEX;
  layerError_.reset();
  int rc = sqlite3_open_v2(name, &db_, flags, vfsName);
  if (rc != SQLITE_OK) {
    log_->notice("error opening!: " + std::to_string(rc));
    // Kept, so that lastErrorCode() tells why once the handle is gone.
    setLayerError(rc, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    // SQLite hands out a handle even when the open fails; it must still be released.
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  if (maxBusyRetryTimeInterval_ > 0) installBusyHandler(true);
  isOpen_ = true;
  return true;
}

bool SqfliteDarwinDatabase::close() {
  lastStatement_.reset();
  closeOpenResultSets();
  if (!db_) {
    isOpen_ = false;
    return true;
  }
  int rc = sqlite3_close(db_);
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    bool retry = false;
    sqlite3_stmt* st;
    while ((st = sqlite3_next_stmt(db_, nullptr)) != nullptr) {
      log_->notice("Closing leaked statement");
      // A holder that still points at this statement must never touch it again.
      for (auto& weak : statements_) {
        if (auto holder = weak.lock(); holder && holder->statement_ == st) {
          holder->statement_ = nullptr;
          holder->inUse_ = false;
        }
      }
      sqlite3_finalize(st);
      retry = true;
    }
    if (retry) rc = sqlite3_close(db_);
  }
  if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
    log_->notice("error closing!: " + std::to_string(rc));
  }
  db_ = nullptr;
  isOpen_ = false;
  statements_.clear();
  return true;
}

void SqfliteDarwinDatabase::noteStepResult(int rc) const {
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED || (rc & 0xFF) == SQLITE_BUSY ||
      (rc & 0xFF) == SQLITE_LOCKED) {
    log_->notice(std::string(__FILE__) + ":" + std::to_string(__LINE__) + " Database busy (" +
                 databasePath_.value_or("") + ")");
    log_->notice("Database busy");
  } else if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    const char* msg = db_ ? sqlite3_errmsg(db_) : "";
    const char* prefix = ((rc & 0xFF) == SQLITE_ERROR || (rc & 0xFF) == SQLITE_MISUSE)
                             ? "Error calling sqlite3_step ("
                             : "Unknown error calling sqlite3_step (";
    log_->notice(std::string(prefix) + std::to_string(rc) + ": " + msg + ") rs");
  }
}

void SqfliteDarwinDatabase::setLayerError(int code, std::string message) {
  layerError_ = std::make_pair(code, std::move(message));
}

void SqfliteDarwinDatabase::recordStepError(int code) {
  setLayerError(code, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
}

std::shared_ptr<SqfliteDarwinStatement>
SqfliteDarwinDatabase::prepareStatement(const std::string& sql, const ValueList& arguments) {
  layerError_.reset();
  if (!isOpen_ || !db_) {
    log_->notice("The SqfliteDarwinDatabase " + databasePath_.value_or("(memory)") +
                 " is not open.");
    setLayerError(SQLITE_MISUSE, "database is not open");
    return nullptr;
  }
  if (inUse()) {
    setLayerError(SQLITE_MISUSE, "database is currently in use");
    return nullptr;
  }
  isExecutingStatement_ = true;
  std::shared_ptr<SqfliteDarwinStatement> holder;
  if (reusesLastStatement_ && lastStatement_ && lastStatement_->statement() &&
      !lastStatement_->inUse() && lastStatement_->query() == sql) {
    holder = lastStatement_;
    sqlite3_reset(holder->statement());
    // No need to clear the old bindings: a statement is only stepped once every one of its
    // parameters has been bound again.
    if (!bindStatement(holder->statement(), arguments)) {
      isExecutingStatement_ = false;
      return nullptr;
    }
  } else {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) {
      log_->notice("DB Error: " + std::to_string(lastErrorCode()) + " \"" +
                   sqlTextForLog(lastErrorMessage()) + "\"");
      log_->notice("DB Query: " + sqlTextForLog(sql));
      log_->notice("DB Path: " + databasePath_.value_or(""));
      sqlite3_finalize(st);
      isExecutingStatement_ = false;
      return nullptr;
    }
    if (st == nullptr) {
      // Only white space or comments: SQLite prepares nothing and reports no error. There is
      // no statement to step; treat it as one that completes at once.
      rc = sqlite3_prepare_v2(db_, "SELECT 1 WHERE 0", -1, &st, nullptr);
      if (rc != SQLITE_OK) {
        isExecutingStatement_ = false;
        return nullptr;
      }
    }
    if (!bindStatement(st, arguments)) {
      sqlite3_finalize(st);
      isExecutingStatement_ = false;
      return nullptr;
    }
    holder = std::make_shared<SqfliteDarwinStatement>(st, sql);
    statements_.erase(std::remove_if(statements_.begin(), statements_.end(),
                                     [](const auto& w) { return w.expired(); }),
                      statements_.end());
    statements_.push_back(holder);
    if (reusesLastStatement_) lastStatement_ = holder;
  }
  holder->useCount_ += 1;
  isExecutingStatement_ = false;
  return holder;
}

std::shared_ptr<SqfliteDarwinResultSet>
SqfliteDarwinDatabase::executeQuery(const std::string& sql, const ValueList& arguments) {
  auto holder = prepareStatement(sql, arguments);
  if (!holder) return nullptr;
  auto rs = SqfliteDarwinResultSet::resultSetWithStatement(holder, shared_from_this(), true);
  if (rs) openResultSets_.push_back(rs.get());
  return rs;
}

bool SqfliteDarwinDatabase::bindStatement(sqlite3_stmt* st, const ValueList& arguments) {
  int queryCount = sqlite3_bind_parameter_count(st);
  int idx = 0;
  while (idx < queryCount && static_cast<std::size_t>(idx) < arguments.size()) {
    int rc = bindObject(arguments[static_cast<std::size_t>(idx)], idx + 1, st);
    if (rc != SQLITE_OK) {
      std::string msg = sqlite3_errmsg(db_);
      log_->notice("Error: unable to bind (" + std::to_string(rc) + ", " + msg);
      setLayerError(rc, msg);
      return false;
    }
    ++idx;
  }
  if (idx != queryCount) {
    log_->notice("Error: the bind count is not correct for the # of variables (executeQuery)");
    setLayerError(SQLITE_RANGE, "the bind count is not correct for the # of variables (" +
                                    std::to_string(arguments.size()) + " given, " +
                                    std::to_string(queryCount) + " expected)");
    return false;
  }
  return true;
}

int SqfliteDarwinDatabase::bindObject(const Value& value, int index, sqlite3_stmt* st) {
  switch (value.kind()) {
  case ValueKind::Null:
    return sqlite3_bind_null(st, index);
  case ValueKind::Bytes: {
    const auto& b = value.asBytes();
    if (b.empty()) return sqlite3_bind_zeroblob(st, index, 0);
    return sqlite3_bind_blob(st, index, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
  }
  case ValueKind::Date:
    return sqlite3_bind_double(st, index, value.asDate().secondsSince1970);
  case ValueKind::Bool:
    return sqlite3_bind_int(st, index, value.asBool() ? 1 : 0);
  case ValueKind::Int:
    return sqlite3_bind_int64(st, index, value.asInt());
  case ValueKind::Double:
    return sqlite3_bind_double(st, index, value.asDouble());
  case ValueKind::String: {
    const auto& s = value.asString();
    return sqlite3_bind_text(st, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  }
  default: {
    std::string text = value.debugString();
    return sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
  }
  }
}

bool SqfliteDarwinDatabase::executeUpdate(const std::string& sql) {
  return executeUpdate(sql, ValueList{});
}

bool SqfliteDarwinDatabase::executeUpdate(const std::string& sql, const ValueList& arguments) {
  // Steps the statement itself instead of through a result set: an update is stepped once and
  // has no row to read, and a batch runs thousands of them. What it logs and records is what a
  // result set's first step and close would.
  auto holder = prepareStatement(sql, arguments);
  if (!holder) return false;
  if (!LUMORA_CHECK(!holder->inUse(), "statement is already in use by another result set")) {
    return false;
  }
  int code = sqlite3_step(holder->statement());
  noteStepResult(code);
  if (code != SQLITE_ROW && code != SQLITE_DONE) recordStepError(code);
  holder->reset();
  if (code == SQLITE_ROW) {
    // A statement that yields a row is not an update. Say so, since SQLite reports no error.
    setLayerError(SQLITE_MISUSE, "statement returned a row where an update was expected");
    return false;
  }
  return code == SQLITE_DONE;
}

int SqfliteDarwinDatabase::lastErrorCode() const {
  if (layerError_) return layerError_->first;
  return db_ ? sqlite3_errcode(db_) : SQLITE_MISUSE;
}

std::string SqfliteDarwinDatabase::lastErrorMessage() const {
  if (layerError_) return layerError_->second;
  return db_ ? sqlite3_errmsg(db_) : "database is not open";
}

bool SqfliteDarwinDatabase::hadError() const {
  int primary = lastErrorCode() & 0xFF;
  return primary > 0 && primary < 100;
}

platform::ErrorPtr SqfliteDarwinDatabase::lastError() const {
  return platform::Error::withDescription(kSqfliteDarwinDatabaseDomain, lastErrorCode(),
                                          lastErrorMessage());
}

bool SqfliteDarwinDatabase::inUse() const {
  if (!isExecutingStatement_) return false;
  log_->notice("The SqfliteDarwinDatabase " + databasePath_.value_or("(memory)") +
               " is currently in use.");
  return true;
}

int SqfliteDarwinDatabase::changes() {
  if (inUse() || !db_) return 0;
  return sqlite3_changes(db_);
}

std::int64_t SqfliteDarwinDatabase::lastInsertRowId() {
  if (inUse() || !db_) return 0;
  return sqlite3_last_insert_rowid(db_);
}

void SqfliteDarwinDatabase::resultSetDidClose(SqfliteDarwinResultSet* resultSet) {
  auto it = std::find(openResultSets_.begin(), openResultSets_.end(), resultSet);
  if (it != openResultSets_.end()) openResultSets_.erase(it);
}

void SqfliteDarwinDatabase::closeOpenResultSets() {
  // Closing a result set removes it from the set, so work on a copy; keep this connection alive
  // while the last result sets let go of it.
  auto self = weak_from_this().lock();
  auto sets = std::move(openResultSets_);
  openResultSets_.clear();
  for (SqfliteDarwinResultSet* rs : sets)
    rs->close();
}

void SqfliteDarwinDatabase::setReusesLastStatement(bool reuse) {
  reusesLastStatement_ = reuse;
  if (!reuse) lastStatement_.reset();
}

void SqfliteDarwinDatabase::setMaxBusyRetryTimeInterval(double seconds) {
  maxBusyRetryTimeInterval_ = seconds;
  if (db_) installBusyHandler(seconds > 0);
}

void SqfliteDarwinDatabase::installBusyHandler(bool on) {
  sqlite3_busy_handler(db_, on ? &SqfliteDarwinDatabase::busyHandler : nullptr,
                       on ? this : nullptr);
}

int SqfliteDarwinDatabase::busyHandler(void* context, int count) {
  auto* self = static_cast<SqfliteDarwinDatabase*>(context);
  Clock& clock = Clock::current();
  double now = clock.uptime();
  if (count == 0) {
    self->startBusyRetryTime_ = now;
    return 1;
  }
  if (now - self->startBusyRetryTime_ >= self->maxBusyRetryTimeInterval_) return 0;
  thread_local std::mt19937 rng{std::random_device{}()};
  int requested = std::uniform_int_distribution<int>(50, 99)(rng);
  // Through the clock, not SQLite's own sleep: under a mock clock the wait is mock time too.
  clock.sleep(requested / 1000.0);
  return 1;
}

}  // namespace platform
