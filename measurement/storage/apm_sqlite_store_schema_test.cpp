#include <sqlite3.h>

#include "measurement/storage/apm_sqlite_store.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"

namespace {

using platform::Value;

class APMSqliteStoreSchemaTest : public apm_testing::StorageTest {
 protected:
  void SetUp() override {
    fastDisk_.skipSync = true;
    platform::ErrorPtr error;
    store_ = APMSqliteStore::initWithDatabasePath(scratch_ / "schema.sql", &error);
    ASSERT_TRUE(store_);
  }
  std::string createStatement(const std::string& table) {
    platform::ErrorPtr error;
    auto rows = store_->recordsForQuery("SELECT sql FROM sqlite_master WHERE name = ?",
                                        {Value(table)}, &error);
    if (!rows || rows->empty()) return {};
    return rows->front().at(Value("sql")).asString();
  }
  bool run(const std::string& sql) { return store_->executeSQL(sql, nullptr); }

  apm_testing::SqliteFaultVfs fastDisk_;
  std::shared_ptr<APMSqliteStore> store_;
};

const APMColumnList kElementary = {{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}};
const APMColumnList kAddOn = {{"zeta", "INTEGER"}, {"alpha", "BLOB"}};
const APMModifyColumnMap kModify = {{"timestamp", "REAL NOT NULL"}};

TEST_F(APMSqliteStoreSchemaTest, ANewTableIsCreatedWithItsAddOnColumnsLastInListedOrder) {
  platform::ErrorPtr error;
  const APMColumnList keyed = {
      {"a", "INTEGER NOT NULL"}, {"b", "INTEGER NOT NULL"}, {APMPrimaryKeyTag, "(a, b)"}};
  ASSERT_TRUE(store_->ensureTableWithName("k", keyed, kAddOn, {}, &error));
  EXPECT_EQ(createStatement("k"),
            "CREATE TABLE k ( a INTEGER NOT NULL, b INTEGER NOT NULL, zeta INTEGER, alpha BLOB, "
            "PRIMARY KEY (a, b))");
  // Ensuring again changes nothing.
  ASSERT_TRUE(store_->ensureTableWithName("k", keyed, kAddOn, {}, &error));
  EXPECT_EQ(store_->columnsForTableWithName("k", &error),
            (std::vector<std::string>{"a", "b", "zeta", "alpha"}));
}

TEST_F(APMSqliteStoreSchemaTest, ColumnsOfANewerVersion) {
  struct Case {
    const char* name;
    const char* create;
    bool fits;
    const char* description;
  };
  const Case cases[] = {
      {"extra nullable column stays",
       "CREATE TABLE t (name TEXT NOT NULL, timestamp REAL NOT "
       "NULL, extra TEXT)",
       true, ""},
      {"extra NOT NULL column",
       "CREATE TABLE t (name TEXT NOT NULL, timestamp REAL NOT NULL, "
       "extra TEXT NOT NULL DEFAULT 'x')",
       false, "Table contains unknown non-optional columns"},
      {"required column missing", "CREATE TABLE t (name TEXT NOT NULL, other REAL)", false,
       "Table is missing required columns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(run("DROP TABLE IF EXISTS t"));
    ASSERT_TRUE(run(c.create));
    ASSERT_TRUE(run("INSERT INTO t (name, timestamp) VALUES ('kept', 1)") || !c.fits);
    platform::ErrorPtr error;
    EXPECT_EQ(store_->ensureTableWithName("t", kElementary, kAddOn, kModify, &error), c.fits);
    if (c.fits) {
      EXPECT_EQ(store_->columnsForTableWithName("t", &error),
                (std::vector<std::string>{"name", "timestamp", "extra", "zeta", "alpha"}));
      EXPECT_EQ(store_->rowCountForTableWithName("t", &error), 1);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, 2);
      EXPECT_EQ(error->localizedDescription(), c.description);
    }
  }
}

TEST_F(APMSqliteStoreSchemaTest, AChangedTypeRebuildsTheTableAndKeepsItsRowsByName) {
  // Columns in another order than the lists give them, and a type written in lower case.
  ASSERT_TRUE(run("CREATE TABLE t (timestamp integer NOT NULL, name TEXT NOT NULL)"));
  ASSERT_TRUE(run("INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c')"));
  platform::ErrorPtr error;
  ASSERT_TRUE(store_->ensureTableWithName("t", kElementary, kAddOn, kModify, &error))
      << (error ? error->localizedDescription() : "");
  EXPECT_EQ(createStatement("t"),
            "CREATE TABLE t ( name TEXT NOT NULL, timestamp REAL NOT NULL, zeta INTEGER, alpha "
            "BLOB)");
  auto rows = store_->recordsForQuery(
      "SELECT name, typeof(timestamp) AS type, timestamp, zeta FROM t ORDER BY name", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ(rows->at(2).at(Value("name")), Value("c"));
  EXPECT_EQ(rows->at(2).at(Value("type")), Value("real"));
  EXPECT_EQ(rows->at(2).at(Value("timestamp")), Value(3.0));
  EXPECT_TRUE(rows->at(2).at(Value("zeta")).isNull());
  EXPECT_EQ(store_->tableExists("t_old", &error), false);
}

TEST_F(APMSqliteStoreSchemaTest, AFailedRebuildLeavesTheOldTableAsItWas) {
  // A NULL name cannot go into the rebuilt table's NOT NULL column: the copy fails.
  ASSERT_TRUE(run("CREATE TABLE t (name TEXT, timestamp INTEGER NOT NULL)"));
  ASSERT_TRUE(run("INSERT INTO t VALUES (NULL, 1)"));
  platform::ErrorPtr error;
  EXPECT_FALSE(store_->ensureTableWithName("t", kElementary, {}, kModify, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
  EXPECT_EQ(createStatement("t"), "CREATE TABLE t (name TEXT, timestamp INTEGER NOT NULL)");
  EXPECT_EQ(store_->tableExists("t_old", &error), false);
  EXPECT_EQ(store_->rowCountForTableWithName("t", &error), 1);
}

TEST_F(APMSqliteStoreSchemaTest, TableStatements) {
  platform::ErrorPtr error;
  ASSERT_TRUE(run("CREATE TABLE t (a INTEGER, b TEXT)"));
  ASSERT_TRUE(run("INSERT INTO t VALUES (1, 'x')"));
  ASSERT_TRUE(store_->createEmptyTable("s", "t", &error));
  EXPECT_EQ(store_->rowCountForTableWithName("s", &error), 0);
  ASSERT_TRUE(store_->copyContentsFromTable("t", "s", &error));
  EXPECT_EQ(store_->rowCountForTableWithName("s", &error), 1);
  ASSERT_TRUE(store_->renameTable("s", "u", &error));
  EXPECT_EQ(store_->columnInfoForTableWithName("u", &error),
            (std::map<std::string, std::string>{{"a", "INT"}, {"b", "TEXT"}}));
  ASSERT_TRUE(store_->dropTableWithName("u", &error));
  EXPECT_EQ(store_->tableExists("u", &error), false);
  EXPECT_EQ(store_->columnsForTableWithName("u", &error), std::vector<std::string>{});
  EXPECT_EQ(APMCorrectedColumnInfo(kElementary, kModify),
            (APMColumnList{{"name", "TEXT NOT NULL"}, {"timestamp", "REAL NOT NULL"}}));
}

}  // namespace
