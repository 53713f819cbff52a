// Schema upkeep of APMSqliteStore: make a table fit its column lists at every open (create it,
// add the columns later versions introduced, accept nullable columns a newer version added,
// rebuild it where a declared type changed), and the table statements the rebuild uses.
#include <sqlite3.h>

#include <set>

#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_sqlite_store.h"

namespace {

std::string firstWord(const std::string& text) {
  return text.substr(0, text.find(' '));
}

}  // namespace

bool APMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const APMColumnList& elementaryColumnInfo,
                                         const APMColumnList& addOnColumnInfo,
                                         const APMModifyColumnMap& modifyColumnInfo,
                                         platform::ErrorPtr* error) {
  if (!ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;
  return ensureSchemaOfTableWithName(
      tableName, APMCorrectedColumnInfo(elementaryColumnInfo, modifyColumnInfo),
      APMCorrectedColumnInfo(addOnColumnInfo, modifyColumnInfo), error);
}

bool APMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const APMColumnList& elementaryColumnInfo,
                                         const APMColumnList& addOnColumnInfo,
                                         platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for ensure table") ||
      !APMAssertNotZero(elementaryColumnInfo.size(), error, 1,
                        "Received empty elementary column info for ensure table")) {
    return false;
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + tableName + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementaryColumnInfo) {
    create += name + " " + type + ", ";
    if (name != APMPrimaryKeyTag) required.push_back(name);
  }
  create.resize(create.size() - 2);
  create += ");";
  APMAddOnStatementList addOns;
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty()) continue;
    addOns.emplace_back(name, "ALTER TABLE " + tableName + " ADD COLUMN " + name + " " + type);
  }
  return ensureTableWithName(tableName, create, required, addOns, error);
}

bool APMSqliteStore::ensureTableWithName(const std::string& tableName, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const APMAddOnStatementList& addOnColumns,
                                         platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for ensure table") ||
      !APMAssertNotZero(requiredColumnNames.size(), error, 1,
                        "Received no table columns for ensure table") ||
      !APMAssertNotZero(createSQL.size(), error, 1,
                        "Received empty create statement for ensure table") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Ensure table failed. Database not open.")) {
    return false;
  }
  const auto exists = tableExists(tableName, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  const auto valid = validateTableWithName(tableName, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> APMSqliteStore::validateTableWithName(
    const std::string& tableName, const std::vector<std::string>& requiredColumnNames,
    const APMAddOnStatementList& addOnColumns, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for validate table") ||
      !APMAssertNotZero(requiredColumnNames.size(), error, 1,
                        "Received no table columns for validate table") ||
      !APMAssertNotNull(sqliteHandle(), error, 2, "Validate table failed. Database not open.")) {
    return std::nullopt;
  }
  const auto columns = columnsForTableWithName(tableName, error);
  if (!columns) return std::nullopt;
  std::set<std::string> remaining(columns->begin(), columns->end());
  for (const auto& name : requiredColumnNames) {
    if (!remaining.count(name)) {
      APMSetError(error, 2, "Table is missing required columns");
      return false;
    }
  }
  for (const auto& name : requiredColumnNames)
    remaining.erase(name);
  // In the order the columns were introduced, so a table's columns always stand in one order.
  for (const auto& [name, statement] : addOnColumns) {
    if (remaining.erase(name)) continue;
    if (!executeSQL(statement, error)) return false;
  }
  if (remaining.empty()) return true;

  // Columns this version does not know: a newer version's nullable ones are left alone.
  const std::string sql = "PRAGMA table_info(" + tableName + ")";
  sqlite3_stmt* statement = statementForQuery(sql, error);
  if (!statement) return std::nullopt;
  bool unknownRequired = false;
  int code;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    if (name && remaining.count(reinterpret_cast<const char*>(name)) &&
        sqlite3_column_int64(statement, 3) != 0) {
      unknownRequired = true;
    }
  }
  cleanUpStatement(statement, sql);
  if (code != SQLITE_DONE) {
    setDatabaseError(error, "table info", code);
    return std::nullopt;
  }
  if (unknownRequired) {
    APMSetError(error, 2, "Table contains unknown non-optional columns");
    return false;
  }
  return true;
}

