#include "tools/measurement-probe/tables_commands.h"

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_utilities.h"
#include "platform/core/base64.h"
#include "platform/foundation/file_manager.h"
#include "tools/measurement-probe/database_commands.h"
#include "tools/measurement-probe/model_commands.h"

namespace lumora::probe {

namespace {

namespace Bundle = apmpb_field::MeasurementBundle;

// Runs `body` with the open database on its worker queue.
Json withDatabase(const std::function<Json(APMDatabase&)>& body) {
  return onDatabaseWorker([&] {
    auto database = openedDatabase();
    if (!database) throw ProbeInputError("the database is not open (databaseOpen)");
    return body(*database);
  });
}

platform::Bytes bytesField(const Json& command, const char* name) {
  const auto bytes = platform::base64Decode(stringField(command, name));
  if (!bytes) throw ProbeInputError(std::string("\"") + name + "\" must be base64");
  return *bytes;
}

platform::Bytes fileField(const Json& command) {
  const std::string file = stringField(command, "file");
  platform::ErrorPtr error;
  const auto bytes = platform::FileManager::defaultManager().contentsAtPath(file, &error);
  if (!bytes) throw ProbeInputError("cannot read " + file);
  return *bytes;
}

std::int32_t int32Of(const Json& command, const char* name, std::int32_t fallback) {
  if (!command.contains(name)) return fallback;
  const std::int64_t value = integerField(command, name);
  if (value < INT32_MIN || value > INT32_MAX) {
    throw ProbeInputError(std::string("\"") + name + "\" must fit 32 bits");
  }
  return static_cast<std::int32_t>(value);
}

double numberOr(const Json& command, const char* name, double fallback) {
  return command.contains(name) ? numberField(command, name) : fallback;
}

std::string stringOr(const Json& command, const char* name, const std::string& fallback) {
  return command.contains(name) ? stringField(command, name) : fallback;
}

std::vector<std::int64_t> rowIDsField(const Json& command) {
  const Json& ids = requiredField(command, "rowIDs");
  if (!ids.is_array()) throw ProbeInputError("\"rowIDs\" must be a list");
  std::vector<std::int64_t> out;
  for (const auto& id : ids) {
    if (!id.is_number_integer()) throw ProbeInputError("each row ID must be an integer");
    out.push_back(id.get<std::int64_t>());
  }
  return out;
}

APMValue valueField(const Json& command) {
  const auto value = APMValue::valueFromObject(valueFromJson(requiredField(command, "value")));
  if (!value) throw ProbeInputError("\"value\" must be a number or a string");
  return *value;
}

// A bundle with the app ID and end time given, its message padded (device model) to `size`
// bytes when a size is given.
std::shared_ptr<APMPBMeasurementBundle> bundleFromFields(const Json& command) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), Bundle::kAppId, stringOr(command, "appID", "com.example.lumora"));
  NANOSetInt64(bundle.get(), Bundle::kEndTimestampMillis,
               APMMillisecondsFromSeconds(numberField(command, "endTimestamp")));
  if (command.contains("retryCount")) {
    NANOSetInt32(bundle.get(), Bundle::kRetryCount, int32Of(command, "retryCount", 0));
  }
  if (!command.contains("size")) return bundle;
  const std::int64_t size = integerField(command, "size");
  const auto base = static_cast<std::int64_t>(bundle->protoBuffer()->size());
  std::int64_t pad = size - base - 2;
  for (int attempt = 0; attempt < 8 && pad >= 0; ++attempt) {
    NANOSetString(bundle.get(), Bundle::kDeviceModel, std::string(static_cast<size_t>(pad), 'x'));
    const auto actual = static_cast<std::int64_t>(bundle->protoBuffer()->size());
    if (actual == size) return bundle;
    pad += size - actual - (attempt > 3 ? 1 : 0);
  }
  throw ProbeInputError("no bundle of that \"size\"");
}

Json rawEventJson(const APMRawEventData& raw) {
  Json out{{"rowID", raw.rowID()}, {"fingerprint", raw.metadataFingerprint()}};
  out["event"] = raw.event() ? eventJson(*raw.event()) : Json(nullptr);
  return out;
}

Json valueJson(const APMValue& value) {
  return jsonFromValue(value.value());
}

Json userPropertyJson(const APMUserAttribute& attribute) {
  return Json{{"origin", attribute.origin()},
              {"name", attribute.name()},
              {"value", valueJson(attribute.value())},
              {"timestamp", attribute.lastSetTimestamp()}};
}

