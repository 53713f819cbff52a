// The SQLite plugin through the real host and lumora-peer on "com.vornadel.sqflite".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

constexpr const char* kChannel = "com.vornadel.sqflite";

// A method call whose reply line carries `id`.
json call(const std::string& method, json args, json id = nullptr, bool noWait = false) {
  json c{{"op", "invoke"}, {"channel", kChannel}, {"method", method}, {"args", std::move(args)}};
  if (!id.is_null()) c["id"] = std::move(id);
  if (noWait) c["noWait"] = true;
  return c;
}

// The reply line of the command with `id` ("result" or "error"), and its position.
const json& reply(const PeerRun& run, const json& id, std::size_t* position = nullptr) {
  static const json kMissing = json{{"op", "missing"}};
  for (std::size_t i = 0; i < run.lines.size(); ++i) {
    if (run.lines[i].contains("id") && run.lines[i]["id"] == id) {
      if (position) *position = i;
      return run.lines[i];
    }
  }
  ADD_FAILURE() << "no reply for " << id.dump() << " in " << json(run.lines).dump();
  return kMissing;
}

json result(const PeerRun& run, const json& id) {
  const json& line = reply(run, id);
  EXPECT_EQ(line.value("op", ""), "result") << line.dump();
  return line.value("result", json());
}

json error(const PeerRun& run, const json& id) {
  const json& line = reply(run, id);
  EXPECT_EQ(line.value("op", ""), "error") << line.dump();
  return line;
}

class SqfliteEndToEndTest : public ::testing::Test {
 protected:
  std::string dbPath(const std::string& name) const {
    return (host.directory() / "databases" / name).string();
  }
  PeerRun run(const std::vector<json>& commands, double timeoutSeconds = 60) {
    PeerRun r = runPeer(host, commands, timeoutSeconds);
    EXPECT_EQ(r.exitCode, 0) << r.errors << "\n" << host.log();
    return r;
  }

  Host host;
};

TEST_F(SqfliteEndToEndTest, OpenInsertQueryAndCursorPages) {
  json open = call("openDatabase", {{"path", dbPath("app.db")}}, "open");
  std::vector<json> commands = {open,
                                call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v TEXT)"}})};
  for (int i = 1; i <= 5; ++i) {
    commands.push_back(call("insert",
                            {{"id", 1},
                             {"sql", "INSERT INTO t VALUES (?)"},
                             {"arguments", {"row " + std::to_string(i)}}},
                            "insert" + std::to_string(i)));
  }
  commands.push_back(call("query", {{"id", 1}, {"sql", "SELECT v FROM t WHERE rowid = 3"}}, "q"));
  commands.push_back(
      call("query", {{"id", 1}, {"sql", "SELECT v FROM t ORDER BY rowid"}, {"cursorPageSize", 2}},
           "page1"));
  commands.push_back(call("queryCursorNext", {{"id", 1}, {"cursorId", 1}}, "page2"));
  commands.push_back(call("queryCursorNext", {{"id", 1}, {"cursorId", 1}}, "page3"));
  commands.push_back(call("queryCursorNext", {{"id", 1}, {"cursorId", 1}}, "gone"));
  PeerRun r = run(commands);

  EXPECT_EQ(result(r, "open"), json({{"id", 1}}));
  EXPECT_TRUE(std::filesystem::exists(dbPath("app.db")));
  EXPECT_EQ(result(r, "insert5"), 5);
  EXPECT_EQ(result(r, "q"), json({{"columns", {"v"}}, {"rows", {{"row 3"}}}}));
  EXPECT_EQ(result(r, "page1"),
            json({{"columns", {"v"}}, {"rows", {{"row 1"}, {"row 2"}}}, {"cursorId", 1}}));
  EXPECT_EQ(result(r, "page2"),
            json({{"columns", {"v"}}, {"rows", {{"row 3"}, {"row 4"}}}, {"cursorId", 1}}));
  EXPECT_EQ(result(r, "page3"), json({{"columns", {"v"}}, {"rows", {{"row 5"}}}}));
  EXPECT_EQ(error(r, "gone")["message"], "Cursor not found");
}

