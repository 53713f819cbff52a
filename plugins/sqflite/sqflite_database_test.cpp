#include "plugins/sqflite/sqflite_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>

#include "platform/dispatch/test_environment.h"
#include "platform/log/log.h"
#include "platform/sqlite/sqflite_darwin_database.h"
#include "platform/sqlite/sqflite_darwin_database_queue.h"
#include "plugins/sqflite/testing/sqflite_test_util.h"

namespace sqflite {
namespace {

using platform::Bytes;
using platform::Value;
using platform::ValueList;

Value M(std::initializer_list<std::pair<const Value, Value>> items) {
  return Value::map(items);
}
Value L(std::initializer_list<Value> items) {
  return Value::list(items);
}

const Value* errorOf(const SqfliteResult& r, SqfliteError* out = nullptr) {
  static const Value kNone;
  if (auto e = std::get_if<SqfliteError>(&r)) {
    if (out) *out = *e;
    return &kNone;
  }
  return nullptr;
}

class SqfliteDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { openAt(std::nullopt); }

  void openAt(std::optional<std::string> path) {
    database_ = std::make_shared<SqfliteDatabase>();
    database_->path = path;
    database_->databaseId = 1;
    database_->fmDatabaseQueue = SqfliteDarwinDatabaseQueue::databaseQueueWithPath(
        path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_NE(database_->fmDatabaseQueue, nullptr);
    database_->fmDatabaseQueue->inDatabase(
        [](SqfliteDarwinDatabase* db) { sqlite3_extended_result_codes(db->sqliteHandle(), 1); });
  }

  // Sends a call and returns its pending answer; answers are also recorded in arrival order.
  std::shared_future<SqfliteResult> send(const std::string& method, Value arguments) {
    auto promise = std::make_shared<std::promise<SqfliteResult>>();
    std::shared_future<SqfliteResult> future = promise->get_future().share();
    int index = sent_++;
    auto op = SqfliteMethodCallOperation::newWithCall(method, std::move(arguments),
                                                      [this, promise, index](SqfliteResult r) {
                                                        {
                                                          std::lock_guard<std::mutex> lock(mutex_);
                                                          order_.push_back(index);
                                                        }
                                                        promise->set_value(std::move(r));
                                                      });
    database_->runSqlCall(op);
    return future;
  }

  static SqfliteResult await(const std::shared_future<SqfliteResult>& f) {
    EXPECT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return f.get();
  }

  SqfliteResult call(const std::string& method, Value arguments) {
    return await(send(method, std::move(arguments)));
  }

  // The value of a successful answer; fails the test on an error.
  Value ok(const std::string& method, Value arguments) {
    SqfliteResult r = call(method, std::move(arguments));
    if (auto e = std::get_if<SqfliteError>(&r)) {
      ADD_FAILURE() << method << " failed: " << e->code << " " << e->message.value_or("");
      return Value();
    }
    return std::get<Value>(r);
  }

  SqfliteError failed(const std::string& method, Value arguments) {
    SqfliteResult r = call(method, std::move(arguments));
    SqfliteError e;
    if (!errorOf(r, &e))
      ADD_FAILURE() << method << " succeeded: " << std::get<Value>(r).debugString();
    return e;
  }

  // Reads state that lives on the serial queue.
  template <class F> auto onQueue(F f) {
    decltype(f()) out{};
    database_->fmDatabaseQueue->inDatabase([&](SqfliteDarwinDatabase*) { out = f(); });
    return out;
  }

  void exec(const std::string& sql) { ok("execute", M({{"sql", sql}})); }

  void fillRows(int n) {
    exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
    for (int i = 1; i <= n; ++i) {
      ok("insert", M({{"sql", "INSERT INTO t (v) VALUES (?)"}, {"arguments", L({Value(i * 10)})}}));
    }
  }

  static std::size_t rowCount(const Value& page) {
    const Value* rows = page.find(Value("rows"));
    return rows ? rows->size() : 0;
  }

  std::vector<int> answerOrder() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }

  // Calls hop through a concurrent queue before they reach the database, so two calls in flight
  // may arrive in either order; tests that depend on arrival order settle each call first.
  std::shared_future<SqfliteResult> sendAndSettle(const std::string& method, Value arguments) {
    auto f = send(method, std::move(arguments));
    env_.runUntilIdle();
    return f;
  }

