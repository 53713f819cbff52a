// Test helper of the foundation tests: a scratch folder removed at the end of the test. Tests
// that change the environment the code sees use ScopedEnvironmentForTesting (included here).
// Test-only; not thread-safe.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/foundation/environment.h"

namespace platform {

class ScratchDirForTesting {
 public:
  ScratchDirForTesting() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDirForTesting() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDirForTesting(const ScratchDirForTesting&) = delete;
  ScratchDirForTesting& operator=(const ScratchDirForTesting&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace platform
