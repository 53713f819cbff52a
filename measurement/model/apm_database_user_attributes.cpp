// APMDatabase: user properties (table "user_attributes") and conditional user properties (table
// "conditional_properties"), with the stored form of the events a conditional property carries.
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_name_tables.h"
#include "platform/dispatch/clock.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kUserAttributes = "user_attributes";
constexpr const char* kConditionalProperties = "conditional_properties";

// LIKE patterns take "%" and "_" as wildcards; the selections below match them literally.
std::string escapedForLike(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (c == '!' || c == '%' || c == '_') escaped += '!';
    escaped += c;
  }
  return escaped;
}

platform::Value now() {
  return platform::Value(platform::Clock::current().now());
}

}  // namespace

platform::Value APMObjectFromValue(const APMValue& value) {
  if (const std::string* text = value.stringValue()) return platform::Value(*text);
  if (value.isDouble()) return platform::Value(value.doubleValue());
  return platform::Value(value.int64Value());
}

std::shared_ptr<APMUserAttribute> APMUserAttributeFromDictionary(const APMSqliteRecord* row,
                                                                 platform::ErrorPtr* error) {
  if (!APMAssertNotNull(row, error, 3, "Received empty dictionary for getting user property")) {
    return nullptr;
  }
  const platform::Value* stored = presentColumn(*row, "value");
  const auto value = stored ? APMValue::valueFromObject(*stored) : std::nullopt;
  const std::string* name = stringColumn(*row, "name");
  if (!value || !name) {
    APMSetError(error, 3, "Failed to convert stored user property");
    return nullptr;
  }
  const std::string* origin = stringColumn(*row, "origin");
  return std::make_shared<APMUserAttribute>(origin ? *origin : std::string(), *name, *value,
                                            doubleColumn(*row, "set_timestamp").value_or(0));
}

std::optional<platform::Bytes> APMNSDataFromEvent(const APMEvent* event) {
  if (!event) return std::nullopt;
  const auto proto = event->protoEvent();
  return proto ? proto->protoBuffer() : std::nullopt;
}

std::shared_ptr<APMEvent> APMEventFromNSData(const platform::Value& data,
                                             platform::ErrorPtr* error) {
  if (!APMAssertTrue(data.isBytes(), error, 2,
                     "Failed to convert data to an event. Data must be a NSData instance")) {
    return nullptr;
  }
  const auto proto = APMPBEvent::initWithBuffer(data.asBytes());
  if (!APMAssertNotNull(proto.get(), error, 2, "Failed to parse event from data")) return nullptr;
  auto event = APMEvent::initWithEventProto(*proto);
  if (!APMAssertNotNull(event.get(), error, 2, "Failed to initialize event from proto data")) {
    return nullptr;
  }
  return event;
}

std::shared_ptr<APMConditionalUserProperty>
APMConditionalUserPropertyFromDictionary(const APMSqliteRecord* row, platform::ErrorPtr* error) {
  if (!row) return nullptr;
  auto property = std::make_shared<APMConditionalUserProperty>();
  const std::string* name = stringColumn(*row, "name");
  const std::string* origin = stringColumn(*row, "origin");
  property->setName(name ? *name : std::string());
  property->setOrigin(origin ? *origin : std::string());
  if (const platform::Value* value = presentColumn(*row, "value")) {
    property->setValue(APMValue::valueFromObject(*value));
  }
  property->setTriggerTimeout(doubleColumn(*row, "trigger_timeout").value_or(0));
  property->setTimeToLive(doubleColumn(*row, "time_to_live").value_or(0));
  if (const std::string* trigger = stringColumn(*row, "trigger_event_name")) {
    property->setTriggerEventName(*trigger);
  }
  const struct {
    const char* column;
    void (APMConditionalUserProperty::*set)(std::shared_ptr<APMEvent>);
  } events[] = {{"triggered_event", &APMConditionalUserProperty::setTriggeredEvent},
                {"timed_out_event", &APMConditionalUserProperty::setTimedOutEvent},
                {"expired_event", &APMConditionalUserProperty::setExpiredEvent}};
  for (const auto& slot : events) {
    const platform::Value* blob = presentColumn(*row, slot.column);
    if (!blob) continue;
    platform::ErrorPtr eventError;
    auto event = APMEventFromNSData(*blob, &eventError);
    if (eventError) {
      if (error) *error = eventError;
      return nullptr;
    }
    ((*property).*(slot.set))(std::move(event));
  }
  property->setActive(int64Column(*row, "active").value_or(0) != 0);
  property->setCreationTimestamp(doubleColumn(*row, "creation_timestamp").value_or(0));
  property->setTriggeredTimestamp(doubleColumn(*row, "triggered_timestamp").value_or(0));
  return property;
}

