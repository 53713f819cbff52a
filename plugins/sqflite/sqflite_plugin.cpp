#include "plugins/sqflite/sqflite_plugin.h"

#include <sqlite3.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <system_error>

#include "platform/dispatch/queue.h"
#include "platform/engine/channels.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/process_info.h"
#include "platform/sqlite/sqflite_darwin_database.h"
#include "platform/sqlite/sqflite_darwin_database_queue.h"
#include "plugins/sqflite/sqflite_log.h"

namespace sqflite {

using platform::Value;
using platform::ValueMap;

namespace {

// Process-wide, shared by every plugin object and never reset; main thread only (the plugin
// methods that touch them check it).
int gLogLevel = 0;
std::int64_t gLastDatabaseId = 0;
std::int64_t gDatabaseOpenCount = 0;

constexpr const char* kMemoryDatabasePath = ":memory:";

bool isInMemoryPath(const std::optional<std::string>& path) {
  return path && *path == kMemoryDatabasePath;
}

// A string argument of the call's map; `present` tells an absent key from a wrong kind.
std::optional<std::string> stringArgument(const flutter::MethodCall& call, const char* key,
                                          bool* wrongKind = nullptr) {
  const Value* v = call.arguments.find(Value(key));
  if (wrongKind) *wrongKind = v && !v->isNull() && !v->isString();
  if (v && v->isString()) return v->asString();
  return std::nullopt;
}

bool boolArgument(const flutter::MethodCall& call, const char* key) {
  const Value* v = call.arguments.find(Value(key));
  return v && v->isBool() && v->asBool();
}

SqfliteError invalid(const std::string& key, const flutter::MethodCall& call) {
  return invalidArgumentError(key, call.method);
}

// Removes the database file and its companions; missing files are skipped and failed
// removals ignored. May run off the main thread, so the log level comes as an argument.
void deleteDatabaseFile(const std::string& path, int logLevel) {
  if (logLevel > 0) sqfliteLog("Deleting db " + path);
  for (const char* suffix : {"", "-shm", "-wal", "-journal"}) {
    std::string file = path + suffix;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) {
      if (logLevel > 0) sqfliteLog("Deleting file " + file);
      std::filesystem::remove(file, ec);
    }
  }
}

}  // namespace

void SqflitePlugin::registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar) {
  auto channel =
      flutter::MethodChannel::methodChannelWithName(kSqfliteChannelName, registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<SqflitePlugin>(), channel);
}

void SqflitePlugin::handleMethodCall(const flutter::MethodCall& call,
                                     flutter::MethodResult result) {
  handleMethodCallTakingCall(flutter::MethodCall(call), std::move(result));
}

void SqflitePlugin::handleMethodCallTakingCall(flutter::MethodCall&& call,
                                               flutter::MethodResult result) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  // Every reply goes back through the main queue, whichever thread produced it.
  auto shared = std::make_shared<flutter::MethodResult>(std::move(result));
  Reply reply = [shared](SqfliteResult r) {
    flutter::MethodResponse response;
    if (auto e = std::get_if<SqfliteError>(&r)) {
      response = flutter::Error::errorWithCode(e->code, e->message, e->details);
    } else {
      response = std::get<Value>(std::move(r));
    }
    // Moved, not copied: a query or batch reply can hold many thousand rows.
    platform::mainQueue()->async(
        [shared, response = std::move(response)]() mutable { (*shared)(std::move(response)); });
  };
  const std::string& m = call.method;
  try {
    if (m == "getPlatformVersion") {
      reply(Value("macOS " + platform::ProcessInfo::processInfo().operatingSystemVersionString()));
    } else if (m == "openDatabase") {
      handleOpenDatabaseCall(call, reply);
    } else if (m == "insert" || m == "query" || m == "update" || m == "execute" || m == "batch" ||
               m == "queryCursorNext") {
      handleSqlCall(std::move(call), reply);
    } else if (m == "getDatabasesPath") {
      handleGetDatabasesPathCall(reply);
    } else if (m == "closeDatabase") {
      handleCloseDatabaseCall(call, reply);
    } else if (m == "deleteDatabase") {
      handleDeleteDatabaseCall(call, reply);
    } else if (m == "databaseExists") {
      handleDatabaseExistsCall(call, reply);
    } else if (m == "options") {
      handleOptionsCall(call, reply);
    } else if (m == "debug") {
      handleDebugCall(call, reply);
    } else if (m == "debugMode") {
      handleDebugModeCall(call, reply);
    } else if (m == "darwinCreateUnprotectedFolder") {
      handleCreateUnprotectedFolderCall(call, reply);
    } else {
      platform::mainQueue()->async([shared] { (*shared)(flutter::MethodNotImplemented); });
    }
  } catch (const std::exception& e) {
    reply(SqfliteError{SqliteErrorCode, std::string("internal error: ") + e.what(), Value()});
  }
}

// ---------------------------------------------------------------------------------------------
// Databases by id

