#include "plugins/sqflite/sqflite_plugin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/test_environment.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/environment.h"
#include "platform/log/log.h"
#include "plugins/sqflite/testing/sqflite_test_util.h"

namespace sqflite {
namespace {

using flutter::MethodResponse;
using platform::Value;

Value M(std::initializer_list<std::pair<const Value, Value>> items) {
  return Value::map(items);
}
Value L(std::initializer_list<Value> items) {
  return Value::list(items);
}

class SqflitePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter::Engine::create();
    SqflitePlugin::registerWithRegistrar(engine_->registrarForPlugin("SqflitePlugin"));
    driver_ = flutter::InProcessDriver::attach(engine_);
  }
  void TearDown() override {
    // Leave nothing open behind for the next test (ids and databases are process-wide).
    for (std::int64_t id : opened_)
      driver_->invokeMethod(kSqfliteChannelName, "closeDatabase", M({{"id", id}}));
    invoke("options", M({{"logLevel", 0}}));
    driver_->detach();
  }

  MethodResponse invoke(const std::string& method, const Value& arguments = {}) {
    auto response = driver_->invokeMethod(kSqfliteChannelName, method, arguments);
    EXPECT_TRUE(response.has_value()) << method << " got no reply";
    return response.value_or(MethodResponse(flutter::Error::errorWithCode("no-reply")));
  }

  Value ok(const std::string& method, const Value& arguments = {}) {
    MethodResponse r = invoke(method, arguments);
    EXPECT_TRUE(r.isSuccess()) << method << ": " << r.debugString();
    return r.value();
  }

  flutter::Error failed(const std::string& method, const Value& arguments = {}) {
    MethodResponse r = invoke(method, arguments);
    EXPECT_TRUE(r.isError()) << method << ": " << r.debugString();
    return r.error();
  }

  std::int64_t open(const Value& arguments) {
    Value r = ok("openDatabase", arguments);
    const Value* id = r.find(Value("id"));
    if (!id || !id->isInt()) {
      ADD_FAILURE() << "no id in " << r.debugString();
      return -1;
    }
    opened_.push_back(id->asInt());
    return id->asInt();
  }

  testing::TempDir dir_;
  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::vector<std::int64_t> opened_;
};

TEST_F(SqflitePluginTest, OpenInsertQueryCloseWithRisingIds) {
  std::string path = dir_.file("nested/dir/app.db");
  std::int64_t id = open(M({{"path", path}}));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "nested/dir"));
  ok("execute", M({{"id", id}, {"sql", "CREATE TABLE t (v TEXT)"}}));
  EXPECT_EQ(
      ok("insert", M({{"id", id}, {"sql", "INSERT INTO t VALUES (?)"}, {"arguments", L({"a"})}})),
      Value(1));
  EXPECT_EQ(ok("query", M({{"id", id}, {"sql", "SELECT v FROM t"}})),
            M({{"columns", L({"v"})}, {"rows", L({L({"a"})})}}));
  EXPECT_EQ(ok("closeDatabase", M({{"id", id}})), Value());
  flutter::Error again = failed("closeDatabase", M({{"id", id}}));
  EXPECT_EQ(again, flutter::Error::errorWithCode("sqlite_error", "database_closed"));
  EXPECT_EQ(failed("query", M({{"id", id}, {"sql", "SELECT 1"}})).message, "database_closed");
  // Ids are never reused.
  EXPECT_EQ(open(M({{"path", path}})), id + 1);
  EXPECT_EQ(ok("query", M({{"id", id + 1}, {"sql", "SELECT COUNT(*) AS n FROM t"}})),
            M({{"columns", L({"n"})}, {"rows", L({L({1})})}}));
}