TEST_F(SqfliteEndToEndTest, InsertWithoutTransactionIdWaitsForTheTransactionToEnd) {
  PeerRun r = run({
      call("openDatabase", {{"path", dbPath("tx.db")}}),
      call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v)"}}),
      call("execute",
           {{"id", 1},
            {"sql", "BEGIN IMMEDIATE"},
            {"inTransaction", true},
            {"transactionId", nullptr}},
           "begin"),
      // Sent without waiting: it is parked until transaction 1 ends.
      call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('parked')"}}, "parked", true),
      call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('inside')"}, {"transactionId", 1}},
           "inside"),
      call("execute",
           {{"id", 1}, {"sql", "COMMIT"}, {"inTransaction", false}, {"transactionId", 1}}, "end"),
      call("query", {{"id", 1}, {"sql", "SELECT v FROM t ORDER BY rowid"}}, "rows"),
  });
  EXPECT_EQ(result(r, "begin"), json({{"transactionId", 1}}));
  std::size_t inside = 0, end = 0, parked = 0;
  reply(r, "inside", &inside);
  reply(r, "end", &end);
  reply(r, "parked", &parked);
  EXPECT_LT(inside, end);
  EXPECT_LT(end, parked) << json(r.lines).dump();
  EXPECT_EQ(result(r, "parked"), 2);
  EXPECT_EQ(result(r, "rows")["rows"], json({{"inside"}, {"parked"}}));
}

TEST_F(SqfliteEndToEndTest, BatchWithContinueOnErrorGivesResultErrorResult) {
  PeerRun r = run({
      call("openDatabase", {{"path", dbPath("batch.db")}}),
      call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v UNIQUE)"}}),
      call("batch",
           {{"id", 1},
            {"continueOnError", true},
            {"operations",
             {{{"method", "insert"}, {"sql", "INSERT INTO t VALUES (?)"}, {"arguments", {1}}},
              {{"method", "insert"}, {"sql", "INSERT INTO t VALUES (?)"}, {"arguments", {1}}},
              {{"method", "query"}, {"sql", "SELECT v FROM t"}}}}},
           "batch"),
  });
  json results = result(r, "batch");
  ASSERT_EQ(results.size(), 3u) << results.dump();
  EXPECT_EQ(results[0], json({{"result", 1}}));
  const json& e = results[1]["error"];
  EXPECT_EQ(e["code"], "sqlite_error");
  EXPECT_NE(e["message"].get<std::string>().find("UNIQUE constraint failed"), std::string::npos);
  // Extended result codes are on from the first statement: the unique violation's own code.
  EXPECT_NE(e["message"].get<std::string>().find("2067"), std::string::npos);
  EXPECT_EQ(e["data"], json({{"sql", "INSERT INTO t VALUES (?)"}, {"arguments", {1}}}));
  EXPECT_EQ(results[2], json({{"result", {{"columns", {"v"}}, {"rows", {{1}}}}}}));
}

TEST_F(SqfliteEndToEndTest, SingleInstanceReopenIsRecovered) {
  const std::string path = dbPath("single.db");
  PeerRun first = run(
      {call("openDatabase", {{"path", path}, {"singleInstance", true}}, "a"),
       call("execute",
            {{"id", 1}, {"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", nullptr}})});
  EXPECT_EQ(result(first, "a"), json({{"id", 1}}));
  // A later peer (the application restarted its code) finds the database still open.
  PeerRun second = run({call("openDatabase", {{"path", path}, {"singleInstance", true}}, "b")});
  EXPECT_EQ(result(second, "b"),
            json({{"id", 1}, {"recovered", true}, {"recoveredInTransaction", true}}));
}

