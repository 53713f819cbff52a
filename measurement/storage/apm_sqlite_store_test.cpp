#include "measurement/storage/apm_sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "measurement/storage/apm_error.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/raw_connection.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/file_system.h"

namespace {

using platform::Value;

using apm_testing::RawConnection;

std::string descriptionOf(const platform::ErrorPtr& error) {
  return error ? error->localizedDescription() : std::string("(no error)");
}

class APMSqliteStoreTest : public apm_testing::StorageTest {
 protected:
  APMSqliteStoreTest() { fastDisk_.skipSync = true; }
  apm_testing::SqliteFaultVfs fastDisk_;

  std::string path() const { return scratch_ / "Store/db.sql"; }

  std::shared_ptr<APMSqliteStore> open(platform::ErrorPtr* error = nullptr) {
    return APMSqliteStore::initWithDatabasePath(path(), error);
  }

  // A file with table t(a, b) holding three rows, written by another connection.
  void makePopulatedFile() {
    std::filesystem::create_directories(scratch_ / "Store");
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("CREATE TABLE t (a INTEGER, b TEXT); INSERT INTO t VALUES (1, 'x'), "
                       "(2, 'y'), (3, 'z');"),
              SQLITE_OK);
  }
  std::string rowsInFile() {
    RawConnection raw(path());
    return raw.firstText("SELECT group_concat(a || b, ',') FROM t");
  }
  bool hasReport(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
};

TEST_F(APMSqliteStoreTest, OpensANewFileWithTheBackupMarkAndOwnerOnlyMode) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store) << descriptionOf(error);
  EXPECT_NE(store->sqliteHandle(), nullptr);
  EXPECT_TRUE(platform::FileManager::defaultManager().isExcludedFromBackup(path()));
  struct stat st {};
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No pragma changes the defaults.
  auto mode = store->recordsForQuery("SELECT * FROM pragma_journal_mode", {}, &error);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->at(0).at(Value("journal_mode")), Value("delete"));
}

TEST_F(APMSqliteStoreTest, ADamagedFileIsReplacedByAnEmptyDatabase) {
  struct Case {
    const char* name;
    std::string content;
  };
  std::string random(8192, '\0');
  for (std::size_t i = 0; i < random.size(); ++i)
    random[i] = static_cast<char>((i * 7919 + 13) % 251);
  const Case cases[] = {{"random bytes", random},
                        {"a text file", "this is not a database, only some words\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(scratch_ / "Store");
    std::ofstream(path(), std::ios::binary) << c.content;
    platform::ErrorPtr error;
    auto store = open(&error);
    ASSERT_TRUE(store) << descriptionOf(error);
    EXPECT_EQ(store->rowCountForTableWithName("sqlite_master", &error), 0);
    store.reset();
    EXPECT_EQ(std::filesystem::file_size(path()), 0u);  // a new, empty database file
    std::filesystem::remove(path());
  }
}

TEST_F(APMSqliteStoreTest, ALockHeldByAnotherConnectionFailsTheOpenAndKeepsTheFile) {
  makePopulatedFile();
  {
    RawConnection other(path());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    platform::ErrorPtr error;
    EXPECT_FALSE(open(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(descriptionOf(error),
              "Database operation \"validate database\" failed with sqlite code 5 and error "
              "message \"database is locked\"");
    other.exec("ROLLBACK");
  }
  EXPECT_EQ(rowsInFile(), "1x,2y,3z");
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store) << descriptionOf(error);
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 3);
}

TEST_F(APMSqliteStoreTest, AnIOErrorWhileOpeningOrValidatingFailsTheOpenAndKeepsTheFile) {
  makePopulatedFile();
  struct Case {
    const char* name;
    long long failReadsFrom;
    const char* operation;
  };
  // SQLite reads the first page already when it opens the file; the integrity check reads the
  // others.
  const Case cases[] = {{"every read", 0, "initialize sqlite handle"},
                        {"past the first page", 4096, "validate database"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      apm_testing::SqliteFaultVfs vfs;
      vfs.pathPrefix = path();
      vfs.failReadsFrom = c.failReadsFrom;
      platform::ErrorPtr error;
      EXPECT_FALSE(open(&error));
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, 3);
      EXPECT_EQ(descriptionOf(error), std::string("Database operation \"") + c.operation +
                                          "\" failed with sqlite code 10 and error message "
                                          "\"disk I/O error\"");
    }
    EXPECT_EQ(rowsInFile(), "1x,2y,3z");
  }
}

