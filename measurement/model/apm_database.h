// APMDatabase: the measurement engine's one SQLite database, "ziriza-app-measurement.sql" in the
// measurement folder. It holds what the engine keeps between launches apart from the persisted
// settings: raw events and their bundle metadata, the upload queue, event aggregates, user
// attributes, conditional user properties, audience filters and results, purchase and
// subscription fingerprints, complex-event state, on-device-measurement values and the single
// app-metadata row. This class opens and resets the file, keeps its fourteen tables fitting
// their column lists, runs transactions and offers the generic row operations the table
// families build on. Each table family's operations live in a file of its own:
// apm_database_app_metadata.cpp, apm_database_raw_events.cpp, apm_database_queue.cpp,
// apm_database_user_attributes.cpp (user attributes and conditional user properties),
// apm_database_event_aggregates.cpp (aggregates and the events snapshot),
// apm_database_audience_filters.cpp and apm_database_fingerprints.cpp (purchase and
// subscription fingerprints, complex-event state, on-device-measurement values).
//
// Opening gives up the file only when it is damaged or its tables cannot be made to fit; a
// busy, locked or failing file fails the open and keeps its data for the next start.
//
// Owns its store (replaced on every (re)initialisation) and shares the persisted configuration
// (for the midnight offset of the daily counters). Every operation is synchronous and runs on
// the measurement worker queue; a sequence checker bound at the first use backs that up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <map>
#include <set>
#include <utility>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/model/apm_audience_records.h"
#include "measurement/model/apm_conditional_user_property.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_sqlite_store.h"
#include "platform/core/error.h"
#include "platform/dispatch/sequence_checker.h"

class APMEvent;
class APMPersistedConfig;

inline constexpr const char* APMDatabaseFileName = "ziriza-app-measurement.sql";
inline constexpr std::int64_t APMDatabaseAllEventMaxCount = 2000;
inline constexpr std::int64_t APMDatabaseAllUserAttributeMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseUserAttributePerOriginMaxCount = 25;
inline constexpr std::int64_t APMDatabaseRawEventsMetadataMaxCount = 100000;
inline constexpr std::int64_t APMDatabaseRawEventsSelectLimit = 1000;
inline constexpr std::int64_t APMDatabasePurchaseTransactionsMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseConditionalUserPropertyMaxCount = 1000;
inline constexpr std::int64_t APMDatabaseODMValuesMaxCount = 10;
inline constexpr const char* APMDatabaseODM1Value = "odm1_value";
inline constexpr const char* APMDatabaseODM1SessionValue = "odm1_session_value";
inline constexpr const char* APMDatabaseODM2Value = "odm2_value";

inline constexpr const char* APMAppMetadataTableName = "app_metadata";

// A stored bundle past this size once inflated counts as damaged: the reads skip it.
inline constexpr std::size_t APMDatabaseQueuedBundleMaxInflatedSize = std::size_t{64} << 20;

// One queued bundle as the uploader gets it: the decoded bundle (its retry count taken from the
// row) and its row ID in the queue.
struct APMQueuedBundle {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  std::int64_t rowID = 0;
  // The size of the bundle's message as stored (inflated), which the upload's size limit counts.
  std::size_t decodedSize = 0;
};

// One table of the schema: its elementary columns (used when it is created), its add-on columns
// (added when missing, in this order) and its changed declared types.
struct APMTableSchema {
  std::string name;
  APMColumnList elementary;
  APMColumnList addOn;
  APMModifyColumnMap modify;
};
// The fourteen tables, in creation order.
const std::vector<APMTableSchema>& APMDatabaseSchema();

// The row of an app-metadata record: "rowid" 1 and the record's four columns.
std::optional<APMSqliteRecord> APMDictionaryFromAppMetadata(const APMAppMetadata* metadata,
                                                            platform::ErrorPtr* error);

// --- Row conversions of the table families ---
// The raw_events row of a raw event: name, timestamp, metadata fingerprint, the Event message
// without its name field (the name lives in its column) and the realtime flag.
std::optional<APMSqliteRecord> APMDictionaryFromRawEvent(const APMRawEventData* rawEventData,
                                                         bool isRealtime,
                                                         platform::ErrorPtr* error);