// The channel hands the decoded call over and the plugin runs a batch's entries where they lie
// in it: each entry runs with exactly its own values, and the other arguments still count.
TEST_F(SqflitePluginTest, BatchThroughTheChannelRunsEveryEntryWithItsOwnValues) {
  std::int64_t id = open(M({{"path", dir_.file("batch.db")}}));
  ok("execute", M({{"id", id}, {"sql", "CREATE TABLE t (v)"}}));
  const char* insert = "INSERT INTO t (v) VALUES (?)";
  Value operations = L({
      M({{"method", "insert"}, {"sql", insert}, {"arguments", L({"a"})}}),
      M({{"method", "insert"}, {"sql", insert}, {"arguments", L({2.5})}}),
      M({{"method", "insert"}, {"sql", "INSERT INTO nosuch VALUES (1)"}}),
      M({{"method", "query"}, {"sql", "SELECT v FROM t"}, {"cursorPageSize", Value()}}),
  });
  Value results =
      ok("batch", M({{"id", id}, {"operations", operations}, {"continueOnError", true}}));
  ASSERT_TRUE(results.isList());
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results.asList()[0], M({{"result", 1}}));
  EXPECT_EQ(results.asList()[1], M({{"result", 2}}));
  EXPECT_TRUE(results.asList()[2].find(Value("error")));
  EXPECT_EQ(results.asList()[3],
            M({{"result", M({{"columns", L({"v"})}, {"rows", L({L({"a"}), L({2.5})})}})}}));
  // "noResult" beside the entries still applies; without "continueOnError" the failure is the
  // reply.
  EXPECT_EQ(ok("batch", M({{"id", id},
                           {"operations", operations},
                           {"noResult", true},
                           {"continueOnError", true}})),
            Value());
  EXPECT_EQ(failed("batch", M({{"id", id}, {"operations", operations}})).code, "sqlite_error");
  EXPECT_EQ(failed("batch", M({{"operations", operations}})).code, "invalid-arguments");

  // Keys of other kinds beside the string keys (they order before and after strings) leave the
  // lookups alone; a method that is no string is no known method.
  Value mixed = L({M({{Value(7), "x"},
                      {"method", "insert"},
                      {"sql", insert},
                      {"arguments", L({"c"})},
                      {Value::list({"method"}), "query"}}),
                   M({{"method", 1}, {"sql", insert}, {"arguments", L({"d"})}})});
  flutter::Error e = failed("batch", M({{"id", id}, {"operations", mixed}}));
  EXPECT_EQ(e.code, "bad_param");
  EXPECT_EQ(e.message, "Batch method '' not supported");
  EXPECT_EQ(ok("query", M({{"id", id}, {"sql", "SELECT v FROM t WHERE v IN ('c', 'd')"}}))
                .find(Value("rows"))
                ->asList(),
            L({L({"c"})}));
}

TEST_F(SqflitePluginTest, SingleInstanceIsSharedAndReportsItsTransaction) {
  std::string path = dir_.file("single.db");
  std::int64_t id = open(M({{"path", path}, {"singleInstance", true}}));
  EXPECT_EQ(ok("openDatabase", M({{"path", path}, {"singleInstance", true}})),
            M({{"id", id}, {"recovered", true}}));
  ok("execute",
     M({{"id", id}, {"sql", "BEGIN"}, {"inTransaction", true}, {"transactionId", Value()}}));
  EXPECT_EQ(ok("openDatabase", M({{"path", path}, {"singleInstance", true}, {"readOnly", true}})),
            M({{"id", id}, {"recovered", true}, {"recoveredInTransaction", true}}));
  // Without single instance a new connection is made, even on the same path.
  EXPECT_NE(open(M({{"path", path}})), id);

  // ":memory:" is never shared and creates no directory.
  std::int64_t m1 = open(M({{"path", ":memory:"}, {"singleInstance", true}}));
  Value second = ok("openDatabase", M({{"path", ":memory:"}, {"singleInstance", true}}));
  opened_.push_back(second.find(Value("id"))->asInt());
  EXPECT_EQ(second.find(Value("recovered")), nullptr);
  EXPECT_NE(second.find(Value("id"))->asInt(), m1);
  EXPECT_FALSE(std::filesystem::exists(":memory:"));
}

