// The measurement store and database seen through the real probe, with the files read by a
// connection of the test's own (as the sqlite3 CLI would read them).
#include <gmock/gmock.h>
#include <sqlite3.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>

#include "measurement/storage/testing/raw_connection.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;
using testing::HasSubstr;

using apm_testing::RawConnection;

class DatabaseCommandsTest : public probe_testing::ProbeTest {
 protected:
  std::string databasePath() const {
    return home() + "/Application Support/Ziriza/Measurement/ziriza-app-measurement.sql";
  }
  std::vector<json> replies(const std::string& options, const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    run_ = run(options, lines);
    auto out = run_.replies();
    EXPECT_EQ(out.size(), commands.size());
    return out;
  }
  void makeDatabaseFile(const std::string& sql) {
    std::filesystem::create_directories(std::filesystem::path(databasePath()).parent_path());
    ASSERT_EQ(RawConnection(databasePath()).exec(sql), SQLITE_OK);
  }

  probe_testing::ProbeRun run_;
};

TEST_F(DatabaseCommandsTest, AFreshOpenMakesTheSchemaTheRowAndTheBackupMark) {
  const auto out = replies("", {{{"op", "databaseOpen"}}, {{"op", "appMetadata"}}});
  EXPECT_EQ(out[0]["result"]["path"], databasePath());
  EXPECT_EQ(out[1]["result"], (json{{"lastBundleIndex", 0},
                                    {"lastDeliveryIndex", 0},
                                    {"lastBundleStartTimestamp", 0.0},
                                    {"lastBundleEndTimestamp", 0.0}}));
  RawConnection file(databasePath());
  EXPECT_EQ(file.rows("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "14");
  EXPECT_EQ(file.rows("SELECT rowid, last_bundle_index, last_bundle_end_timestamp FROM "
                      "app_metadata"),
            "1|0|0.0");
  EXPECT_THAT(file.rows("SELECT sql FROM sqlite_master WHERE name = 'raw_events'"),
              HasSubstr("timestamp REAL NOT NULL, metadata_fingerprint INTEGER NOT NULL, data "
                        "BLOB NOT NULL, is_realtime INTEGER)"));
  char mark[8] = {};
  EXPECT_EQ(getxattr(databasePath().c_str(), "user.lumora.excluded-from-backup", mark, sizeof mark),
            1);
}

TEST_F(DatabaseCommandsTest, FilesOfOtherVersions) {
  struct Case {
    const char* name;
    const char* fixture;
    bool opens;
    const char* query;
    const char* rows;
  };
  const Case cases[] = {
      {"an INTEGER timestamp becomes REAL",
       "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
       "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL); INSERT INTO raw_events "
       "VALUES ('a', 1, 7, x'01'), ('b', 2, 7, x'02'), ('c', 3, 7, x'03');",
       true, "SELECT name, typeof(timestamp), quote(is_realtime) FROM raw_events",
       "a|real|NULL\nb|real|NULL\nc|real|NULL"},
      {"an extra NOT NULL column",
       "CREATE TABLE user_attributes (name TEXT NOT NULL PRIMARY KEY, set_timestamp REAL NOT "
       "NULL, value BLOB NOT NULL, newer TEXT NOT NULL);",
       false, "SELECT count(*) FROM user_attributes", "0"},
      {"random bytes", nullptr, true, "SELECT count(*) FROM app_metadata", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home());
    if (c.fixture) {
      makeDatabaseFile(c.fixture);
    } else {
      std::filesystem::create_directories(std::filesystem::path(databasePath()).parent_path());
      std::ofstream file(databasePath(), std::ios::binary);
      for (int i = 0; i < 4096; ++i)
        file.put(static_cast<char>((i * 131 + 7) % 256));
    }
    const auto out = replies("", {{{"op", "databaseOpen"}}});
    EXPECT_EQ(out[0].contains("result"), c.opens) << out[0].dump();
    if (!c.opens) {
      EXPECT_THAT(run_.reportedCodes(), testing::Contains(12002));
      EXPECT_FALSE(std::filesystem::exists(databasePath()));
      replies("", {{{"op", "databaseOpen"}}});  // the next open starts empty
    }
    EXPECT_EQ(RawConnection(databasePath()).rows(c.query), c.rows);
  }
}

TEST_F(DatabaseCommandsTest, ALockHeldElsewhereFailsTheOpenAndKeepsEveryRow) {
  makeDatabaseFile(
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
      "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER); INSERT "
      "INTO raw_events VALUES ('a', 1, 7, x'01', NULL), ('b', 2, 7, x'02', 1);");
  {
    RawConnection holder(databasePath());
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    const auto out = replies("", {{{"op", "databaseOpen"}}});
    EXPECT_EQ(out[0]["error"],
              "3: Database operation \"validate database\" failed with sqlite code 5 and error "
              "message \"database is locked\" [validate database,5,A]");
  }
  EXPECT_EQ(RawConnection(databasePath()).rows("SELECT name, is_realtime FROM raw_events"),
            "a|\nb|1");
}

TEST_F(DatabaseCommandsTest, StoreCommands) {
  const std::string path = scratch_ / "elsewhere/any.sql";
  const auto out = replies(
      "", {{{"op", "storeOpen"}, {"path", path}},
           {{"op", "storeExecute"}, {"sql", "CREATE TABLE t (x TEXT)"}},
           {{"op", "storeTransaction"},
            {"statements",
             {"INSERT INTO t VALUES ('[1]')", "INSERT INTO t VALUES ('[2]')",
              "INSERT INTO t VALUES ('{bad')"}}},
           {{"op", "storeQuery"}, {"sql", "SELECT json(x) FROM t"}},
           {{"op", "storeExecute"}, {"sql", "PRAGMA foreign_keys=ON"}},
           {{"op", "storeExecute"}, {"sql", "CREATE TABLE parent (id INTEGER PRIMARY KEY)"}},
           {{"op", "storeExecute"},
            {"sql", "CREATE TABLE child (p INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY "
                    "DEFERRED)"}},
           {{"op", "storeTransaction"}, {"statements", {"INSERT INTO child VALUES (7)"}}},
           {{"op", "storeTransaction"},
            {"statements", {"INSERT INTO parent VALUES (7)", "INSERT INTO child VALUES (7)"}}},
           {{"op", "storeUpsert"}, {"table", "t"}, {"record", {{"x", {{"$date", 1.5}}}}}},
           {{"op", "storeNumber"}, {"sql", "SELECT count(*) FROM t"}}});
  EXPECT_EQ(out[2]["result"], (json{{"committed", true}}));
  EXPECT_THAT(out[3].value("error", ""),
              HasSubstr("\"query records\" failed with sqlite code 1 and error message "
                        "\"malformed JSON\""));
  EXPECT_EQ(out[7]["result"]["committed"], false);
  EXPECT_THAT(out[7]["result"].value("error", ""), HasSubstr("Failed to end transaction"));
  EXPECT_EQ(out[8]["result"], (json{{"committed", true}}));
  EXPECT_EQ(out[9]["result"], false);
  EXPECT_THAT(run_.reportedCodes(), testing::Contains(34020));
  EXPECT_EQ(out[10]["result"], 3);
  EXPECT_EQ(RawConnection(path).rows("SELECT p FROM child"), "7");
}

TEST_F(DatabaseCommandsTest, TheRowUnderTheMockClock) {
  // 1700000000 lies 80000 s past the day boundary 3600.5 s after midnight UTC.
  const auto out = replies(
      "--mock-clock 1700000000",
      {{{"op", "configSet"}, {"key", "/ziriza/measurement/midnight_offset"}, {"value", 3600.5}},
       {{"op", "databaseOpen"}},
       {{"op", "advance"}, {"seconds", 10000}},
       {{"op", "countDaily"}, {"public", true}, {"count", 2}},
       {{"op", "advance"}, {"seconds", 0.5}},
       {{"op", "countDaily"}},
       {{"op", "appMetadataSet"},
        {"lastBundleIndex", 2147483646},
        {"lastDeliveryIndex", 2147483647}},
       {{"op", "increaseLastBundleIndex"}, {"by", 3}},
       {{"op", "incrementLastDeliveryIndex"}},
       {{"op", "remoteConfigFromFile"}, {"file", scratch_ / "config.bin"}}});
  EXPECT_EQ(out[3]["result"]["day"], 19675);
  EXPECT_EQ(out[3]["result"]["allEventsCount"], 2);
  EXPECT_EQ(out[5]["result"]["day"], 19676);
  EXPECT_EQ(out[5]["result"]["allEventsCount"], 1);
  EXPECT_EQ(out[5]["result"]["publicEventsCount"], 0);
  EXPECT_EQ(out[7]["result"]["lastBundleIndex"], 2);
  EXPECT_EQ(out[8]["result"]["lastDeliveryIndex"], 0);
  EXPECT_THAT(run_.reportedCodes(), testing::IsSupersetOf({4001, 4002}));
  EXPECT_THAT(out[9].value("error", ""), HasSubstr("cannot read"));
  RawConnection file(databasePath());
  EXPECT_EQ(file.rows("SELECT day, daily_events_count, quote(remote_config_data) FROM "
                      "app_metadata"),
            "19676|1|NULL");
}

TEST_F(DatabaseCommandsTest, AConfigurationWithoutAppIDIsRefused) {
  // version 3 only (field 1, varint): no app ID.
  std::ofstream(scratch_ / "config.bin", std::ios::binary) << std::string("\x08\x03", 2);
  // version 4 and app ID "1:2:ios:a"; read back, the same bytes in base64.
  std::ofstream(scratch_ / "good.bin", std::ios::binary) << std::string("\x08\x04\x12\x09"
                                                                        "1:2:ios:a",
                                                                        13);
  const auto out = replies("--mock-clock 1700000000",
                           {{{"op", "databaseOpen"}},
                            {{"op", "remoteConfigFromFile"}, {"file", scratch_ / "config.bin"}},
                            {{"op", "remoteConfig"}},
                            {{"op", "remoteConfigFromFile"}, {"file", scratch_ / "good.bin"}},
                            {{"op", "remoteConfig"}}});
  EXPECT_EQ(out[1]["error"], "1: Missing Ziriza app ID in measurement configuration");
  EXPECT_EQ(out[2]["result"], (json{{"bytes", nullptr}, {"timestamp", nullptr}}));
  EXPECT_EQ(out[4]["result"],
            (json{{"bytes", "CAQSCTE6Mjppb3M6YQ=="}, {"timestamp", 1700000000.0}}));
}

}  // namespace