std::shared_ptr<SqfliteDatabase> SqflitePlugin::getDatabaseOrError(const flutter::MethodCall& call,
                                                                   const Reply& reply) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  const Value* id = call.arguments.find(Value("id"));
  if (!id || !id->isInt()) {
    reply(invalid("id", call));
    return nullptr;
  }
  auto it = databaseMap_.find(id->asInt());
  if (it == databaseMap_.end()) {
    sqfliteLog("db not found.");
    reply(databaseClosedError());
    return nullptr;
  }
  return it->second;
}

void SqflitePlugin::handleSqlCall(flutter::MethodCall&& call, const Reply& reply) {
  if (!call.arguments.isMap()) {
    reply(invalid("arguments", call));
    return;
  }
  auto database = getDatabaseOrError(call, reply);
  if (!database) return;
  database->runSqlCall(SqfliteMethodCallOperation::newWithCall(std::move(call.method),
                                                               std::move(call.arguments), reply));
}

// ---------------------------------------------------------------------------------------------
// Open, close, delete

void SqflitePlugin::handleOpenDatabaseCall(const flutter::MethodCall& call, const Reply& reply) {
  if (!call.arguments.isMap() && !call.arguments.isNull()) {
    reply(invalid("arguments", call));
    return;
  }
  bool wrongKind = false;
  std::optional<std::string> path = stringArgument(call, "path", &wrongKind);
  if (wrongKind) {
    reply(invalid("path", call));
    return;
  }
  bool readOnly = boolArgument(call, "readOnly");
  // A database without a path is private to its connection; it can never be shared.
  bool singleInstance = boolArgument(call, "singleInstance") && path && !isInMemoryPath(path);
  const std::string pathText = path.value_or("");

  if (gLogLevel > 0) {
    sqfliteLog("opening " + pathText + " " + (readOnly ? " read-only" : "") + " " +
               (singleInstance ? "" : " new instance"));
  }

  if (singleInstance) {
    std::shared_ptr<SqfliteDatabase> found;
    {
      std::lock_guard<std::mutex> lock(mapLock_);
      auto it = singleInstanceDatabaseMap_.find(*path);
      if (it != singleInstanceDatabaseMap_.end()) found = it->second;
    }
    if (found) {
      bool inTransaction = found->inTransaction();
      if (gLogLevel > 0) {
        sqfliteLog(std::string("re-opened ") + (inTransaction ? "(in transaction) " : "") +
                   "singleInstance " + pathText + " id " + std::to_string(found->databaseId));
      }
      Value result =
          Value::map({{Value("id"), Value(found->databaseId)}, {Value("recovered"), Value(true)}});
      if (inTransaction) result.set(Value("recoveredInTransaction"), Value(true));
      reply(std::move(result));
      return;
    }
  }

  if (path && !isInMemoryPath(path) && !readOnly) {
    std::filesystem::path parent = std::filesystem::path(*path).parent_path();
    std::error_code ec;
    if (!parent.empty() && !std::filesystem::exists(parent, ec)) {
      if (gLogLevel > 0) sqfliteLog("Creating parent dir " + parent.string());
      std::filesystem::create_directories(parent, ec);
    }
  }

  const int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  auto queue =
      SqfliteDarwinDatabaseQueue::databaseQueueWithPath(path, flags, nullptr, sqfliteLogHandle());
  if (!queue) {
    sqfliteLog("Could not open db.");
    reply(SqfliteError{SqliteErrorCode, "open_failed " + pathText, Value()});
    return;
  }
  // Extended result codes are on before anyone can use the connection, so every error the
  // application sees carries its full code: this unit is the queue's first, and every call
  // for the database runs after it on the same serial queue.
  queue->inDatabaseAsync([](SqfliteDarwinDatabase* db) {
    if (db) sqlite3_extended_result_codes(db->sqliteHandle(), 1);
  });

  auto database = std::make_shared<SqfliteDatabase>();
  {
    std::lock_guard<std::mutex> lock(mapLock_);
    database->databaseId = ++gLastDatabaseId;
    database->fmDatabaseQueue = queue;
    database->singleInstance = singleInstance;
    database->path = path;
    database->logLevel = gLogLevel;
    databaseMap_[database->databaseId] = database;
    if (singleInstance) singleInstanceDatabaseMap_[*path] = database;
    if (gDatabaseOpenCount++ == 0 && gLogLevel > 1) sqfliteLog("Creating operation queue");
  }
  reply(Value::map({{Value("id"), Value(database->databaseId)}}));
}

void SqflitePlugin::unregisterDatabase(const std::shared_ptr<SqfliteDatabase>& database) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  std::lock_guard<std::mutex> lock(mapLock_);
  databaseMap_.erase(database->databaseId);
  if (database->singleInstance && database->path) {
    auto it = singleInstanceDatabaseMap_.find(*database->path);
    if (it != singleInstanceDatabaseMap_.end() && it->second == database) {
      singleInstanceDatabaseMap_.erase(it);
    }
  }
  if (gDatabaseOpenCount-- == 1 && gLogLevel > 1) sqfliteLog("No more databases open");
}

void SqflitePlugin::handleCloseDatabaseCall(const flutter::MethodCall& call, const Reply& reply) {
  auto database = getDatabaseOrError(call, reply);
  if (!database) return;
  if (database->logLevel > 0) sqfliteLog("closing " + database->path.value_or(""));
  unregisterDatabase(database);
  database->close([reply] { reply(Value()); });
}