// --- User attributes ---

bool APMDatabase::updateUserAttribute(const APMUserAttribute* attribute,
                                      platform::ErrorPtr* error) {
  if (!APMAssertNotNull(attribute, error, 3,
                        "Received empty user property for getting dictionary representation") ||
      !APMAssertNotZero(attribute->origin().size(), error, 3,
                        "Received user property with empty origin for getting dictionary "
                        "representation") ||
      !APMAssertNotZero(attribute->name().size(), error, 1,
                        "Received user property with empty name for getting dictionary "
                        "representation")) {
    return false;
  }
  const std::string* text = attribute->value().stringValue();
  if (!APMAssertTrue(!text || !text->empty(), error, 1,
                     "Received empty string value for user property")) {
    return false;
  }
  const platform::Value name(attribute->name());
  const APMSqliteRecord row{
      {platform::Value("name"), name},
      {platform::Value("origin"), platform::Value(attribute->origin())},
      {platform::Value("value"), APMObjectFromValue(attribute->value())},
      {platform::Value("set_timestamp"), platform::Value(attribute->lastSetTimestamp())},
  };
  return upsertDataType(row, kUserAttributes, "name", name, APMDatabaseAllUserAttributeMaxCount,
                        error);
}

bool APMDatabase::deleteUserAttributeWithName(const std::string& name, platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteRecordFromTableWithName(kUserAttributes, "name",
                                                       platform::Value(name), error);
}

std::shared_ptr<APMUserAttribute> APMDatabase::userAttributeWithName(const std::string& name,
                                                                     platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMUserAttribute>;
  const std::vector<std::string> names{name};
  if (stillAbsent(absentNamedUserAttribute_, kUserAttributes, names)) return nullptr;
  platform::ErrorPtr rowError;
  const auto rows = dataTypesFromTableWithName<Result>(
      kUserAttributes, "name", platform::Value(name), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMUserAttributeFromDictionary(&row, &rowError);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
  if (!rows) {
    if (error && rowError) *error = rowError;
    return nullptr;
  }
  // Only a clean "no such row" is kept (not a row that failed to read).
  if (rows->empty() && !rowError) rememberAbsent(absentNamedUserAttribute_, kUserAttributes, names);
  return rows->empty() ? nullptr : rows->front();
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(const std::string& name,
                                                               platform::ErrorPtr* error) {
  if (!APMAssertNotZero(name.size(), error, 1,
                        "Received empty user property name for exists query")) {
    return std::nullopt;
  }
  return boolFromQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                       {platform::Value(name)}, error);
}

std::optional<bool>
APMDatabase::containsAnyUserAttributeWithNames(const std::vector<std::string>& names,
                                               platform::ErrorPtr* error) {
  if (!APMAssertNotZero(names.size(), error, 1,
                        "Received empty user property names for exists query")) {
    return std::nullopt;
  }
  if (stillAbsent(absentUserAttributes_, kUserAttributes, names)) return false;
  std::string query = "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name IN (";
  platform::ValueList parameters;
  for (const auto& name : names) {
    query += parameters.empty() ? "?" : ", ?";
    parameters.emplace_back(name);
  }
  query += ") LIMIT 1)";
  const auto found = boolFromQuery(query, parameters, error);
  if (found == false) rememberAbsent(absentUserAttributes_, kUserAttributes, names);
  return found;
}

std::optional<std::int64_t> APMDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                     platform::ErrorPtr* error) {
  if (!APMAssertNotZero(origin.size(), error, 1,
                        "Received empty user property origin for count query")) {
    return std::nullopt;
  }
  return countFromQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                        {platform::Value(origin)}, error);
}

