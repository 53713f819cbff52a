#include "measurement/experiments/apme_database.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/raw_connection.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;
namespace field = apmpb_field;

constexpr double kStart = 1'700'000'000;

using apm_testing::RawConnection;

std::shared_ptr<APMPBFlag> flag(const std::string& name, std::int64_t value) {
  auto flag = APMPBFlag::initWithMessageInfo();
  NANOSetString(flag.get(), field::Flag::kName, name);
  NANOSetInt64(flag.get(), field::Flag::kIntValue, value);
  return flag;
}

// A snapshot of `name` with one flag "f<id>" per experiment ID.
std::shared_ptr<APMESnapshot> snapshot(const std::string& name, std::vector<std::int32_t> ids) {
  std::vector<std::shared_ptr<APMEExperiment>> experiments;
  for (auto id : ids)
    experiments.push_back(
        APMEExperiment::initWithExperimentID(id, {flag("f" + std::to_string(id), id)}));
  return APMESnapshot::initWithSDKName(name, experiments);
}

// "sdk:id,id" per snapshot, "|" between snapshots.
std::string names(const std::optional<APMEDatabase::Snapshots>& snapshots) {
  if (!snapshots) return "(none)";
  std::string text;
  for (const auto& s : *snapshots) {
    if (!text.empty()) text += "|";
    text += s->SDKName() + ":";
    bool first = true;
    for (const auto& e : s->experiments()) {
      if (!first) text += ",";
      first = false;
      text += std::to_string(e->experimentID());
    }
  }
  return text;
}

class APMEDatabaseTest : public apm_testing::StorageTest {
 protected:
  APMEDatabaseTest() { fastDisk_.skipSync = true; }
  ~APMEDatabaseTest() override {
    database_.reset();
    env_.runUntilIdle();
  }

  std::string path() const { return APMFilePathForDatabaseName(APMEDatabaseFileName); }
  APMEDatabase& open() {
    database_ = APMEDatabase::initWithPath(path());
    EXPECT_TRUE(database_);
    return *database_;
  }
  void makeFile(const std::string& sql) {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec(sql), SQLITE_OK) << sql;
  }
  bool hasReport(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  std::string rows(const std::string& sql) { return RawConnection(path()).rows(sql); }
  void upsertPending(const std::shared_ptr<APMESnapshot>& s) {
    platform::ErrorPtr error;
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({s}, &error))
        << (error ? error->localizedDescription() : "");
  }

  // Declared first, so it goes last: every connection is closed by then.
  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{kStart};
  std::shared_ptr<APMEDatabase> database_;
};

TEST_F(APMEDatabaseTest, ANewFileHoldsTheThreeTables) {
  open();
  const char* const statement =
      "CREATE TABLE %s ( sdk_name TEXT NOT NULL PRIMARY KEY, snapshotProto BLOB NOT NULL, "
      "timestamp REAL NOT NULL, manually_activated INTEGER)";
  for (const char* table : {APMEPendingSnapshotTableName, APMEActivatedSnapshotTableName,
                            APMELaunchedSnapshotTableName}) {
    char expected[256];
    std::snprintf(expected, sizeof expected, statement, table);
    EXPECT_EQ(rows(std::string("SELECT sql FROM sqlite_master WHERE name = '") + table + "'"),
              expected);
  }
  EXPECT_EQ(rows("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "3");
  // A second open of the same file keeps it as it is.
  upsertPending(snapshot("a", {1}));
  database_.reset();
  open();
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "a:1");
}

TEST_F(APMEDatabaseTest, PendingRowsRoundTripWithTheirTimeAndMark) {
  open();
  auto manual = snapshot("manual", {3, 0});
  manual->setManuallyActivated(true);
  manual->setTimestamp(kStart - 10);
  upsertPending(snapshot("auto", {5}));
  upsertPending(manual);
  EXPECT_EQ(rows("SELECT sdk_name, timestamp, manually_activated FROM pending_snapshot_table "
                 "ORDER BY rowid"),
            "auto|1700000000.0|0\nmanual|1699999990.0|1");
  const auto pending = database_->fetchAllPendingSnapshots(nullptr);
  EXPECT_EQ(names(pending), "auto:5|manual:0,3");
  ASSERT_EQ(pending->size(), 2u);
  EXPECT_FALSE((*pending)[0]->manuallyActivated());
  EXPECT_TRUE((*pending)[1]->manuallyActivated());
  EXPECT_DOUBLE_EQ((*pending)[1]->timestamp(), kStart - 10);
  EXPECT_EQ(NANOGetInt64((*pending)[1]->flagByName("f3").get(), field::Flag::kIntValue), 3);
}

TEST_F(APMEDatabaseTest, ActivationUnderTheMockClock) {
  open();
  platform::ErrorPtr error;

  SCOPED_TRACE("a pending row whose only experiment is the launched one");
  ASSERT_TRUE(database_->activateSnapshot(snapshot("sdk", {4, 0}), kStart - 100, &error));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "sdk:4");
  upsertPending(snapshot("sdk", {0}));
  ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically(&error));
  EXPECT_EQ(names(database_->fetchAllLaunchedSnapshots(nullptr)), "sdk:0");
  EXPECT_EQ(rows("SELECT timestamp, manually_activated IS NULL FROM launched_snapshot_table"),
            "1700000000.0|1");
  // The ended experiment 4 must not come back at the next start.
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "");
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "");
}