void SqflitePlugin::handleDeleteDatabaseCall(const flutter::MethodCall& call, const Reply& reply) {
  bool wrongKind = false;
  std::optional<std::string> path = stringArgument(call, "path", &wrongKind);
  if (!path) {
    reply(invalid("path", call));
    return;
  }
  // Every database open on this exact path is closed first, shared or not: deleting files
  // under an open connection would leave it writing into an unlinked file.
  std::vector<std::shared_ptr<SqfliteDatabase>> open;
  {
    std::lock_guard<std::mutex> lock(mapLock_);
    for (const auto& [id, database] : databaseMap_) {
      if (database->path == path) open.push_back(database);
    }
  }
  if (open.empty()) {
    deleteDatabaseFile(*path, gLogLevel);
    reply(Value());
    return;
  }
  // Files go once the last of them has closed.
  auto remaining = std::make_shared<std::atomic<std::size_t>>(open.size());
  const std::string target = *path;
  const int level = gLogLevel;
  for (const auto& database : open) {
    if (level > 0) {
      sqfliteLog("Deleting opened " + target + " id " + std::to_string(database->databaseId));
    }
    unregisterDatabase(database);
  }
  for (const auto& database : open) {
    database->close([remaining, target, level, reply] {
      if (remaining->fetch_sub(1) == 1) {
        deleteDatabaseFile(target, level);
        reply(Value());
      }
    });
  }
}

// ---------------------------------------------------------------------------------------------
// Files and settings

void SqflitePlugin::handleDatabaseExistsCall(const flutter::MethodCall& call, const Reply& reply) {
  std::optional<std::string> path = stringArgument(call, "path");
  if (!path) {
    reply(invalid("path", call));
    return;
  }
  if (gLogLevel > 0) sqfliteLog("databaseExists " + *path);
  std::error_code ec;
  reply(Value(std::filesystem::exists(*path, ec)));
}

void SqflitePlugin::handleGetDatabasesPathCall(const Reply& reply) {
  std::string documents = platform::FileManager::defaultManager().pathForDirectory(
      platform::SearchPathDirectory::Documents);
  reply(documents.empty() ? Value() : Value(documents));
}

void SqflitePlugin::handleOptionsCall(const flutter::MethodCall& call, const Reply& reply) {
  const Value* level = call.arguments.find(Value("logLevel"));
  if (level && !level->isNull()) {
    if (!level->isInt()) {
      reply(invalid("logLevel", call));
      return;
    }
    gLogLevel = static_cast<std::int32_t>(level->asInt());
    sqfliteLog("Sqflite: logLevel " + std::to_string(gLogLevel));
  }
  reply(Value());
}

void SqflitePlugin::handleDebugModeCall(const flutter::MethodCall& call, const Reply& reply) {
  if (!call.arguments.isBool()) {
    reply(invalid("arguments", call));
    return;
  }
  gLogLevel = call.arguments.asBool() ? 1 : 0;
  sqfliteLog("Debug mode " + std::to_string(gLogLevel));
  reply(Value());
}

void SqflitePlugin::handleDebugCall(const flutter::MethodCall& call, const Reply& reply) {
  std::optional<std::string> cmd = stringArgument(call, "cmd");
  Value result = Value::emptyMap();
  if (cmd == "get") {
    std::lock_guard<std::mutex> lock(mapLock_);
    if (!databaseMap_.empty()) {
      ValueMap databases;
      for (const auto& [id, database] : databaseMap_) {
        Value info = Value::map({{Value("path"), Value(database->path.value_or(""))},
                                 {Value("singleInstance"), Value(database->singleInstance)}});
        if (database->logLevel > 0) info.set(Value("logLevel"), Value(database->logLevel));
        databases[Value(std::to_string(id))] = std::move(info);
      }
      result.set(Value("databases"), Value(std::move(databases)));
    }
    if (gLogLevel > 0) result.set(Value("logLevel"), Value(gLogLevel));
  }
  reply(std::move(result));
}

void SqflitePlugin::handleCreateUnprotectedFolderCall(const flutter::MethodCall& call,
                                                      const Reply& reply) {
  std::optional<std::string> parent = stringArgument(call, "parent");
  std::optional<std::string> name = stringArgument(call, "name");
  if (!parent) {
    reply(invalid("parent", call));
    return;
  }
  if (!name) {
    reply(invalid("name", call));
    return;
  }
  std::error_code ec;
  if (!std::filesystem::exists(*parent, ec)) std::filesystem::create_directories(*parent, ec);
  std::filesystem::path dir = std::filesystem::path(*parent) / *name;
  if (std::filesystem::exists(dir, ec)) {
    reply(Value());
    return;
  }
  // There is no per-file data protection class here; a plain folder is what "unprotected"
  // means on this platform.
  ec.clear();
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    reply(SqfliteError{"fs_error", "error creating unprotected dir: " + ec.message(), Value()});
    return;
  }
  reply(Value());
}

}  // namespace sqflite
