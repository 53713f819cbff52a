// APMDatabase: the single app_metadata row (rowid 1): the bundle sequence, the daily counters
// and the last measurement configuration received with the time it was stored.
#include <cmath>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/dispatch/clock.h"

namespace {

// A function, not a global: the worker queue may still write app metadata while the process
// exits, after static destructors have begun.
platform::Value rowID() {
  return platform::Value(std::int64_t{1});
}

const platform::Value* field(const APMSqliteRecord& row, const char* column) {
  const auto found = row.find(platform::Value(column));
  return found == row.end() ? nullptr : &found->second;
}

// A stored timestamp: REAL, or INTEGER where an older writer stored whole seconds.
double timestampField(const APMSqliteRecord& row, const char* column) {
  const platform::Value* value = field(row, column);
  if (!value) return 0;
  if (value->isDouble()) return std::isfinite(value->asDouble()) ? value->asDouble() : 0;
  if (value->isInt()) return static_cast<double>(value->asInt());
  return 0;
}

std::int32_t counterField(const APMSqliteRecord& row, const char* column) {
  const platform::Value* value = field(row, column);
  return value ? APMInt32FromValue(*value).value_or(0) : 0;
}

}  // namespace

std::optional<APMSqliteRecord> APMDictionaryFromAppMetadata(const APMAppMetadata* metadata,
                                                            platform::ErrorPtr* error) {
  if (!APMAssertNotNull(metadata, error, 3,
                        "Received empty app metadata for getting dictionary representation")) {
    return std::nullopt;
  }
  return APMSqliteRecord{
      {platform::Value("rowid"), rowID()},
      {platform::Value("last_bundle_index"),
       platform::Value(static_cast<std::int64_t>(metadata->lastBundleIndex()))},
      {platform::Value("last_delivery_index"),
       platform::Value(static_cast<std::int64_t>(metadata->lastDeliveryIndex()))},
      {platform::Value("last_bundle_start_timestamp"),
       platform::Value(metadata->lastBundleStartTimestamp())},
      {platform::Value("last_bundle_end_timestamp"),
       platform::Value(metadata->lastBundleEndTimestamp())},
  };
}

std::int32_t APMDatabase::currentDayNumber() const {
  const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0;
  return APMDayNumber(platform::Clock::current().now(), offset).value_or(0);
}