TEST_F(APMSqliteStoreTest, FileSeamFailuresAroundTheOpen) {
  auto faults = std::make_shared<platform::FaultInjectingFileSystem>();
  platform::ScopedFileSystemForTesting seam(faults);
  {
    SCOPED_TRACE("the folder cannot be made");
    faults->inject(platform::kFileMakeDirectory, scratch_ / "Store", EACCES);
    platform::ErrorPtr error;
    EXPECT_FALSE(open(&error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->domain, APMErrorDomain);  // the file system's own error
    faults->clear();
  }
  {
    SCOPED_TRACE("the backup mark cannot be set: reported, the open goes on");
    faults->inject(platform::kFileAttribute, path(), EIO);
    platform::ErrorPtr error;
    EXPECT_TRUE(open(&error)) << descriptionOf(error);
    EXPECT_TRUE(hasReport(34017));
    faults->clear();
  }
  {
    SCOPED_TRACE("a damaged file cannot be removed");
    std::filesystem::remove(path());
    std::ofstream(path(), std::ios::binary) << std::string(4096, 'x');
    faults->inject(platform::kFileRemove, path(), EPERM);
    platform::ErrorPtr error;
    EXPECT_FALSE(open(&error));
    EXPECT_TRUE(hasReport(34019));
    EXPECT_TRUE(std::filesystem::exists(path()));
  }
}

TEST_F(APMSqliteStoreTest, ValuesKeepTheirKindsThroughAWriteAndARead) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE v (k TEXT PRIMARY KEY, x)", &error));
  struct Case {
    const char* key;
    Value written;
    std::optional<Value> read;  // none: the entry is missing from the row
  };
  const Case cases[] = {
      {"int", Value(std::int64_t{-9007199254740993}), Value(std::int64_t{-9007199254740993})},
      {"bool", Value(true), Value(std::int64_t{1})},
      {"double", Value(2.5), Value(2.5)},
      {"string", Value(std::string("a\0b", 3)), Value(std::string("a\0b", 3))},
      {"bytes", Value(platform::Bytes{0, 1, 255}), Value(platform::Bytes{0, 1, 255})},
      {"null", Value(), Value()},
      {"empty bytes", Value(platform::Bytes{}), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    clearReports();
    ASSERT_TRUE(
        store->upsertRecord({{Value("k"), Value(c.key)}, {Value("x"), c.written}}, "v", &error))
        << descriptionOf(error);
    auto rows = store->recordsForQuery("SELECT x FROM v WHERE k = ?", {Value(c.key)}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    const auto found = rows->front().find(Value("x"));
    if (c.read) {
      ASSERT_NE(found, rows->front().end());
      EXPECT_EQ(found->second, *c.read);
    } else {
      EXPECT_EQ(found, rows->front().end());
      EXPECT_TRUE(hasReport(34004));
    }
  }
}

// Every row of a many-row read holds its own columns under their names, whatever the order of
// the names, a row that lacks a value between complete ones, or a name given twice.
TEST_F(APMSqliteStoreTest, EveryRowOfALongReadHoldsItsOwnColumns) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE r (z INTEGER, a BLOB, m TEXT)", &error));
  ASSERT_TRUE(store->executeSQL("INSERT INTO r VALUES (1, x'01', 'one'), (2, x'', 'two'), "
                                "(3, x'03', 'three'), (4, x'04', NULL)",
                                &error));
  clearReports();
  const auto rows = store->recordsForQuery("SELECT z, a, m FROM r ORDER BY z", {}, &error);
  ASSERT_TRUE(rows);
  const std::vector<APMSqliteRecord> expected{
      {{Value("z"), Value(std::int64_t{1})},
       {Value("a"), Value(platform::Bytes{1})},
       {Value("m"), Value("one")}},
      // An empty blob reads as no value: the column is left out, with its report.
      {{Value("z"), Value(std::int64_t{2})}, {Value("m"), Value("two")}},
      {{Value("z"), Value(std::int64_t{3})},
       {Value("a"), Value(platform::Bytes{3})},
       {Value("m"), Value("three")}},
      {{Value("z"), Value(std::int64_t{4})},
       {Value("a"), Value(platform::Bytes{4})},
       {Value("m"), Value()}},
  };
  EXPECT_EQ(*rows, expected);
  EXPECT_TRUE(hasReport(34004));

  // A name given twice keeps its first place and its last value, in every row.
  const auto twice = store->recordsForQuery("SELECT z AS k, m AS k FROM r ORDER BY z", {}, &error);
  ASSERT_TRUE(twice);
  ASSERT_EQ(twice->size(), 4u);
  EXPECT_EQ((*twice)[0], (APMSqliteRecord{{Value("k"), Value("one")}}));
  EXPECT_EQ((*twice)[2], (APMSqliteRecord{{Value("k"), Value("three")}}));
}

TEST_F(APMSqliteStoreTest, AValueOfAnotherKindIsRefused) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE v (k TEXT PRIMARY KEY, x)", &error));
  const Value date = Value::date(1700000000);

  error = nullptr;
  EXPECT_FALSE(store->upsertRecord({{Value("k"), Value("a")}, {Value("x"), date}}, "v", &error));
  EXPECT_TRUE(hasReport(34020));
  EXPECT_FALSE(error);  // the upsert reports, it fills in no error

  EXPECT_FALSE(store->updateRecord({{Value("x"), date}}, "v", "k", Value("a"), &error));
  EXPECT_TRUE(hasReport(34021));
  ASSERT_TRUE(error);
  EXPECT_EQ(descriptionOf(error),
            "Failed to bind parameter of unexpected type to update statement");

  error = nullptr;
  EXPECT_FALSE(store->recordsForQuery("SELECT * FROM v WHERE x = ?", {date}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
  EXPECT_NE(descriptionOf(error).find("\"bind values\" failed with sqlite code 1 "),
            std::string::npos)
      << descriptionOf(error);
  EXPECT_EQ(store->rowCountForTableWithName("v", &error), 0);
  // The cached statement was reset and cleared after the failed bind: it serves the next query.
  EXPECT_TRUE(store->recordsForQuery("SELECT * FROM v WHERE x = ?", {Value(1)}, &error));
}

TEST_F(APMSqliteStoreTest, BuiltStatementsAreCachedAndReusedWithFreshBindings) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE q (data BLOB, n INTEGER)", &error));
  const std::size_t before = store->cachedStatementCountForTesting();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store->upsertRecord(
        {{Value("data"), Value(platform::Bytes(100, static_cast<std::uint8_t>(i)))},
         {Value("n"), Value(i)}},
        "q", &error));
    ASSERT_TRUE(store->updateRecord({{Value("n"), Value(i + 10)}}, "q", "n", Value(i), &error));
  }
  EXPECT_EQ(store->cachedStatementCountForTesting(), before + 2);
  auto rows = store->recordsForQuery("SELECT hex(substr(data, 1, 1)) AS h, n FROM q", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ(rows->at(2).at(Value("h")), Value("02"));
  EXPECT_EQ(rows->at(2).at(Value("n")), Value(std::int64_t{12}));
}

