// Facts about this process: its launch arguments, its environment, and the operating-system
// version the host presents (LUMORA_OS_VERSION, default "14.0", so both sides of every version
// rule can be exercised). Stands in for the platform's process information object.
//
// One shared instance; thread-safe. The environment is the snapshot taken at start-up
// (environment.h); tests change LUMORA_OS_VERSION with ScopedEnvironmentForTesting.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct OperatingSystemVersion {
  long majorVersion = 0;
  long minorVersion = 0;
  long patchVersion = 0;
  friend auto operator<=>(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

class ProcessInfo {
 public:
  static ProcessInfo& processInfo();

  // The launch arguments, program name first. Read from the kernel's record of the command
  // line until setArguments replaces them (the entry point passes argv; tests script them).
  std::vector<std::string> arguments() const;
  void setArguments(std::vector<std::string> arguments);

  std::map<std::string, std::string> environment() const;
  std::optional<std::string> environmentValue(const std::string& name) const;

  // From LUMORA_OS_VERSION ("major[.minor[.patch]]", non-negative decimal numbers); "14.0"
  // when it is unset or malformed.
  OperatingSystemVersion operatingSystemVersion() const;
  // "%ld.%ld", followed by ".%ld" only when the patch number is not 0.
  std::string operatingSystemVersionString() const;
  bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;

  static std::optional<OperatingSystemVersion> parseVersion(const std::string& text);
  static std::string versionString(const OperatingSystemVersion& version);

 private:
  ProcessInfo() = default;
};

inline constexpr const char* kOperatingSystemVersionVariable = "LUMORA_OS_VERSION";

}  // namespace platform
