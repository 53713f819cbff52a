// APMDatabase: the upload queue (table "queue") of finished bundles, stored gzip-compressed, and
// the periodic purge of stale raw events and bundles.
#include <cmath>
#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/dispatch/clock.h"
#include "zevevidi/utilities/gul_gzip.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kQueue = "queue";
constexpr std::int64_t kMaxRetryCount = std::numeric_limits<std::int32_t>::max();

platform::ValueList rowIDValues(const std::vector<std::int64_t>& rowIDs) {
  platform::ValueList values;
  values.reserve(rowIDs.size());
  for (const std::int64_t id : rowIDs)
    values.push_back(integer(id));
  return values;
}

}  // namespace

std::optional<std::string> APMStatementConditionWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                           platform::ErrorPtr* error) {
  if (!APMAssertNotZero(rowIDs.size(), error, 3, "Received empty row IDs to process")) {
    return std::nullopt;
  }
  std::string placeholders;
  for (std::size_t i = 0; i < rowIDs.size(); ++i)
    placeholders += i ? ",?" : "?";
  return "rowid IN (" + placeholders + ")";
}

std::optional<APMQueuedBundle> APMBundleRowIDSinglePair(const APMSqliteRecord& row,
                                                        platform::ErrorPtr* error) {
  if (!APMAssertNotZero(row.size(), error, 3, "Cannot process empty rowData")) return std::nullopt;
  const platform::Bytes* data = bytesColumn(row, "data");
  if (!APMAssertTrue(data && !data->empty(), error, 3, "Cannot decompress an empty bundle data")) {
    return std::nullopt;
  }
  // Bounded: a damaged row must not inflate without end.
  platform::ErrorPtr inflateError;
  const auto inflated = GULGzip::gul_dataByInflatingGzippedData(
      *data, &inflateError, APMDatabaseQueuedBundleMaxInflatedSize);
  if (!inflated || inflated->empty()) {
    APMSetError(error, 2,
                inflateError ? inflateError->localizedDescription()
                             : std::string("Failed to decompress bundle data"));
    return std::nullopt;
  }
  auto bundle = APMPBMeasurementBundle::initWithBuffer(*inflated);
  if (!APMAssertNotNull(bundle.get(), error, 2, "Unable to parse bundle from decompressed data")) {
    return std::nullopt;
  }
  if (const auto retries = int32Column(row, "retry_count"); retries && *retries > 0) {
    NANOSetInt32(bundle.get(), apmpb_field::MeasurementBundle::kRetryCount, *retries);
  }
  const auto rowID = int64Column(row, "rowid");
  if (!rowID) return std::nullopt;
  return APMQueuedBundle{std::move(bundle), *rowID, inflated->size()};
}

bool APMDatabase::insertBundle(const APMPBMeasurementBundle* bundle, bool isRealtime,
                               platform::ErrorPtr* error) {
  const auto bytes = bundle ? bundle->protoBuffer() : std::nullopt;
  if (!APMAssertTrue(bytes && !bytes->empty(), error, 1, "Failed to insert nil bundle")) {
    return false;
  }
  const auto appID = NANOGetString(bundle, apmpb_field::MeasurementBundle::kAppId);
  if (!APMAssertTrue(appID && !appID->empty(), error, 1,
                     "Failed to insert bundle without App ID")) {
    return false;
  }
  const std::int64_t endMillis =
      NANOGetInt64(bundle, apmpb_field::MeasurementBundle::kEndTimestampMillis);
  if (!APMAssertTrue(endMillis > 0, error, 1, "Failed to insert bundle without valid timestamp")) {
    return false;
  }
  if (!maybeDeleteStaleData(error)) return false;
  const double endSeconds = static_cast<double>(endMillis) / 1000.0;
  const double maxQueueTime = APMRemoteConfig::current()->doubleSetting(APMSetting::MaxQueueTime);
  if (std::fabs(platform::Clock::current().now() - endSeconds) > maxQueueTime) {
    APMProcessMonitor()->logWithLevel(4, 12016,
                                      "Storing bundle outside of the max uploading time span");
  }
  platform::ErrorPtr gzipError;
  auto compressed = GULGzip::gul_dataByGzippingData(*bytes, &gzipError);
  if (!APMAssertTrue(compressed && !compressed->empty(), error, 2, "Failed to compress bundle")) {
    return false;
  }
  APMProcessMonitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)",
                                    {platform::Value(std::to_string(compressed->size()))});
  const APMSqliteRecord row{
      {platform::Value("bundle_end_timestamp"), platform::Value(endSeconds)},
      {platform::Value("data"), platform::Value(std::move(*compressed))},
      {platform::Value("is_realtime"), integer(isRealtime ? 1 : 0)},
      {platform::Value("retry_count"),
       integer(NANOGetInt32(bundle, apmpb_field::MeasurementBundle::kRetryCount))},
  };
  APMSqliteStore* store = openStore(error);
  return store && store->upsertRecord(row, kQueue, error);
}