  platform::TestEnvironment env_;
  std::shared_ptr<SqfliteDatabase> database_;
  std::mutex mutex_;
  std::vector<int> order_;
  int sent_ = 0;
};

TEST_F(SqfliteDatabaseTest, InsertUpdateQueryConvertValuesBothWays) {
  exec("CREATE TABLE t (id INTEGER PRIMARY KEY, i, d, s, b, n)");
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT INTO t (i, d, s, b, n) VALUES (?, ?, ?, ?, ?)"},
                            {"arguments", L({Value(true), Value(1.5), Value("x"),
                                             Value(platform::Int32List{1, 2}), Value()})}})),
            Value(1));
  EXPECT_EQ(ok("update", M({{"sql", "UPDATE t SET i = i + 1"}})), Value(1));
  Value result = ok("query", M({{"sql", "SELECT i, d, s, b, n FROM t"}}));
  EXPECT_EQ(result, M({{"columns", L({"i", "d", "s", "b", "n"})},
                       {"rows", L({L({Value(2), Value(1.5), Value("x"),
                                      Value(Bytes{1, 0, 0, 0, 2, 0, 0, 0}), Value()})})}}));
  EXPECT_EQ(ok("query", M({{"sql", "SELECT * FROM t WHERE id = 99"}})), Value::emptyMap());
}

TEST_F(SqfliteDatabaseTest, ListArgumentBindsAsLowBytesAndEmptyBlobReadsAsEmptyBytes) {
  exec("CREATE TABLE t (b)");
  ok("insert", M({{"sql", "INSERT INTO t VALUES (?)"}, {"arguments", L({L({1, 256, -1})})}}));
  ok("insert", M({{"sql", "INSERT INTO t VALUES (x'')"}}));
  Value result = ok("query", M({{"sql", "SELECT b FROM t ORDER BY rowid"}}));
  EXPECT_EQ(*result.find(Value("rows")),
            L({L({Value(Bytes{0x01, 0x00, 0xFF})}), L({Value(Bytes{})})}));
  SqfliteError e = failed("insert", M({{"sql", "INSERT INTO t VALUES (?)"},
                                       {"arguments", L({L({Value("not a byte")})})}}));
  EXPECT_EQ(e.code, SqfliteErrorInvalidArguments);
  EXPECT_NE(e.message->find("arguments"), std::string::npos);
}

TEST_F(SqfliteDatabaseTest, InsertRepliesNullForNoResultAndForIgnoredRows) {
  exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v UNIQUE)");
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT INTO t (v) VALUES (1)"}})), Value(1));
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT OR IGNORE INTO t (v) VALUES (1)"}})), Value());
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT INTO t (v) VALUES (2)"}, {"noResult", true}})),
            Value());
  EXPECT_EQ(ok("update", M({{"sql", "UPDATE t SET v = v + 10"}, {"noResult", true}})), Value());
  EXPECT_EQ(rowCount(ok("query", M({{"sql", "SELECT * FROM t WHERE v > 10"}}))), 2u);
}

TEST_F(SqfliteDatabaseTest, ExecuteOfARowStatementFailsWhileTheSameQuerySucceeds) {
  SqfliteError e = failed("execute", M({{"sql", "SELECT 1"}}));
  EXPECT_EQ(e.code, SqliteErrorCode);
  EXPECT_EQ(e.details, M({{"sql", "SELECT 1"}, {"arguments", Value::emptyList()}}));
  EXPECT_EQ(rowCount(ok("query", M({{"sql", "SELECT 1"}}))), 1u);
}

TEST_F(SqfliteDatabaseTest, SqlErrorCarriesCodeMessageAndDetails) {
  SqfliteError e =
      failed("insert", M({{"sql", "INSERT INTO nosuch VALUES (?)"}, {"arguments", L({Value(1)})}}));
  EXPECT_EQ(e.code, SqliteErrorCode);
  EXPECT_NE(e.message->find("no such table: nosuch"), std::string::npos);
  EXPECT_NE(e.message->find("(code 1)"), std::string::npos);
  EXPECT_EQ(e.details, M({{"sql", "INSERT INTO nosuch VALUES (?)"}, {"arguments", L({1})}}));
  SqfliteError missing = failed("query", M({{"arguments", L({1})}}));
  EXPECT_EQ(missing.code, SqfliteErrorInvalidArguments);
  EXPECT_NE(missing.message->find("'sql'"), std::string::npos);
}