// Values bound by the caller: each run starts from fresh bindings, a failed bind runs nothing,
// and the statement is kept for the next run either way.
TEST_F(APMSqliteStoreTest, AStatementWithCallerBoundValuesRunsOnlyWhenEveryBindHeld) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE w (k TEXT PRIMARY KEY, n INTEGER, x REAL)", &error));
  const std::string sql = "INSERT OR REPLACE INTO w (k, n, x) VALUES (?, ?, ?)";
  const auto rows = [&] {
    auto read =
        store->recordsForQuery("SELECT k, n, x, typeof(n) AS t FROM w ORDER BY k", {}, &error);
    std::string out;
    for (const auto& row : read.value_or(std::vector<APMSqliteRecord>{}))
      out += row.at(Value("k")).asString() + "=" + row.at(Value("t")).asString() + ";";
    return out;
  };
  struct Case {
    const char* what;
    std::string key;
    bool bindNumber;  // leaves "n" unbound (NULL) when false
    int failingBind;  // the result code the binder answers after its binds
    bool written;
    const char* rows;
  };
  EXPECT_EQ(rows(), "");  // the read's statement is kept too
  const std::size_t before = store->cachedStatementCountForTesting();
  const Case cases[] = {
      {"every value bound", "a", true, SQLITE_OK, true, "a=integer;"},
      {"a value left out is NULL, not the last run's", "b", false, SQLITE_OK, true,
       "a=integer;b=null;"},
      {"a failed bind runs nothing", "c", true, SQLITE_RANGE, false, "a=integer;b=null;"},
      {"the kept statement serves the next run", "d", true, SQLITE_OK, true,
       "a=integer;b=null;d=integer;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ErrorPtr runError;
    const bool ran = store->executeSQLBinding(
        sql,
        [&](sqlite3_stmt* statement) {
          int code = sqlite3_bind_text(statement, 1, c.key.data(), static_cast<int>(c.key.size()),
                                       SQLITE_STATIC);
          if (c.bindNumber && code == SQLITE_OK) code = sqlite3_bind_int64(statement, 2, 7);
          if (code == SQLITE_OK) code = sqlite3_bind_double(statement, 3, 0.5);
          return code == SQLITE_OK ? c.failingBind : code;
        },
        &runError);
    EXPECT_EQ(ran, c.written);
    if (c.written) {
      EXPECT_FALSE(runError) << descriptionOf(runError);
    } else {
      ASSERT_TRUE(runError);
      EXPECT_NE(descriptionOf(runError).find("\"bind values\" failed with sqlite code 25 "),
                std::string::npos)
          << descriptionOf(runError);
    }
    EXPECT_EQ(rows(), c.rows);
  }
  EXPECT_EQ(store->cachedStatementCountForTesting(), before + 1);
  platform::ErrorPtr stepError;
  EXPECT_FALSE(store->executeSQLBinding(
      "INSERT INTO w (k) VALUES (?)",
      [](sqlite3_stmt* statement) {
        return sqlite3_bind_text(statement, 1, "a", 1, SQLITE_STATIC);
      },
      &stepError));
  ASSERT_TRUE(stepError);
  EXPECT_NE(descriptionOf(stepError).find("\"execute statement\" failed"), std::string::npos)
      << descriptionOf(stepError);
}

