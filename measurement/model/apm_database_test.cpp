#include "measurement/model/apm_database.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/raw_connection.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;

using apm_testing::RawConnection;

class APMDatabaseTest : public apm_testing::StorageTest {
 protected:
  APMDatabaseTest() {
    fastDisk_.skipSync = true;
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  }
  ~APMDatabaseTest() override { env_.runUntilIdle(); }

  std::string path() const { return APMFilePathForDatabaseName(APMDatabaseFileName); }
  std::shared_ptr<APMDatabase> open(platform::ErrorPtr* error = nullptr) {
    return APMDatabase::initWithDatabaseName(APMDatabaseFileName, config_, error);
  }
  // A database file written by an older or newer version: `sql` runs on a new file.
  void makeFile(const std::string& sql) {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec(sql), SQLITE_OK) << sql;
  }
  bool hasReport(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  // Declared first, so it goes last: every connection is closed by then.
  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> config_;
};

TEST_F(APMDatabaseTest, ANewFileGetsEveryTableAndTheAppMetadataRow) {
  platform::ErrorPtr error;
  auto database = open(&error);
  ASSERT_TRUE(database) << (error ? error->localizedDescription() : "");
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT group_concat(name, ',') FROM (SELECT name FROM sqlite_master WHERE "
                     "type = 'table' ORDER BY name)"),
            "app_metadata,audience_filter_values,conditional_properties,event_filters,events,"
            "main_event_params,odm_values,property_filters,purchase_transactions,queue,raw_events,"
            "raw_events_metadata,subscriptions,user_attributes");
  EXPECT_EQ(raw.rows("SELECT sql FROM sqlite_master WHERE name = 'raw_events'"),
            "CREATE TABLE raw_events ( name TEXT NOT NULL, timestamp REAL NOT NULL, "
            "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");
  EXPECT_EQ(raw.rows("SELECT sql FROM sqlite_master WHERE name = 'app_metadata'"),
            "CREATE TABLE app_metadata ( last_bundle_index INTEGER NOT NULL, "
            "last_bundle_end_timestamp REAL NOT NULL, last_bundle_start_timestamp REAL, day "
            "INTEGER, daily_conversions_count INTEGER, daily_events_count INTEGER, "
            "daily_public_events_count INTEGER, daily_error_events_count INTEGER, "
            "remote_config_data BLOB, remote_config_timestamp REAL, "
            "daily_real_time_conversion_events_count INTEGER, last_delivery_index INTEGER, "
            "daily_real_time_dcu_events_count INTEGER)");
  EXPECT_EQ(raw.rows("SELECT rowid, last_bundle_index, last_bundle_end_timestamp, "
                     "last_delivery_index, day IS NULL FROM app_metadata"),
            "1|0|0.0|0|1");
}