// One stored EventParam as {name: value}: a string, integer or double value; at the top level a
// parameter with nested parameters is an array of item maps; inside an item (nested) the result
// is the item's own map of its fields.
std::optional<platform::ValueMap> APMParamDictionaryFromEventParam(const APMPBEventParam* param,
                                                                   bool nested,
                                                                   platform::ErrorPtr* error);
// "rowid IN (?,?,...)", one "?" per ID.
std::optional<std::string> APMStatementConditionWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                           platform::ErrorPtr* error);
// A queue row ("rowid", "data", "retry_count") inflated and decoded; none when it does not
// decode (the error says why) or has no row ID.
std::optional<APMQueuedBundle> APMBundleRowIDSinglePair(const APMSqliteRecord& row,
                                                        platform::ErrorPtr* error);
// A string as text, a double as a real number, anything else as a 64-bit integer.
platform::Value APMObjectFromValue(const APMValue& value);
std::shared_ptr<APMUserAttribute> APMUserAttributeFromDictionary(const APMSqliteRecord* row,
                                                                 platform::ErrorPtr* error);
std::shared_ptr<APMConditionalUserProperty>
APMConditionalUserPropertyFromDictionary(const APMSqliteRecord* row, platform::ErrorPtr* error);
// The event's Event message serialised (name, timestamps and parameters included).
std::optional<platform::Bytes> APMNSDataFromEvent(const APMEvent* event);
// An event from a stored Event message; `data` must be bytes.
std::shared_ptr<APMEvent> APMEventFromNSData(const platform::Value& data,
                                             platform::ErrorPtr* error);
// An events row as aggregates; a NULL add-on column reads as the record's start value.
std::shared_ptr<APMEventAggregates> APMEventAggregatesFromDictionary(const APMSqliteRecord& row);
std::shared_ptr<APMFilterResult> APMFilterResultFromDictionary(const APMSqliteRecord* row,
                                                               platform::ErrorPtr* error);

class APMDatabase {
 public:
  template <class T>
  using CreateDataTypeBlock = std::function<std::optional<T>(const APMSqliteRecord& row)>;