TEST_F(SqfliteEndToEndTest, DeleteDatabaseClosesEveryDatabaseOnThePathAndRemovesItsFiles) {
  const std::string path = dbPath("del.db");
  PeerRun r = run({
      call("openDatabase", {{"path", path}, {"singleInstance", true}}, "shared"),
      call("openDatabase", {{"path", path}}, "plain"),
      call("query", {{"id", 1}, {"sql", "PRAGMA journal_mode=WAL"}}),
      call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v)"}}),
      call("insert", {{"id", 2}, {"sql", "INSERT INTO t VALUES (1)"}}),
  });
  EXPECT_EQ(result(r, "plain"), json({{"id", 2}}));
  std::ofstream(path + "-journal") << "left over";
  for (const char* suffix : {"", "-shm", "-wal", "-journal"}) {
    ASSERT_TRUE(std::filesystem::exists(path + suffix)) << suffix;
  }
  r = run({
      call("deleteDatabase", {{"path", path}}, "delete"),
      call("query", {{"id", 1}, {"sql", "SELECT 1"}}, "closed1"),
      call("insert", {{"id", 2}, {"sql", "INSERT INTO t VALUES (2)"}}, "closed2"),
      call("databaseExists", {{"path", path}}, "exists"),
  });
  EXPECT_EQ(result(r, "delete"), nullptr);
  for (const char* suffix : {"", "-shm", "-wal", "-journal"}) {
    EXPECT_FALSE(std::filesystem::exists(path + suffix)) << suffix;
  }
  for (const char* id : {"closed1", "closed2"}) {
    const json& e = error(r, id);
    EXPECT_EQ(e["code"], "sqlite_error");
    EXPECT_EQ(e["message"], "database_closed");
  }
  EXPECT_EQ(result(r, "exists"), false);
}

// Failures the connection layer used to hide: each now answers "sqlite_error".
TEST_F(SqfliteEndToEndTest, FailingQueriesAndClosedDatabasesAnswerErrors) {
  PeerRun r = run({
      call("openDatabase", {{"path", dbPath("faults.db")}}),
      call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v)"}}),
      call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('{}')"}}),
      call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('x')"}}),
      call("query", {{"id", 1}, {"sql", "SELECT json(v) FROM t ORDER BY rowid"}}, "runtime"),
      call("query", {{"id", 1}, {"sql", "SELECT v FROM t ORDER BY v COLLATE nosuch"}}, "collate"),
      call("query",
           {{"id", 1}, {"sql", "SELECT v FROM t WHERE v = ? AND v = ?"}, {"arguments", {1}}},
           "bind"),
      call("execute",
           {{"id", 1}, {"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", nullptr}}),
      call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('parked')"}}, "parked", true),
      call("closeDatabase", {{"id", 1}}, "close"),
      call("query", {{"id", 1}, {"sql", "SELECT 1"}}, "afterClose"),
  });
  json e = error(r, "runtime");
  EXPECT_EQ(e["code"], "sqlite_error");
  EXPECT_NE(e["message"].get<std::string>().find("malformed JSON"), std::string::npos);
  EXPECT_EQ(e["details"]["sql"], "SELECT json(v) FROM t ORDER BY rowid");
  EXPECT_NE(error(r, "collate")["message"].get<std::string>().find("257"), std::string::npos);
  EXPECT_NE(error(r, "bind")["message"].get<std::string>().find("bind count"), std::string::npos);
  // The insert sent behind the open transaction is parked when the close comes, and answered
  // "database_closed" before the close itself.
  std::size_t parked = 0, close = 0;
  EXPECT_EQ(reply(r, "parked", &parked)["message"], "database_closed");
  EXPECT_EQ(result(r, "close"), nullptr);
  reply(r, "close", &close);
  EXPECT_LT(parked, close);
  EXPECT_EQ(error(r, "afterClose")["message"], "database_closed");
}

