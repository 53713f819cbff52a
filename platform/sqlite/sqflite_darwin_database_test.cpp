#include "platform/sqlite/sqflite_darwin_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "platform/sqlite/sqflite_darwin_database_queue.h"

namespace platform {
namespace {

using TempDir = ScratchDirForTesting;

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

// Updates step their statement once and hand it back reset, whether it completes, fails at
// the step or yields a row; with the last statement kept, the next run of the same text reuses
// it. Each case runs with and without the kept statement.
TEST(SqfliteDarwinDatabaseTest, UpdateOutcomesAreReportedAndLeaveTheStatementReusable) {
  struct Case {
    const char* name;
    const char* sql;
    ValueList arguments;
    bool ok;
    int primaryCode;      // of lastErrorCode() after the update (0: no error)
    const char* logLine;  // expected once in the log, or none
  };
  const std::vector<Case> cases = {
      {"completes", "INSERT INTO t VALUES (?)", {Value(2)}, true, 0, nullptr},
      {"constraint at the step",
       "INSERT INTO t VALUES (?)",
       {Value(1)},
       false,
       SQLITE_CONSTRAINT,
       "Unknown error calling sqlite3_step"},
      {"run-time error at the step",
       "INSERT INTO t VALUES (json(?))",
       {Value("x")},
       false,
       SQLITE_ERROR,
       "Error calling sqlite3_step"},
      {"yields a row", "SELECT x FROM t WHERE x = ?", {Value(1)}, false, SQLITE_MISUSE, nullptr},
      {"too few arguments", "INSERT INTO t VALUES (?)", {}, false, SQLITE_RANGE, nullptr},
  };
  for (bool reuse : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (reuse ? " (kept statement)" : ""));
      auto db = openDb(std::nullopt);
      sqlite3_extended_result_codes(db->sqliteHandle(), 1);
      ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x UNIQUE)"));
      ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (1)"));
      db->setReusesLastStatement(reuse);
      platform::ScopedLogCapture log;
      // Twice: the second run finds the statement as the first left it.
      for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_EQ(db->executeUpdate(c.sql, c.arguments), c.ok && run == 0);
        if (c.primaryCode == 0 && run == 0) {
          EXPECT_FALSE(db->hadError());
        } else if (c.primaryCode != 0) {
          EXPECT_EQ(db->lastErrorCode() & 0xFF, c.primaryCode);
        }
        EXPECT_FALSE(db->hasOpenResultSets());
      }
      if (c.logLine) {
        EXPECT_EQ(log.count(c.logLine), 2u);
      }
      // The connection goes on: the statement is not left stepping or marked in use.
      EXPECT_TRUE(db->executeUpdate("INSERT INTO t VALUES (?)", {Value(3)}));
      EXPECT_EQ(countRows(*db, "t"), c.ok ? 3 : 2);
      auto rs = db->executeQuery(c.sql, c.arguments);
      if (c.primaryCode == SQLITE_RANGE) {
        EXPECT_EQ(rs, nullptr);
      } else {
        ASSERT_NE(rs, nullptr);
        rs->close();
      }
    }
  }
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

TEST(SqfliteDarwinDatabaseTest, BusyWriteIsRetriedForTwoSecondsOfClockTimeThenFails) {
  TempDir dir;
  auto holder = openDb(dir / "busy.db");
  auto writer = openDb(dir / "busy.db");
  ASSERT_TRUE(holder->executeUpdate("CREATE TABLE t (x)"));
  // The writer knows the schema already, so it is its step, not its prepare, that waits.
  EXPECT_EQ(countRows(*writer, "t"), 0);
  ASSERT_TRUE(holder->executeUpdate("BEGIN EXCLUSIVE"));

  // Under mock time the wait's sleeps move the mock clock: the two seconds pass at once, in
  // mock time, and the statement fails as busy instead of waiting forever.
  TestEnvironment env;
  const double start = env.uptime();
  const auto realStart = std::chrono::steady_clock::now();
  ScopedLogCapture log;
  EXPECT_FALSE(writer->executeUpdate("INSERT INTO t VALUES (1)"));
  EXPECT_EQ(writer->lastErrorCode() & 0xFF, SQLITE_BUSY);
  EXPECT_GE(env.uptime() - start, 2.0);
  // The last sleep starts before two seconds have passed and lasts under 0.1 s.
  EXPECT_LT(env.uptime() - start, 2.1);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));
  EXPECT_GE(log.count("Database busy"), 1u);

  ASSERT_TRUE(holder->executeUpdate("COMMIT"));
  EXPECT_TRUE(writer->executeUpdate("INSERT INTO t VALUES (1)"));
}