std::optional<std::vector<APMQueuedBundle>>
APMDatabase::queryBundlesWithCountLimit(std::int64_t countLimit, std::int64_t sizeLimit,
                                        platform::ErrorPtr* error) {
  const auto rows =
      rowsFromQuery("SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
                    {integer(countLimit)}, error);
  if (!rows) return std::nullopt;
  std::vector<APMQueuedBundle> taken;
  // 64 bits: the sizes of a few large bundles must not wrap the total.
  std::int64_t total = 0;
  for (const auto& row : *rows) {
    auto pair = APMBundleRowIDSinglePair(row, nullptr);
    if (!pair) continue;
    const auto size = static_cast<std::int64_t>(pair->decodedSize);
    if (!taken.empty() && total + size > sizeLimit) break;
    total += size;
    taken.push_back(std::move(*pair));
    if (total > sizeLimit) break;
  }
  return taken;
}

std::optional<std::vector<APMQueuedBundle>>
APMDatabase::queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                    platform::ErrorPtr* error) {
  const auto condition = APMStatementConditionWithRowIDs(rowIDs, error);
  if (!condition) return std::nullopt;
  const auto rows = rowsFromQuery("SELECT rowid, data, retry_count FROM queue WHERE " + *condition,
                                  rowIDValues(rowIDs), error);
  if (!rows) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  for (const auto& row : *rows) {
    if (auto pair = APMBundleRowIDSinglePair(row, nullptr)) bundles.push_back(std::move(*pair));
  }
  return bundles;
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                                         platform::ErrorPtr* error) {
  if (!APMAssertNotZero(rowIDs.size(), error, 1, "Failed to increment retry counter")) {
    return false;
  }
  const auto atLimit =
      boolFromQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                    {integer(kMaxRetryCount)}, error);
  if (!atLimit) return false;
  if (*atLimit) {
    APMProcessMonitor()->logWithLevel(
        1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  const auto condition = APMStatementConditionWithRowIDs(rowIDs, error);
  if (!condition) return false;
  platform::ValueList parameters = rowIDValues(rowIDs);
  parameters.push_back(integer(kMaxRetryCount));
  APMSqliteStore* store = openStore(error);
  return store && store->increaseColumn("retry_count", 1, kQueue,
                                        *condition + " AND retry_count < ?", parameters, error);
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                          platform::ErrorPtr* error) {
  const auto condition = APMStatementConditionWithRowIDs(rowIDs, error);
  return condition && deleteRows(kQueue, *condition, rowIDValues(rowIDs), error).has_value();
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::ErrorPtr* error) {
  if (!APMAssertTrue(maxAge >= 0, error, 1,
                     "Cannot delete stale bundles after negative time period")) {
    return false;
  }
  return deleteRows(kQueue, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                    {platform::Value(platform::Clock::current().now()), platform::Value(maxAge)},
                    error)
      .has_value();
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(platform::ErrorPtr* error) {
  const double now = platform::Clock::current().now();
  const double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0;
  const auto config = APMRemoteConfig::current();
  if (std::fabs(now - last) <=
      config->doubleSetting(APMSetting::DatabaseDeleteStaleBundlesInterval)) {
    return false;
  }
  const double maxAge = config->doubleSetting(APMSetting::MaxQueueTime);
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) ||
      !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
    return std::nullopt;
  }
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

std::optional<double> APMDatabase::queryLatestBundleTime(platform::ErrorPtr* error) {
  const auto number = numberFromQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
  if (!number) return std::nullopt;
  return number->isDouble() ? number->asDouble() : static_cast<double>(number->asInt());
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(platform::ErrorPtr* error) {
  return boolFromQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {},
                       error);
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(platform::ErrorPtr* error) {
  return boolFromQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}