TEST_F(APMEDatabaseTest, RewritingAnSDKMovesItsRowToTheEnd) {
  open();
  upsertPending(snapshot("a", {1}));
  upsertPending(snapshot("b", {2}));
  upsertPending(snapshot("c", {3}));
  upsertPending(snapshot("a", {7}));
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "b:2|c:3|a:7");
  EXPECT_EQ(rows("SELECT count(*) FROM pending_snapshot_table"), "3");
}

TEST_F(APMEDatabaseTest, AutomaticActivationKeepsTheRowTimeAndStaleRowsGo) {
  open();
  auto old = snapshot("old", {1, 0});
  old->setTimestamp(kStart - 259201);
  auto edge = snapshot("edge", {2});
  edge->setTimestamp(kStart - 259199);
  auto manual = snapshot("manual", {3});
  manual->setManuallyActivated(true);
  upsertPending(old);
  upsertPending(edge);
  upsertPending(manual);
  // A row written by activation carries no mark: not picked up automatically either.
  ASSERT_TRUE(database_->upsertSnapshot(snapshot("unmarked", {6})->proto().get(),
                                        APMEPendingSnapshotTableName, kStart, std::nullopt,
                                        nullptr));

  platform::ErrorPtr error;
  ASSERT_TRUE(database_->performTransaction(
      [&] { return database_->activatePendingSnapshotsAutomatically(&error); }));
  EXPECT_EQ(rows("SELECT sdk_name, timestamp FROM activated_snapshot_table ORDER BY rowid"),
            "old|1699740799.0\nedge|1699740801.0");
  EXPECT_EQ(rows("SELECT sdk_name, timestamp FROM launched_snapshot_table"), "old|1699740799.0");
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "manual:3|unmarked:6");

  ASSERT_TRUE(database_->deleteStaleActivatedSnapshots(&error));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "edge:2");
  env_.advance(2);
  ASSERT_TRUE(database_->deleteStaleActivatedSnapshots(&error));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "");
  // Launched rows do not grow stale.
  EXPECT_EQ(names(database_->fetchAllLaunchedSnapshots(nullptr)), "old:0");
}

TEST_F(APMEDatabaseTest, APendingRowNewerThanTheActivationSurvives) {
  open();
  auto first = snapshot("sdk", {1});
  upsertPending(first);
  env_.advance(60);
  auto newer = snapshot("sdk", {2});  // a newer fetch, written after the activation's time
  upsertPending(newer);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->performTransaction(
      [&] { return database_->activateSnapshot(first, kStart + 30, &error); }));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "sdk:1");
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "sdk:2");
  // At a later time it goes.
  ASSERT_TRUE(database_->activateSnapshot(newer, kStart + 60, &error));
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "");
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "sdk:2");
}

TEST_F(APMEDatabaseTest, DamagedAndForeignFiles) {
  SCOPED_TRACE("a table with an extra NOT NULL column");
  makeFile("CREATE TABLE pending_snapshot_table ( sdk_name TEXT NOT NULL PRIMARY KEY, "
           "snapshotProto BLOB NOT NULL, timestamp REAL NOT NULL, manually_activated INTEGER, "
           "extra TEXT NOT NULL DEFAULT 'x'); INSERT INTO pending_snapshot_table VALUES "
           "('a', x'0a0161', 1, 0, 'y');");
  EXPECT_FALSE(APMEDatabase::initWithPath(path()));
  EXPECT_TRUE(hasReport(810004));
  EXPECT_TRUE(hasReport(810002));
  EXPECT_FALSE(std::filesystem::exists(path()));
  open();
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "");
  database_.reset();

  SCOPED_TRACE("a file of random bytes");
  std::filesystem::remove(path());
  {
    std::ofstream out(path(), std::ios::binary);
    for (int i = 0; i < 8192; ++i)
      out.put(static_cast<char>((i * 7919 + 13) & 0xff));
  }
  open();
  upsertPending(snapshot("a", {1}));
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "a:1");
  EXPECT_EQ(rows("PRAGMA integrity_check"), "ok");

  SCOPED_TRACE("an empty path");
  clearReports();
  EXPECT_FALSE(APMEDatabase::initWithPath(""));
  EXPECT_EQ(reportedCodes(), (std::vector<std::int64_t>{810000}));
}

