// A test's own connection to a database file, opened as the sqlite3 CLI would open it, so tests
// can prepare and inspect files beside the code under test. Test-only; not thread-safe.
#pragma once

#include <sqlite3.h>

#include <string>

namespace apm_testing {

class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  }
  ~RawConnection() { sqlite3_close_v2(db_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }

  // Rows as the sqlite3 CLI prints them: "|" between columns, "\n" between rows, NULL as "";
  // "(error)" when the statement does not prepare.
  std::string rows(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return "(error)";
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!out.empty()) out += "\n";
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i) out += "|";
        const unsigned char* text = sqlite3_column_text(st, i);
        if (text) out += reinterpret_cast<const char*>(text);
      }
    }
    sqlite3_finalize(st);
    return out;
  }

  // The first row's first column as text ("" when there is none).
  std::string firstText(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)) {
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace apm_testing