TEST_F(APMSqliteStoreTest, AStatementThatIsNotTheCachedOneIsFinalizedSoTheCloseSucceeds) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  const std::string query = "SELECT count(1) FROM sqlite_master";
  sqlite3_stmt* stranger = store->prepareSQL(query, &error);
  ASSERT_TRUE(store->statementForQuery(query, &error));
  store->cleanUpStatement(store->statementForQuery(query, &error), query);
  store->cleanUpStatement(stranger, query);
  EXPECT_TRUE(hasReport(34016));
  store->closeDatabase();
  EXPECT_FALSE(hasReport(34018));
  EXPECT_EQ(store->sqliteHandle(), nullptr);
}

TEST_F(APMSqliteStoreTest, ALeakedStatementIsReportedAndTheConnectionStillCloses) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->prepareSQL("SELECT 1", &error));  // never finalized by its owner
  store->closeDatabase();
  EXPECT_TRUE(hasReport(34018));
  EXPECT_EQ(store->sqliteHandle(), nullptr);
}

TEST_F(APMSqliteStoreTest, ARowReadThatFailsPartWayIsAnErrorButAFilterMayEndItEarly) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (x TEXT)", &error));
  for (const char* text : {"[1]", "{\"a\":2}", "{bad", "[4]"})
    ASSERT_TRUE(store->upsertRecord({{Value("x"), Value(text)}}, "t", &error));

  error = nullptr;
  EXPECT_FALSE(store->recordsForQuery("SELECT json(x) FROM t", {}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
  EXPECT_NE(descriptionOf(error).find("\"query records\" failed with sqlite code 1 "),
            std::string::npos)
      << descriptionOf(error);

  // Ended by the filter before the malformed row: a success.
  auto first =
      store->recordsForQuery("SELECT json(x) AS j FROM t", {}, &error,
                             [](std::uint32_t index, const APMSqliteRecord&) { return index < 1; });
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 1u);
  EXPECT_EQ(first->front().at(Value("j")), Value("[1]"));

  clearReports();
  auto none = store->recordsForQuery("select x FROM t", {}, &error,
                                     [](std::uint32_t, const APMSqliteRecord&) { return false; });
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(hasReport(34005));
}

