#include "tools/measurement-probe/experiments_commands.h"

#include <exception>
#include <memory>

#include "measurement/experiments/apme_database.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_file_locations.h"
#include "platform/core/base64.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/file_manager.h"

namespace lumora::probe {

namespace {

namespace field = apmpb_field;

platform::QueuePtr worker() {
  static auto* shared =
      new platform::QueuePtr(platform::makeSerialQueue("APMExperimentWorkerQueue"));
  return *shared;
}

// The database between lines; touched on the worker queue only.
std::shared_ptr<APMEDatabase>& database() {
  static auto* shared = new std::shared_ptr<APMEDatabase>();
  return *shared;
}

Json onWorker(const std::function<Json()>& body) {
  Json result;
  std::exception_ptr failure;
  worker()->sync([&] {
    try {
      result = body();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  return result;
}

std::string errorText(const platform::ErrorPtr& error) {
  return error ? std::to_string(error->code) + ": " + error->localizedDescription() : "";
}

APMEDatabase& openDatabase() {
  if (!database()) throw ProbeInputError("the experiments database is not open (action open)");
  return *database();
}

// --- Snapshot messages from JSON: {"sdkName", "experiments": [{"id", "flags": [{"name",
// "int" | "string" | "double" | "bool"}]}]}; a field left out stays absent in the message.
std::shared_ptr<APMPBFlag> flagFromJson(const Json& json) {
  if (!json.is_object()) throw ProbeInputError("a flag must be an object");
  auto flag = APMPBFlag::initWithMessageInfo();
  if (json.contains("name"))
    NANOSetString(flag.get(), field::Flag::kName, stringField(json, "name"));
  if (json.contains("int"))
    NANOSetInt64(flag.get(), field::Flag::kIntValue, integerField(json, "int"));
  if (json.contains("string")) {
    NANOSetString(flag.get(), field::Flag::kStringValue, stringField(json, "string"));
  }
  if (json.contains("double")) {
    NANOSetDouble(flag.get(), field::Flag::kDoubleValue, numberField(json, "double"));
  }
  if (json.contains("bool"))
    NANOSetBool(flag.get(), field::Flag::kBoolValue, boolField(json, "bool", false));
  return flag;
}

std::shared_ptr<APMPBSnapshot> snapshotMessageFromJson(const Json& json) {
  if (!json.is_object()) throw ProbeInputError("\"snapshot\" must be an object");
  auto message = APMPBSnapshot::initWithMessageInfo();
  if (json.contains("sdkName")) {
    NANOSetString(message.get(), field::Snapshot::kSdkName, stringField(json, "sdkName"));
  }
  platform::ValueList experiments;
  if (json.contains("experiments")) {
    const Json& list = json.at("experiments");
    if (!list.is_array()) throw ProbeInputError("\"experiments\" must be a list");
    for (const auto& item : list) {
      if (!item.is_object()) throw ProbeInputError("an experiment must be an object");
      auto experiment = APMPBExperiment::initWithMessageInfo();
      if (item.contains("id")) {
        const std::int64_t id = integerField(item, "id");
        if (id < INT32_MIN || id > INT32_MAX) throw ProbeInputError("\"id\" must fit 32 bits");
        NANOSetInt32(experiment.get(), field::Experiment::kExperimentId,
                     static_cast<std::int32_t>(id));
      }
      platform::ValueList flags;
      if (item.contains("flags")) {
        if (!item.at("flags").is_array()) throw ProbeInputError("\"flags\" must be a list");
        for (const auto& f : item.at("flags"))
          flags.emplace_back(platform::ObjectPtr(flagFromJson(f)));
      }
      NANOSetArray(experiment.get(), field::Experiment::kFlags, &flags);
      experiments.emplace_back(platform::ObjectPtr(experiment));
    }
  }
  NANOSetArray(message.get(), field::Snapshot::kExperiments, &experiments);
  return message;
}

// The Snapshot message of a command: "file" (encoded bytes, as protoc --encode writes them),
// "bytes" (base64) or "snapshot" (the JSON form).
std::shared_ptr<APMPBSnapshot> snapshotMessageOf(const Json& command) {
  if (command.contains("snapshot")) return snapshotMessageFromJson(command.at("snapshot"));
  platform::Bytes bytes;
  if (command.contains("file")) {
    const std::string file = stringField(command, "file");
    platform::ErrorPtr error;
    auto contents = platform::FileManager::defaultManager().contentsAtPath(file, &error);
    if (!contents) throw ProbeInputError("cannot read " + file);
    bytes = std::move(*contents);
  } else if (command.contains("bytes")) {
    auto decoded = platform::base64Decode(stringField(command, "bytes"));
    if (!decoded) throw ProbeInputError("\"bytes\" must be base64");
    bytes = std::move(*decoded);
  } else {
    throw ProbeInputError("give \"file\", \"bytes\" or \"snapshot\"");
  }
  auto message = APMPBSnapshot::initWithBuffer(bytes);
  if (!message) throw ProbeInputError("the bytes hold no Snapshot message");
  return message;
}

Json flagJson(const APMPBFlag& flag) {
  Json out = Json::object();
  out["name"] = NANOHasField(&flag, field::Flag::kName)
                    ? Json(NANOGetString(&flag, field::Flag::kName).value_or(""))
                    : Json(nullptr);
  if (NANOHasField(&flag, field::Flag::kIntValue))
    out["int"] = NANOGetInt64(&flag, field::Flag::kIntValue);
  if (NANOHasField(&flag, field::Flag::kStringValue)) {
    out["string"] = NANOGetString(&flag, field::Flag::kStringValue).value_or("");
  }
  if (NANOHasField(&flag, field::Flag::kDoubleValue)) {
    out["double"] = NANOGetDouble(&flag, field::Flag::kDoubleValue);
  }
  if (NANOHasField(&flag, field::Flag::kBoolValue))
    out["bool"] = NANOGetBool(&flag, field::Flag::kBoolValue);
  return out;
}

Json snapshotJson(const APMESnapshot& snapshot) {
  Json experiments = Json::array();
  for (const auto& experiment : snapshot.experiments()) {
    Json flags = Json::array();
    for (const auto& flag : experiment->flags())
      flags.push_back(flagJson(*flag));
    experiments.push_back(Json{{"id", experiment->experimentID()}, {"flags", flags}});
  }
  return Json{{"sdkName", snapshot.SDKName()},
              {"timestamp", snapshot.timestamp()},
              {"manuallyActivated", snapshot.manuallyActivated()},
              {"experiments", experiments}};
}

Json snapshotsJson(const std::optional<APMEDatabase::Snapshots>& snapshots) {
  if (!snapshots) return Json(nullptr);
  Json out = Json::array();
  for (const auto& snapshot : *snapshots)
    out.push_back(snapshotJson(*snapshot));
  return out;
}

// A snapshot from the command's message, with "timestamp" and "manuallyActivated" when given.
std::shared_ptr<APMESnapshot> snapshotOf(const Json& command) {
  const auto message = snapshotMessageOf(command);
  auto snapshot = APMESnapshot::initWithProtobuf(message.get());
  if (!snapshot) throw ProbeInputError("the message gives no snapshot");
  if (command.contains("timestamp")) snapshot->setTimestamp(numberField(command, "timestamp"));
  snapshot->setManuallyActivated(boolField(command, "manuallyActivated", false));
  return snapshot;
}

std::string tableOf(const std::string& name) {
  if (name == "pending") return APMEPendingSnapshotTableName;
  if (name == "activated") return APMEActivatedSnapshotTableName;
  if (name == "launched") return APMELaunchedSnapshotTableName;
  throw ProbeInputError("\"table\" must be pending, activated or launched");
}

// {"ok": result} plus the error the operation left, when there is one.
Json outcome(bool ok, const platform::ErrorPtr& error) {
  Json out{{"ok", ok}};
  if (error) out["error"] = errorText(error);
  return out;
}

Json databaseAction(const Json& command) {
  const std::string action = stringField(command, "action");
  if (action == "open") {
    const std::string path = command.contains("path")
                                 ? stringField(command, "path")
                                 : APMFilePathForDatabaseName(APMEDatabaseFileName);
    return onWorker([&] {
      database().reset();
      database() = APMEDatabase::initWithPath(path);
      return Json{{"opened", static_cast<bool>(database())}, {"path", path}};
    });
  }
  if (action == "upsert-pending") {
    const Json& list = requiredField(command, "snapshots");
    if (!list.is_array()) throw ProbeInputError("\"snapshots\" must be a list");
    APMEDatabase::Snapshots snapshots;
    for (const auto& item : list)
      snapshots.push_back(snapshotOf(item));
    return onWorker([&] {
      platform::ErrorPtr error;
      return outcome(openDatabase().upsertPendingExperimentSnapshots(snapshots, &error), error);
    });
  }
  if (action == "activate") {
    // The pending snapshot of "sdkName" as stored, or one given in the command; at "at".
    const double at = numberField(command, "at");
    const std::string sdkName = command.contains("sdkName") ? stringField(command, "sdkName") : "";
    const auto given = sdkName.empty() ? snapshotOf(command) : nullptr;
    return onWorker([&] {
      APMEDatabase& db = openDatabase();
      auto snapshot = given;
      if (!snapshot) {
        const auto pending = db.fetchAllPendingSnapshots(nullptr);
        for (const auto& s : pending.value_or(APMEDatabase::Snapshots{}))
          if (s->SDKName() == sdkName) snapshot = s;
        if (!snapshot) throw ProbeInputError("no pending snapshot of " + sdkName);
      }
      platform::ErrorPtr error;
      bool activated = false;
      const bool committed = db.performTransaction([&] {
        activated = db.activateSnapshot(snapshot, at, &error);
        return activated;
      });
      return outcome(committed && activated, error);
    });
  }
  if (action == "activate-automatically") {
    return onWorker([] {
      APMEDatabase& db = openDatabase();
      platform::ErrorPtr error;
      bool activated = false;
      const bool committed = db.performTransaction([&] {
        activated = db.activatePendingSnapshotsAutomatically(&error);
        return activated;
      });
      return outcome(committed && activated, error);
    });
  }
  if (action == "delete-stale") {
    return onWorker([] {
      platform::ErrorPtr error;
      return outcome(openDatabase().deleteStaleActivatedSnapshots(&error), error);
    });
  }
  if (action == "fetch-all") {
    const std::string table = command.contains("table") ? stringField(command, "table") : "";
    if (!table.empty()) tableOf(table);
    return onWorker([&] {
      APMEDatabase& db = openDatabase();
      Json out = Json::object();
      platform::ErrorPtr error;
      if (table.empty() || table == "pending")
        out["pending"] = snapshotsJson(db.fetchAllPendingSnapshots(&error));
      if (table.empty() || table == "activated") {
        out["activated"] = snapshotsJson(db.fetchAllActivatedSnapshots(&error));
      }
      if (table.empty() || table == "launched")
        out["launched"] = snapshotsJson(db.fetchAllLaunchedSnapshots(&error));
      if (error) out["error"] = errorText(error);
      return out;
    });
  }
  if (action == "delete") {
    const std::string table = tableOf(stringField(command, "table"));
    const std::string sdkName = stringField(command, "sdkName");
    return onWorker([&] {
      APMEDatabase& db = openDatabase();
      platform::ErrorPtr error;
      bool ok;
      if (table == APMEActivatedSnapshotTableName) {
        ok = db.deleteActivatedExperimentsOfSDKName(sdkName, &error);
      } else if (table == APMEPendingSnapshotTableName) {
        ok = db.deletePendingExperimentsOfSDKName(sdkName, &error);
      } else {
        ok = db.deleteLaunchedExperimentSDKName(sdkName, &error);
      }
      return outcome(ok, error);
    });
  }
  if (action == "reset") {
    return onWorker([] {
      APMEDatabase& db = openDatabase();
      db.reset();
      return Json{{"open", static_cast<bool>(db.sqliteStore())}};
    });
  }
  if (action == "close-and-delete") {
    return onWorker([] {
      openDatabase().closeAndDelete();
      database().reset();
      return Json(nullptr);
    });
  }
  if (action == "close") {
    return onWorker([] {
      database().reset();
      return Json(nullptr);
    });
  }
  throw ProbeInputError("unknown action " + action);
}

}  // namespace

void registerExperimentsCommands(ProbeSession& session) {
  session.add("exp-snapshot", [](const Json& command) {
    const auto message = snapshotMessageOf(command);
    const auto snapshot = APMESnapshot::initWithProtobuf(message.get());
    if (!snapshot) return Json{{"snapshot", nullptr}};
    Json out = snapshotJson(*snapshot);
    const auto bytes = snapshot->proto()->protoBuffer();
    out["bytes"] = bytes ? Json(platform::base64Encode(*bytes)) : Json(nullptr);
    return Json{{"snapshot", out}};
  });
  session.add("exp-db", databaseAction);
  // The file is closed before the probe exits, so SQLite finishes it.
  session.addFinisher([] {
    onWorker([] {
      database().reset();
      return Json(nullptr);
    });
  });
}

}  // namespace lumora::probe
