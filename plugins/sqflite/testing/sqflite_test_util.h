// Helpers shared by the SQLite plugin's tests: a temporary directory removed at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace sqflite::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sqflite-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace sqflite::testing