TEST(SqfliteDarwinDatabaseTest, NoBusyIntervalMeansNoWait) {
  TempDir dir;
  auto holder = openDb(dir / "busy.db");
  auto writer = SqfliteDarwinDatabase::databaseWithPath(dir / "busy.db");
  writer->setMaxBusyRetryTimeInterval(0);
  ASSERT_TRUE(writer->openWithFlags(kReadWriteCreate));
  ASSERT_TRUE(holder->executeUpdate("CREATE TABLE t (x)"));
  EXPECT_EQ(countRows(*writer, "t"), 0);
  ASSERT_TRUE(holder->executeUpdate("BEGIN EXCLUSIVE"));

  TestEnvironment env;
  const double start = env.uptime();
  EXPECT_FALSE(writer->executeUpdate("INSERT INTO t VALUES (1)"));
  EXPECT_EQ(writer->lastErrorCode() & 0xFF, SQLITE_BUSY);
  EXPECT_EQ(env.uptime(), start);
  ASSERT_TRUE(holder->executeUpdate("COMMIT"));
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

TEST(SqfliteDarwinDatabaseTest, CreatedFilesAreForTheOwnerOnlyAndExistingModesStay) {
  TempDir dir;
  auto modeOf = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
  };
  auto db = openDb(dir / "private.db");
  {
    auto rs = db->executeQuery("PRAGMA journal_mode=WAL", {});
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(0), "wal");
  }
  ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
  EXPECT_EQ(modeOf(dir / "private.db"), 0600u);
  // SQLite gives its companion files the database file's mode.
  EXPECT_EQ(modeOf(dir / "private.db-wal"), 0600u);

  // A file that exists already keeps the mode its owner gave it.
  { auto other = openDb(dir / "shared.db"); }
  ASSERT_EQ(::chmod((dir / "shared.db").c_str(), 0640), 0);
  auto reopened = openDb(dir / "shared.db");
  EXPECT_EQ(modeOf(dir / "shared.db"), 0640u);

  // Read-only opens create nothing.
  auto readOnly = SqfliteDarwinDatabase::databaseWithPath(dir / "absent.db");
  EXPECT_FALSE(readOnly->openWithFlags(SQLITE_OPEN_READONLY));
  EXPECT_FALSE(std::filesystem::exists(dir / "absent.db"));
}

TEST(SqfliteDarwinDatabaseTest, SqlInLogLinesIsCut) {
  // Short text is logged whole; long text is cut on a character boundary and says its length.
  EXPECT_EQ(sqlTextForLog("SELECT 1"), "SELECT 1");
  std::string longSql = "SELECT '" + std::string(kSqlLogExcerptBytes - 9, 'x') + "\u00e9" +
                        std::string(5000, 'y') + "'";
  std::string cut = sqlTextForLog(longSql);
  EXPECT_LT(cut.size(), kSqlLogExcerptBytes + 40);
  EXPECT_NE(cut.find("(" + std::to_string(longSql.size()) + " bytes)"), std::string::npos);
  // The two-byte character straddling the limit is dropped whole, not split.
  EXPECT_EQ(cut.find("\xc3"), std::string::npos);

  // A failing statement of a megabyte writes a few lines, not a megabyte of log.
  auto db = openDb(std::nullopt);
  std::string huge = "SELEC '" + std::string(1 << 20, 'z') + "'";
  ScopedLogCapture log;
  EXPECT_EQ(db->executeQuery(huge, {}), nullptr);
  std::size_t logged = 0;
  for (const std::string& line : log.messages())
    logged += line.size();
  EXPECT_EQ(log.count("DB Query: SELEC 'zzz"), 1u);
  EXPECT_LT(logged, 4 * kSqlLogExcerptBytes);
}

