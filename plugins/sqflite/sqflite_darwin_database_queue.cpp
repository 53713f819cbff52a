#include "plugins/sqflite/sqflite_darwin_database_queue.h"

#include <cstdio>

#include "platform/core/assertion.h"
#include "plugins/sqflite/sqflite_darwin_database.h"
#include "plugins/sqflite/sqflite_log.h"

namespace sqflite {

std::shared_ptr<SqfliteDarwinDatabaseQueue>
SqfliteDarwinDatabaseQueue::databaseQueueWithPath(std::optional<std::string> path, int flags,
                                                  const char* vfsName) {
  auto db = SqfliteDarwinDatabase::databaseWithPath(path);
  if (!db || !db->openWithFlags(flags, vfsName)) {
    sqfliteLog("Could not create database queue for path " + path.value_or("(null)"));
    return nullptr;
  }
  std::shared_ptr<SqfliteDarwinDatabaseQueue> q(new SqfliteDarwinDatabaseQueue());
  q->path_ = std::move(path);
  q->db_ = std::move(db);
  q->openFlags_ = flags;
  if (vfsName) q->vfsName_ = vfsName;
  char label[64];
  std::snprintf(label, sizeof label, "sqlconn.SqfliteDarwinDatabaseQueue<%p>",
                static_cast<void*>(q.get()));
  q->queue_ = platform::makeSerialQueue(label);
  return q;
}

SqfliteDarwinDatabaseQueue::~SqfliteDarwinDatabaseQueue() = default;

SqfliteDarwinDatabase* SqfliteDarwinDatabaseQueue::database() {
  if (closedForGood_) return nullptr;
  if (!db_ || !db_->isOpen()) {
    if (!db_) db_ = SqfliteDarwinDatabase::databaseWithPath(path_);
    if (!db_ || !db_->openWithFlags(openFlags_, vfsName_ ? vfsName_->c_str() : nullptr)) {
      sqfliteLog("SqfliteDarwinDatabaseQueue could not reopen database for path " +
                 path_.value_or("(null)"));
      db_.reset();
      return nullptr;
    }
  }
  return db_.get();
}

void SqfliteDarwinDatabaseQueue::inDatabase(
    const std::function<void(SqfliteDarwinDatabase*)>& unit) {
  if (!LUMORA_CHECK(!queue_->isCurrent(),
                    "inDatabase: was called reentrantly on the same queue, which would lead to "
                    "a deadlock")) {
    return;
  }
  // Keep this object alive while the unit runs, whoever drops it meanwhile.
  auto self = shared_from_this();
  queue_->sync([self, &unit] {
    SqfliteDarwinDatabase* db = self->database();
    unit(db);
    if (db && db->hasOpenResultSets()) {
      sqfliteLog("Warning: there is at least one open result set around after performing "
                 "[SqfliteDarwinDatabaseQueue inDatabase:]");
    }
  });
}

void SqfliteDarwinDatabaseQueue::close() {
  auto self = shared_from_this();
  queue_->sync([self] {
    if (self->db_) self->db_->close();
    self->db_.reset();
  });
}

void SqfliteDarwinDatabaseQueue::closeForGood() {
  auto self = shared_from_this();
  queue_->sync([self] {
    self->closedForGood_ = true;
    if (self->db_) self->db_->close();
    self->db_.reset();
  });
}

}  // namespace sqflite
