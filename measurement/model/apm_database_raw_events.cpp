// APMDatabase: raw events (table "raw_events") waiting to be packed into bundles, and the bundle
// metadata they share (table "raw_events_metadata") under the 64-bit fingerprint of its bytes.
#include <algorithm>

#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_info.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/core/utf8.h"
#include "platform/dispatch/clock.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kRawEvents = "raw_events";
constexpr const char* kRawEventsMetadata = "raw_events_metadata";

std::int64_t maxEventsStored() {
  return APMRemoteConfig::current()->integerSetting(APMSetting::MaxEventsStored);
}

// A present string field of a record that is valid UTF-8 (what NANOGetString would give), or null.
const std::string* utf8Slot(const MessageInfo& record, std::int32_t index) {
  const auto* text = std::get_if<std::string>(&record.slot(static_cast<std::uint32_t>(index)));
  return text && platform::isValidUtf8(*text) ? text : nullptr;
}

// The value APMParamDictionaryFromEventParam reads from a parameter that has a string, integer or
// double value, in that order; none for any other parameter.
std::optional<platform::Value> scalarParamValue(const MessageInfo& record) {
  namespace P = apmpb_field::EventParam;
  if (const std::string* text = utf8Slot(record, P::kStringValue)) return platform::Value(*text);
  const auto cell = [&record](std::int32_t index) -> std::optional<std::uint64_t> {
    const MessageSlot& slot = record.slot(static_cast<std::uint32_t>(index));
    if (std::holds_alternative<std::monostate>(slot)) return std::nullopt;
    const auto* value = std::get_if<std::uint64_t>(&slot);
    return value ? *value : 0;
  };
  if (const auto integer = cell(P::kIntValue)) {
    return platform::Value(static_cast<std::int64_t>(*integer));
  }
  if (const auto real = cell(P::kDoubleValue)) return platform::Value(nanoCellToDouble(*real));
  return std::nullopt;
}

}  // namespace

namespace {

// The row of an event whose message the caller owns: its name field is cleared here.
std::optional<APMSqliteRecord> rawEventRow(std::string name, double timestamp,
                                           std::int64_t fingerprint, APMPBEvent* message,
                                           bool isRealtime, platform::ErrorPtr* error) {
  std::optional<platform::Bytes> data;
  if (message) {
    NANOClearField(message, apmpb_field::Event::kName);
    data = message->protoBuffer();
  }
  if (!APMAssertTrue(data.has_value(), error, 3, "Failed to serialize raw event")) {
    return std::nullopt;
  }
  return APMSqliteRecord{
      {platform::Value("name"), platform::Value(std::move(name))},
      {platform::Value("timestamp"), platform::Value(timestamp)},
      {platform::Value("metadata_fingerprint"), integer(fingerprint)},
      {platform::Value("data"), platform::Value(std::move(*data))},
      {platform::Value("is_realtime"), integer(isRealtime ? 1 : 0)},
  };
}

}  // namespace

std::optional<APMSqliteRecord> APMDictionaryFromRawEvent(const APMRawEventData* rawEventData,
                                                         bool isRealtime,
                                                         platform::ErrorPtr* error) {
  if (!APMAssertNotNull(rawEventData, error, 3,
                        "Received empty raw event data for getting dictionary representation")) {
    return std::nullopt;
  }
  const APMPBEvent& proto = *rawEventData->rawEvent();
  const APMEvent* event = rawEventData->event().get();
  std::string name =
      event ? event->name() : NANOGetString(&proto, apmpb_field::Event::kName).value_or("");
  const double timestamp =
      event ? event->timestamp()
            : static_cast<double>(NANOGetInt64(&proto, apmpb_field::Event::kTimestampMillis)) /
                  1000.0;
  // The record's own message stays as it is.
  auto stored = APMPBEvent::initWithMessageInfo(proto.messageInfo());
  return rawEventRow(std::move(name), timestamp, rawEventData->metadataFingerprint(), stored.get(),
                     isRealtime, error);
}