TEST_F(SqflitePluginTest, ReadOnlyOpenCreatesNothingAndFailsOnAMissingFile) {
  std::string path = dir_.file("missing/ro.db");
  flutter::Error e = failed("openDatabase", M({{"path", path}, {"readOnly", true}}));
  EXPECT_EQ(e, flutter::Error::errorWithCode("sqlite_error", "open_failed " + path));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "missing"));

  std::string existing = dir_.file("ro.db");
  std::int64_t rw = open(M({{"path", existing}}));
  ok("execute", M({{"id", rw}, {"sql", "CREATE TABLE t (v)"}}));
  std::int64_t ro = open(M({{"path", existing}, {"readOnly", true}}));
  EXPECT_EQ(
      ok("query", M({{"id", ro}, {"sql", "SELECT COUNT(*) FROM t"}})).find(Value("rows"))->asList(),
      L({L({0})}).asList());
  e = failed("insert", M({{"id", ro}, {"sql", "INSERT INTO t VALUES (1)"}}));
  EXPECT_EQ(e.code, "sqlite_error");
  // The extended code of a read-only refusal (SQLITE_READONLY is 8, its extended forms above).
  EXPECT_NE(e.message->find("readonly"), std::string::npos) << *e.message;
}

TEST_F(SqflitePluginTest, ExtendedResultCodesAreOnFromTheOpenReply) {
  std::int64_t id = open(M({{"path", dir_.file("x.db")}}));
  ok("execute", M({{"id", id}, {"sql", "CREATE TABLE t (v UNIQUE)"}}));
  ok("insert", M({{"id", id}, {"sql", "INSERT INTO t VALUES (1)"}}));
  flutter::Error e = failed("insert", M({{"id", id}, {"sql", "INSERT INTO t VALUES (1)"}}));
  // SQLITE_CONSTRAINT_UNIQUE (2067), not the primary SQLITE_CONSTRAINT (19).
  EXPECT_NE(e.message->find("(code 2067)"), std::string::npos) << *e.message;
}

TEST_F(SqflitePluginTest, DeleteDatabaseClosesEveryDatabaseOnThePathAndRemovesItsFiles) {
  std::string path = dir_.file("del.db");
  std::int64_t shared = open(M({{"path", path}, {"singleInstance", true}}));
  std::int64_t plain = open(M({{"path", path}}));
  std::int64_t other = open(M({{"path", dir_.file("other.db")}}));
  ok("query", M({{"id", shared}, {"sql", "PRAGMA journal_mode=WAL"}}));
  ok("execute", M({{"id", shared}, {"sql", "CREATE TABLE t (v)"}}));
  for (const char* suffix : {"-journal"})
    std::ofstream(path + suffix) << "x";
  ASSERT_TRUE(std::filesystem::exists(path + "-wal"));
  ASSERT_TRUE(std::filesystem::exists(path + "-shm"));

  EXPECT_EQ(ok("deleteDatabase", M({{"path", path}})), Value());
  for (const char* suffix : {"", "-shm", "-wal", "-journal"}) {
    EXPECT_FALSE(std::filesystem::exists(path + suffix)) << suffix;
  }
  for (std::int64_t id : {shared, plain}) {
    EXPECT_EQ(failed("query", M({{"id", id}, {"sql", "SELECT 1"}})).message, "database_closed");
  }
  EXPECT_TRUE(ok("query", M({{"id", other}, {"sql", "SELECT 1"}})).isMap());
  // A fresh open of the path starts from nothing and is not "recovered".
  Value reopened = ok("openDatabase", M({{"path", path}, {"singleInstance", true}}));
  opened_.push_back(reopened.find(Value("id"))->asInt());
  EXPECT_EQ(reopened.find(Value("recovered")), nullptr);
  EXPECT_EQ(ok("deleteDatabase", M({{"path", dir_.file("never.db")}})), Value());
}

