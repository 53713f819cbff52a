#include "zevevidi/utilities/gul_app_environment_util.h"

#include <sys/utsname.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"

namespace {

// The kernel value behind a dotted name. Linux publishes its tunables under /proc/sys with the
// dots turned into slashes; the hardware model, which has no tunable there, is the firmware's
// product name.
std::string pathForEntry(const std::string& name) {
  if (name == "hw.model") return "/sys/class/dmi/id/product_name";
  std::string path = "/proc/sys/";
  for (char c : name) {
    if (c == '/') return {};  // a name, not a path
    path += (c == '.') ? '/' : c;
  }
  return path;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

bool IsAppEncrypted() {
  // Store builds on the original platform carry an encryption record in the executable's load
  // commands. Executables here are ELF images, which have no such record, so no executable of
  // this platform is an encrypted store build.
  return false;
}

namespace {
// -1: no override; 0 / 1: the answer tests asked for.
std::atomic<int> sFromAppStoreOverride{-1};
}  // namespace

void GULAppEnvironmentUtil::setFromAppStoreForTesting(std::optional<bool> answer) {
  sFromAppStoreOverride = answer ? (*answer ? 1 : 0) : -1;
}

std::optional<bool> GULAppEnvironmentUtil::fromAppStoreOverrideForTesting() {
  const int forced = sFromAppStoreOverride.load();
  if (forced < 0) return std::nullopt;
  return forced == 1;
}

bool GULAppEnvironmentUtil::isFromAppStore() {
  if (const int forced = sFromAppStoreOverride.load(); forced >= 0) return forced == 1;
  static const bool encrypted = IsAppEncrypted();
  return !isSimulator() && !isAppStoreReceiptSandbox() && encrypted;
}

std::optional<std::string> GULAppEnvironmentUtil::getSysctlEntry(const char* name) {
  if (!name || !*name) return std::nullopt;
  const std::string path = pathForEntry(name);
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string value = trimmed(buffer.str());
  if (value.empty()) return std::nullopt;
  return value;
}

bool GULAppEnvironmentUtil::isAppStoreReceiptSandbox() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const platform::Value check = bundle->objectForInfoDictionaryKey(kReceiptURLCheckEnabledKey);
  double enabled = 1;
  if (check.toDouble(&enabled) && enabled == 0) return false;
  return std::filesystem::path(bundle->appStoreReceiptURL()).filename() == "sandboxReceipt";
}

std::string GULAppEnvironmentUtil::deviceModel() {
  static const std::string model = [] {
    auto entry = getSysctlEntry("hw.model");
    if (entry && !entry->empty()) return *entry;
    struct utsname names {};
    if (::uname(&names) == 0) return std::string(names.machine);
    return std::string();
  }();
  return model;
}

std::string GULAppEnvironmentUtil::deviceSimulatorModel() {
  static const std::string model = getSysctlEntry("hw.model").value_or("");
  return model;
}

std::string GULAppEnvironmentUtil::systemVersion() {
  return platform::ProcessInfo::versionString(
      platform::ProcessInfo::processInfo().operatingSystemVersion());
}
