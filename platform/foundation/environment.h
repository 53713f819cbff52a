// The process environment as it was at start-up: one snapshot of the variables and of the
// user's home directory, taken on first use (the entry point asks for it before any thread
// starts). Code on pool threads reads the snapshot, never the live environment, so no getenv
// or password-database lookup runs per call and nothing races with a change of the
// environment.
//
// Tests change what the process sees with ScopedEnvironmentForTesting, which installs a copy
// with some variables set or removed and restores the previous snapshot when it ends (the
// live environment is never touched). Snapshots are immutable; current() is thread-safe.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

class Environment {
 public:
  // The snapshot in force: the one taken at start-up unless a test installed another.
  static std::shared_ptr<const Environment> current();
  // Reads the live environment and the password database now.
  static std::shared_ptr<const Environment> capture();

  Environment(std::map<std::string, std::string, std::less<>> variables, std::string passwordHome);

  // A variable's value; nullopt when it is unset. `nonEmpty` also treats "" as unset.
  std::optional<std::string> value(std::string_view name) const;
  std::optional<std::string> nonEmpty(std::string_view name) const;
  const std::map<std::string, std::string, std::less<>>& variables() const { return variables_; }
  // $HOME, else the user's entry in the password database; empty when neither is known.
  std::string homeDirectory() const;

  // A copy with `name` set to `value`, or removed when there is none.
  std::shared_ptr<const Environment> with(std::string_view name,
                                          const std::optional<std::string>& value) const;

 private:
  std::map<std::string, std::string, std::less<>> variables_;
  std::string passwordHome_;
};

// Installs the current snapshot with the given variables set (or removed, for nullopt) for the
// life of the scope. Not for concurrent use with other instances.
class ScopedEnvironmentForTesting {
 public:
  using Changes = std::initializer_list<std::pair<const char*, std::optional<std::string>>>;
  explicit ScopedEnvironmentForTesting(Changes changes);
  ScopedEnvironmentForTesting(const char* name, const std::optional<std::string>& value)
      : ScopedEnvironmentForTesting({{name, value}}) {}
  ~ScopedEnvironmentForTesting();
  ScopedEnvironmentForTesting(const ScopedEnvironmentForTesting&) = delete;
  ScopedEnvironmentForTesting& operator=(const ScopedEnvironmentForTesting&) = delete;

 private:
  std::shared_ptr<const Environment> previous_;
};

}  // namespace platform