// Each of these used to pass as a success with partial or empty rows.
TEST_F(SqfliteDatabaseTest, QueryFailuresAreErrorsNotPartialOrEmptyResults) {
  exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
  exec("INSERT INTO t (v) VALUES ('{}'), ('{}'), ('x'), ('{}')");
  struct Case {
    const char* name;
    Value arguments;
    const char* messagePart;
  };
  const Case cases[] = {
      {"run-time error while stepping", M({{"sql", "SELECT json('x')"}}), "JSON"},
      {"run-time error after some rows", M({{"sql", "SELECT json(v) FROM t ORDER BY id"}}), "JSON"},
      {"extended code above 255", M({{"sql", "SELECT v FROM t ORDER BY v COLLATE nosuch"}}),
       "(code 257)"},
      {"too few arguments",
       M({{"sql", "SELECT * FROM t WHERE id = ? AND v = ?"}, {"arguments", L({1})}}), "bind count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SqfliteError e = failed("query", c.arguments);
    EXPECT_EQ(e.code, SqliteErrorCode);
    ASSERT_TRUE(e.message.has_value());
    EXPECT_NE(e.message->find(c.messagePart), std::string::npos) << *e.message;
    EXPECT_TRUE(e.details.find(Value("sql")) != nullptr);
  }
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);
}

TEST_F(SqfliteDatabaseTest, CursorHandsOutPagesAndClosesAfterTheLast) {
  fillRows(5);
  Value page = ok("query", M({{"sql", "SELECT v FROM t ORDER BY id"}, {"cursorPageSize", 2}}));
  EXPECT_EQ(rowCount(page), 2u);
  ASSERT_NE(page.find(Value("cursorId")), nullptr);
  Value cursorId = *page.find(Value("cursorId"));
  EXPECT_EQ(cursorId, Value(1));
  page = ok("queryCursorNext", M({{"cursorId", cursorId}}));
  EXPECT_EQ(rowCount(page), 2u);
  EXPECT_EQ(*page.find(Value("cursorId")), cursorId);
  page = ok("queryCursorNext", M({{"cursorId", cursorId}}));
  EXPECT_EQ(*page.find(Value("rows")), L({L({50})}));
  EXPECT_EQ(page.find(Value("cursorId")), nullptr);
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);
  SqfliteError e = failed("queryCursorNext", M({{"cursorId", cursorId}}));
  EXPECT_EQ(e.message, "Cursor not found");
}

TEST_F(SqfliteDatabaseTest, CursorPageSizeEdges) {
  fillRows(4);
  // Four rows in pages of two: the second page cannot know it is the last one.
  Value page = ok("query", M({{"sql", "SELECT v FROM t"}, {"cursorPageSize", 2}}));
  Value id = *page.find(Value("cursorId"));
  page = ok("queryCursorNext", M({{"cursorId", id}}));
  EXPECT_EQ(rowCount(page), 2u);
  EXPECT_NE(page.find(Value("cursorId")), nullptr);
  EXPECT_EQ(ok("queryCursorNext", M({{"cursorId", id}})), Value::emptyMap());
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);

  page = ok("query", M({{"sql", "SELECT v FROM t"}, {"cursorPageSize", 0}}));
  EXPECT_EQ(rowCount(page), 1u);
  EXPECT_NE(page.find(Value("cursorId")), nullptr);
  EXPECT_EQ(
      ok("queryCursorNext", M({{"cursorId", *page.find(Value("cursorId"))}, {"cancel", true}})),
      Value());

  page = ok("query", M({{"sql", "SELECT v FROM t"}, {"cursorPageSize", -1}}));
  EXPECT_EQ(rowCount(page), 4u);
  EXPECT_EQ(page.find(Value("cursorId")), nullptr);
  EXPECT_EQ(ok("queryCursorNext", M({{"cursorId", 42}, {"cancel", true}})), Value());
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);
}

TEST_F(SqfliteDatabaseTest, FailingStepOnALaterPageRepliesAnErrorAndClosesTheCursor) {
  exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
  exec("INSERT INTO t (v) VALUES ('{}'), ('{}'), ('x')");
  Value page =
      ok("query", M({{"sql", "SELECT json(v) FROM t ORDER BY id"}, {"cursorPageSize", 2}}));
  ASSERT_EQ(rowCount(page), 2u);
  SqfliteError e = failed("queryCursorNext", M({{"cursorId", *page.find(Value("cursorId"))}}));
  EXPECT_EQ(e.code, SqliteErrorCode);
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);
}