TEST_F(APMSqliteStoreTest, AColumnListThatFailsPartWayIsAnErrorNotAShortList) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  std::string create = "CREATE TABLE wide (c0 INTEGER";
  for (int i = 1; i < 40; ++i)
    create += ", c" + std::to_string(i) + " INTEGER";
  ASSERT_TRUE(store->executeSQL(create + ")", &error));
  // SQLite's progress handler ends a statement part-way with SQLITE_INTERRUPT (9): here once
  // the table info has produced some of its rows.
  int calls = 0;
  sqlite3_progress_handler(
      store->sqliteHandle(), 10,
      [](void* context) { return ++*static_cast<int*>(context) > 8 ? 1 : 0; }, &calls);
  error = nullptr;
  EXPECT_FALSE(store->columnsForTableWithName("wide", &error));
  ASSERT_TRUE(error);
  EXPECT_NE(descriptionOf(error).find("\"table info\" failed with sqlite code 9 "),
            std::string::npos)
      << descriptionOf(error);
  calls = 0;
  EXPECT_FALSE(store->columnInfoForTableWithName("wide", &error));
  calls = 0;
  // The validation of a table stops at the failed read instead of taking columns for missing.
  EXPECT_FALSE(
      store->ensureTableWithName("wide", {{"c0", "INTEGER"}, {"c39", "INTEGER"}}, {}, &error));
  EXPECT_EQ(error->code, 3);
  sqlite3_progress_handler(store->sqliteHandle(), 0, nullptr, nullptr);
  auto columns = store->columnsForTableWithName("wide", &error);
  ASSERT_TRUE(columns);
  EXPECT_EQ(columns->size(), 40u);
}

TEST_F(APMSqliteStoreTest, ArgumentAndStateChecks) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER, s TEXT)", &error));
  struct Case {
    const char* name;
    std::function<bool(platform::ErrorPtr*)> call;
    std::int64_t code;
    const char* description;
  };
  const std::vector<Case> cases = {
      {"two statements", [&](auto* e) { return store->executeSQL("SELECT 1; SELECT 2", e); }, 1,
       "Query contained more than one SQL statement."},
      {"leading space",
       [&](auto* e) { return store->recordsForQuery(" select 1", {}, e).has_value(); }, 1,
       "Received invalid select query"},
      {"missing parameters",
       [&](auto* e) { return store->statementForQuery("SELECT ? + 1", e) != nullptr; }, 1,
       "Received empty parameters"},
      {"increase on text", [&](auto* e) { return store->increaseColumn("s", 1, "t", "1", {}, e); },
       1, "Column type is not integer."},
      {"increase on a missing column",
       [&](auto* e) { return store->increaseColumn("z", 1, "t", "1", {}, e); }, 1,
       "Invalid column or table name"},
      {"rename to itself", [&](auto* e) { return store->renameTable("t", "t", e); }, 1,
       "Received duplicate name for rename table"},
      {"empty upsert", [&](auto* e) { return store->upsertRecord({}, "t", e); }, 1,
       "Received empty record for upsert"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    error = nullptr;
    EXPECT_FALSE(c.call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.code);
    EXPECT_EQ(descriptionOf(error), c.description);
  }
  EXPECT_TRUE(store->recordsForQuery("SELECT 1", {}, &error));
  error = nullptr;
  EXPECT_FALSE(store->numberForQuery("SELECT max(n) FROM t", {}, &error));
  EXPECT_FALSE(error);  // NULL is no number, and no failure

  store->closeDatabase();
  const std::vector<std::pair<const char*, std::function<bool(platform::ErrorPtr*)>>> closed = {
      {"Upsert record failed. Database not open.",
       [&](auto* e) {
         return store->upsertRecord({{Value("n"), Value(1)}}, "t", e);
       }},
      {"Query records failed. Database not open.",
       [&](auto* e) { return store->recordsForQuery("SELECT 1", {}, e).has_value(); }},
      {"Database not open",
       [&](auto* e) { return store->performTransactionWithError(e, [] { return true; }); }},
      {"Ensure table failed. Database not open.",
       [&](auto* e) {
         return store->ensureTableWithName("t", {{"n", "INTEGER"}}, {}, e);
       }},
  };
  for (const auto& [description, call] : closed) {
    SCOPED_TRACE(description);
    error = nullptr;
    EXPECT_FALSE(call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 2);
    EXPECT_EQ(descriptionOf(error), description);
  }
}

