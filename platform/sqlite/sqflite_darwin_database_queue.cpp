#include "platform/sqlite/sqflite_darwin_database_queue.h"

#include <cstdio>

#include "platform/core/assertion.h"
#include "platform/sqlite/sqflite_darwin_database.h"

namespace platform {

std::shared_ptr<SqfliteDarwinDatabaseQueue>
SqfliteDarwinDatabaseQueue::databaseQueueWithPath(std::optional<std::string> path, int flags,
                                                  const char* vfsName, LogPtr log) {
  if (!log) log = Log::cached("com.lumora.platform", "sqlite");
  auto db = SqfliteDarwinDatabase::databaseWithPath(path, log);
  if (!db || !db->openWithFlags(flags, vfsName)) {
    log->notice("Could not create database queue for path " + path.value_or("(null)"));
    return nullptr;
  }
  std::shared_ptr<SqfliteDarwinDatabaseQueue> q(new SqfliteDarwinDatabaseQueue());
  q->path_ = std::move(path);
  q->db_ = std::move(db);
  q->openFlags_ = flags;
  q->log_ = std::move(log);
  if (vfsName) q->vfsName_ = vfsName;
  char label[64];
  std::snprintf(label, sizeof label, "sqlconn.SqfliteDarwinDatabaseQueue<%p>",
                static_cast<void*>(q.get()));
  q->queue_ = makeSerialQueue(label);
  return q;
}

SqfliteDarwinDatabaseQueue::~SqfliteDarwinDatabaseQueue() = default;

SqfliteDarwinDatabase* SqfliteDarwinDatabaseQueue::database() {
  if (closedForGood_) return nullptr;
  if (!db_ || !db_->isOpen()) {
    if (!db_) db_ = SqfliteDarwinDatabase::databaseWithPath(path_, log_);
    if (!db_ || !db_->openWithFlags(openFlags_, vfsName_ ? vfsName_->c_str() : nullptr)) {
      log_->notice("SqfliteDarwinDatabaseQueue could not reopen database for path " +
                   path_.value_or("(null)"));
      db_.reset();
      return nullptr;
    }
  }
  return db_.get();
}

void SqfliteDarwinDatabaseQueue::runUnit(const Unit& unit) {
  SqfliteDarwinDatabase* db = database();
  unit(db);
  if (db && db->hasOpenResultSets()) {
    log_->notice("Warning: there is at least one open result set around after performing "
                 "[SqfliteDarwinDatabaseQueue inDatabase:]");
  }
}

void SqfliteDarwinDatabaseQueue::closeOnQueue(bool forGood) {
  if (forGood) closedForGood_ = true;
  if (db_) db_->close();
  db_.reset();
}

void SqfliteDarwinDatabaseQueue::inDatabase(const Unit& unit) {
  if (!LUMORA_CHECK(!queue_->isCurrent(),
                    "inDatabase: was called reentrantly on the same queue, which would lead to "
                    "a deadlock")) {
    return;
  }
  // Keep this object alive while the unit runs, whoever drops it meanwhile.
  auto self = shared_from_this();
  queue_->sync([self, &unit] { self->runUnit(unit); });
}

void SqfliteDarwinDatabaseQueue::inDatabaseAsync(Unit unit) {
  queue_->async([self = shared_from_this(), unit = std::move(unit)] { self->runUnit(unit); });
}

void SqfliteDarwinDatabaseQueue::close() {
  auto self = shared_from_this();
  queue_->sync([self] { self->closeOnQueue(false); });
}

void SqfliteDarwinDatabaseQueue::closeForGood() {
  auto self = shared_from_this();
  queue_->sync([self] { self->closeOnQueue(true); });
}

void SqfliteDarwinDatabaseQueue::closeForGoodAsync(std::function<void()> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    self->closeOnQueue(true);
    if (completion) completion();
  });
}

}  // namespace platform