std::optional<platform::ValueMap> APMParamDictionaryFromEventParam(const APMPBEventParam* param,
                                                                   bool nested,
                                                                   platform::ErrorPtr* error) {
  if (!APMAssertNotNull(param, error, 1, "Failed to parse empty event params data")) {
    return std::nullopt;
  }
  const auto name = NANOGetString(param, apmpb_field::EventParam::kName);
  if (!nested && !APMAssertTrue(name.has_value(), error, 1, "Event parameter name is empty")) {
    return std::nullopt;
  }
  const platform::Value key(name.value_or(""));
  if (NANOHasField(param, apmpb_field::EventParam::kStringValue)) {
    if (auto text = NANOGetString(param, apmpb_field::EventParam::kStringValue)) {
      return platform::ValueMap{{key, platform::Value(std::move(*text))}};
    }
  }
  if (NANOHasField(param, apmpb_field::EventParam::kIntValue)) {
    return platform::ValueMap{
        {key, platform::Value(NANOGetInt64(param, apmpb_field::EventParam::kIntValue))}};
  }
  if (NANOHasField(param, apmpb_field::EventParam::kDoubleValue)) {
    return platform::ValueMap{
        {key, platform::Value(NANOGetDouble(param, apmpb_field::EventParam::kDoubleValue))}};
  }
  const auto children =
      NANOGetArray(param, apmpb_field::EventParam::kParamValue, APMPBEventParam::classObject());
  if (children && !children->empty()) {
    if (!nested) {
      // An array parameter: one unnamed child per item.
      platform::ValueList items;
      for (const auto& element : *children) {
        const auto child = element.asObjectOf<APMPBEventParam>();
        if (auto item = APMParamDictionaryFromEventParam(child.get(), true, nullptr)) {
          items.emplace_back(std::move(*item));
        }
      }
      return platform::ValueMap{{key, APMValue::initWithArray(std::move(items)).value()}};
    }
    // One item: its fields by name.
    platform::ValueMap fields;
    for (const auto& element : *children) {
      const auto child = element.asObjectOf<APMPBEventParam>();
      auto parsed = APMParamDictionaryFromEventParam(child.get(), true, nullptr);
      if (!parsed || parsed->empty()) continue;
      const auto childName = NANOGetString(child.get(), apmpb_field::EventParam::kName);
      auto first = parsed->begin();
      if (childName && first->first == platform::Value(*childName)) {
        fields.insert_or_assign(first->first, std::move(first->second));
      }
    }
    return fields;
  }
  APMSetError(error, 2, "Failed to parse invalid event params data");
  return std::nullopt;
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle* metadata,
                                                    platform::ErrorPtr* error) {
  auto bytes = metadata ? metadata->protoBuffer() : std::nullopt;
  if (!bytes) bytes.emplace();
  const auto fingerprint = static_cast<std::int64_t>(apm_64LSBMD5(*bytes));
  return insertIfNotExistsRawEventMetadata(std::move(*bytes), fingerprint, error);
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(platform::Bytes bytes, std::int64_t fingerprint,
                                                    platform::ErrorPtr* error) {
  if (!APMAssertTrue(!bytes.empty(), error, 3,
                     "Received empty measurement bundle metadata for getting dictionary "
                     "representation")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  // Events in a row mostly share their metadata.
  const std::string key = std::to_string(fingerprint);
  if (stillKnown(knownMetadataFingerprints_, kRawEventsMetadata, key)) return true;
  const platform::Value stored(fingerprint);
  const auto existing =
      store->rowCountForTableWithName(kRawEventsMetadata, "metadata_fingerprint", stored, error);
  if (!existing) return false;
  if (*existing == 0) {
    const APMSqliteRecord row{{platform::Value("metadata_fingerprint"), stored},
                              {platform::Value("metadata"), platform::Value(std::move(bytes))}};
    if (!upsertDataType(row, kRawEventsMetadata, "metadata_fingerprint", stored,
                        APMDatabaseRawEventsMetadataMaxCount, error)) {
      return false;
    }
  }
  rememberKnown(knownMetadataFingerprints_, kRawEventsMetadata, key);
  return true;
}

std::shared_ptr<APMPBMeasurementBundle>
APMDatabase::queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                   platform::ErrorPtr* error) {
  platform::ErrorPtr rowError;
  using Result = std::shared_ptr<APMPBMeasurementBundle>;
  const auto rows = dataTypesFromTableWithName<Result>(
      kRawEventsMetadata, "metadata_fingerprint", integer(fingerprint), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<Result> {
        if (!APMAssertNotZero(row.size(), &rowError, 3,
                              "Received empty dictionary for getting measurement bundle")) {
          return std::nullopt;
        }
        const platform::Bytes* bytes = bytesColumn(row, "metadata");
        if (!APMAssertTrue(bytes && !bytes->empty(), &rowError, 3,
                           "Event metadata should not be empty for getting measurement bundle")) {
          return std::nullopt;
        }
        auto bundle = APMPBMeasurementBundle::initWithBuffer(*bytes);
        if (!bundle) {
          APMSetError(&rowError, 3, "Failed to parse measurement bundle metadata");
          return std::nullopt;
        }
        return bundle;
      });
  if (!rows) {
    if (error && rowError) *error = rowError;
    return nullptr;
  }
  return rows->empty() ? nullptr : rows->front();
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                                platform::ErrorPtr* error) {
  return deleteRows(kRawEventsMetadata, "metadata_fingerprint == ?", {integer(fingerprint)}, error)
      .has_value();
}

bool APMDatabase::deleteUnusedRawEventsMetadata(platform::ErrorPtr* error) {
  return deleteRows(kRawEventsMetadata,
                    "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM "
                    "raw_events)",
                    {}, error)
      .has_value();
}

bool APMDatabase::insertRawEvent(const std::shared_ptr<APMEvent>& event,
                                 std::int64_t metadataFingerprint, bool isRealtime,
                                 platform::ErrorPtr* error) {
  if (!APMAssertNotNull(event.get(), error, 1,
                        "Received empty event for inserting in the database")) {
    return false;
  }
  // The event's message is made for this row alone, so it needs no copy.
  const auto message = event->protoEvent();
  if (!store_ || !store_->sqliteHandle()) {
    // Fails as every record insert does on a closed store.
    const auto row = rawEventRow(event->name(), event->timestamp(), metadataFingerprint,
                                 message.get(), isRealtime, error);
    return row && insertDataType(row, kRawEvents, error);
  }
  // Every stored event comes here: one fixed statement, the row's values bound in place.
  std::optional<platform::Bytes> data;
  if (message) {
    NANOClearField(message.get(), apmpb_field::Event::kName);
    data = message->protoBuffer();
  }
  if (!APMAssertTrue(data.has_value(), error, 3, "Failed to serialize raw event")) return false;
  checkSequence();
  static const std::string kInsert =
      std::string("INSERT OR REPLACE INTO ") + kRawEvents +
      " (data, is_realtime, metadata_fingerprint, name, timestamp) VALUES (?, ?, ?, ?, ?);";
  return store_->executeSQL(kInsert,
                            {platform::Value(std::move(*data)), integer(isRealtime ? 1 : 0),
                             integer(metadataFingerprint), platform::Value(event->name()),
                             platform::Value(event->timestamp())},
                            error);
}

bool APMDatabase::updateRawEvent(const APMRawEventData* rawEventData, platform::ErrorPtr* error) {
  if (!APMAssertNotNull(rawEventData, error, 3,
                        "Received empty raw event data for getting dictionary representation")) {
    return false;
  }
  bool isRealtime = false;
  if (rawEventData->event()) {
    isRealtime = rawEventData->event()->isRealtime();
  } else if (const auto event = APMEvent::initWithEventProto(*rawEventData->rawEvent())) {
    isRealtime = event->isRealtime();
  }
  const auto row = APMDictionaryFromRawEvent(rawEventData, isRealtime, error);
  if (!row) return false;
  platform::ErrorPtr updateError;
  const bool updated =
      updateDataType(row, kRawEvents, "rowid", integer(rawEventData->rowID()), &updateError);
  if (updateError && error) *error = updateError;
  return updated && !updateError;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
APMDatabase::allRawEventsWithError(platform::ErrorPtr* error) {
  using Result = std::shared_ptr<APMRawEventData>;
  return allDataTypesFromTableWithName<Result>(
      kRawEvents, maxEventsStored(), error, [this](const APMSqliteRecord& row) {
        auto made = rawEventDataFromDictionary(&row, nullptr);
        return made ? std::optional<Result>(std::move(made)) : std::nullopt;
      });
}

namespace {

constexpr const char* kRawEventsOfFingerprint =
    "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?";

}  // namespace

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
APMDatabase::rawEventsWithMetadataFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error,
                                              const APMSqliteStore::RowFilter& eventFilter) {
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  const platform::ValueList parameters{integer(fingerprint),
                                       integer(APMDatabaseRawEventsSelectLimit)};
  const auto rows =
      eventFilter ? store->recordsForQuery(kRawEventsOfFingerprint, parameters, error, eventFilter)
                  : store->recordsForQuery(kRawEventsOfFingerprint, parameters, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  platform::ErrorPtr rowError;
  for (const auto& row : *rows) {
    if (auto made = rawEventDataFromDictionary(&row, &rowError)) events.push_back(std::move(made));
  }
  if (!rows->empty() && events.empty()) {
    if (error) *error = rowError;
    return std::nullopt;
  }
  return events;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
APMDatabase::rawEventBatchWithMetadataFingerprint(std::int64_t fingerprint,
                                                  platform::ErrorPtr* error,
                                                  const RawEventBatchFilter& batchFilter) {
  if (!APMAssertTrue(static_cast<bool>(batchFilter), error, 1,
                     "Received empty filter for selecting records")) {
    return std::nullopt;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  const platform::ValueList parameters{integer(fingerprint),
                                       integer(APMDatabaseRawEventsSelectLimit)};
  // The messages decoded for the filter, in the order of the rows it kept.
  std::vector<std::shared_ptr<APMPBEvent>> decoded;
  const auto rows = store->recordsForQuery(
      kRawEventsOfFingerprint, parameters, error, [&](std::uint32_t, const APMSqliteRecord& row) {
        const platform::Bytes* data = bytesColumn(row, "data");
        auto proto = data ? APMPBEvent::initWithBuffer(*data) : nullptr;
        if (!batchFilter(int64Column(row, "rowid").value_or(0), proto, data ? data->size() : 0)) {
          return false;
        }
        decoded.push_back(std::move(proto));
        return true;
      });
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  events.reserve(rows->size());
  platform::ErrorPtr rowError;
  for (std::size_t i = 0; i < rows->size(); ++i) {
    if (auto made = rawEventDataFromRow((*rows)[i], decoded[i], &rowError)) {
      events.push_back(std::move(made));
    }
  }
  if (!rows->empty() && events.empty()) {
    if (error) *error = rowError;
    return std::nullopt;
  }
  return events;
}

std::shared_ptr<APMRawEventData>
APMDatabase::rawEventDataFromDictionary(const APMSqliteRecord* row, platform::ErrorPtr* error) {
  if (!APMAssertNotNull(row, error, 1, "Received empty dictionary for getting raw event data")) {
    return nullptr;
  }
  return rawEventDataFromRow(*row, nullptr, error);
}

std::shared_ptr<APMRawEventData>
APMDatabase::rawEventDataFromRow(const APMSqliteRecord& row,
                                 std::shared_ptr<APMPBEvent> storedMessage,
                                 platform::ErrorPtr* error) {
  const bool keepStored = storedMessage != nullptr;
  const auto rowID = int64Column(row, "rowid");
  if (!APMAssertTrue(rowID.has_value(), error, 1,
                     "Unable to find row ID in the database dictionary")) {
    return nullptr;
  }
  const platform::Bytes* data = bytesColumn(row, "data");
  if (!APMAssertNotNull(data, error, 1, "Unable to find event data in the database dictionary")) {
    return nullptr;
  }
  const auto fingerprint = int64Column(row, "metadata_fingerprint");
  if (!APMAssertTrue(fingerprint.has_value(), error, 1,
                     "Unable to find event metadata in the database dictionary")) {
    return nullptr;
  }
  const auto proto = keepStored ? std::move(storedMessage) : APMPBEvent::initWithBuffer(*data);
  if (!APMAssertNotNull(proto.get(), error, 3, "Failed to parse event from data")) return nullptr;

  const std::string* name = stringColumn(row, "name");
  const double timestamp = doubleColumn(row, "timestamp").value_or(0);
  const double previousTimestamp =
      static_cast<double>(NANOGetInt64(proto.get(), apmpb_field::Event::kPreviousTimestampMillis)) /
      1000.0;
  std::string origin;
  platform::ValueMap::container_type entries;
  const ArrayInfo* params = proto->messageInfo()->array(apmpb_field::Event::kParams);
  if (params) entries.reserve(params->messages.size());
  // Named scalars (all the event road writes) are read from their records as they are; any other
  // parameter goes through the general reading on a message of its own.
  static const std::vector<std::unique_ptr<MessageInfo>> kNoParams;
  for (const auto& element : params ? params->messages : kNoParams) {
    if (!element) {
      // The line the accessors give for a missing element; the element is left out.
      messageDiagnostic(MessageLogChannel::kConsole,
                        "<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    const MessageInfo& record = *element;
    const std::string* paramName = utf8Slot(record, apmpb_field::EventParam::kName);
    if (paramName && *paramName == "_o") {
      const std::string* text = utf8Slot(record, apmpb_field::EventParam::kStringValue);
      if (!APMAssertTrue(text != nullptr, error, 2,
                         "Cannot create an event from database. Origin parameter is not a "
                         "string")) {
        return nullptr;
      }
      origin = *text;
      continue;
    }
    if (paramName) {
      if (auto value = scalarParamValue(record)) {
        entries.emplace_back(platform::Value(*paramName), std::move(*value));
        continue;
      }
    }
    const auto param = APMPBEventParam::initWithMessageInfo(&record);
    auto parsed = APMParamDictionaryFromEventParam(param.get(), false, error);
    const platform::Value key(paramName ? *paramName : std::string());
    const auto value = parsed ? parsed->find(key) : platform::ValueMap::iterator{};
    if (!parsed || value == parsed->end()) {
      APMSetError(error, 2, "Failed to parse event params data");
      return nullptr;
    }
    entries.emplace_back(key, std::move(value->second));
  }
  // A repeated name keeps its last value, as assigning each in turn would.
  auto parameters = platform::ValueMap::fromEntries(std::move(entries));
  if (!APMAssertNotZero(origin.size(), error, 2,
                        "Cannot create an event from database. Missing origin parameter")) {
    return nullptr;
  }
  auto event = APMEvent::initWithOrigin(origin, false, name ? *name : std::string(), timestamp,
                                        previousTimestamp, std::move(parameters));
  std::shared_ptr<APMRawEventData> made;
  if (event && keepStored) {
    // What initWithEvent refuses, without making the event's message again.
    if (*rowID < 0) {
      APMProcessMonitor()->logWithLevel(
          4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
          {platform::Value(*rowID)});
    } else {
      made = std::make_shared<APMRawEventData>(std::move(event), proto, *rowID, *fingerprint);
    }
  } else if (event) {
    made = APMRawEventData::initWithEvent(std::move(event), *rowID, *fingerprint);
  }
  if (!APMAssertNotNull(made.get(), error, 2,
                        "Failed to initialize raw event data from dictionary")) {
    return nullptr;
  }
  return made;
}

std::optional<std::int64_t>
APMDatabase::nextMetadataFingerprintToProcess(platform::ErrorPtr* error) {
  const auto rows =
      rowsFromQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (!APMAssertTrue(rows->size() == 1, error, 2, "Only one event metadata should be processed")) {
    return std::nullopt;
  }
  return int64Column(rows->front(), "metadata_fingerprint");
}

std::optional<bool>
APMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                     platform::ErrorPtr* error) {
  return boolFromQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {integer(fingerprint)}, error);
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(platform::ErrorPtr* error) {
  return boolFromQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(platform::ErrorPtr* error) {
  return boolFromQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {},
                       error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(platform::ErrorPtr* error) {
  const auto number = numberFromQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
  if (!number) return std::nullopt;
  return number->isDouble() ? number->asDouble() : static_cast<double>(number->asInt());
}

bool APMDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID, platform::ErrorPtr* error) {
  return deleteRows(kRawEvents, "rowid <= ?", {integer(maxRowID)}, error).has_value();
}

std::optional<std::int64_t>
APMDatabase::deleteRawEventsOverAbsoluteLimit(platform::ErrorPtr* error) {
  const std::int64_t keep = std::max<std::int64_t>(maxEventsStored() - 1, 0);
  // Runs for every stored event. The rows cannot outnumber the span of their row IDs, so while
  // that span (two look-ups at the ends of the table) is within `keep` nothing is walked. The
  // span is asked on its own: inside the DELETE's condition it is tested against every row.
  platform::ErrorPtr spanError;
  const auto mayBeOver = boolFromQuery(
      "SELECT (SELECT max(rowid) FROM raw_events) - (SELECT min(rowid) FROM raw_events) + 1 > ?",
      {integer(keep)}, &spanError);
  if (!mayBeOver) {
    if (error) *error = spanError;
    return std::nullopt;
  }
  if (!*mayBeOver) return 0;
  return deleteRows(kRawEvents,
                    "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
                    {integer(keep)}, error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                          platform::ErrorPtr* error) {
  if (!APMAssertTrue(maxAge >= 0, error, 1,
                     "Cannot delete stale raw events given negative time period")) {
    return false;
  }
  const auto deleted = deleteRows(
      kRawEvents, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {platform::Value(platform::Clock::current().now()), platform::Value(maxAge)}, error);
  if (!deleted) return false;
  if (*deleted > 0) return deleteUnusedRawEventsMetadata(error);
  return true;
}
