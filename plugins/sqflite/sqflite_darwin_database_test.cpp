#include "plugins/sqflite/sqflite_darwin_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>

#include "platform/core/assertion.h"
#include "platform/log/log.h"
#include "plugins/sqflite/sqflite_darwin_database_queue.h"
#include "plugins/sqflite/sqflite_test_util.h"

namespace sqflite {
namespace {

using platform::Bytes;
using platform::Value;
using platform::ValueList;

constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

std::shared_ptr<SqfliteDarwinDatabase> openDb(std::optional<std::string> path) {
  auto db = SqfliteDarwinDatabase::databaseWithPath(std::move(path));
  EXPECT_TRUE(db->openWithFlags(kReadWriteCreate));
  return db;
}

std::int64_t countRows(SqfliteDarwinDatabase& db, const std::string& table) {
  auto rs = db.executeQuery("SELECT COUNT(*) FROM " + table, {});
  EXPECT_TRUE(rs && rs->next());
  std::int64_t n = rs ? rs->longLongIntForColumnIndex(0) : -1;
  if (rs) rs->close();
  return n;
}

TEST(SqfliteDarwinDatabaseTest, NoPathIsPrivateMemoryAndEmptyPathIsPrivateTemporary) {
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    auto a = openDb(path);
    auto b = openDb(path);
    ASSERT_TRUE(a->executeUpdate("CREATE TABLE t (x)"));
    // A second connection on the same "path" sees nothing of the first one.
    EXPECT_TRUE(b->executeUpdate("CREATE TABLE t (x)"));
  }
}

TEST(SqfliteDarwinDatabaseTest, BindsByPositionIgnoringExtraValuesAndRefusesTooFew) {
  auto db = openDb(std::nullopt);
  ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (a, b)"));
  EXPECT_TRUE(db->executeUpdate("INSERT INTO t VALUES (?, ?)", {Value(1), Value(2), Value(3)}));
  EXPECT_EQ(countRows(*db, "t"), 1);

  platform::ScopedLogCapture log;
  EXPECT_EQ(db->executeQuery("INSERT INTO t VALUES (?, ?)", {Value(1)}), nullptr);
  EXPECT_EQ(log.count("the bind count is not correct"), 1u);
  // SQLite has nothing to say about it, so the layer's own record is the error state.
  EXPECT_TRUE(db->hadError());
  EXPECT_EQ(db->lastErrorCode(), SQLITE_RANGE);
  EXPECT_NE(db->lastErrorMessage().find("bind count"), std::string::npos);
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(countRows(*db, "t"), 1);
}

TEST(SqfliteDarwinDatabaseTest, ValuesRoundTripByKind) {
  auto db = openDb(std::nullopt);
  ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (v)"));
  struct Case {
    Value bound;
    int type;
    Value expected;  // read back through the typed accessor of that type
  };
  const Case cases[] = {
      {Value(), SQLITE_NULL, Value()},
      {Value(true), SQLITE_INTEGER, Value(1)},
      {Value(std::int64_t{1} << 40), SQLITE_INTEGER, Value(std::int64_t{1} << 40)},
      {Value(2.5), SQLITE_FLOAT, Value(2.5)},
      {Value("héllo"), SQLITE_TEXT, Value("héllo")},
      {Value(Bytes{0, 1, 255}), SQLITE_BLOB, Value(Bytes{0, 1, 255})},
      {Value::date(1700000000.5), SQLITE_FLOAT, Value(1700000000.5)},
      {Value::map({{Value("k"), Value(1)}}), SQLITE_TEXT,
       Value(Value::map({{Value("k"), Value(1)}}).debugString())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bound.debugString());
    ASSERT_TRUE(db->executeUpdate("DELETE FROM t"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (?)", {c.bound}));
    auto rs = db->executeQuery("SELECT v FROM t", {});
    ASSERT_TRUE(rs && rs->next());
    ASSERT_EQ(rs->columnTypeForIndex(0), c.type);
    switch (c.type) {
    case SQLITE_INTEGER:
      EXPECT_EQ(Value(rs->longLongIntForColumnIndex(0)), c.expected);
      break;
    case SQLITE_FLOAT:
      EXPECT_EQ(Value(rs->doubleForColumnIndex(0)), c.expected);
      break;
    case SQLITE_TEXT:
      EXPECT_EQ(Value(*rs->stringForColumnIndex(0)), c.expected);
      break;
    case SQLITE_BLOB:
      EXPECT_EQ(Value(*rs->dataForColumnIndex(0)), c.expected);
      break;
    default:
      EXPECT_FALSE(rs->stringForColumnIndex(0).has_value());
      EXPECT_FALSE(rs->dataForColumnIndex(0).has_value());
    }
    rs->close();
  }
}

TEST(SqfliteDarwinDatabaseTest, InvalidUtf8TextAndOutOfRangeColumnsReadAsNone) {
  auto db = openDb(std::nullopt);
  auto rs = db->executeQuery("SELECT CAST(x'C328' AS TEXT), CAST(x'' AS BLOB)", {});
  ASSERT_TRUE(rs && rs->next());
  EXPECT_FALSE(rs->stringForColumnIndex(0).has_value());
  EXPECT_FALSE(rs->stringForColumnIndex(-1).has_value());
  EXPECT_FALSE(rs->stringForColumnIndex(2).has_value());
  // An empty blob has no pointer to copy from.
  EXPECT_EQ(rs->columnTypeForIndex(1), SQLITE_BLOB);
  EXPECT_FALSE(rs->dataForColumnIndex(1).has_value());
  rs->close();
}

TEST(SqfliteDarwinDatabaseTest, UpdateThatYieldsARowFailsAndTheConnectionStaysUsable) {
  auto db = openDb(std::nullopt);
  EXPECT_FALSE(db->executeUpdate("SELECT 1"));
  EXPECT_TRUE(db->hadError());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
  EXPECT_FALSE(db->hadError());
}

TEST(SqfliteDarwinDatabaseTest, ErrorStateClassifiesExtendedCodesByTheirPrimaryCode) {
  auto db = openDb(std::nullopt);
  sqlite3_extended_result_codes(db->sqliteHandle(), 1);
  ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
  // An unknown collation is SQLITE_ERROR_MISSING_COLLSEQ (257) once extended codes are on.
  EXPECT_EQ(db->executeQuery("SELECT x FROM t ORDER BY x COLLATE nosuch", {}), nullptr);
  EXPECT_EQ(db->lastErrorCode(), 257);
  EXPECT_TRUE(db->hadError());
  auto error = db->lastError();
  EXPECT_EQ(error->domain, kSqfliteDarwinDatabaseDomain);
  EXPECT_EQ(error->code, 257);
  EXPECT_NE(error->localizedDescription().find("nosuch"), std::string::npos);
}

TEST(SqfliteDarwinDatabaseTest, FailedStepIsReportedWithItsCodeAndClosesTheResultSet) {
  auto db = openDb(std::nullopt);
  platform::ScopedLogCapture log;
  auto rs = db->executeQuery("SELECT json('x')", {});
  ASSERT_NE(rs, nullptr);
  EXPECT_FALSE(rs->next());
  EXPECT_TRUE(rs->stepFailed());
  EXPECT_TRUE(rs->isClosed());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(db->lastErrorCode() & 0xFF, SQLITE_ERROR);
  EXPECT_NE(db->lastErrorMessage().find("JSON"), std::string::npos);
  EXPECT_EQ(log.count("Error calling sqlite3_step"), 1u);
}

TEST(SqfliteDarwinDatabaseTest, BusyWriteIsRetriedForTwoSecondsThenFails) {
  testing::TempDir dir;
  auto holder = openDb(dir.file("busy.db"));
  auto writer = openDb(dir.file("busy.db"));
  ASSERT_TRUE(holder->executeUpdate("CREATE TABLE t (x)"));
  // The writer knows the schema already, so it is its step, not its prepare, that waits.
  EXPECT_EQ(countRows(*writer, "t"), 0);
  ASSERT_TRUE(holder->executeUpdate("BEGIN EXCLUSIVE"));

  // Simulated time: each sleep moves the clock by what was slept, so the wait costs nothing.
  double fakeNow = 100.0;
  int sleeps = 0;
  writer->setBusyTimingForTesting({[&] { return fakeNow; },
                                   [&](int ms) {
                                     EXPECT_GE(ms, 50);
                                     EXPECT_LE(ms, 99);
                                     ++sleeps;
                                     fakeNow += ms / 1000.0;
                                     return ms;
                                   }});
  platform::ScopedLogCapture log;
  EXPECT_FALSE(writer->executeUpdate("INSERT INTO t VALUES (1)"));
  EXPECT_EQ(writer->lastErrorCode() & 0xFF, SQLITE_BUSY);
  EXPECT_GE(fakeNow - 100.0, 2.0);
  EXPECT_LT(fakeNow - 100.0, 2.1);
  EXPECT_GE(sleeps, 2000 / 99);
  EXPECT_GE(log.count("Database busy"), 1u);

  ASSERT_TRUE(holder->executeUpdate("COMMIT"));
  EXPECT_TRUE(writer->executeUpdate("INSERT INTO t VALUES (1)"));
}

TEST(SqfliteDarwinDatabaseTest, CloseFinalisesALeakedCursorStatementOnceAndNeverTouchesItAgain) {
  auto db = openDb(std::nullopt);
  ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
  ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (1), (2), (3)"));
  auto rs = db->executeQuery("SELECT x FROM t", {});
  ASSERT_TRUE(rs && rs->next());
  // Detached as a cursor is: the connection no longer lists it as open.
  db->resultSetDidClose(rs.get());

  platform::ScopedLogCapture log;
  EXPECT_TRUE(db->close());
  EXPECT_EQ(log.count("Closing leaked statement"), 1u);
  EXPECT_EQ(log.count("error closing"), 0u);
  EXPECT_FALSE(db->isOpen());
  // The statement is gone: stepping, reading and closing must not reach it (ASan watches).
  EXPECT_EQ(rs->statement()->statement(), nullptr);
  EXPECT_FALSE(rs->next());
  EXPECT_FALSE(rs->stringForColumnIndex(0).has_value());
  rs.reset();
}

TEST(SqfliteDarwinDatabaseTest, ClosedConnectionRefusesStatements) {
  auto db = openDb(std::nullopt);
  db->close();
  EXPECT_EQ(db->executeQuery("SELECT 1", {}), nullptr);
  EXPECT_TRUE(db->hadError());
  EXPECT_FALSE(db->executeUpdate("CREATE TABLE t (x)"));
}

TEST(SqfliteDarwinDatabaseTest, OpenFailureReportsFailure) {
  testing::TempDir dir;
  platform::ScopedLogCapture log;
  auto db = SqfliteDarwinDatabase::databaseWithPath(dir.file("missing/dir/x.db"));
  EXPECT_FALSE(db->openWithFlags(kReadWriteCreate));
  EXPECT_FALSE(db->isOpen());
  EXPECT_EQ(log.count("error opening!: "), 1u);
  EXPECT_EQ(SqfliteDarwinDatabaseQueue::databaseQueueWithPath(dir.file("missing/dir/x.db"),
                                                              kReadWriteCreate),
            nullptr);
}

// ---------------------------------------------------------------------------------------------
// Queue

TEST(SqfliteDarwinDatabaseQueueTest, RunsUnitsOnItsSerialQueueAndReopensAfterClose) {
  testing::TempDir dir;
  auto queue =
      SqfliteDarwinDatabaseQueue::databaseQueueWithPath(dir.file("q.db"), kReadWriteCreate);
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->queue()->label().rfind("sqlconn.", 0), 0u);
  bool onQueue = false;
  queue->inDatabase([&](SqfliteDarwinDatabase* db) {
    onQueue = queue->queue()->isCurrent();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    EXPECT_TRUE(db->executeUpdate("INSERT INTO t VALUES (7)"));
  });
  EXPECT_TRUE(onQueue);

  queue->close();
  queue->inDatabase([&](SqfliteDarwinDatabase* db) {
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(countRows(*db, "t"), 1);
  });

  queue->closeForGood();
  bool ran = false;
  queue->inDatabase([&](SqfliteDarwinDatabase* db) {
    ran = true;
    EXPECT_EQ(db, nullptr);
  });
  EXPECT_TRUE(ran);
}

TEST(SqfliteDarwinDatabaseQueueTest, WarnsAboutResultSetsLeftOpenAndRefusesReentrantUse) {
  auto queue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath(std::nullopt, kReadWriteCreate);
  ASSERT_NE(queue, nullptr);
  platform::ScopedLogCapture log;
  std::shared_ptr<SqfliteDarwinResultSet> kept;
  queue->inDatabase([&](SqfliteDarwinDatabase* db) { kept = db->executeQuery("SELECT 1", {}); });
  EXPECT_EQ(log.count("at least one open result set"), 1u);

  platform::ScopedAssertionCapture assertions;
  bool innerRan = false;
  queue->inDatabase([&](SqfliteDarwinDatabase*) {
    queue->inDatabase([&](SqfliteDarwinDatabase*) { innerRan = true; });
  });
  EXPECT_FALSE(innerRan);
  ASSERT_EQ(assertions.count(), 1u);
  EXPECT_NE(assertions.failures()[0].message.find("reentrantly"), std::string::npos);
  queue->inDatabase([&](SqfliteDarwinDatabase*) { kept.reset(); });
}

TEST(SqfliteDarwinDatabaseQueueTest, ReopenFailureGivesTheUnitNoConnection) {
  testing::TempDir dir;
  auto path = dir.file("sub/r.db");
  std::filesystem::create_directories(dir.path() / "sub");
  auto queue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath(path, kReadWriteCreate);
  ASSERT_NE(queue, nullptr);
  queue->close();
  std::filesystem::remove_all(dir.path() / "sub");
  platform::ScopedLogCapture log;
  bool ran = false;
  queue->inDatabase([&](SqfliteDarwinDatabase* db) {
    ran = true;
    EXPECT_EQ(db, nullptr);
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(log.count("could not reopen database"), 1u);
}

}  // namespace
}  // namespace sqflite