std::optional<APMSqliteRecord> APMDatabase::appMetadataRow(platform::ErrorPtr* error) {
  const auto rows = dataTypesFromTableWithName<APMSqliteRecord>(
      APMAppMetadataTableName, "rowid", rowID(), error,
      [](const APMSqliteRecord& row) { return std::optional<APMSqliteRecord>(row); });
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

std::shared_ptr<APMAppMetadata> APMDatabase::queryAppMetadata(platform::ErrorPtr* error) {
  platform::ErrorPtr rowError;
  const auto rows = dataTypesFromTableWithName<std::shared_ptr<APMAppMetadata>>(
      APMAppMetadataTableName, "rowid", rowID(), error,
      [&rowError](const APMSqliteRecord& row) -> std::optional<std::shared_ptr<APMAppMetadata>> {
        if (!APMAssertNotZero(row.size(), &rowError, 3,
                              "Received empty dictionary for getting app metadata")) {
          return std::nullopt;
        }
        const platform::Value* index = field(row, "last_bundle_index");
        const auto bundleIndex = index ? APMInt32FromValue(*index) : std::nullopt;
        const platform::Value* delivery = field(row, "last_delivery_index");
        // Added by a later version: NULL in an older row reads 0.
        const auto deliveryIndex = !delivery || delivery->isNull() ? std::optional<std::int32_t>(0)
                                                                   : APMInt32FromValue(*delivery);
        if (!bundleIndex || !deliveryIndex) {
          APMSetError(&rowError, 3, "Stored app metadata holds an index out of range");
          return std::nullopt;
        }
        auto metadata = APMAppMetadata::initWithLastBundleIndex(
            *bundleIndex, *deliveryIndex, timestampField(row, "last_bundle_start_timestamp"),
            timestampField(row, "last_bundle_end_timestamp"));
        if (!metadata) return std::nullopt;
        return metadata;
      });
  if (!rows) {
    if (error && rowError) *error = rowError;
    return nullptr;
  }
  return rows->empty() ? nullptr : rows->front();
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata* metadata, platform::ErrorPtr* error) {
  const auto row = APMDictionaryFromAppMetadata(metadata, error);
  if (!row) return false;
  return updateDataType(row, APMAppMetadataTableName, "rowid", rowID(), error);
}

const APMDailyCounts* APMDatabase::stillWrittenDailyCounts() {
  checkSequence();
  auto& written = writtenDailyCounts_;
  if (!written.counts || !store_ || !store_->sqliteHandle() || written.store.lock() != store_ ||
      written.generation != store_->tableGeneration(APMAppMetadataTableName)) {
    written.counts.reset();
    return nullptr;
  }
  return written.counts.get();
}

namespace {

std::shared_ptr<APMDailyCounts> copyOf(const APMDailyCounts& counts) {
  return APMDailyCounts::initWithDay(
      counts.day(), counts.conversionsCount(), counts.allEventsCount(), counts.publicEventsCount(),
      counts.errorEventsCount(), counts.realtimeCount(), counts.dcuRealtimeCount());
}

}  // namespace

std::shared_ptr<APMDailyCounts> APMDatabase::dailyCounts(platform::ErrorPtr* error) {
  // Every event reads the counts the previous one wrote.
  if (const auto* written = stillWrittenDailyCounts()) return copyOf(*written);
  // Only the counters' columns: the row also holds the remote configuration and other blobs,
  // and this runs for every event.
  const auto rows = rowsFromQuery(
      std::string("SELECT rowid, day, daily_conversions_count, daily_events_count, "
                  "daily_public_events_count, daily_error_events_count, "
                  "daily_real_time_conversion_events_count, daily_real_time_dcu_events_count "
                  "FROM ") +
          APMAppMetadataTableName + " WHERE rowid = ?",
      {rowID()}, error);
  if (!rows || rows->empty()) return nullptr;
  const APMSqliteRecord* row = &rows->front();
  if (!APMAssertNotZero(row->size(), error, 3,
                        "Received empty dictionary for getting daily counts")) {
    return nullptr;
  }
  const platform::Value* day = field(*row, "day");
  std::optional<std::int32_t> storedDay = day ? APMInt32FromValue(*day) : std::nullopt;
  return APMDailyCounts::initWithDay(
      storedDay ? *storedDay : currentDayNumber(), counterField(*row, "daily_conversions_count"),
      counterField(*row, "daily_events_count"), counterField(*row, "daily_public_events_count"),
      counterField(*row, "daily_error_events_count"),
      counterField(*row, "daily_real_time_conversion_events_count"),
      counterField(*row, "daily_real_time_dcu_events_count"));
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts* counts, platform::ErrorPtr* error) {
  if (!APMAssertNotNull(counts, error, 3,
                        "Received empty daily counts for getting dictionary representation")) {
    return false;
  }
  const auto number = [](std::int32_t n) { return platform::Value(static_cast<std::int64_t>(n)); };
  if (stillWrittenDailyCounts()) {
    // The row is known to exist while it is unchanged since the last write of the counts: one
    // prepared statement (every event writes its counts).
    static const std::string kUpdate =
        std::string("UPDATE ") + APMAppMetadataTableName +
        " SET day=?,daily_conversions_count=?,daily_events_count=?,daily_public_events_count=?,"
        "daily_error_events_count=?,daily_real_time_conversion_events_count=?,"
        "daily_real_time_dcu_events_count=? WHERE rowid=?";
    if (!store_->executeSQL(kUpdate,
                            {number(counts->day()), number(counts->conversionsCount()),
                             number(counts->allEventsCount()), number(counts->publicEventsCount()),
                             number(counts->errorEventsCount()), number(counts->realtimeCount()),
                             number(counts->dcuRealtimeCount()), rowID()},
                            error)) {
      return false;
    }
    rememberWrittenDailyCounts(*counts);
    return true;
  }
  const APMSqliteRecord row{
      {platform::Value("day"), number(counts->day())},
      {platform::Value("daily_conversions_count"), number(counts->conversionsCount())},
      {platform::Value("daily_events_count"), number(counts->allEventsCount())},
      {platform::Value("daily_public_events_count"), number(counts->publicEventsCount())},
      {platform::Value("daily_error_events_count"), number(counts->errorEventsCount())},
      {platform::Value("daily_real_time_conversion_events_count"), number(counts->realtimeCount())},
      {platform::Value("daily_real_time_dcu_events_count"), number(counts->dcuRealtimeCount())},
  };
  if (!updateDataType(row, APMAppMetadataTableName, "rowid", rowID(), error)) return false;
  rememberWrittenDailyCounts(*counts);
  return true;
}

void APMDatabase::rememberWrittenDailyCounts(const APMDailyCounts& counts) {
  writtenDailyCounts_.store = store_;
  writtenDailyCounts_.generation = store_->tableGeneration(APMAppMetadataTableName);
  writtenDailyCounts_.counts = copyOf(counts);
}

bool APMDatabase::updateRemoteConfig(const APMPBMeasurementConfig* config,
                                     platform::ErrorPtr* error) {
  const auto bytes = config ? config->protoBuffer() : std::nullopt;
  if (!APMAssertTrue(bytes && !bytes->empty(), error, 1, "Invalid measurement config data")) {
    return false;
  }
  const auto appID = NANOGetString(config, apmpb_field::MeasurementConfig::kAppId);
  if (!APMAssertTrue(appID && !appID->empty(), error, 1,
                     "Missing Ziriza app ID in measurement configuration")) {
    return false;
  }
  const APMSqliteRecord row{
      {platform::Value("remote_config_data"), platform::Value(*bytes)},
      {platform::Value("remote_config_timestamp"),
       platform::Value(platform::Clock::current().now())},
  };
  return updateDataType(row, APMAppMetadataTableName, "rowid", rowID(), error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double seconds, platform::ErrorPtr* error) {
  const APMSqliteRecord row{{platform::Value("remote_config_timestamp"), platform::Value(seconds)}};
  return updateDataType(row, APMAppMetadataTableName, "rowid", rowID(), error);
}

std::shared_ptr<APMPBMeasurementConfig>
APMDatabase::queryMeasurementConfigWithError(platform::ErrorPtr* error) {
  const auto rows = rowsFromQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows || rows->empty()) return nullptr;
  const platform::Value* data = field(rows->front(), "remote_config_data");
  if (!data || !data->isBytes() || data->asBytes().empty()) return nullptr;
  auto config = APMPBMeasurementConfig::initWithBuffer(data->asBytes());
  if (!APMAssertTrue(config != nullptr, error, 2, "Remote config data is corrupted")) {
    return nullptr;
  }
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotNull(store_.get(), error, 2, "Database not open")) return std::nullopt;
  const auto number =
      store_->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
  if (!number) return std::nullopt;
  return number->isDouble() ? number->asDouble() : static_cast<double>(number->asInt());
}