TEST_F(SqfliteEndToEndTest, CallsSentWithoutWaitingRunInTheOrderSentBeforeTheClose) {
  const std::string path = dbPath("order.db");
  std::vector<json> commands = {
      call("openDatabase", {{"path", path}}),
      call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (n INTEGER PRIMARY KEY)"}}),
      call("execute", {{"id", 1}, {"sql", "PRAGMA synchronous=OFF"}}),
  };
  constexpr int kInserts = 30;
  for (int i = 1; i <= kInserts; ++i) {
    commands.push_back(call("insert",
                            {{"id", 1}, {"sql", "INSERT INTO t VALUES (?)"}, {"arguments", {i}}},
                            "i" + std::to_string(i), true));
  }
  // The close is sent without waiting for the inserts; the reopen only once the close answered,
  // so the count runs after the first connection is done.
  commands.push_back(call("closeDatabase", {{"id", 1}}, "close"));
  commands.push_back(call("openDatabase", {{"path", path}}, "reopen"));
  commands.push_back(call("query", {{"id", 2}, {"sql", "SELECT COUNT(*) AS n FROM t"}}, "count"));
  PeerRun r = run(commands);

  std::size_t previous = 0;
  for (int i = 1; i <= kInserts; ++i) {
    const std::string id = "i" + std::to_string(i);
    std::size_t position = 0;
    EXPECT_EQ(result(r, id), i);
    reply(r, id, &position);
    EXPECT_GT(position, previous) << id;
    previous = position;
  }
  std::size_t close = 0;
  EXPECT_EQ(result(r, "close"), nullptr);
  reply(r, "close", &close);
  EXPECT_GT(close, previous);
  EXPECT_EQ(result(r, "count"), json({{"columns", {"n"}}, {"rows", {{kInserts}}}}));
  // Database files are the user's alone.
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A second process (the sqlite3 shell) that holds an exclusive lock on the file.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC)) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execlp("sqlite3", "sqlite3", path.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    write("BEGIN EXCLUSIVE;\nINSERT INTO t VALUES ('held');\n.print locked\n");
    // Wait for the shell to say it holds the lock.
    std::string seen;
    char c;
    while (seen.find("locked") == std::string::npos && ::read(output_, &c, 1) == 1)
      seen += c;
    locked_ = seen.find("locked") != std::string::npos;
  }
  ~LockHolder() { release(); }
  bool locked() const { return locked_; }
  void release() {
    if (input_ >= 0) {
      write("COMMIT;\n.quit\n");
      ::close(input_);
      input_ = -1;
    }
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (output_ >= 0) ::close(output_);
    output_ = -1;
  }

 private:
  void write(const std::string& text) {
    if (::write(input_, text.data(), text.size()) < 0) locked_ = false;
  }
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool locked_ = false;
};

TEST_F(SqfliteEndToEndTest, WriteBlockedByAnotherProcessFailsAsBusyAfterAboutTwoSeconds) {
  const std::string path = dbPath("locked.db");
  PeerRun r = run({call("openDatabase", {{"path", path}}, "open"),
                   call("execute", {{"id", 1}, {"sql", "CREATE TABLE t (v)"}})});
  ASSERT_EQ(result(r, "open"), json({{"id", 1}}));

  LockHolder holder(path);
  ASSERT_TRUE(holder.locked());
  auto start = std::chrono::steady_clock::now();
  r = run({call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('blocked')"}}, "write")});
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  json e = error(r, "write");
  EXPECT_EQ(e["code"], "sqlite_error");
  EXPECT_NE(e["message"].get<std::string>().find("database is locked"), std::string::npos)
      << e.dump();
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 15.0);

  holder.release();
  r = run({call("insert", {{"id", 1}, {"sql", "INSERT INTO t VALUES ('later')"}}, "write"),
           call("query", {{"id", 1}, {"sql", "SELECT v FROM t ORDER BY rowid"}}, "rows")});
  EXPECT_EQ(result(r, "rows")["rows"], json({{"held"}, {"later"}}));
}

}  // namespace
}  // namespace lumora::e2e
