#include "platform/foundation/bundle.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/foundation/environment.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"

namespace platform {

namespace {

// The main bundle and its lock are never destroyed: queue threads may still read the bundle
// (a request being built as the process ends) while exit handlers run.
std::mutex& mainMutex() {
  static std::mutex* const m = new std::mutex();
  return *m;
}

std::shared_ptr<const Bundle>& mainSlot() {
  static auto* const slot = new std::shared_ptr<const Bundle>();
  return *slot;
}

std::string executableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

bool safeComponent(std::string_view part) {
  std::size_t start = 0;
  while (start <= part.size()) {
    std::size_t end = part.find('/', start);
    if (end == std::string_view::npos) end = part.size();
    if (part.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return part.empty() || part[0] != '/';
}

std::shared_ptr<const Bundle> loadMain() {
  if (auto env = Environment::current()->nonEmpty("LUMORA_BUNDLE")) {
    if (auto b = Bundle::bundleWithPath(*env)) return b;
  }
  std::string folder = executableFolder();
  if (!folder.empty()) {
    if (auto b = Bundle::bundleWithPath(joinPath(folder, kDefaultBundleFolderName))) return b;
  }
  ValueMap info;
  info[Value("CFBundleIdentifier")] = kDefaultBundleIdentifier;
  return Bundle::inMemory(folder, std::move(info));
}

}  // namespace

std::shared_ptr<const Bundle> Bundle::main() {
  std::lock_guard lock(mainMutex());
  if (!mainSlot()) mainSlot() = loadMain();
  return mainSlot();
}

void Bundle::setMainForTesting(std::shared_ptr<const Bundle> bundle) {
  std::lock_guard lock(mainMutex());
  mainSlot() = std::move(bundle);
}

std::shared_ptr<const Bundle> Bundle::bundleWithPath(const std::string& path) {
  bool isDir = false;
  if (!FileManager::defaultManager().fileExists(path, &isDir) || !isDir) return nullptr;
  ValueMap info;
  auto plist = readPropertyListFile(joinPath(path, "Info.plist"));
  if (plist && plist->isMap()) info = plist->asMap();
  return std::make_shared<const Bundle>(path, std::move(info));
}

std::shared_ptr<const Bundle> Bundle::inMemory(std::string path, ValueMap infoDictionary) {
  return std::make_shared<const Bundle>(std::move(path), std::move(infoDictionary));
}

std::string Bundle::resourcePath() const {
  return joinPath(path_, "Resources");
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  auto it = info_.find(Value(key));
  return it == info_.end() ? Value() : it->second;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  auto v = objectForInfoDictionaryKey("CFBundleIdentifier");
  if (v.isString() && !v.asString().empty()) return v.asString();
  return std::nullopt;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
  if (name.empty() || !safeComponent(name) || !safeComponent(type) ||
      !safeComponent(subdirectory) || type.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  std::string file(name);
  if (!type.empty()) {
    if (type.front() != '.') file += '.';
    file += type;
  }
  std::string path = joinPath(joinPath(resourcePath(), subdirectory), file);
  bool isDir = false;
  if (!FileManager::defaultManager().fileExists(path, &isDir) || isDir) return std::nullopt;
  return path;
}

std::vector<std::string> Bundle::urlSchemes() const {
  std::vector<std::string> out;
  auto types = objectForInfoDictionaryKey("CFBundleURLTypes");
  if (!types.isList()) return out;
  for (const Value& type : types.asList()) {
    const Value* schemes = type.find("CFBundleURLSchemes");
    if (!schemes || !schemes->isList()) continue;
    for (const Value& s : schemes->asList()) {
      if (s.isString() && !s.asString().empty()) out.push_back(s.asString());
    }
  }
  return out;
}

std::string Bundle::appStoreReceiptURL() const {
  const std::filesystem::path folder = std::filesystem::path(path_) / "Receipt";
  std::error_code ec;
  if (std::filesystem::exists(folder / "sandboxReceipt", ec)) return folder / "sandboxReceipt";
  return folder / "receipt";
}

}  // namespace platform