TEST_F(SqflitePluginTest, CallsSentWithoutWaitingRunInTheOrderSentUpToTheClose) {
  std::string path = dir_.file("order.db");
  std::int64_t id = open(M({{"path", path}}));
  ok("execute", M({{"id", id}, {"sql", "CREATE TABLE t (n INTEGER PRIMARY KEY)"}}));
  ok("execute", M({{"id", id}, {"sql", "PRAGMA synchronous=OFF"}}));

  // Back to back, none waiting for the reply of the one before: inserts, a count that must see
  // all of them, and the close.
  platform::TestEnvironment env;
  auto codec = flutter::StandardMethodCodec::sharedInstance();
  std::mutex mutex;
  std::vector<std::pair<std::string, MethodResponse>> replies;
  auto send = [&](const std::string& tag, const std::string& method, const Value& arguments) {
    driver_->send(kSqfliteChannelName, codec->encodeMethodCall({method, arguments}),
                  [&, tag](const platform::Bytes& bytes) {
                    auto response = codec->decodeEnvelope(bytes);
                    std::lock_guard<std::mutex> lock(mutex);
                    replies.emplace_back(tag, response.value_or(MethodResponse(
                                                  flutter::Error::errorWithCode("undecodable"))));
                  });
  };
  constexpr int kInserts = 40;
  for (int i = 1; i <= kInserts; ++i) {
    send("insert", "insert",
         M({{"id", id}, {"sql", "INSERT INTO t VALUES (?)"}, {"arguments", L({i})}}));
  }
  send("count", "query", M({{"id", id}, {"sql", "SELECT COUNT(*) AS n FROM t"}}));
  send("close", "closeDatabase", M({{"id", id}}));
  env.runUntilIdle();

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(replies.size(), static_cast<std::size_t>(kInserts + 2));
  for (int i = 1; i <= kInserts; ++i) {
    const auto& [tag, response] = replies[static_cast<std::size_t>(i - 1)];
    EXPECT_EQ(tag, "insert");
    EXPECT_EQ(response.value(), Value(i)) << response.debugString();
  }
  EXPECT_EQ(replies[kInserts].first, "count");
  EXPECT_EQ(replies[kInserts].second.value(),
            M({{"columns", L({"n"})}, {"rows", L({L({kInserts})})}}));
  EXPECT_EQ(replies[kInserts + 1].first, "close");
  EXPECT_TRUE(replies[kInserts + 1].second.isSuccess());
  EXPECT_EQ(ok("query", M({{"id", open(M({{"path", path}}))}, {"sql", "SELECT COUNT(*) FROM t"}}))
                .find(Value("rows"))
                ->asList()[0],
            L({kInserts}));
}

TEST_F(SqflitePluginTest, CallsOffTheMainThreadAreReported) {
  platform::TestEnvironment env;
  auto plugin = std::make_shared<SqflitePlugin>();
  std::optional<MethodResponse> reply;
  platform::ScopedAssertionCapture assertions;
  std::thread([&] {
    plugin->handleMethodCall({"debug", M({{"cmd", "get"}})},
                             [&](MethodResponse response) { reply = std::move(response); });
  }).join();
  ASSERT_GE(assertions.count(), 1u);
  EXPECT_NE(assertions.failures()[0].message.find("main thread"), std::string::npos)
      << assertions.failures()[0].message;
  // Reported, not refused: the call still gets its answer.
  env.runUntilIdle();
  EXPECT_TRUE(reply.has_value());
}