bool APMSqliteStore::ensureSchemaOfTableWithName(const std::string& tableName,
                                                 const APMColumnList& elementaryColumnInfo,
                                                 const APMColumnList& addOnColumnInfo,
                                                 platform::ErrorPtr* error) {
  checkSequence();
  if (!APMAssertNotZero(tableName.size(), error, 1,
                        "Received empty table name for ensure table schema") ||
      !APMAssertNotZero(elementaryColumnInfo.size(), error, 1,
                        "Received empty column info for ensure table schema")) {
    return false;
  }
  const auto actual = columnInfoForTableWithName(tableName, error);
  if (!actual) return false;
  if (!APMAssertNotZero(actual->size(), error, 2, "Table does not exist for ensure table schema")) {
    return false;
  }
  std::map<std::string, std::string> expected;
  for (const auto& [name, type] : elementaryColumnInfo) {
    if (name.empty() || type.empty() || name == APMPrimaryKeyTag) continue;
    expected[name] = firstWord(type);
  }
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty() || type.empty()) continue;
    expected[name] = type;
  }
  // Only the columns this version knows are compared: a newer version's extra nullable column
  // is no reason to rebuild (a rebuild keeps only the columns both tables share).
  bool fits = true;
  for (const auto& [name, type] : expected) {
    const auto found = actual->find(name);
    if (found == actual->end() || found->second != type) fits = false;
  }
  if (fits) return true;

  const std::string oldName = tableName + "_old";
  platform::ErrorPtr stepError;
  platform::ErrorPtr transactionError;
  const bool rebuilt = performTransactionWithError(&transactionError, [&] {
    if (!renameTable(tableName, oldName, &stepError)) return false;
    if (!ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, &stepError)) {
      return false;
    }
    const auto newColumns = columnsForTableWithName(tableName, &stepError);
    const auto oldColumns = columnsForTableWithName(oldName, &stepError);
    if (!newColumns || !oldColumns) return false;
    const std::set<std::string> old(oldColumns->begin(), oldColumns->end());
    std::vector<std::string> shared;
    for (const auto& name : *newColumns) {
      if (old.count(name)) shared.push_back(name);
    }
    if (!copyContentsFromTable(oldName, tableName, &stepError, &shared)) return false;
    return dropTableWithName(oldName, &stepError);
  });
  if (!rebuilt && error) *error = stepError ? stepError : transactionError;
  return rebuilt;
}

bool APMSqliteStore::renameTable(const std::string& oldName, const std::string& toName,
                                 platform::ErrorPtr* error) {
  if (!APMAssertNotZero(oldName.size(), error, 1, "Received empty old name for rename table") ||
      !APMAssertNotZero(toName.size(), error, 1, "Received empty new name for rename table") ||
      !APMAssertTrue(oldName != toName, error, 1, "Received duplicate name for rename table")) {
    return false;
  }
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + toName, error);
}

bool APMSqliteStore::copyContentsFromTable(const std::string& source, const std::string& toTable,
                                           platform::ErrorPtr* error,
                                           const std::vector<std::string>* columns) {
  if (!APMAssertNotZero(source.size(), error, 1, "Received empty source name for copy table") ||
      !APMAssertNotZero(toTable.size(), error, 1,
                        "Received empty destination name for copy table") ||
      !APMAssertTrue(source != toTable, error, 1, "Received duplicate name for copy table")) {
    return false;
  }
  if (!columns) return executeSQL("INSERT INTO " + toTable + " SELECT * FROM " + source, error);
  // By name: the two tables need not hold their columns in the same order.
  if (columns->empty()) return true;
  std::string list;
  for (const auto& name : *columns)
    list += (list.empty() ? "" : ", ") + name;
  return executeSQL("INSERT INTO " + toTable + " (" + list + ") SELECT " + list + " FROM " + source,
                    error);
}

bool APMSqliteStore::createEmptyTable(const std::string& destination, const std::string& fromTable,
                                      platform::ErrorPtr* error) {
  if (!APMAssertNotZero(fromTable.size(), error, 1,
                        "Received empty source name for create empty copy") ||
      !APMAssertNotZero(destination.size(), error, 1,
                        "Received empty destination name for create empty copy") ||
      !APMAssertTrue(fromTable != destination, error, 1,
                     "Received duplicate name for create empty copy")) {
    return false;
  }
  return executeSQL("CREATE TABLE IF NOT EXISTS " + destination + " AS SELECT * FROM " + fromTable +
                        " WHERE false",
                    error);
}

bool APMSqliteStore::dropTableWithName(const std::string& tableName, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(tableName.size(), error, 1, "Received empty table name for drop table")) {
    return false;
  }
  return executeSQL("DROP TABLE " + tableName, error);
}
