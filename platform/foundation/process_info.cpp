#include "platform/foundation/process_info.h"

#include <cerrno>
#include <climits>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/foundation/environment.h"

namespace platform {
namespace {

struct Arguments {
  std::mutex mutex;
  bool set = false;
  std::vector<std::string> values;
};
Arguments& argumentState() {
  static Arguments* a = new Arguments;
  return *a;
}

std::vector<std::string> kernelCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\0') {
      out.push_back(raw.substr(start, i - start));
      start = i + 1;
    }
  }
  if (start < raw.size()) out.push_back(raw.substr(start));
  return out;
}

const OperatingSystemVersion kDefaultVersion{14, 0, 0};

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  static ProcessInfo* info = new ProcessInfo;
  return *info;
}

std::vector<std::string> ProcessInfo::arguments() const {
  Arguments& a = argumentState();
  std::lock_guard<std::mutex> guard(a.mutex);
  if (!a.set) {
    a.values = kernelCommandLine();
    a.set = true;
  }
  return a.values;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  Arguments& a = argumentState();
  std::lock_guard<std::mutex> guard(a.mutex);
  a.values = std::move(arguments);
  a.set = true;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
  const auto& variables = Environment::current()->variables();
  return std::map<std::string, std::string>(variables.begin(), variables.end());
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) const {
  return Environment::current()->value(name);
}

std::optional<OperatingSystemVersion> ProcessInfo::parseVersion(const std::string& text) {
  long parts[3] = {0, 0, 0};
  int count = 0;
  std::size_t i = 0;
  while (true) {
    if (count == 3 || i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value > (LONG_MAX - (text[i] - '0')) / 10) return std::nullopt;  // would overflow
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    parts[count++] = value;
    if (i == text.size()) break;
    if (text[i] != '.') return std::nullopt;
    ++i;
  }
  return OperatingSystemVersion{parts[0], parts[1], parts[2]};
}

std::string ProcessInfo::versionString(const OperatingSystemVersion& v) {
  std::string out = std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
  if (v.patchVersion != 0) {
    out += '.';
    out += std::to_string(v.patchVersion);
  }
  return out;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  const auto text = environmentValue(kOperatingSystemVersionVariable);
  if (!text) return kDefaultVersion;
  return parseVersion(*text).value_or(kDefaultVersion);
}

std::string ProcessInfo::operatingSystemVersionString() const {
  return versionString(operatingSystemVersion());
}

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const {
  return operatingSystemVersion() >= version;
}

}  // namespace platform