TEST_F(APMSqliteStoreTest, DeletesAndIncrements) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER, k TEXT)", &error));
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(
        store->upsertRecord({{Value("n"), Value(i)}, {Value("k"), Value("a")}}, "t", &error));
  ASSERT_TRUE(store->increaseColumn("n", 10, "t", "n >= ?", {Value(3)}, &error));
  EXPECT_EQ(store->rowCountForTableWithName("t", "n", Value(14), &error), 1);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "n > ?", {Value(10)}, &error), 2);
  ASSERT_TRUE(store->deleteRecordFromTableWithName("t", "n", Value(0), &error));
  ASSERT_TRUE(store->updateAllRecordsInTableWithName("t", "k", Value("b"), &error));
  EXPECT_EQ(store->rowCountForTableWithName("t", "k", Value("b"), &error), 2);
  ASSERT_TRUE(store->deleteAllRecordsFromTableWithName("t", &error));
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
}

TEST_F(APMSqliteStoreTest, Transactions) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER)", &error));
  const auto insert = [&](int n) {
    return store->upsertRecord({{Value("n"), Value(n)}}, "t", nullptr);
  };

  {
    SCOPED_TRACE("a block that answers NO leaves the database as it was");
    EXPECT_FALSE(store->performTransactionWithError(&error, [&] { return insert(1) && false; }));
    EXPECT_EQ(descriptionOf(error), "Transaction failed");
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
  }
  {
    SCOPED_TRACE("an exception rolls back and goes on to the caller");
    EXPECT_THROW(store->performTransactionWithError(&error,
                                                    [&]() -> bool {
                                                      insert(2);
                                                      throw std::runtime_error("block");
                                                    }),
                 std::runtime_error);
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
  }
  {
    SCOPED_TRACE("a refused commit is rolled back, and the next transaction commits");
    ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys=ON", &error));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", &error));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE child (p INTEGER REFERENCES parent(id) "
                                  "DEFERRABLE INITIALLY DEFERRED)",
                                  &error));
    error = nullptr;
    EXPECT_FALSE(store->performTransactionWithError(
        &error, [&] { return store->executeSQL("INSERT INTO child VALUES (7)", nullptr); }));
    EXPECT_EQ(descriptionOf(error), "Failed to end transaction");
    EXPECT_EQ(sqlite3_get_autocommit(store->sqliteHandle()), 1);
    EXPECT_EQ(store->rowCountForTableWithName("child", &error), 0);
    EXPECT_TRUE(store->performTransactionWithError(&error, [&] { return insert(3); }))
        << descriptionOf(error);
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 1);
  }
  {
    SCOPED_TRACE("no transaction inside a transaction");
    bool inner = true;
    EXPECT_TRUE(store->performTransactionWithError(&error, [&] {
      inner = store->performTransactionWithError(nullptr, [] { return true; });
      return true;
    }));
    EXPECT_FALSE(inner);
  }
  {
    SCOPED_TRACE("a begin refused by another connection's lock fails with its code; the next "
                 "one begins");
    RawConnection other(path());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    bool ran = false;
    EXPECT_FALSE(store->performTransactionWithError(&error, [&] { return ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_EQ(descriptionOf(error), "Failed to begin transaction");
    EXPECT_EQ(store->lastFailureResultCode(), SQLITE_BUSY);
    ASSERT_EQ(other.exec("ROLLBACK"), SQLITE_OK);
    EXPECT_TRUE(store->performTransactionWithError(&error, [&] { return insert(4); }))
        << descriptionOf(error);
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 2);
  }
  {
    SCOPED_TRACE("the statements kept for transactions do not hold the connection open");
    store->closeDatabase();
    EXPECT_FALSE(hasReport(34018));
    EXPECT_EQ(store->sqliteHandle(), nullptr);
  }
}

TEST_F(APMSqliteStoreTest, ATablesGenerationMovesWhenItsRowsMayHaveChangedAndOnlyThen) {
  platform::ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (n INTEGER)", &error));
  ASSERT_TRUE(store->executeSQL("CREATE TABLE u (n INTEGER)", &error));
  const auto insert = [&](const char* table, int n) {
    return store->upsertRecord({{Value("n"), Value(n)}}, table, nullptr);
  };
  ASSERT_TRUE(insert("t", 1) && insert("t", 2) && insert("u", 1));

  struct Case {
    const char* what;
    std::function<void()> act;
    bool moves;
  } cases[] = {
      {"a row inserted into another table", [&] { insert("u", 5); }, false},
      {"a row of another table updated",
       [&] {
         store->updateRecord({{Value("n"), Value(6)}}, "u", "n", Value(5), nullptr);
       },
       false},
      {"a read", [&] { store->rowCountForTableWithName("t", nullptr); }, false},
      {"a transaction writing another table",
       [&] { store->performTransactionWithError(nullptr, [&] { return insert("u", 7); }); }, false},
      {"a delete that matches nothing",
       [&] { store->deleteRecordFromTableWithName("t", "n", Value(99), nullptr); }, false},
      {"a row inserted", [&] { insert("t", 3); }, true},
      {"a row updated",
       [&] {
         store->updateRecord({{Value("n"), Value(4)}}, "t", "n", Value(3), nullptr);
       },
       true},
      {"a row deleted", [&] { store->deleteRecordFromTableWithName("t", "n", Value(4), nullptr); },
       true},
      {"a rolled back transaction of another table",
       [&] {
         store->performTransactionWithError(nullptr, [&] { return insert("u", 8) && false; });
       },
       true},
      {"a statement run as it is", [&] { store->executeSQL("ALTER TABLE u ADD x", nullptr); },
       true},
      {"the table emptied", [&] { store->deleteAllRecordsFromTableWithName("t", nullptr); }, true},
      {"an empty table emptied", [&] { store->deleteAllRecordsFromTableWithName("t", nullptr); },
       false},
  };
  for (const auto& c : cases) {
    const auto before = store->tableGeneration("t");
    c.act();
    EXPECT_EQ(store->tableGeneration("t") != before, c.moves) << c.what;
  }
  {
    SCOPED_TRACE("another connection's commit is seen inside the next transaction");
    const auto before = store->tableGeneration("u");
    {
      RawConnection raw(path());
      ASSERT_EQ(raw.exec("INSERT INTO u (n) VALUES (42)"), SQLITE_OK);
    }
    std::uint64_t inside = before;
    ASSERT_TRUE(store->performTransactionWithError(&error, [&] {
      inside = store->tableGeneration("u");
      return true;
    }));
    EXPECT_NE(inside, before);
    const auto settled = store->tableGeneration("u");
    ASSERT_TRUE(store->performTransactionWithError(&error, [&] {
      inside = store->tableGeneration("u");
      return true;
    }));
    EXPECT_EQ(inside, settled);
  }
  // Rows a statement on the connection itself changes without naming them one by one (a whole
  // table emptied at once) still move the generation.
  ASSERT_TRUE(insert("t", 10));
  const auto before = store->tableGeneration("t");
  ASSERT_EQ(sqlite3_exec(store->sqliteHandle(), "DELETE FROM t", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
  EXPECT_NE(store->tableGeneration("t"), before);
}

}  // namespace