Json conditionalJson(const APMConditionalUserProperty& property) {
  const auto eventName = [](const std::shared_ptr<APMEvent>& event) {
    return event ? Json(event->name()) : Json(nullptr);
  };
  return Json{{"name", property.name()},
              {"origin", property.origin()},
              {"value", property.value() ? valueJson(*property.value()) : Json(nullptr)},
              {"active", property.active()},
              {"creationTimestamp", property.creationTimestamp()},
              {"triggerEventName", property.triggerEventName()},
              {"triggerTimeout", property.triggerTimeout()},
              {"triggeredTimestamp", property.triggeredTimestamp()},
              {"timeToLive", property.timeToLive()},
              {"triggeredEvent", eventName(property.triggeredEvent())},
              {"timedOutEvent", eventName(property.timedOutEvent())},
              {"expiredEvent", eventName(property.expiredEvent())}};
}

Json aggregatesJson(const APMEventAggregates& aggregates) {
  const auto& complexID = aggregates.lastSampledComplexEventID();
  return Json{{"name", aggregates.name()},
              {"lifetimeCount", aggregates.lifetimeCount()},
              {"currentBundleCount", aggregates.currentBundleCount()},
              {"currentSessionCount", aggregates.currentSessionCount()},
              {"lastFireTimestamp", aggregates.lastFireTimestamp()},
              {"lastBundledTimestamp", aggregates.lastBundledTimestamp()},
              {"lastSampledComplexEventID", complexID ? Json(*complexID) : Json(nullptr)},
              {"lastSamplingRate", aggregates.lastSamplingRate()},
              {"lastExemptFromSampling", aggregates.lastExemptFromSampling()},
              {"lastBundledDay", aggregates.lastBundledDay()}};
}

template <class T> T checked(std::optional<T> value, const platform::ErrorPtr& error) {
  if (!value) failWithError(error);
  return std::move(*value);
}

}  // namespace

