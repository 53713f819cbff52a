// Test helpers of the foundation tests: a scratch folder removed at the end of the test, and an
// environment variable set (or unset) for the life of a scope. Test-only; not thread-safe.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

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

class ScopedEnvForTesting {
 public:
  ScopedEnvForTesting(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnvForTesting() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnvForTesting(const ScopedEnvForTesting&) = delete;
  ScopedEnvForTesting& operator=(const ScopedEnvForTesting&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace platform