  // Opens (creating it when missing) the database `name` in the measurement folder. None, with
  // the store's or this class's error, when it cannot be opened.
  static std::shared_ptr<APMDatabase>
  initWithDatabaseName(const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig,
                       platform::ErrorPtr* error);
  // Deletes the file and opens it anew: every table empty, a new app-metadata row.
  bool reset(platform::ErrorPtr* error);
  // Runs `block` in one exclusive transaction; false (12056) when it fails or answers false.
  bool performTransaction(const std::function<bool()>& block);

  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath,
                                              platform::ErrorPtr* error);
  bool ensureAllTables(platform::ErrorPtr* error = nullptr);
  bool initializeAppMetadata();

  // --- Generic row operations ---
  // "SELECT rowid, * FROM table ORDER BY rowid LIMIT tableLimit"; rows the block makes nothing
  // of are skipped.
  template <class T>
  std::optional<std::vector<T>>
  allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                platform::ErrorPtr* error,
                                const CreateDataTypeBlock<T>& createDataTypeBlock);
  // The rows whose column equals the value; an error when rows came but none made an object.
  template <class T>
  std::optional<std::vector<T>>
  dataTypesFromTableWithName(const std::string& tableName, const std::string& columnName,
                             const platform::Value& columnValue, platform::ErrorPtr* error,
                             const CreateDataTypeBlock<T>& createDataTypeBlock);
  // A missing record (a conversion that failed) is refused; a present one is written as it is,
  // without a copy.
  bool insertDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      platform::ErrorPtr* error);
  bool insertDataType(const APMSqliteRecord& record, const std::string& tableName,
                      platform::ErrorPtr* error);
  // Insert-or-replace, allowed when the key exists already or the table holds fewer than
  // `tableLimit` rows.
  bool upsertDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      std::int64_t tableLimit, platform::ErrorPtr* error);
  bool upsertDataType(const APMSqliteRecord& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      std::int64_t tableLimit, platform::ErrorPtr* error);
  // Updates the row whose column equals the value; it must exist.
  bool updateDataType(const std::optional<APMSqliteRecord>& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      platform::ErrorPtr* error);
  bool updateDataType(const APMSqliteRecord& record, const std::string& tableName,
                      const std::string& columnName, const platform::Value& columnValue,
                      platform::ErrorPtr* error);

  // --- App-metadata row, daily counters, stored configuration (apm_database_app_metadata.cpp)
  // None without an error when the row is missing.
  std::shared_ptr<APMAppMetadata> queryAppMetadata(platform::ErrorPtr* error);
  bool updateAppMetadata(const APMAppMetadata* metadata, platform::ErrorPtr* error);
  std::shared_ptr<APMDailyCounts> dailyCounts(platform::ErrorPtr* error);
  bool updateDailyCounts(const APMDailyCounts* counts, platform::ErrorPtr* error);
  bool updateRemoteConfig(const APMPBMeasurementConfig* config, platform::ErrorPtr* error);
  bool updateRemoteConfigSuccessfulTimestamp(double seconds, platform::ErrorPtr* error);
  // None without an error when no configuration is stored.
  std::shared_ptr<APMPBMeasurementConfig>
  queryMeasurementConfigWithError(platform::ErrorPtr* error);
  // None before the first configuration.
  std::optional<double> lastRemoteConfigUpdateTimestamp(platform::ErrorPtr* error);
  // Today's day number: platform::Clock's time and the persisted midnight offset.
  std::int32_t currentDayNumber() const;

  // --- Raw events and their bundle metadata (apm_database_raw_events.cpp) ---
  // True without writing when the metadata's fingerprint is stored already.
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle* metadata,
                                         platform::ErrorPtr* error);
  // The same for metadata already encoded, with its fingerprint (the low 64 bits of the MD5 of
  // `bytes`). A fingerprint found or written is known without a read until the table's rows
  // change.
  bool insertIfNotExistsRawEventMetadata(platform::Bytes bytes, std::int64_t fingerprint,
                                         platform::ErrorPtr* error);
  std::shared_ptr<APMPBMeasurementBundle>
  queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                     platform::ErrorPtr* error);
  // Drops metadata rows that no raw event refers to.
  bool deleteUnusedRawEventsMetadata(platform::ErrorPtr* error);
  bool insertRawEvent(const std::shared_ptr<APMEvent>& event, std::int64_t metadataFingerprint,
                      bool isRealtime, platform::ErrorPtr* error);
  bool updateRawEvent(const APMRawEventData* rawEventData, platform::ErrorPtr* error);
  // Every row in insertion order, at most the remote maxEventsStored; rows that do not convert
  // are left out.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
  allRawEventsWithError(platform::ErrorPtr* error);
  // The fingerprint's oldest rows (at most 1000); `eventFilter` (may be empty) sees each row in
  // order and ends the read by answering false. None when rows came but none converted.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
  rawEventsWithMetadataFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error,
                                   const APMSqliteStore::RowFilter& eventFilter = {});
  std::shared_ptr<APMRawEventData> rawEventDataFromDictionary(const APMSqliteRecord* row,
                                                              platform::ErrorPtr* error);
  // The same read for packing a bundle: each row's data is decoded once, `batchFilter` (never
  // empty) sees the row ID (0 when missing), the decoded message (null when the data is missing or
  // does not decode) and the data's size, and ends the read by answering false. The records hold
  // the event and the message as stored (no name: it is in the row), not one made again from the
  // event.
  using RawEventBatchFilter = std::function<bool(
      std::int64_t rowID, const std::shared_ptr<APMPBEvent>& stored, std::size_t dataSize)>;
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
  rawEventBatchWithMetadataFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error,
                                       const RawEventBatchFilter& batchFilter);
  // The fingerprint of the oldest raw event; none (without an error) when there is none.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(platform::ErrorPtr* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                              platform::ErrorPtr* error);
  std::optional<bool> isRawEventsTableEmpty(platform::ErrorPtr* error);
  std::optional<bool> containsRealtimeRawEventsWithError(platform::ErrorPtr* error);
  // None (without an error) when the table is empty.
  std::optional<double> queryLatestRawEventTime(platform::ErrorPtr* error);
  bool deleteRawEventsWithMaxRowID(std::int64_t maxRowID, platform::ErrorPtr* error);
  // Keeps the newest maxEventsStored - 1 rows; the number of rows deleted.
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(platform::ErrorPtr* error);
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::ErrorPtr* error);

  // --- Upload queue (apm_database_queue.cpp) ---
  bool insertBundle(const APMPBMeasurementBundle* bundle, bool isRealtime,
                    platform::ErrorPtr* error);
  // The oldest bundles up to `countLimit`, and up to `sizeLimit` decoded bytes (the first one
  // always); none on a query error.
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                         std::int64_t sizeLimit,
                                                                         platform::ErrorPtr* error);
  std::optional<std::vector<APMQueuedBundle>>
  queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, platform::ErrorPtr* error);
  // Adds 1 to each counter below 2147483647 (12054 when one is there already).
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                              platform::ErrorPtr* error);
  bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, platform::ErrorPtr* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::ErrorPtr* error);
  // True when a purge of stale raw events and bundles ran, false when none was due; none when
  // it failed.
  std::optional<bool> maybeDeleteStaleData(platform::ErrorPtr* error);
  std::optional<double> queryLatestBundleTime(platform::ErrorPtr* error);
  std::optional<bool> containsRealtimeBundlesWithError(platform::ErrorPtr* error);
  std::optional<bool> isQueuedBundleTableEmpty(platform::ErrorPtr* error);

  // --- User attributes (apm_database_user_attributes.cpp) ---
  // A new name is refused when 1000 are stored.
  bool updateUserAttribute(const APMUserAttribute* attribute, platform::ErrorPtr* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::ErrorPtr* error);
  std::shared_ptr<APMUserAttribute> userAttributeWithName(const std::string& name,
                                                          platform::ErrorPtr* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                    platform::ErrorPtr* error);
  // Whether any of `names` is stored, in one look-up (none on failure, with `error` set).
  std::optional<bool> containsAnyUserAttributeWithNames(const std::vector<std::string>& names,
                                                        platform::ErrorPtr* error);
  std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                          platform::ErrorPtr* error);
  // Names that do not start with "_".
  std::optional<std::int64_t> publicUserAttributeCount(platform::ErrorPtr* error);
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>
  userAttributesIncludingInternal(bool includingInternal, platform::ErrorPtr* error);
  // Names starting "_ltv_", most recently set first.
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>
  allLifetimeValueUserAttributes(platform::ErrorPtr* error);

  // --- Conditional user properties (apm_database_user_attributes.cpp) ---
  bool updateConditionalUserProperty(const APMConditionalUserProperty* property,
                                     platform::ErrorPtr* error);
  bool deleteConditionalUserPropertyWithName(const std::string& name, platform::ErrorPtr* error);
  // Whether any conditional user property is stored (none on failure, with `error` set).
  std::optional<bool> containsConditionalUserProperties(platform::ErrorPtr* error);
  std::shared_ptr<APMConditionalUserProperty>
  conditionalUserPropertyWithName(const std::string& name, platform::ErrorPtr* error);
  using ConditionalUserProperties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
  std::optional<ConditionalUserProperties>
  timedOutConditionalUserPropertiesWithError(platform::ErrorPtr* error);
  std::optional<ConditionalUserProperties>
  expiredConditionalUserPropertiesWithError(platform::ErrorPtr* error);
  std::optional<ConditionalUserProperties>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                  platform::ErrorPtr* error);
  // Names starting with `prefix` (ASCII letters in any case) set by `origin` (in any case);
  // an empty prefix or origin selects any.
  std::optional<ConditionalUserProperties>
  conditionalUserPropertiesWithPrefix(const std::string& prefix, const std::string& filterByOrigin,
                                      platform::ErrorPtr* error);
  std::optional<ConditionalUserProperties>
  conditionalUserPropertiesWithCondition(const std::string& condition,
                                         const platform::ValueList& parameterValues,
                                         platform::ErrorPtr* error);

  // --- Event aggregates and the events snapshot (apm_database_event_aggregates.cpp) ---
  // A new name is refused when 2000 are stored.
  bool updateEventAggregates(const APMEventAggregates* aggregates, platform::ErrorPtr* error);
  // The same write for a name whose row the caller knows to be stored in this transaction (read
  // or written by it): the row is replaced without the existence and table-size checks, which
  // cannot refuse it.
  bool replaceStoredEventAggregates(const APMEventAggregates* aggregates,
                                    platform::ErrorPtr* error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              platform::ErrorPtr* error);
  // Whether eventAggregatesWithName would find the name's row (false with the same error when
  // it fails). A name found is known without a read until the table's rows change.
  bool containsEventAggregatesWithName(const std::string& name, platform::ErrorPtr* error);
  // None without an error when the snapshot table does not exist.
  std::shared_ptr<APMEventAggregates> eventAggregatesSnapshotWithName(const std::string& name,
                                                                      platform::ErrorPtr* error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              const std::string& inTable,
                                                              platform::ErrorPtr* error);
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>>
  allEventAggregates(platform::ErrorPtr* error);
  // Names that do not start with "_".
  std::optional<std::int64_t> publicEventCount(platform::ErrorPtr* error);
  bool clearCurrentSessionCounts(platform::ErrorPtr* error);
  bool deleteAllEventAggregates(platform::ErrorPtr* error);
  bool deleteAllEventAggregatesInSnapshot(platform::ErrorPtr* error);
  // Saves the aggregates into "events_snapshot" (made anew).
  bool createEventsSnapshotTable(platform::ErrorPtr* error);
  // Puts the saved aggregates back; a first open ("_f") counted meanwhile survives when the
  // snapshot has none.
  bool restoreFromEventsSnapshotTable(platform::ErrorPtr* error);

  // --- Audience filters and results (apm_database_audience_filters.cpp) ---
  using EventFilters = std::vector<std::shared_ptr<APMEventFilter>>;
  using PropertyFilters = std::vector<std::shared_ptr<APMPropertyFilter>>;
  using FilterResults = std::vector<std::shared_ptr<APMFilterResult>>;
  // Written in order; the first failure stops the walk, the ones before it stay written.
  bool updateEventFilters(const EventFilters& filters, platform::ErrorPtr* error);
  bool updatePropertyFilters(const PropertyFilters& filters, platform::ErrorPtr* error);
  // The flags come from the stored message (all false when it does not decode).
  std::optional<EventFilters> eventFiltersForEventName(const std::string& eventName,
                                                       platform::ErrorPtr* error);
  std::optional<PropertyFilters> propertyFiltersForPropertyName(const std::string& propertyName,
                                                                platform::ErrorPtr* error);
  // The same rows, each record made by `make` from the row's identifiers, name and stored bytes
  // (valid during the call only), for a caller that keeps its records between reads. A record of
  // none leaves the row out.
  using EventFilterMaker = std::function<std::shared_ptr<APMEventFilter>(
      std::int32_t audienceID, std::int32_t filterID, const std::string& eventName,
      std::span<const std::uint8_t> data)>;
  using PropertyFilterMaker = std::function<std::shared_ptr<APMPropertyFilter>(
      std::int32_t audienceID, std::int32_t filterID, const std::string& propertyName,
      std::span<const std::uint8_t> data)>;
  std::optional<EventFilters> eventFiltersForEventName(const std::string& eventName,
                                                       const EventFilterMaker& make,
                                                       platform::ErrorPtr* error);
  std::optional<PropertyFilters> propertyFiltersForPropertyName(const std::string& propertyName,
                                                                const PropertyFilterMaker& make,
                                                                platform::ErrorPtr* error);
  std::optional<std::vector<std::int32_t>> allAudienceIDs(platform::ErrorPtr* error);
  // Audience ID to the IDs of its filters whose session_scoped column is 1.
  std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
  allSessionScopedFilters(platform::ErrorPtr* error);
  bool deleteEventFilters(const EventFilters& filters, platform::ErrorPtr* error);
  bool deletePropertyFilters(const PropertyFilters& filters, platform::ErrorPtr* error);
  bool deleteAllEventFilters(platform::ErrorPtr* error);
  bool deleteAllPropertyFilters(platform::ErrorPtr* error);
  bool updateFilterResults(const FilterResults& results, platform::ErrorPtr* error);
  // None without an error when the audience has no row.
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(std::int32_t audienceID,
                                                             platform::ErrorPtr* error);
  std::optional<std::map<std::int32_t, std::shared_ptr<APMFilterResult>>>
  allFilterResults(platform::ErrorPtr* error);
  bool deleteFilterResults(const FilterResults& results, platform::ErrorPtr* error);

  // --- Fingerprints, complex events, on-device-measurement values
  // (apm_database_fingerprints.cpp) ---
  // True for a new fingerprint (stored; the newest 1000 kept), false for an empty or known one,
  // none on failure.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              platform::ErrorPtr* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                         platform::ErrorPtr* error);
  // Keeps the newest 1000; the number of rows deleted.
  std::optional<std::int64_t> deleteSubscriptionsOverLimit(platform::ErrorPtr* error);
  bool updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                          std::int64_t childEventCount,
                                                          const APMEvent* mainEvent,
                                                          platform::ErrorPtr* error);
  // The main event and its children left; none without an error for an unknown ID.
  std::optional<std::pair<std::shared_ptr<APMEvent>, std::int64_t>>
  mainEventAndChildCountPairWithEventID(std::int64_t eventID, platform::ErrorPtr* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                          platform::ErrorPtr* error);
  // At most 10 names.
  bool updateODMValue(const std::string& value, const std::string& name, double setTimestamp,
                      platform::ErrorPtr* error);
  // The row ("rowid", "name", "value", "set_timestamp"), or none.
  std::optional<APMSqliteRecord> ODMValueWithName(const std::string& name,
                                                  platform::ErrorPtr* error);
  bool deleteODMValueWithName(const std::string& name, platform::ErrorPtr* error);

  const std::shared_ptr<APMSqliteStore>& store() const { return store_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  explicit APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig);

 private:
  // A raw event record from its row; `storedMessage`, when given, is the row's data already
  // decoded, and the record keeps it as its message.
  std::shared_ptr<APMRawEventData> rawEventDataFromRow(const APMSqliteRecord& row,
                                                       std::shared_ptr<APMPBEvent> storedMessage,
                                                       platform::ErrorPtr* error);
  std::optional<std::vector<APMSqliteRecord>> rowsFromQuery(const std::string& query,
                                                            const platform::ValueList& parameters,
                                                            platform::ErrorPtr* error);
  std::optional<APMSqliteRecord> appMetadataRow(platform::ErrorPtr* error);
  // The open store, or null with code 2 "Database not open".
  APMSqliteStore* openStore(platform::ErrorPtr* error);
  // A number query's answer: none without an error for NULL.
  std::optional<platform::Value> numberFromQuery(const std::string& query,
                                                 const platform::ValueList& parameters,
                                                 platform::ErrorPtr* error);
  std::optional<bool> boolFromQuery(const std::string& query, const platform::ValueList& parameters,
                                    platform::ErrorPtr* error);
  std::optional<std::int64_t> countFromQuery(const std::string& query,
                                             const platform::ValueList& parameters,
                                             platform::ErrorPtr* error);
  std::optional<std::int64_t> deleteRows(const std::string& table, const std::string& condition,
                                         const platform::ValueList& parameters,
                                         platform::ErrorPtr* error);
  bool checkSequence() const;

  // A look-up that found none of the rows it asked for, kept while the table's rows stay as
  // they were (APMSqliteStore::tableGeneration of the same store): the next ask is answered
  // without a read. Several events in a row ask the same.
  struct AbsentRowsMemo {
    std::weak_ptr<APMSqliteStore> store;
    std::uint64_t generation = 0;
    std::vector<std::string> names;
  };
  // Whether `memo` still answers "none" for `names` in `table`.
  bool stillAbsent(const AbsentRowsMemo& memo, const std::string& table,
                   const std::vector<std::string>& names);
  void rememberAbsent(AbsentRowsMemo& memo, const std::string& table,
                      const std::vector<std::string>& names);

  std::shared_ptr<APMSqliteStore> store_;
  AbsentRowsMemo absentUserAttributes_;
  // The last name userAttributeWithName() found no row for (every stored event asks for "_npa").
  AbsentRowsMemo absentNamedUserAttribute_;
  AbsentRowsMemo absentConditionalProperties_;
  // Per on-device-measurement value name.
  std::map<std::string, AbsentRowsMemo> absentODMValues_;
  // Names whose aggregates row was read, while the "events" rows stay as they were.
  struct KnownRowsMemo {
    std::weak_ptr<APMSqliteStore> store;
    std::uint64_t generation = 0;
    std::set<std::string> names;
  };
  KnownRowsMemo knownEventAggregates_;
  KnownRowsMemo knownMetadataFingerprints_;
  // Event names with no event filter rows, while the "event_filters" rows stay as they were:
  // every bundled event asks, and most names have none.
  KnownRowsMemo eventNamesWithoutFilters_;
  // Whether `memo` knows `key` stored in `table`; a memo of another store or generation is
  // emptied and moved to the current one. False (and nothing kept) when the store is closed.
  bool stillKnown(KnownRowsMemo& memo, const std::string& table, const std::string& key);
  void rememberKnown(KnownRowsMemo& memo, const std::string& table, const std::string& key);
  // The daily counts as this database last wrote them, while the app-metadata row is unchanged
  // since: the next read answers with them and the next write needs no existence check.
  struct WrittenDailyCounts {
    std::weak_ptr<APMSqliteStore> store;
    std::uint64_t generation = 0;
    std::shared_ptr<APMDailyCounts> counts;
  };
  WrittenDailyCounts writtenDailyCounts_;
  void rememberWrittenDailyCounts(const APMDailyCounts& counts);
  // Every user attribute as last read (they cannot be changed in place), while the table's rows
  // are unchanged since: each stored event reads them all for its metadata.
  struct ReadUserAttributes {
    std::weak_ptr<APMSqliteStore> store;
    std::uint64_t generation = 0;
    std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> all;
  };
  ReadUserAttributes readUserAttributes_;
  // The remembered counts while they still hold, else none.
  const APMDailyCounts* stillWrittenDailyCounts();
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  platform::SequenceChecker sequence_;
};

