// The SQLite plugin: answers the method channel "com.vornadel.sqflite" with the standard method
// codec. Owns the registry of open databases (by id, and single instances by path), opens,
// closes and deletes database files, and hands every SQL call to its database
// (SqfliteDatabase), whose work runs on the database's own serial queue.
//
// Threads: calls arrive on the main loop; the maps, the process-wide log level and the id
// counter are used only there (checked; map changes also under mapLock). Every reply, whatever
// thread produced it, is posted to the main queue, so it reaches the engine on a later turn of the
// main loop than its call. One plugin object lives as long as the engine holds its channel; the
// process-wide log level and id counter outlive it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/sequence_checker.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/sqflite/sqflite_database.h"

namespace sqflite {

inline constexpr const char* kSqfliteChannelName = "com.vornadel.sqflite";

class SqflitePlugin : public flutter::Plugin, public std::enable_shared_from_this<SqflitePlugin> {
 public:
  // Creates the channel on the registrar's messenger and one plugin object as its handler.
  static void registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar);

  SqflitePlugin() = default;
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;
  // The channel's own path: the arguments of an SQL call (a batch's entries among them) are
  // moved into its operation instead of being copied.
  void handleMethodCallTakingCall(flutter::MethodCall&& call,
                                  flutter::MethodResult result) override;

 private:
  using Reply = std::function<void(SqfliteResult)>;

  std::shared_ptr<SqfliteDatabase> getDatabaseOrError(const flutter::MethodCall& call,
                                                      const Reply& reply);
  void handleSqlCall(flutter::MethodCall&& call, const Reply& reply);
  void handleOpenDatabaseCall(const flutter::MethodCall& call, const Reply& reply);
  void handleCloseDatabaseCall(const flutter::MethodCall& call, const Reply& reply);
  void handleDeleteDatabaseCall(const flutter::MethodCall& call, const Reply& reply);
  void handleDatabaseExistsCall(const flutter::MethodCall& call, const Reply& reply);
  void handleOptionsCall(const flutter::MethodCall& call, const Reply& reply);
  void handleDebugModeCall(const flutter::MethodCall& call, const Reply& reply);
  void handleDebugCall(const flutter::MethodCall& call, const Reply& reply);
  void handleGetDatabasesPathCall(const Reply& reply);
  void handleCreateUnprotectedFolderCall(const flutter::MethodCall& call, const Reply& reply);
  // Takes the database out of both maps (under mapLock). Main thread.
  void unregisterDatabase(const std::shared_ptr<SqfliteDatabase>& database);

  std::map<std::int64_t, std::shared_ptr<SqfliteDatabase>> databaseMap_;
  std::map<std::string, std::shared_ptr<SqfliteDatabase>> singleInstanceDatabaseMap_;
  std::mutex mapLock_;
  platform::SequenceChecker mainThread_{platform::SequenceChecker::kMainThread};
};

}  // namespace sqflite
