#include "tools/measurement-probe/database_commands.h"

#include <exception>
#include <future>
#include <memory>

#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/core/base64.h"
#include "platform/foundation/file_manager.h"

namespace lumora::probe {

namespace {

// What the commands keep between lines; touched on the worker queue only.
struct DatabaseState {
  std::shared_ptr<APMSqliteStore> store;
  std::shared_ptr<APMDatabase> database;
};

std::shared_ptr<APMScheduler> worker() {
  static auto* shared = new std::shared_ptr<APMScheduler>(
      APMScheduler::initWithWorkerQueueLabel(APMSchedulerWorkerQueueLabel));
  return *shared;
}

DatabaseState& state() {
  static auto* shared = new DatabaseState();
  return *shared;
}

// Runs `body` on the worker queue and hands back its result, or throws its exception here.
Json onWorker(const std::function<Json(DatabaseState&)>& body) {
  Json result;
  std::exception_ptr failure;
  worker()->dispatchSyncOnWorkerQueueBlockID("MeasurementProbe:database", [&] {
    try {
      result = body(state());
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  return result;
}

std::string errorText(const platform::ErrorPtr& error) {
  if (!error) return "failed without an error record";
  std::string text = std::to_string(error->code) + ": " + error->localizedDescription();
  const auto context = error->userInfo.find(platform::Value(APMMonitorContextKey));
  if (context != error->userInfo.end() && context->second.isString()) {
    text += " [" + context->second.asString() + "]";
  }
  return text;
}

[[noreturn]] void fail(const platform::ErrorPtr& error) {
  throw ProbeInputError(errorText(error));
}

APMSqliteStore& openStore(DatabaseState& s) {
  if (!s.store) throw ProbeInputError("no store is open (storeOpen)");
  return *s.store;
}

APMDatabase& openDatabase(DatabaseState& s) {
  if (!s.database) throw ProbeInputError("the database is not open (databaseOpen)");
  return *s.database;
}

platform::ValueList parametersOf(const Json& command) {
  platform::ValueList parameters;
  if (const auto found = command.find("parameters"); found != command.end()) {
    if (!found->is_array()) throw ProbeInputError("\"parameters\" must be a list");
    for (const auto& item : *found)
      parameters.push_back(valueFromJson(item));
  }
  return parameters;
}

APMSqliteRecord recordOf(const Json& command) {
  const Json& record = requiredField(command, "record");
  if (!record.is_object()) throw ProbeInputError("\"record\" must be an object");
  APMSqliteRecord out;
  for (const auto& [column, value] : record.items())
    out[platform::Value(column)] = valueFromJson(value);
  return out;
}

Json rowsJson(const std::vector<APMSqliteRecord>& rows) {
  Json out = Json::array();
  for (const auto& row : rows)
    out.push_back(jsonFromValue(platform::Value(row)));
  return out;
}

Json metadataJson(const APMAppMetadata& metadata) {
  return Json{{"lastBundleIndex", metadata.lastBundleIndex()},
              {"lastDeliveryIndex", metadata.lastDeliveryIndex()},
              {"lastBundleStartTimestamp", metadata.lastBundleStartTimestamp()},
              {"lastBundleEndTimestamp", metadata.lastBundleEndTimestamp()}};
}

Json countsJson(const APMDailyCounts& counts, std::int32_t currentDay) {
  return Json{{"day", counts.day()},
              {"currentDay", currentDay},
              {"conversionsCount", counts.conversionsCount()},
              {"allEventsCount", counts.allEventsCount()},
              {"publicEventsCount", counts.publicEventsCount()},
              {"errorEventsCount", counts.errorEventsCount()},
              {"realtimeCount", counts.realtimeCount()},
              {"dcuRealtimeCount", counts.dcuRealtimeCount()}};
}

std::shared_ptr<APMAppMetadata> storedMetadata(APMDatabase& database) {
  platform::ErrorPtr error;
  auto metadata = database.queryAppMetadata(&error);
  if (!metadata) {
    if (error) fail(error);
    throw ProbeInputError("the app-metadata row is missing");
  }
  return metadata;
}

// Reads the row's record, lets `change` alter it and writes it back.
Json changeMetadata(const std::function<void(APMAppMetadata&)>& change) {
  return onWorker([&](DatabaseState& s) {
    APMDatabase& database = openDatabase(s);
    auto metadata = storedMetadata(database);
    change(*metadata);
    platform::ErrorPtr error;
    if (!database.updateAppMetadata(metadata.get(), &error)) fail(error);
    return metadataJson(*storedMetadata(database));
  });
}

std::int32_t int32Field(const Json& command, const char* name) {
  const std::int64_t value = integerField(command, name);
  if (value < INT32_MIN || value > INT32_MAX) {
    throw ProbeInputError(std::string("\"") + name + "\" must fit 32 bits");
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

Json onDatabaseWorker(const std::function<Json()>& body) {
  // Queued and waited for rather than run in place, so the body runs on the worker's own thread
  // as the engine's would (its main-thread checks stay quiet).
  std::promise<void> done;
  Json result;
  std::exception_ptr failure;
  worker()->scheduleOnWorkerQueueBlockID("MeasurementProbe:worker", [&] {
    try {
      result = body();
    } catch (...) {
      failure = std::current_exception();
    }
    done.set_value();
  });
  done.get_future().wait();
  if (failure) std::rethrow_exception(failure);
  return result;
}

std::shared_ptr<APMDatabase> openedDatabase() {
  return state().database;
}

void failWithError(const platform::ErrorPtr& error) {
  fail(error);
}

void registerDatabaseCommands(ProbeSession& session) {
  // The store, on any path.
  session.add("storeOpen", [](const Json& command) {
    const std::string path = stringField(command, "path");
    return onWorker([&](DatabaseState& s) {
      s.store.reset();
      platform::ErrorPtr error;
      s.store = APMSqliteStore::initWithDatabasePath(path, &error);
      if (!s.store) fail(error);
      return Json{{"path", s.store->databasePath()}};
    });
  });
  session.add("storeClose", [](const Json&) {
    return onWorker([](DatabaseState& s) {
      s.store.reset();
      return Json(nullptr);
    });
  });
  session.add("storeExecute", [](const Json& command) {
    const std::string sql = stringField(command, "sql");
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      if (!openStore(s).executeSQL(sql, &error)) fail(error);
      return Json(true);
    });
  });
  session.add("storeQuery", [](const Json& command) {
    const std::string sql = stringField(command, "sql");
    const platform::ValueList parameters = parametersOf(command);
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      const auto rows = openStore(s).recordsForQuery(sql, parameters, &error);
      if (!rows) fail(error);
      return rowsJson(*rows);
    });
  });
  session.add("storeNumber", [](const Json& command) {
    const std::string sql = stringField(command, "sql");
    const platform::ValueList parameters = parametersOf(command);
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      const auto number = openStore(s).numberForQuery(sql, parameters, &error);
      if (!number && error) fail(error);
      return number ? jsonFromValue(*number) : Json(nullptr);
    });
  });
  session.add("storeTransaction", [](const Json& command) {
    const Json& statements = requiredField(command, "statements");
    if (!statements.is_array()) throw ProbeInputError("\"statements\" must be a list");
    std::vector<std::string> sql;
    for (const auto& statement : statements) {
      if (!statement.is_string()) throw ProbeInputError("each statement must be a string");
      sql.push_back(statement.get<std::string>());
    }
    return onWorker([&](DatabaseState& s) {
      APMSqliteStore& store = openStore(s);
      platform::ErrorPtr statementError;
      platform::ErrorPtr error;
      const bool committed = store.performTransactionWithError(&error, [&] {
        for (const auto& text : sql) {
          if (!store.executeSQL(text, &statementError)) return false;
        }
        return true;
      });
      Json result{{"committed", committed}};
      if (!committed) result["error"] = errorText(error);
      if (statementError) result["statementError"] = errorText(statementError);
      return result;
    });
  });
  session.add("storeUpsert", [](const Json& command) {
    const std::string table = stringField(command, "table");
    const APMSqliteRecord record = recordOf(command);
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      const bool written = openStore(s).upsertRecord(record, table, &error);
      if (!written && error) fail(error);
      return Json(written);
    });
  });
  session.add("storeUpdate", [](const Json& command) {
    const std::string table = stringField(command, "table");
    const std::string column = stringField(command, "column");
    const platform::Value value = valueFromJson(requiredField(command, "value"));
    const APMSqliteRecord record = recordOf(command);
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      const bool written = openStore(s).updateRecord(record, table, column, value, &error);
      if (!written && error) fail(error);
      return Json(written);
    });
  });
  session.add("storeColumns", [](const Json& command) {
    const std::string table = stringField(command, "table");
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      const auto info = openStore(s).columnInfoForTableWithName(table, &error);
      const auto names = openStore(s).columnsForTableWithName(table, &error);
      if (!info || !names) fail(error);
      Json out = Json::array();
      for (const auto& name : *names) {
        const auto type = info->find(name);
        out.push_back(Json::array({name, type == info->end() ? "" : type->second}));
      }
      return out;
    });
  });

  // The measurement database.
  session.add("databaseOpen", [](const Json&) {
    auto config = APMPersistedConfig::sharedInstance();
    return onWorker([&](DatabaseState& s) {
      s.database.reset();
      platform::ErrorPtr error;
      s.database = APMDatabase::initWithDatabaseName(APMDatabaseFileName, config, &error);
      if (!s.database) fail(error);
      return Json{{"path", s.database->store()->databasePath()}};
    });
  });
  session.add("databaseReset", [](const Json&) {
    return onWorker([](DatabaseState& s) {
      platform::ErrorPtr error;
      if (!openDatabase(s).reset(&error)) fail(error);
      return Json(true);
    });
  });
  session.add("databaseClose", [](const Json&) {
    return onWorker([](DatabaseState& s) {
      s.database.reset();
      return Json(nullptr);
    });
  });
  session.add("appMetadata", [](const Json&) {
    return onWorker(
        [](DatabaseState& s) { return metadataJson(*storedMetadata(openDatabase(s))); });
  });
  session.add("appMetadataSet", [](const Json& command) {
    const auto has = [&](const char* name) { return command.contains(name); };
    if (has("lastBundleIndex") && integerField(command, "lastBundleIndex") < 0) {
      throw ProbeInputError("\"lastBundleIndex\" must not be negative");
    }
    const std::optional<std::int32_t> bundle =
        has("lastBundleIndex") ? std::optional(int32Field(command, "lastBundleIndex"))
                               : std::nullopt;
    const std::optional<std::int32_t> delivery =
        has("lastDeliveryIndex") ? std::optional(int32Field(command, "lastDeliveryIndex"))
                                 : std::nullopt;
    const std::optional<double> start =
        has("lastBundleStartTimestamp")
            ? std::optional(numberField(command, "lastBundleStartTimestamp"))
            : std::nullopt;
    const std::optional<double> end =
        has("lastBundleEndTimestamp")
            ? std::optional(numberField(command, "lastBundleEndTimestamp"))
            : std::nullopt;
    return onWorker([&](DatabaseState& s) {
      APMDatabase& database = openDatabase(s);
      const auto stored = storedMetadata(database);
      const APMAppMetadata metadata(bundle.value_or(stored->lastBundleIndex()),
                                    delivery.value_or(stored->lastDeliveryIndex()),
                                    start.value_or(stored->lastBundleStartTimestamp()),
                                    end.value_or(stored->lastBundleEndTimestamp()));
      platform::ErrorPtr error;
      if (!database.updateAppMetadata(&metadata, &error)) fail(error);
      return metadataJson(*storedMetadata(database));
    });
  });
  session.add("increaseLastBundleIndex", [](const Json& command) {
    const std::int64_t by = integerField(command, "by");
    return changeMetadata([by](APMAppMetadata& metadata) { metadata.increaseLastBundleIndex(by); });
  });
  session.add("incrementLastDeliveryIndex", [](const Json&) {
    return changeMetadata([](APMAppMetadata& metadata) { metadata.incrementLastDeliveryIndex(); });
  });
  session.add("dailyCounts", [](const Json&) {
    return onWorker([](DatabaseState& s) {
      APMDatabase& database = openDatabase(s);
      platform::ErrorPtr error;
      const auto counts = database.dailyCounts(&error);
      if (!counts) {
        if (error) fail(error);
        throw ProbeInputError("the app-metadata row is missing");
      }
      return countsJson(*counts, database.currentDayNumber());
    });
  });
  session.add("countDaily", [](const Json& command) {
    const std::string kind = command.contains("kind") ? stringField(command, "kind") : "event";
    const bool isPublic = boolField(command, "public", false);
    const bool isConversion = boolField(command, "conversion", false);
    const std::int32_t count = command.contains("count") ? int32Field(command, "count") : 1;
    if (count < 0) throw ProbeInputError("\"count\" must not be negative");
    if (kind != "event" && kind != "error" && kind != "realtime" && kind != "dcuRealtime") {
      throw ProbeInputError("\"kind\" must be event, error, realtime or dcuRealtime");
    }
    return onWorker([&](DatabaseState& s) {
      APMDatabase& database = openDatabase(s);
      platform::ErrorPtr error;
      const auto counts = database.dailyCounts(&error);
      if (!counts) fail(error);
      const std::int32_t today = database.currentDayNumber();
      if (kind == "event") {
        counts->incrementCountsForCurrentDay(today, isPublic, isConversion, count);
      } else if (kind == "error") {
        counts->incrementErrorEventsCountForCurrentDay(today);
      } else if (kind == "realtime") {
        counts->incrementRealtimeCountsForCurrentDay(today);
      } else {
        counts->incrementDCURealtimeCountsForCurrentDay(today);
      }
      if (!database.updateDailyCounts(counts.get(), &error)) fail(error);
      return countsJson(*counts, today);
    });
  });
  session.add("remoteConfigFromFile", [](const Json& command) {
    const std::string file = stringField(command, "file");
    platform::ErrorPtr readError;
    const auto bytes = platform::FileManager::defaultManager().contentsAtPath(file, &readError);
    if (!bytes) throw ProbeInputError("cannot read " + file);
    auto config = APMPBMeasurementConfig::initWithBuffer(*bytes);
    if (!config) throw ProbeInputError(file + " holds no MeasurementConfig message");
    return onWorker([&](DatabaseState& s) {
      APMDatabase& database = openDatabase(s);
      platform::ErrorPtr error;
      if (!database.updateRemoteConfig(config.get(), &error)) fail(error);
      const auto timestamp = database.lastRemoteConfigUpdateTimestamp(&error);
      return Json{{"stored", true}, {"timestamp", timestamp ? Json(*timestamp) : Json(nullptr)}};
    });
  });
  session.add("remoteConfig", [](const Json&) {
    return onWorker([](DatabaseState& s) {
      APMDatabase& database = openDatabase(s);
      platform::ErrorPtr error;
      const auto config = database.queryMeasurementConfigWithError(&error);
      if (!config && error) fail(error);
      const auto timestamp = database.lastRemoteConfigUpdateTimestamp(&error);
      const auto bytes = config ? config->protoBuffer() : std::nullopt;
      return Json{{"bytes", bytes ? Json(platform::base64Encode(*bytes)) : Json(nullptr)},
                  {"timestamp", timestamp ? Json(*timestamp) : Json(nullptr)}};
    });
  });
  session.add("remoteConfigTimestamp", [](const Json& command) {
    const double seconds = numberField(command, "seconds");
    return onWorker([&](DatabaseState& s) {
      platform::ErrorPtr error;
      if (!openDatabase(s).updateRemoteConfigSuccessfulTimestamp(seconds, &error)) fail(error);
      return Json(true);
    });
  });

  // Connections are closed before the probe exits, so SQLite finishes its files.
  session.addFinisher([] {
    onWorker([](DatabaseState& s) {
      s.database.reset();
      s.store.reset();
      return Json(nullptr);
    });
  });
}

}  // namespace lumora::probe