TEST_F(SqfliteDatabaseTest, TransactionGateParksOtherOperationsUntilTheTransactionEnds) {
  exec("CREATE TABLE t (v)");
  EXPECT_EQ(
      ok("execute",
         M({{"sql", "BEGIN IMMEDIATE"}, {"inTransaction", true}, {"transactionId", Value()}})),
      M({{"transactionId", 1}}));
  EXPECT_TRUE(database_->inTransaction());

  const int parkedIndex = sent_;
  auto parked = sendAndSettle("insert", M({{"sql", "INSERT INTO t VALUES ('parked')"}}));
  auto parkedQuery =
      sendAndSettle("query", M({{"sql", "SELECT COUNT(*) FROM t"}, {"transactionId", 7}}));
  EXPECT_EQ(onQueue([&] { return database_->parkedOperationCount(); }), 2u);
  EXPECT_EQ(parked.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  // Its own id and -1 pass the gate.
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT INTO t VALUES ('own')"}, {"transactionId", 1}})),
            Value(1));
  EXPECT_EQ(ok("insert", M({{"sql", "INSERT INTO t VALUES ('any')"}, {"transactionId", -1}})),
            Value(2));

  const int endIndex = sent_;
  auto end =
      send("execute", M({{"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", 1}}));
  EXPECT_EQ(std::get<Value>(await(end)), Value());
  EXPECT_EQ(std::get<Value>(await(parked)), Value(3));
  EXPECT_EQ(*std::get<Value>(await(parkedQuery)).find(Value("rows")), L({L({3})}));
  // The ending statement answers before the operations it releases, and they keep their order.
  auto order = answerOrder();
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(std::vector<int>(order.end() - 3, order.end()),
            (std::vector<int>{endIndex, parkedIndex, parkedIndex + 1}));
  EXPECT_FALSE(database_->inTransaction());
  EXPECT_FALSE(onQueue([&] { return database_->currentTransactionId(); }).has_value());
}