TEST_F(SqflitePluginTest, FileSystemQuestions) {
  std::string path = dir_.file("exists.db");
  EXPECT_EQ(ok("databaseExists", M({{"path", path}})), Value(false));
  open(M({{"path", path}}));
  EXPECT_EQ(ok("databaseExists", M({{"path", path}})), Value(true));

  EXPECT_EQ(ok("darwinCreateUnprotectedFolder", M({{"parent", dir_.file("p/q")}, {"name", "n"}})),
            Value());
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "p/q/n"));
  EXPECT_EQ(ok("darwinCreateUnprotectedFolder", M({{"parent", dir_.file("p/q")}, {"name", "n"}})),
            Value());
  std::ofstream(dir_.file("file")) << "x";
  flutter::Error e =
      failed("darwinCreateUnprotectedFolder", M({{"parent", dir_.file("file")}, {"name", "n"}}));
  EXPECT_EQ(e.code, "fs_error");
  EXPECT_EQ(e.message->rfind("error creating unprotected dir: ", 0), 0u);

  {
    platform::ScopedEnvironmentForTesting env(
        {{"LUMORA_HOME", dir_.path().string()}, {"LUMORA_OS_VERSION", "13.1"}});
    EXPECT_EQ(ok("getDatabasesPath"), Value((dir_.path() / "Documents").string()));
    EXPECT_EQ(ok("getPlatformVersion"), Value("macOS 13.1"));
  }
}

TEST_F(SqflitePluginTest, LogLevelDebugAndOptions) {
  EXPECT_EQ(ok("debug", M({{"cmd", "get"}})), Value::emptyMap());
  std::int64_t quiet = open(M({{"path", dir_.file("a.db")}}));
  platform::ScopedLogCapture log;
  EXPECT_EQ(ok("options", M({{"logLevel", 2}})), Value());
  EXPECT_EQ(log.count("Sqflite: logLevel 2"), 1u);
  std::int64_t loud = open(M({{"path", dir_.file("b.db")}, {"singleInstance", true}}));
  EXPECT_EQ(ok("options", M({})), Value());
  EXPECT_EQ(
      ok("debug", M({{"cmd", "get"}})),
      M({{"databases",
          M({{std::to_string(quiet), M({{"path", dir_.file("a.db")}, {"singleInstance", false}})},
             {std::to_string(loud),
              M({{"path", dir_.file("b.db")}, {"singleInstance", true}, {"logLevel", 2}})}})},
         {"logLevel", 2}}));
  EXPECT_EQ(ok("debug", M({{"cmd", "other"}})), Value::emptyMap());
  EXPECT_EQ(ok("debugMode", Value(false)), Value());
  EXPECT_EQ(log.count("Debug mode 0"), 1u);
  EXPECT_EQ(ok("debug", M({{"cmd", "get"}})).find(Value("logLevel")), nullptr);
  // The database opened at level 2 keeps logging its SQL.
  ok("query", M({{"id", loud}, {"sql", "SELECT 42"}}));
  EXPECT_EQ(log.count("SELECT 42"), 1u);
}

TEST_F(SqflitePluginTest, UnknownMethodsAndMalformedCalls) {
  MethodResponse r = invoke("nosuchMethod", M({}));
  EXPECT_TRUE(r.isNotImplemented());
  struct Case {
    const char* method;
    Value arguments;
    const char* key;
  };
  const Case cases[] = {
      {"query", Value("not a map"), "arguments"},
      {"query", M({{"sql", "SELECT 1"}}), "id"},
      {"insert", M({{"id", "1"}, {"sql", "SELECT 1"}}), "id"},
      {"openDatabase", M({{"path", 5}}), "path"},
      {"deleteDatabase", M({}), "path"},
      {"databaseExists", M({{"path", Value()}}), "path"},
      {"options", M({{"logLevel", "loud"}}), "logLevel"},
      {"debugMode", Value(1), "arguments"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    flutter::Error e = failed(c.method, c.arguments);
    EXPECT_EQ(e.code, "invalid-arguments");
    EXPECT_NE(e.message.value_or("").find(std::string("'") + c.key + "'"), std::string::npos);
  }
  EXPECT_EQ(failed("query", M({{"id", 999999}, {"sql", "SELECT 1"}})),
            flutter::Error::errorWithCode("sqlite_error", "database_closed"));
}

}  // namespace
}  // namespace sqflite