std::optional<std::int64_t> APMDatabase::publicUserAttributeCount(platform::ErrorPtr* error) {
  return countFromQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'",
                        {}, error);
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>
APMDatabase::userAttributesIncludingInternal(bool includingInternal, platform::ErrorPtr* error) {
  checkSequence();
  using Result = std::shared_ptr<APMUserAttribute>;
  auto& read = readUserAttributes_;
  const bool usable = store_ && store_->sqliteHandle();
  const std::uint64_t generation = usable ? store_->tableGeneration(kUserAttributes) : 0;
  std::optional<std::vector<Result>> attributes;
  if (usable && read.all && read.store.lock() == store_ && read.generation == generation) {
    attributes = read.all;
  } else {
    platform::ErrorPtr readError;
    attributes = allDataTypesFromTableWithName<Result>(
        kUserAttributes, APMDatabaseAllUserAttributeMaxCount, &readError,
        [](const APMSqliteRecord& row) -> std::optional<Result> {
          auto made = APMUserAttributeFromDictionary(&row, nullptr);
          return made ? std::optional<Result>(std::move(made)) : std::nullopt;
        });
    read.all.reset();
    if (readError) {
      if (error) *error = readError;
    } else if (attributes && usable) {
      read.store = store_;
      read.generation = generation;
      read.all = attributes;
    }
  }
  if (!attributes || includingInternal) return attributes;
  std::erase_if(*attributes, [](const Result& attribute) {
    const std::string& name = attribute->name();
    return name.empty() || name.front() == '_' || APMDataTypeValidator::hasReservedPrefixes(name) ||
           APMInternalUserPropertyNames().contains(name);
  });
  return attributes;
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>
APMDatabase::allLifetimeValueUserAttributes(platform::ErrorPtr* error) {
  const auto rows = rowsFromQuery(
      "SELECT * FROM user_attributes WHERE name LIKE '!_ltv!_%' ESCAPE '!' ORDER BY set_timestamp "
      "DESC",
      {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMUserAttribute>> attributes;
  for (const auto& row : *rows) {
    auto made = APMUserAttributeFromDictionary(&row, error);
    if (!made) return std::nullopt;
    attributes.push_back(std::move(made));
  }
  return attributes;
}

// --- Conditional user properties ---

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty* property,
                                                platform::ErrorPtr* error) {
  if (!APMAssertNotNull(property, error, 3,
                        "Received empty conditional user property for getting dictionary "
                        "representation") ||
      !APMAssertNotZero(property->name().size(), error, 3,
                        "Received conditional user property with empty name for getting "
                        "dictionary representation") ||
      !APMAssertNotZero(property->origin().size(), error, 3,
                        "Received conditional user property with empty origin for getting "
                        "dictionary representation") ||
      !APMAssertTrue(property->value().has_value(), error, 3,
                     "Received conditional user property with nil value for getting dictionary "
                     "representation")) {
    return false;
  }
  const platform::Value name(property->name());
  APMSqliteRecord row{
      {platform::Value("name"), name},
      {platform::Value("origin"), platform::Value(property->origin())},
      {platform::Value("value"), APMObjectFromValue(*property->value())},
      {platform::Value("creation_timestamp"), platform::Value(property->creationTimestamp())},
      {platform::Value("active"), integer(property->active() ? 1 : 0)},
      {platform::Value("trigger_timeout"), platform::Value(property->triggerTimeout())},
      {platform::Value("triggered_timestamp"), platform::Value(property->triggeredTimestamp())},
      {platform::Value("time_to_live"), platform::Value(property->timeToLive())},
  };
  if (!property->triggerEventName().empty()) {
    row[platform::Value("trigger_event_name")] = platform::Value(property->triggerEventName());
  }
  const std::pair<const char*, const APMEvent*> events[] = {
      {"triggered_event", property->triggeredEvent().get()},
      {"timed_out_event", property->timedOutEvent().get()},
      {"expired_event", property->expiredEvent().get()}};
  for (const auto& [column, event] : events) {
    if (!event) continue;
    auto blob = APMNSDataFromEvent(event);
    if (!APMAssertTrue(blob.has_value(), error, 3, "Failed to serialize conditional event")) {
      return false;
    }
    row[platform::Value(column)] = platform::Value(std::move(*blob));
  }
  return upsertDataType(row, kConditionalProperties, "name", name,
                        APMDatabaseConditionalUserPropertyMaxCount, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name,
                                                        platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(error);
  return store && store->deleteRecordFromTableWithName(kConditionalProperties, "name",
                                                       platform::Value(name), error);
}

std::optional<bool> APMDatabase::containsConditionalUserProperties(platform::ErrorPtr* error) {
  if (stillAbsent(absentConditionalProperties_, kConditionalProperties, {})) return false;
  const auto found =
      boolFromQuery("SELECT EXISTS (SELECT 1 FROM conditional_properties LIMIT 1)", {}, error);
  if (found == false) rememberAbsent(absentConditionalProperties_, kConditionalProperties, {});
  return found;
}

bool APMDatabase::stillAbsent(const AbsentRowsMemo& memo, const std::string& table,
                              const std::vector<std::string>& names) {
  checkSequence();
  const auto remembered = memo.store.lock();
  // A closed store answers with its own error, never from memory.
  if (!store_ || remembered != store_ || !store_->sqliteHandle()) return false;
  return memo.names == names && memo.generation == store_->tableGeneration(table);
}

void APMDatabase::rememberAbsent(AbsentRowsMemo& memo, const std::string& table,
                                 const std::vector<std::string>& names) {
  if (!store_ || !store_->sqliteHandle()) return;
  memo.store = store_;
  memo.generation = store_->tableGeneration(table);
  memo.names = names;
}

std::shared_ptr<APMConditionalUserProperty>
APMDatabase::conditionalUserPropertyWithName(const std::string& name, platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMConditionalUserProperty>;
  platform::ErrorPtr rowError;
  const auto rows = dataTypesFromTableWithName<Result>(
      kConditionalProperties, "name", platform::Value(name), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        auto made = APMConditionalUserPropertyFromDictionary(&row, &rowError);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
  if (!rows) {
    if (error && rowError) *error = rowError;
    return nullptr;
  }
  return rows->empty() ? nullptr : rows->front();
}

std::optional<APMDatabase::ConditionalUserProperties>
APMDatabase::timedOutConditionalUserPropertiesWithError(platform::ErrorPtr* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout", {now()}, error);
}

std::optional<APMDatabase::ConditionalUserProperties>
APMDatabase::expiredConditionalUserPropertiesWithError(platform::ErrorPtr* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live", {now()}, error);
}

std::optional<APMDatabase::ConditionalUserProperties>
APMDatabase::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                             platform::ErrorPtr* error) {
  if (!APMAssertNotZero(eventName.size(), error, 1,
                        "Received nil/empty event name for querying triggered conditional user "
                        "properties")) {
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {platform::Value(eventName), now()}, error);
}

std::optional<APMDatabase::ConditionalUserProperties>
APMDatabase::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                 const std::string& filterByOrigin,
                                                 platform::ErrorPtr* error) {
  std::string condition;
  platform::ValueList values;
  if (!filterByOrigin.empty()) {
    condition = "origin LIKE ? ESCAPE '!'";
    values.emplace_back(escapedForLike(filterByOrigin));
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += "name LIKE ? || '%' ESCAPE '!'";
    values.emplace_back(escapedForLike(prefix));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, values, error);
}

std::optional<APMDatabase::ConditionalUserProperties>
APMDatabase::conditionalUserPropertiesWithCondition(const std::string& condition,
                                                    const platform::ValueList& parameterValues,
                                                    platform::ErrorPtr* error) {
  if (!APMAssertNotZero(condition.size(), error, 1,
                        "Received empty condition for querying a conditional user property")) {
    return std::nullopt;
  }
  const auto rows = rowsFromQuery("SELECT rowid, * FROM conditional_properties WHERE " + condition,
                                  parameterValues, error);
  if (!rows) return std::nullopt;
  ConditionalUserProperties properties;
  for (const auto& row : *rows) {
    auto made = APMConditionalUserPropertyFromDictionary(&row, error);
    if (!made) return std::nullopt;
    properties.push_back(std::move(made));
  }
  return properties;
}

bool APMDatabase::stillKnown(KnownRowsMemo& memo, const std::string& table,
                             const std::string& key) {
  checkSequence();
  if (!store_ || !store_->sqliteHandle()) return false;
  const auto generation = store_->tableGeneration(table);
  if (memo.store.lock() != store_ || memo.generation != generation) {
    memo.store = store_;
    memo.generation = generation;
    memo.names.clear();
  }
  return memo.names.count(key) != 0;
}

void APMDatabase::rememberKnown(KnownRowsMemo& memo, const std::string& table,
                                const std::string& key) {
  // Moved to the current generation first (a write since the last ask empties it).
  if (stillKnown(memo, table, key) || !store_ || !store_->sqliteHandle()) return;
  memo.names.insert(key);
}
