// Owns one SQLite connection and the serial queue on which all work for it runs. inDatabase()
// and close() block the caller until the work is done, so they must never be called from the
// queue itself (detected and refused) and are meant to be called from a background queue.
// inDatabaseAsync() and closeForGoodAsync() return at once; since every unit runs on the one
// serial queue, units run in the order they were handed in, whichever of the four sent them.
// Held by shared pointer; the connection object is created on the caller's thread and from then
// on only touched on the serial queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/log/log.h"

namespace platform {

class SqfliteDarwinDatabase;

class SqfliteDarwinDatabaseQueue : public std::enable_shared_from_this<SqfliteDarwinDatabaseQueue> {
 public:
  using Unit = std::function<void(SqfliteDarwinDatabase*)>;

  // A queue with an open connection, or null when the connection cannot be opened. Diagnostic
  // lines of the queue and its connections go to `log` (the layer's own log when null).
  static std::shared_ptr<SqfliteDarwinDatabaseQueue>
  databaseQueueWithPath(std::optional<std::string> path, int flags, const char* vfsName = nullptr,
                        LogPtr log = nullptr);
  ~SqfliteDarwinDatabaseQueue();

  // Runs `unit` on the serial queue with the connection and returns when it has finished. The
  // connection is reopened first when it was closed; `unit` gets null when that fails, or when
  // the queue was closed for good.
  void inDatabase(const Unit& unit);
  // As inDatabase(), but returns at once; the unit runs after every unit handed in before it.
  void inDatabaseAsync(Unit unit);
  // Closes the connection on the serial queue and drops it; a later inDatabase() reopens it.
  void close();
  // Closes as close() does, and no later inDatabase() reopens it: units then get null.
  void closeForGood();
  // As closeForGood(), but returns at once; `completion` then runs on the serial queue.
  void closeForGoodAsync(std::function<void()> completion);

  const std::optional<std::string>& path() const { return path_; }
  int openFlags() const { return openFlags_; }
  const platform::QueuePtr& queue() const { return queue_; }

 private:
  SqfliteDarwinDatabaseQueue() = default;
  // The connection, reopened when needed. On the serial queue only.
  SqfliteDarwinDatabase* database();
  // The body of inDatabase() and of closeForGood() (serial queue only).
  void runUnit(const Unit& unit);
  void closeOnQueue(bool forGood);

  platform::QueuePtr queue_;
  std::shared_ptr<SqfliteDarwinDatabase> db_;
  int openFlags_ = 0;
  std::optional<std::string> path_;
  std::optional<std::string> vfsName_;
  LogPtr log_;
  bool closedForGood_ = false;  // serial queue only
};

}  // namespace platform
