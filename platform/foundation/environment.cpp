#include "platform/foundation/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

extern char** environ;

namespace platform {
namespace {

struct Slot {
  std::mutex mutex;
  std::shared_ptr<const Environment> snapshot;
};

Slot& slot() {
  static Slot* s = new Slot;
  return *s;
}

}  // namespace

std::shared_ptr<const Environment> Environment::capture() {
  std::map<std::string, std::string, std::less<>> variables;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    variables.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
  }
  std::string passwordHome;
  // The reentrant form: capture may run while another thread looks up users.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    passwordHome = found->pw_dir;
  }
  return std::make_shared<const Environment>(std::move(variables), std::move(passwordHome));
}

std::shared_ptr<const Environment> Environment::current() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.snapshot) s.snapshot = capture();
  return s.snapshot;
}

Environment::Environment(std::map<std::string, std::string, std::less<>> variables,
                         std::string passwordHome)
    : variables_(std::move(variables)), passwordHome_(std::move(passwordHome)) {}

std::optional<std::string> Environment::value(std::string_view name) const {
  auto it = variables_.find(name);
  if (it == variables_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Environment::nonEmpty(std::string_view name) const {
  auto v = value(name);
  if (v && v->empty()) return std::nullopt;
  return v;
}

std::string Environment::homeDirectory() const {
  return nonEmpty("HOME").value_or(passwordHome_);
}

std::shared_ptr<const Environment>
Environment::with(std::string_view name, const std::optional<std::string>& value) const {
  auto variables = variables_;
  if (value) {
    variables[std::string(name)] = *value;
  } else if (auto it = variables.find(name); it != variables.end()) {
    variables.erase(it);
  }
  return std::make_shared<const Environment>(std::move(variables), passwordHome_);
}

ScopedEnvironmentForTesting::ScopedEnvironmentForTesting(Changes changes) {
  auto next = Environment::current();
  for (const auto& [name, value] : changes)
    next = next->with(name, value);
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  previous_ = std::move(s.snapshot);
  s.snapshot = std::move(next);
}

ScopedEnvironmentForTesting::~ScopedEnvironmentForTesting() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  s.snapshot = std::move(previous_);
}

}  // namespace platform