TEST(SqfliteDarwinDatabaseTest, ClosedConnectionRefusesStatements) {
  auto db = openDb(std::nullopt);
  db->close();
  EXPECT_EQ(db->executeQuery("SELECT 1", {}), nullptr);
  EXPECT_TRUE(db->hadError());
  EXPECT_FALSE(db->executeUpdate("CREATE TABLE t (x)"));
}

TEST(SqfliteDarwinDatabaseTest, OpenFailureReportsFailure) {
  TempDir dir;
  platform::ScopedLogCapture log;
  auto db = SqfliteDarwinDatabase::databaseWithPath((dir / "missing/dir/x.db"));
  EXPECT_FALSE(db->openWithFlags(kReadWriteCreate));
  EXPECT_FALSE(db->isOpen());
  EXPECT_EQ(log.count("error opening!: "), 1u);
  EXPECT_EQ(SqfliteDarwinDatabaseQueue::databaseQueueWithPath((dir / "missing/dir/x.db"),
                                                              kReadWriteCreate),
            nullptr);
}

// ---------------------------------------------------------------------------------------------
// Queue

TEST(SqfliteDarwinDatabaseQueueTest, RunsUnitsOnItsSerialQueueAndReopensAfterClose) {
  TempDir dir;
  auto queue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath((dir / "q.db"), kReadWriteCreate);
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

TEST(SqfliteDarwinDatabaseQueueTest, AsyncUnitsAndTheCloseRunInTheOrderHandedIn) {
  TempDir dir;
  auto queue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath(dir / "o.db", kReadWriteCreate);
  ASSERT_NE(queue, nullptr);
  std::mutex mutex;
  std::vector<int> order;
  queue->inDatabaseAsync([](SqfliteDarwinDatabase* db) {
    ASSERT_NE(db, nullptr);
    // Slow first unit: a later one must still wait for it.
    EXPECT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    EXPECT_TRUE(db->executeUpdate("BEGIN"));
    for (int i = 0; i < 2000; ++i)
      EXPECT_TRUE(db->executeUpdate("INSERT INTO t VALUES (?)", {Value(i)}));
    EXPECT_TRUE(db->executeUpdate("COMMIT"));
  });
  for (int i = 0; i < 50; ++i) {
    queue->inDatabaseAsync([&, i](SqfliteDarwinDatabase* db) {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(db ? i : -1);
    });
  }
  std::atomic<bool> closed{false};
  queue->closeForGoodAsync([&] { closed = true; });
  queue->inDatabaseAsync([&](SqfliteDarwinDatabase* db) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(db ? 1000 : -1);
  });
  queue->inDatabase([](SqfliteDarwinDatabase*) {});  // waits for everything before it
  EXPECT_TRUE(closed);
  std::vector<int> expected;
  for (int i = 0; i < 50; ++i)
    expected.push_back(i);
  expected.push_back(-1);  // after the close: no connection
  EXPECT_EQ(order, expected);
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
  TempDir dir;
  auto path = (dir / "sub/r.db");
  std::filesystem::create_directories(std::filesystem::path(dir.path()) / "sub");
  auto queue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath(path, kReadWriteCreate);
  ASSERT_NE(queue, nullptr);
  queue->close();
  std::filesystem::remove_all(std::filesystem::path(dir.path()) / "sub");
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
}  // namespace platform