TEST_F(SqfliteDatabaseTest, TransactionIdsRiseAndAFailedBeginOpensNone) {
  Value begin = M({{"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}});
  EXPECT_EQ(ok("execute", begin), M({{"transactionId", 1}}));
  ok("execute", M({{"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", 1}}));
  EXPECT_EQ(ok("execute", begin), M({{"transactionId", 2}}));
  // A failing end leaves the transaction open.
  failed("execute",
         M({{"sql", "COMMIT nonsense"}, {"inTransaction", false}, {"transactionId", 2}}));
  EXPECT_EQ(onQueue([&] { return database_->currentTransactionId(); }), 2);
  ok("execute", M({{"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", 2}}));

  failed("execute",
         M({{"sql", "BEGIN nonsense"}, {"inTransaction", true}, {"transactionId", Value()}}));
  EXPECT_FALSE(onQueue([&] { return database_->currentTransactionId(); }).has_value());

  // Without a "transactionId" key the flag follows, but no transaction id opens.
  EXPECT_EQ(ok("execute", M({{"sql", "BEGIN"}, {"inTransaction", true}})), Value());
  EXPECT_TRUE(database_->inTransaction());
  EXPECT_FALSE(onQueue([&] { return database_->currentTransactionId(); }).has_value());
  ok("execute", M({{"sql", "COMMIT"}, {"inTransaction", false}}));
  EXPECT_FALSE(database_->inTransaction());
}

TEST_F(SqfliteDatabaseTest, BatchRunsEntriesInOrder) {
  exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
  Value operations = L({
      M({{"method", "insert"}, {"sql", "INSERT INTO t (v) VALUES (?)"}, {"arguments", L({1})}}),
      M({{"method", "insert"}, {"sql", "INSERT INTO nosuch VALUES (1)"}}),
      M({{"method", "query"}, {"sql", "SELECT v FROM t"}}),
  });
  Value results = ok("batch", M({{"operations", operations}, {"continueOnError", true}}));
  const ValueList& list = results.asList();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], M({{"result", 1}}));
  const Value& error = *list[1].find(Value("error"));
  EXPECT_EQ(*error.find(Value("code")), Value(SqliteErrorCode));
  EXPECT_NE(error.find(Value("message"))->asString().find("no such table"), std::string::npos);
  EXPECT_EQ(*error.find(Value("data")),
            M({{"sql", "INSERT INTO nosuch VALUES (1)"}, {"arguments", Value::emptyList()}}));
  EXPECT_EQ(list[2], M({{"result", M({{"columns", L({"v"})}, {"rows", L({L({1})})}})}}));

  // Without continueOnError the failing entry's error is the reply; earlier entries stay.
  SqfliteError e = failed("batch", M({{"operations", operations}}));
  EXPECT_EQ(e.code, SqliteErrorCode);
  EXPECT_NE(e.message->find("no such table"), std::string::npos);
  EXPECT_EQ(rowCount(ok("query", M({{"sql", "SELECT v FROM t"}}))), 2u);

  EXPECT_EQ(
      ok("batch", M({{"operations", operations}, {"continueOnError", true}, {"noResult", true}})),
      Value());
  EXPECT_EQ(ok("batch", M({})), Value::emptyList());
  EXPECT_EQ(ok("batch", M({{"operations", Value::emptyList()}, {"noResult", true}})), Value());
}

// Entries that repeat a statement share its text, and entries with other keys keep their whole
// map: every entry must still see exactly its own keys.
TEST_F(SqfliteDatabaseTest, BatchEntriesSeeExactlyTheirOwnKeys) {
  exec("CREATE TABLE t (v)");
  const char* plain = "INSERT INTO t (v) VALUES (?)";
  const char* tenfold = "INSERT INTO t (v) VALUES (? * 10)";
  Value withNumberKey = M({{"method", "insert"}, {"sql", plain}, {"arguments", L({8})}});
  withNumberKey.set(Value(1), Value("ignored"));
  Value operations = L({
      M({{"method", "insert"}, {"sql", plain}, {"arguments", L({1})}}),
      M({{"method", "insert"}, {"sql", plain}, {"arguments", L({2})}}),
      M({{"method", "insert"}, {"sql", tenfold}, {"arguments", L({3})}}),
      M({{"method", "insert"}, {"sql", plain}, {"arguments", L({4})}}),
      M({{"method", "insert"}, {"arguments", L({5})}}),
      M({{"method", "insert"}, {"sql", plain}}),
      M({{"method", "query"}, {"sql", "SELECT v FROM t"}, {"unknown", true}}),
      withNumberKey,
  });
  Value results = ok("batch", M({{"operations", operations}, {"continueOnError", true}}));
  const ValueList& list = results.asList();
  ASSERT_EQ(list.size(), 8u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(list[i], M({{"result", i + 1}})) << i;
  EXPECT_EQ(list[4], M({{"error", M({{"code", SqfliteErrorInvalidArguments},
                                     {"message", "Missing or invalid argument 'sql' for "
                                                 "method 'insert'"}})}}));
  const Value& bindError = *list[5].find(Value("error"));
  EXPECT_EQ(*bindError.find(Value("code")), Value(SqliteErrorCode));
  EXPECT_EQ(*bindError.find(Value("data")), M({{"sql", plain}, {"arguments", Value::emptyList()}}));
  EXPECT_EQ(
      list[6],
      M({{"result", M({{"columns", L({"v"})}, {"rows", L({L({1}), L({2}), L({30}), L({4})})}})}}));
  EXPECT_EQ(list[7], M({{"result", 5}}));

  // A later entry that is not a map stops the batch after the earlier ones ran.
  SqfliteError e = failed(
      "batch",
      M({{"operations",
          L({M({{"method", "insert"}, {"sql", plain}, {"arguments", L({9})}}), Value(7)})}}));
  EXPECT_EQ(e.code, SqfliteErrorInvalidArguments);
  EXPECT_EQ(rowCount(ok("query", M({{"sql", "SELECT v FROM t WHERE v = 9"}}))), 1u);
}

TEST_F(SqfliteDatabaseTest, BatchWithUnsupportedMethodStopsThereKeepingEarlierEntries) {
  exec("CREATE TABLE t (v)");
  SqfliteError e =
      failed("batch",
             M({{"operations", L({M({{"method", "insert"}, {"sql", "INSERT INTO t VALUES (1)"}}),
                                  M({{"method", "drop"}, {"sql", "DROP TABLE t"}}),
                                  M({{"method", "insert"}, {"sql", "INSERT INTO t VALUES (2)"}})})},
                {"continueOnError", true}}));
  EXPECT_EQ(e.code, SqfliteErrorBadParam);
  EXPECT_EQ(e.message, "Batch method 'drop' not supported");
  EXPECT_EQ(*ok("query", M({{"sql", "SELECT v FROM t"}})).find(Value("rows")), L({L({1})}));
}

TEST_F(SqfliteDatabaseTest, BatchEntriesIgnoreTheGateButFollowTheirInTransactionFlag) {
  exec("CREATE TABLE t (v)");
  ok("execute", M({{"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}}));
  Value results = ok(
      "batch", M({{"operations",
                   L({M({{"method", "insert"}, {"sql", "INSERT INTO t VALUES (1)"}}),
                      M({{"method", "execute"}, {"sql", "COMMIT"}, {"inTransaction", false}})})}}));
  EXPECT_EQ(results, L({M({{"result", 1}}), M({{"result", Value()}})}));
  EXPECT_FALSE(database_->inTransaction());
  // The transaction id stays open: a batch never ends one.
  EXPECT_EQ(onQueue([&] { return database_->currentTransactionId(); }), 1);
}

TEST_F(SqfliteDatabaseTest, ClosingAnswersParkedOperationsInOrderAndClosesCursorsFirst) {
  fillRows(3);
  Value page = ok("query", M({{"sql", "SELECT v FROM t"}, {"cursorPageSize", 1}}));
  ASSERT_NE(page.find(Value("cursorId")), nullptr);
  ok("execute", M({{"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}}));
  const int firstIndex = sent_;
  auto first = sendAndSettle("insert", M({{"sql", "INSERT INTO t (v) VALUES (1)"}}));
  auto second = sendAndSettle("update", M({{"sql", "UPDATE t SET v = 0"}}));
  EXPECT_EQ(onQueue([&] { return database_->parkedOperationCount(); }), 2u);

  platform::ScopedLogCapture log;
  std::promise<void> closed;
  database_->close([&] { closed.set_value(); });
  ASSERT_EQ(closed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  for (auto* f : {&first, &second}) {
    SqfliteError e;
    ASSERT_TRUE(errorOf(await(*f), &e));
    EXPECT_EQ(e.code, SqliteErrorCode);
    EXPECT_EQ(e.message, "database_closed");
  }
  auto order = answerOrder();
  EXPECT_EQ(std::vector<int>(order.end() - 2, order.end()),
            (std::vector<int>{firstIndex, firstIndex + 1}));
  EXPECT_EQ(log.count("Closing leaked statement"), 0u);
  EXPECT_EQ(onQueue([&] { return database_->cursorCount(); }), 0u);

  // Nothing reaches the connection any more, and it is not reopened.
  SqfliteError e = failed("query", M({{"sql", "SELECT 1"}}));
  EXPECT_EQ(e.message, "database_closed");
  EXPECT_EQ(log.count("reopen"), 0u);
}

TEST_F(SqfliteDatabaseTest, OperationWithoutAConnectionRepliesAnErrorAndRunsNothing) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "sub");
  openAt(dir.file("sub/x.db"));
  exec("CREATE TABLE t (v)");
  ok("execute", M({{"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}}));
  database_->fmDatabaseQueue->close();
  std::filesystem::remove_all(dir.path() / "sub");
  SqfliteError e =
      failed("execute", M({{"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", 1}}));
  EXPECT_EQ(e.code, SqliteErrorCode);
  EXPECT_NE(e.message->find("open_failed"), std::string::npos);
  // The failed call ended nothing.
  EXPECT_EQ(onQueue([&] { return database_->currentTransactionId(); }), 1);
  EXPECT_TRUE(database_->inTransaction());
}

TEST_F(SqfliteDatabaseTest, DefensiveModeStatementSwitchesDefensiveOff) {
  int before = -1, after = -1;
  database_->fmDatabaseQueue->inDatabase([&](SqfliteDarwinDatabase* db) {
    sqlite3_db_config(db->sqliteHandle(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db->sqliteHandle(), SQLITE_DBCONFIG_DEFENSIVE, -1, &before);
  });
  // SQLite ignores the unknown pragma itself.
  EXPECT_EQ(ok("execute", M({{"sql", "PRAGMA sqflite -- db_config_defensive_off"}})), Value());
  database_->fmDatabaseQueue->inDatabase([&](SqfliteDarwinDatabase* db) {
    sqlite3_db_config(db->sqliteHandle(), SQLITE_DBCONFIG_DEFENSIVE, -1, &after);
  });
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 0);
}

}  // namespace
}  // namespace sqflite