TEST_F(APMDatabaseTest, OlderAndNewerFiles) {
  struct Case {
    const char* name;
    const char* fixture;
    bool opens;
    const char* query;   // run on the file afterwards
    const char* result;  // its rows
  };
  const Case cases[] = {
      {"raw_events with an INTEGER timestamp is rebuilt and keeps its rows",
       "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
       "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL); INSERT INTO raw_events VALUES "
       "('a', 1, 7, x'01'), ('b', 2, 7, x'02'), ('c', 3, 7, x'03');",
       true,
       "SELECT name, typeof(timestamp), timestamp, is_realtime IS NULL FROM raw_events ORDER BY "
       "rowid",
       "a|real|1.0|1\nb|real|2.0|1\nc|real|3.0|1"},
      {"an extra nullable column stays",
       "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, newer TEXT); "
       "INSERT INTO queue VALUES (x'01', 5.0, 'n');",
       true, "SELECT newer, retry_count IS NULL FROM queue", "n|1"},
      {"an old app_metadata row reads NULL in the added columns",
       "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp "
       "REAL NOT NULL); INSERT INTO app_metadata VALUES (41, 9.5);",
       true, "SELECT rowid, last_bundle_index, day IS NULL FROM app_metadata", "1|41|1"},
      {"an extra NOT NULL column gives the file up",
       "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
       "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, newer INTEGER "
       "NOT NULL); INSERT INTO events VALUES ('e', 1, 1, 1.0, 1);",
       false, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path());
    makeFile(c.fixture);
    clearReports();
    platform::ErrorPtr error;
    auto database = open(&error);
    EXPECT_EQ(database != nullptr, c.opens) << (error ? error->localizedDescription() : "");
    if (c.opens) {
      database.reset();
      EXPECT_EQ(RawConnection(path()).rows(c.query), c.result);
      continue;
    }
    EXPECT_TRUE(hasReport(12002));
    EXPECT_FALSE(std::filesystem::exists(path()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Table contains unknown non-optional columns");
    // The next open starts from an empty file.
    ASSERT_TRUE(open(&error));
    EXPECT_EQ(RawConnection(path()).rows("SELECT count(*) FROM events"), "0");
  }
}

TEST_F(APMDatabaseTest, BusyLockedOrFailingFilesKeepTheirData) {
  const char* fixture =
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
      "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL); INSERT INTO raw_events VALUES "
      "('a', 1, 7, x'01'), ('b', 2, 7, x'02');";
  const auto rowsInFile = [&] {
    return RawConnection(path()).rows("SELECT group_concat(name, ',') FROM raw_events");
  };
  {
    SCOPED_TRACE("another connection holds an exclusive lock");
    makeFile(fixture);
    RawConnection other(path());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    platform::ErrorPtr error;
    EXPECT_FALSE(open(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_NE(error->localizedDescription().find("\"validate database\" failed with sqlite code 5"),
              std::string::npos);
    other.exec("ROLLBACK");
    EXPECT_EQ(rowsInFile(), "a,b");
  }
  {
    SCOPED_TRACE("another process is writing while the tables are ensured");
    apm_testing::SqliteFaultVfs vfs;
    vfs.pathPrefix = path();
    vfs.busyOnWrite = true;
    clearReports();
    platform::ErrorPtr error;
    EXPECT_FALSE(open(&error));  // the missing tables and columns cannot be added
    EXPECT_TRUE(hasReport(12002));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
  }
  EXPECT_EQ(rowsInFile(), "a,b");
  {
    SCOPED_TRACE("the disk fails writes while the tables are ensured");
    apm_testing::SqliteFaultVfs vfs;
    vfs.pathPrefix = path();
    vfs.failWrites = true;
    EXPECT_FALSE(open());
  }
  EXPECT_EQ(rowsInFile(), "a,b");
  // Once the file is free again, the open succeeds with the rows.
  platform::ErrorPtr error;
  ASSERT_TRUE(open(&error));
  EXPECT_EQ(rowsInFile(), "a,b");
}

TEST_F(APMDatabaseTest, ResetEmptiesEveryTableAndMakesANewRow) {
  platform::ErrorPtr error;
  auto database = open(&error);
  ASSERT_TRUE(database);
  auto metadata = database->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  metadata->increaseLastBundleIndex(12);
  ASSERT_TRUE(database->updateAppMetadata(metadata.get(), &error));
  ASSERT_TRUE(database->insertDataType(APMSqliteRecord{{Value("fingerprint"), Value("p")}},
                                       "purchase_transactions", &error));
  ASSERT_TRUE(database->reset(&error));
  EXPECT_EQ(database->queryAppMetadata(&error)->lastBundleIndex(), 0);
  EXPECT_EQ(database->store()->rowCountForTableWithName("purchase_transactions", &error), 0);
}

TEST_F(APMDatabaseTest, GenericRowOperations) {
  platform::ErrorPtr error;
  auto database = open(&error);
  ASSERT_TRUE(database);
  const auto row = [](const char* name) {
    return APMSqliteRecord{{Value("name"), Value(name)},
                           {Value("set_timestamp"), Value(1.0)},
                           {Value("value"), Value("v")}};
  };
  ASSERT_TRUE(database->upsertDataType(row("a"), "odm_values", "name", Value("a"), 2, &error));
  ASSERT_TRUE(database->upsertDataType(row("b"), "odm_values", "name", Value("b"), 2, &error));
  // Full: a new key is refused, an existing one is replaced.
  EXPECT_FALSE(database->upsertDataType(row("c"), "odm_values", "name", Value("c"), 2, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(database->upsertDataType(row("b"), "odm_values", "name", Value("b"), 2, &error));

  EXPECT_FALSE(database->updateDataType(row("z"), "odm_values", "name", Value("z"), &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to update record. Item doesn't exist");

  const auto names = database->allDataTypesFromTableWithName<std::string>(
      "odm_values", 10, &error, [](const APMSqliteRecord& r) -> std::optional<std::string> {
        return r.at(Value("name")).asString() + "@" + std::to_string(r.at(Value("rowid")).asInt());
      });
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, (std::vector<std::string>{"a@1", "b@3"}));  // the replaced row is new

  const auto nothing = database->dataTypesFromTableWithName<int>(
      "odm_values", "name", Value("a"), &error,
      [](const APMSqliteRecord&) -> std::optional<int> { return std::nullopt; });
  EXPECT_FALSE(nothing);
  EXPECT_EQ(error->localizedDescription(), "Failed to initialize data types from dictionaries");
}

TEST_F(APMDatabaseTest, AFailedTransactionIsReported) {
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_FALSE(database->performTransaction([] { return false; }));
  EXPECT_TRUE(hasReport(12056));
  EXPECT_TRUE(database->performTransaction([] { return true; }));
}

}  // namespace
