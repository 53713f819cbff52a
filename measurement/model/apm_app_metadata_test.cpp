#include "measurement/model/apm_app_metadata.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;

class APMAppMetadataTest : public apm_testing::StorageTest {
 protected:
  APMAppMetadataTest() {
    fastDisk_.skipSync = true;
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  }
  ~APMAppMetadataTest() override { env_.runUntilIdle(); }

  std::shared_ptr<APMDatabase> open() {
    platform::ErrorPtr error;
    auto database = APMDatabase::initWithDatabaseName(APMDatabaseFileName, config_, &error);
    EXPECT_TRUE(database) << (error ? error->localizedDescription() : "");
    return database;
  }
  bool hasReport(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  // The value of one column of row 1 as the sqlite3 CLI prints it (NULL as "NULL").
  std::string column(const std::string& name) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(APMFilePathForDatabaseName(APMDatabaseFileName).c_str(), &db,
                    SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::string out = "(error)";
    if (sqlite3_prepare_v2(db, ("SELECT " + name + " FROM app_metadata").c_str(), -1, &st,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      out = text ? reinterpret_cast<const char*>(text) : "NULL";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

  // Declared first, so it goes last: every connection is closed by then.
  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> config_;
};

TEST_F(APMAppMetadataTest, IndexesWrapAtTheInt32Range) {
  struct Case {
    std::int32_t start;
    std::int64_t by;
    std::int32_t expected;
    bool wraps;
  };
  const Case bundle[] = {{0, 5, 5, false},
                         {2147483646, 1, 2147483647, false},
                         {2147483646, 3, 2, true},
                         {2147483647, 2147483647, 2147483646, true}};
  for (const auto& c : bundle) {
    SCOPED_TRACE(std::to_string(c.start) + " + " + std::to_string(c.by));
    clearReports();
    auto metadata = APMAppMetadata::initWithLastBundleIndex(c.start, 0, 0);
    metadata->increaseLastBundleIndex(c.by);
    EXPECT_EQ(metadata->lastBundleIndex(), c.expected);
    EXPECT_EQ(hasReport(4001), c.wraps);
  }
  const std::pair<std::int32_t, std::int32_t> delivery[] = {
      {0, 1}, {2147483646, 2147483647}, {2147483647, 0}, {-1, 0}};
  for (const auto& [start, expected] : delivery) {
    SCOPED_TRACE(start);
    clearReports();
    auto metadata = APMAppMetadata::initWithLastBundleIndex(0, start, 0, 0);
    metadata->incrementLastDeliveryIndex();
    EXPECT_EQ(metadata->lastDeliveryIndex(), expected);
    EXPECT_EQ(hasReport(4002), expected == 0);
  }
  EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
  EXPECT_TRUE(hasReport(4000));
}

TEST_F(APMAppMetadataTest, DailyCountsStartEachDayAtZero) {
  auto counts = APMDailyCounts::initWithDay(7, 1, 9, 4, 2, 3, 5);
  counts->incrementCountsForCurrentDay(8, true, true, 3);
  EXPECT_EQ((std::vector<std::int32_t>{counts->day(), counts->conversionsCount(),
                                       counts->allEventsCount(), counts->publicEventsCount(),
                                       counts->errorEventsCount(), counts->realtimeCount(),
                                       counts->dcuRealtimeCount()}),
            (std::vector<std::int32_t>{8, 1, 3, 3, 0, 0, 0}));
  counts->incrementErrorEventsCountForCurrentDay(8);
  counts->incrementRealtimeCountsForCurrentDay(8);
  counts->incrementDCURealtimeCountsForCurrentDay(8);
  counts->incrementCountsForCurrentDay(8, false, false);
  EXPECT_EQ((std::vector<std::int32_t>{counts->allEventsCount(), counts->publicEventsCount(),
                                       counts->errorEventsCount(), counts->realtimeCount(),
                                       counts->dcuRealtimeCount()}),
            (std::vector<std::int32_t>{5, 3, 1, 1, 1}));
  auto empty = APMDailyCounts::initWithDay(1, 0, 0, 0, 0, 0, 0);
  empty->decrementAllEventsCount();
  EXPECT_EQ(empty->allEventsCount(), 0);
  auto full =
      APMDailyCounts::initWithDay(1, 0, std::numeric_limits<std::int32_t>::max(), 0, 0, 0, 0);
  full->incrementCountsForCurrentDay(1, false, false, 5);
  EXPECT_EQ(full->allEventsCount(), std::numeric_limits<std::int32_t>::max());
}

TEST_F(APMAppMetadataTest, DayNumbers) {
  EXPECT_EQ(APMDayNumber(86400.0 * 10 + 100, 100), 10);
  EXPECT_EQ(APMDayNumber(86400.0 * 10 + 99.999, 100), 9);
  EXPECT_EQ(APMDayNumber(0, 100), -1);
  EXPECT_EQ(APMDayNumber(1e300, 0), std::nullopt);
  EXPECT_EQ(APMDayNumber(std::nan(""), 0), std::nullopt);
  EXPECT_EQ(APMInt32FromValue(Value(2.0)), 2);
  EXPECT_EQ(APMInt32FromValue(Value(2.5)), std::nullopt);
  EXPECT_EQ(APMInt32FromValue(Value(std::int64_t{1} << 40)), std::nullopt);
  EXPECT_EQ(APMInt32FromValue(Value("3")), std::nullopt);
}

TEST_F(APMAppMetadataTest, TheRowKeepsTheBundleSequence) {
  auto database = open();
  ASSERT_TRUE(database);
  platform::ErrorPtr error;
  auto metadata = database->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  metadata->increaseLastBundleIndex(3);
  metadata->incrementLastDeliveryIndex();
  metadata->setLastBundleStartTimestamp(1699999000.25);
  metadata->setLastBundleEndTimestamp(1700000000.5);
  ASSERT_TRUE(database->updateAppMetadata(metadata.get(), &error));
  auto read = open()->queryAppMetadata(&error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lastBundleIndex(), 3);
  EXPECT_EQ(read->lastDeliveryIndex(), 1);
  EXPECT_EQ(read->lastBundleStartTimestamp(), 1699999000.25);
  EXPECT_EQ(read->lastBundleEndTimestamp(), 1700000000.5);
  EXPECT_EQ(column("last_bundle_end_timestamp"), "1700000000.5");

  // A stored index out of range is refused, not cut.
  ASSERT_TRUE(database->store()->executeSQL(
      "UPDATE app_metadata SET last_bundle_index = 4294967296", &error));
  EXPECT_FALSE(database->queryAppMetadata(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
}

TEST_F(APMAppMetadataTest, DailyCountsRollOverAtTheInstallationsDayBoundary) {
  config_->setDouble(3600.5, APMPersistedConfigMidnightOffsetKey);
  auto database = open();
  ASSERT_TRUE(database);
  // The next boundary after the start: 1700000000 is day 19675 since 1970 plus 80000 s.
  const double boundary = (std::floor((1'700'000'000 - 3600.5) / 86400) + 1) * 86400 + 3600.5;
  env_.advance(boundary - 1'700'000'000 - 0.5);
  const std::int32_t today = database->currentDayNumber();
  platform::ErrorPtr error;
  auto counts = database->dailyCounts(&error);  // no day stored yet: today's
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->day(), today);
  counts->incrementCountsForCurrentDay(database->currentDayNumber(), true, false);
  ASSERT_TRUE(database->updateDailyCounts(counts.get(), &error));
  EXPECT_EQ(database->dailyCounts(&error)->allEventsCount(), 1);

  env_.advance(0.5);  // exactly at the boundary
  EXPECT_EQ(database->currentDayNumber(), today + 1);
  counts = database->dailyCounts(&error);
  EXPECT_EQ(counts->day(), today);  // stored as stored: the increment starts the new day
  counts->incrementCountsForCurrentDay(database->currentDayNumber(), false, false);
  ASSERT_TRUE(database->updateDailyCounts(counts.get(), &error));
  EXPECT_EQ(column("day || ',' || daily_events_count || ',' || daily_public_events_count"),
            std::to_string(today + 1) + ",1,0");
}

TEST_F(APMAppMetadataTest, StoredConfiguration) {
  auto database = open();
  ASSERT_TRUE(database);
  platform::ErrorPtr error;
  EXPECT_FALSE(database->queryMeasurementConfigWithError(&error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(database->lastRemoteConfigUpdateTimestamp(&error));

  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  NANOSetInt64(config.get(), apmpb_field::MeasurementConfig::kVersion, 7);
  EXPECT_FALSE(database->updateRemoteConfig(config.get(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Missing Ziriza app ID in measurement configuration");
  EXPECT_EQ(column("remote_config_data"), "NULL");
  EXPECT_FALSE(
      database->updateRemoteConfig(APMPBMeasurementConfig::initWithMessageInfo().get(), &error));
  EXPECT_EQ(error->localizedDescription(), "Invalid measurement config data");

  NANOSetString(config.get(), apmpb_field::MeasurementConfig::kAppId, "1:123:ios:abc");
  ASSERT_TRUE(database->updateRemoteConfig(config.get(), &error));
  auto stored = database->queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(stored);
  EXPECT_EQ(NANOGetInt64(stored.get(), apmpb_field::MeasurementConfig::kVersion), 7);
  EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), 1'700'000'000.0);
  ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(1'700'000'100.0, &error));
  EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), 1'700'000'100.0);

  ASSERT_TRUE(database->store()->executeSQL("UPDATE app_metadata SET remote_config_data = x'0a0b'",
                                            &error));
  EXPECT_FALSE(database->queryMeasurementConfigWithError(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Remote config data is corrupted");
}

}  // namespace