template <class T>
std::optional<std::vector<T>>
APMDatabase::allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                           platform::ErrorPtr* error,
                                           const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!APMAssertTrue(static_cast<bool>(createDataTypeBlock), error, 1,
                     "Received nil block to get all data types")) {
    return std::nullopt;
  }
  const auto rows = rowsFromQuery("SELECT rowid, * FROM " + tableName + " ORDER BY rowid LIMIT " +
                                      std::to_string(tableLimit),
                                  {}, error);
  if (!rows) return std::nullopt;
  std::vector<T> made;
  for (const auto& row : *rows) {
    if (auto object = createDataTypeBlock(row)) made.push_back(std::move(*object));
  }
  return made;
}

template <class T>
std::optional<std::vector<T>> APMDatabase::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName, const platform::Value& columnValue,
    platform::ErrorPtr* error, const CreateDataTypeBlock<T>& createDataTypeBlock) {
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name to create data type from table") ||
      !APMAssertNotZero(columnName.size(), error, 1,
                        "Received empty column name to create data type from table") ||
      !APMAssertNotNil(columnValue, error, 1,
                       "Received nil column value to create data type from table") ||
      !APMAssertTrue(static_cast<bool>(createDataTypeBlock), error, 2,
                     "Received nil block to create data type from table")) {
    return std::nullopt;
  }
  const auto rows = rowsFromQuery(
      "SELECT rowid, * FROM " + tableName + " WHERE " + columnName + " = ?", {columnValue}, error);
  if (!rows) return std::nullopt;
  std::vector<T> made;
  for (const auto& row : *rows) {
    if (auto object = createDataTypeBlock(row)) made.push_back(std::move(*object));
  }
  if (!rows->empty() && made.empty()) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return made;
}