void registerTableCommands(ProbeSession& session) {
  // Raw events and their metadata.
  session.add("rawEventMetadataInsert", [](const Json& command) {
    std::shared_ptr<APMPBMeasurementBundle> metadata;
    if (command.contains("file")) {
      metadata = APMPBMeasurementBundle::initWithBuffer(fileField(command));
      if (!metadata) throw ProbeInputError("the file holds no MeasurementBundle message");
    } else {
      metadata = APMPBMeasurementBundle::initWithMessageInfo();
      NANOSetString(metadata.get(), Bundle::kAppId, stringField(command, "appID"));
      if (command.contains("osVersion")) {
        NANOSetString(metadata.get(), Bundle::kOsVersion, stringField(command, "osVersion"));
      }
    }
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.insertIfNotExistsRawEventMetadata(metadata.get(), &error)) {
        failWithError(error);
      }
      const auto bytes = metadata->protoBuffer();
      return Json{{"fingerprint", static_cast<std::int64_t>(apm_64LSBMD5(*bytes))}};
    });
  });
  session.add("rawEventInsert", [](const Json& command) {
    platform::ValueMap parameters;
    if (command.contains("parameters")) {
      const platform::Value value = valueFromJson(command.at("parameters"));
      if (!value.isMap()) throw ProbeInputError("\"parameters\" must be an object");
      parameters = value.asMap();
    }
    auto event = APMEvent::initWithOrigin(stringOr(command, "origin", "app"), false,
                                          stringField(command, "name"),
                                          numberField(command, "timestamp"), 0, parameters);
    if (!event) throw ProbeInputError("the event is refused");
    const std::int64_t fingerprint = integerField(command, "fingerprint");
    const bool realtime = boolField(command, "realtime", false);
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.insertRawEvent(event, fingerprint, realtime, &error)) failWithError(error);
      return Json(true);
    });
  });
  // {"op":"rawEvents"}: every row; with "fingerprint": that fingerprint's oldest (at most 1000).
  session.add("rawEvents", [](const Json& command) {
    const std::optional<std::int64_t> fingerprint =
        command.contains("fingerprint") ? std::optional(integerField(command, "fingerprint"))
                                        : std::nullopt;
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      const auto events = fingerprint
                              ? database.rawEventsWithMetadataFingerprint(*fingerprint, &error)
                              : database.allRawEventsWithError(&error);
      Json out = Json::array();
      for (const auto& raw : checked(events, error))
        out.push_back(rawEventJson(*raw));
      return out;
    });
  });
  session.add("rawEventsNextFingerprint", [](const Json&) {
    return withDatabase([](APMDatabase& database) {
      platform::ErrorPtr error;
      const auto fingerprint = database.nextMetadataFingerprintToProcess(&error);
      if (!fingerprint && error) failWithError(error);
      return fingerprint ? Json(*fingerprint) : Json(nullptr);
    });
  });
  session.add("rawEventsTrim", [](const Json&) {
    return withDatabase([](APMDatabase& database) {
      platform::ErrorPtr error;
      return Json{{"deleted", checked(database.deleteRawEventsOverAbsoluteLimit(&error), error)}};
    });
  });

  // The upload queue.
  session.add("bundleInsert", [](const Json& command) {
    std::shared_ptr<APMPBMeasurementBundle> bundle;
    if (command.contains("file")) {
      bundle = APMPBMeasurementBundle::initWithBuffer(fileField(command));
      if (!bundle) throw ProbeInputError("the file holds no MeasurementBundle message");
    } else {
      bundle = bundleFromFields(command);
    }
    const bool realtime = boolField(command, "realtime", false);
    const auto size = bundle->protoBuffer()->size();
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.insertBundle(bundle.get(), realtime, &error)) failWithError(error);
      return Json{{"size", size}};
    });
  });
  session.add("bundles", [](const Json& command) {
    const std::int64_t count = integerField(command, "countLimit");
    const std::int64_t size = integerField(command, "sizeLimit");
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      Json out = Json::array();
      for (const auto& queued :
           checked(database.queryBundlesWithCountLimit(count, size, &error), error)) {
        out.push_back(Json{{"rowID", queued.rowID},
                           {"size", queued.decodedSize},
                           {"retryCount", NANOGetInt32(queued.bundle.get(), Bundle::kRetryCount)},
                           {"endTimestamp", static_cast<double>(NANOGetInt64(
                                                queued.bundle.get(), Bundle::kEndTimestampMillis)) /
                                                1000.0}});
      }
      return out;
    });
  });
  session.add("bundlesRetry", [](const Json& command) {
    const auto ids = rowIDsField(command);
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.incrementRetryCounterForBundlesWithIDs(ids, &error)) failWithError(error);
      return Json(true);
    });
  });
  session.add("bundlesDelete", [](const Json& command) {
    const auto ids = rowIDsField(command);
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.deleteBundlesWithRowIDs(ids, &error)) failWithError(error);
      return Json(true);
    });
  });
  // True when a purge ran, false when none was due.
  session.add("staleDataPurge", [](const Json&) {
    return withDatabase([](APMDatabase& database) {
      platform::ErrorPtr error;
      return Json(checked(database.maybeDeleteStaleData(&error), error));
    });
  });

  // User properties.
  session.add("userPropertySet", [](const Json& command) {
    const APMUserAttribute attribute(stringOr(command, "origin", "app"),
                                     stringField(command, "name"), valueField(command),
                                     numberOr(command, "timestamp", 0));
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.updateUserAttribute(&attribute, &error)) failWithError(error);
      return Json(true);
    });
  });
  session.add("userProperties", [](const Json& command) {
    const bool internal = boolField(command, "internal", true);
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      Json out = Json::array();
      for (const auto& attribute :
           checked(database.userAttributesIncludingInternal(internal, &error), error)) {
        out.push_back(userPropertyJson(*attribute));
      }
      return out;
    });
  });

  // Conditional user properties.
  session.add("conditionalPropertySet", [](const Json& command) {
    APMConditionalUserProperty property;
    property.setName(stringField(command, "name"));
    property.setOrigin(stringOr(command, "origin", "app"));
    property.setValue(valueField(command));
    property.setActive(boolField(command, "active", false));
    property.setCreationTimestamp(numberOr(command, "creationTimestamp", 0));
    property.setTriggerEventName(stringOr(command, "triggerEventName", ""));
    property.setTriggerTimeout(numberOr(command, "triggerTimeout", 0));
    property.setTriggeredTimestamp(numberOr(command, "triggeredTimestamp", 0));
    property.setTimeToLive(numberOr(command, "timeToLive", 0));
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.updateConditionalUserProperty(&property, &error)) failWithError(error);
      return Json(true);
    });
  });
  // {"op":"conditionalProperties","prefix":..,"origin":..}, or "select": "timedOut", "expired"
  // or "triggered" (with "eventName").
  session.add("conditionalProperties", [](const Json& command) {
    const std::string select = stringOr(command, "select", "prefix");
    const std::string prefix = stringOr(command, "prefix", "");
    const std::string origin = stringOr(command, "origin", "");
    const std::string eventName = stringOr(command, "eventName", "");
    if (select != "prefix" && select != "timedOut" && select != "expired" &&
        select != "triggered") {
      throw ProbeInputError("\"select\" must be prefix, timedOut, expired or triggered");
    }
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      const auto found =
          select == "timedOut"  ? database.timedOutConditionalUserPropertiesWithError(&error)
          : select == "expired" ? database.expiredConditionalUserPropertiesWithError(&error)
          : select == "triggered"
              ? database.triggeredConditionalUserPropertiesWithEventName(eventName, &error)
              : database.conditionalUserPropertiesWithPrefix(prefix, origin, &error);
      Json out = Json::array();
      for (const auto& property : checked(found, error))
        out.push_back(conditionalJson(*property));
      return out;
    });
  });

  // Event aggregates and the snapshot.
  session.add("aggregatesSet", [](const Json& command) {
    auto aggregates = APMEventAggregates::initWithName(
        stringField(command, "name"), int32Of(command, "lifetimeCount", 1),
        int32Of(command, "currentBundleCount", 1), int32Of(command, "currentSessionCount", 1),
        numberOr(command, "lastFireTimestamp", 0));
    if (!aggregates) throw ProbeInputError("the aggregates are refused");
    if (command.contains("lastSamplingRate")) {
      aggregates->setLastSamplingRate(int32Of(command, "lastSamplingRate", 1));
    }
    if (command.contains("lastSampledComplexEventID")) {
      aggregates->setLastSampledComplexEventID(integerField(command, "lastSampledComplexEventID"));
    }
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.updateEventAggregates(aggregates.get(), &error)) failWithError(error);
      return Json(true);
    });
  });
  // {"op":"aggregates","name":..,"snapshot":false}; without a name, every row of "events".
  session.add("aggregates", [](const Json& command) {
    const bool snapshot = boolField(command, "snapshot", false);
    const std::optional<std::string> name =
        command.contains("name") ? std::optional(stringField(command, "name")) : std::nullopt;
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!name) {
        Json out = Json::array();
        for (const auto& aggregates : checked(database.allEventAggregates(&error), error))
          out.push_back(aggregatesJson(*aggregates));
        return out;
      }
      const auto found = snapshot ? database.eventAggregatesSnapshotWithName(*name, &error)
                                  : database.eventAggregatesWithName(*name, &error);
      if (!found && error) failWithError(error);
      return found ? aggregatesJson(*found) : Json(nullptr);
    });
  });
  session.add("eventsSnapshot", [](const Json& command) {
    const std::string action = stringField(command, "action");
    if (action != "create" && action != "restore") {
      throw ProbeInputError("\"action\" must be create or restore");
    }
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      const bool done = action == "create" ? database.createEventsSnapshotTable(&error)
                                           : database.restoreFromEventsSnapshotTable(&error);
      if (!done) failWithError(error);
      return Json(true);
    });
  });

  // Audience filters.
  session.add("eventFiltersSet", [](const Json& command) {
    const Json& list = requiredField(command, "filters");
    if (!list.is_array()) throw ProbeInputError("\"filters\" must be a list");
    APMDatabase::EventFilters filters;
    for (const auto& item : list) {
      filters.push_back(APMEventFilter::initWithAudienceID(
          int32Of(item, "audienceID", 0), int32Of(item, "filterID", 0),
          stringField(item, "eventName"), bytesField(item, "data"),
          boolField(item, "sessionScoped", false), boolField(item, "dynamic", false),
          boolField(item, "sequence", false)));
    }
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      if (!database.updateEventFilters(filters, &error)) failWithError(error);
      return Json(true);
    });
  });
  session.add("eventFilters", [](const Json& command) {
    const std::string eventName = stringField(command, "eventName");
    return withDatabase([&](APMDatabase& database) {
      platform::ErrorPtr error;
      Json out = Json::array();
      for (const auto& filter :
           checked(database.eventFiltersForEventName(eventName, &error), error)) {
        out.push_back(Json{{"audienceID", filter->audienceID()},
                           {"filterID", filter->filterID()},
                           {"sessionScoped", filter->isSessionScoped()},
                           {"dynamic", filter->isDynamic()},
                           {"sequence", filter->isSequence()}});
      }
      return out;
    });
  });
  // {audience ID: [filter IDs]} of the rows marked session-scoped.
  session.add("sessionScopedFilters", [](const Json&) {
    return withDatabase([](APMDatabase& database) {
      platform::ErrorPtr error;
      Json out = Json::object();
      for (const auto& [audience, filters] :
           checked(database.allSessionScopedFilters(&error), error)) {
        out[std::to_string(audience)] = filters;
      }
      return out;
    });
  });

  // Purchase fingerprints: one answer per fingerprint, in order.
  session.add("purchaseFingerprints", [](const Json& command) {
    const Json& list = requiredField(command, "fingerprints");
    if (!list.is_array()) throw ProbeInputError("\"fingerprints\" must be a list");
    std::vector<std::string> fingerprints;
    for (const auto& item : list) {
      if (!item.is_string()) throw ProbeInputError("each fingerprint must be a string");
      fingerprints.push_back(item.get<std::string>());
    }
    return withDatabase([&](APMDatabase& database) {
      Json out = Json::array();
      // One transaction for the lot, as the write path groups its writes.
      platform::ErrorPtr error;
      const bool committed = database.performTransaction([&] {
        for (const auto& fingerprint : fingerprints) {
          const auto answer = database.insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error);
          if (!answer) return false;
          out.push_back(*answer);
        }
        return true;
      });
      if (!committed) failWithError(error);
      return out;
    });
  });
}

}  // namespace lumora::probe