TEST_F(APMEDatabaseTest, ALockedFileFailsTheOpenAndKeepsItsRows) {
  open();
  upsertPending(snapshot("a", {1}));
  upsertPending(snapshot("b", {2}));
  database_.reset();
  {
    RawConnection holder(path());
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    clearReports();
    EXPECT_FALSE(APMEDatabase::initWithPath(path()));
    EXPECT_TRUE(hasReport(810001));
    EXPECT_FALSE(hasReport(810002));
    holder.exec("ROLLBACK");
  }
  open();
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "a:1|b:2");
}

TEST_F(APMEDatabaseTest, UndecodableRows) {
  open();
  upsertPending(snapshot("good", {1, 0}));
  upsertPending(snapshot("bad", {2}));
  upsertPending(snapshot("nameless", {3}));
  upsertPending(snapshot("textTime", {4}));
  {
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("UPDATE pending_snapshot_table SET snapshotProto = x'ff' WHERE sdk_name = "
                       "'bad'; UPDATE pending_snapshot_table SET snapshotProto = x'1200' WHERE "
                       "sdk_name = 'nameless'; UPDATE pending_snapshot_table SET timestamp = "
                       "'soon' WHERE sdk_name = 'textTime';"),
              SQLITE_OK);
  }
  clearReports();
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "good:0,1");
  std::vector<std::string> skipped;
  for (const auto& report : reports()) {
    if (report.code != 810008) continue;
    EXPECT_EQ(report.level, 2);
    ASSERT_EQ(report.contexts.size(), 2u);
    EXPECT_EQ(report.contexts[0], Value("pending_snapshot_table"));
    skipped.push_back(report.contexts[1].asString());
  }
  EXPECT_EQ(skipped, (std::vector<std::string>{"bad", "nameless", "textTime"}));

  clearReports();
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically(&error));
  const auto codes = reportedCodes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 810008), 3);
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "good:1");
  EXPECT_EQ(names(database_->fetchAllLaunchedSnapshots(nullptr)), "good:0");
  EXPECT_EQ(rows("SELECT count(*) FROM pending_snapshot_table"), "0");
}

TEST_F(APMEDatabaseTest, FailingDiskAndBusyFile) {
  open();
  upsertPending(snapshot("a", {1, 0}));
  platform::ErrorPtr error;

  SCOPED_TRACE("writes fail during an activation inside its transaction");
  fastDisk_.failWrites = true;
  EXPECT_FALSE(database_->performTransaction(
      [&] { return database_->activatePendingSnapshotsAutomatically(&error); }));
  EXPECT_TRUE(hasReport(810007));
  fastDisk_.failWrites = false;
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "a:0,1");
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "");

  SCOPED_TRACE("another process holds the file: the query fails, with or without an error slot");
  {
    RawConnection holder(path());
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    EXPECT_FALSE(database_->activatePendingSnapshotsAutomatically(nullptr));
    error.reset();
    EXPECT_FALSE(database_->activatePendingSnapshotsAutomatically(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_FALSE(database_->fetchAllPendingSnapshots(nullptr));
    EXPECT_FALSE(database_->deleteStaleActivatedSnapshots(nullptr));
    holder.exec("ROLLBACK");
  }
  ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically(&error));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "a:1");

  SCOPED_TRACE("a block that throws is rolled back and reported");
  clearReports();
  EXPECT_FALSE(database_->performTransaction([&]() -> bool {
    database_->deleteActivatedExperimentsOfSDKName("a", nullptr);
    throw std::runtime_error("boom");
  }));
  EXPECT_TRUE(hasReport(810007));
  EXPECT_EQ(names(database_->fetchAllActivatedSnapshots(nullptr)), "a:1");
}

TEST_F(APMEDatabaseTest, DeletesResetAndCloseAndDelete) {
  open();
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->activateSnapshot(snapshot("a", {1, 0}), kStart, &error));
  upsertPending(snapshot("a", {2}));
  EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Received empty SDK Name");
  EXPECT_TRUE(database_->deleteActivatedExperimentsOfSDKName("a", nullptr));
  EXPECT_TRUE(database_->deleteLaunchedExperimentSDKName("a", nullptr));
  EXPECT_TRUE(database_->deletePendingExperimentsOfSDKName("a", nullptr));
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM pending_snapshot_table) + (SELECT count(*) FROM "
                 "activated_snapshot_table) + (SELECT count(*) FROM launched_snapshot_table)"),
            "0");
  EXPECT_FALSE(database_->activateSnapshot(nullptr, kStart, &error));
  EXPECT_EQ(error->localizedDescription(), "Received nil pending snapshot");

  upsertPending(snapshot("b", {1}));
  database_->reset();
  ASSERT_TRUE(database_->sqliteStore());
  EXPECT_EQ(names(database_->fetchAllPendingSnapshots(nullptr)), "");
  EXPECT_EQ(rows("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "3");

  database_->closeAndDelete();
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_FALSE(database_->sqliteStore());
  EXPECT_FALSE(database_->fetchAllPendingSnapshots(&error));
  EXPECT_FALSE(database_->upsertPendingExperimentSnapshots({snapshot("c", {1})}, nullptr));
  EXPECT_FALSE(std::filesystem::exists(path()));
}

}  // namespace
