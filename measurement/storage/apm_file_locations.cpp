#include "measurement/storage/apm_file_locations.h"

#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/preferences.h"

namespace {

constexpr std::string_view kPlistExtension = ".plist";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string applicationSupportPath() {
  std::string path = platform::FileManager::defaultManager().pathForDirectory(
      platform::SearchPathDirectory::ApplicationSupport);
  if (path.empty()) {
    APMProcessMonitor()->logWithLevel(2, 19001,
                                      "NSSearchPath for ApplicationSupport directory is empty");
  }
  return path;
}

std::string measurementPath(std::string_view fileName) {
  const std::string root = applicationSupportPath();
  if (root.empty()) return {};
  return platform::joinPath(platform::joinPath(root, ZEVOveverizuruApplicationSupportSubdirectory),
                            fileName);
}

}  // namespace

std::string APMFilePathForDatabaseName(std::string_view name) {
  if (name.empty()) return {};
  return measurementPath(name);
}

std::string APMFilePathForPersistentDictionaryName(std::string_view name) {
  if (name.empty()) return {};
  std::string fileName(name);
  if (!endsWith(fileName, kPlistExtension)) fileName.append(kPlistExtension);
  return measurementPath(fileName);
}

std::string APMFilePathForPreferencesName(std::string_view name) {
  if (name.empty()) return {};
  const std::string library = platform::FileManager::defaultManager().pathForDirectory(
      platform::SearchPathDirectory::Library);
  if (library.empty()) {
    APMProcessMonitor()->logWithLevel(2, 19000, "NSSearchPath for Library directory is empty");
    return {};
  }
  return platform::joinPath(platform::joinPath(library, "Preferences"),
                            std::string(name) + std::string(kPlistExtension));
}

bool APMExcludeFilePathFromBackup(const std::string& path, platform::ErrorPtr* error) {
  return platform::FileManager::defaultManager().setExcludedFromBackup(path, true, error);
}

bool APMDeleteFile(const std::string& path, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(path.size(), error, 1, "Received empty path for deleting file")) {
    return false;
  }
  return platform::FileManager::defaultManager().removeItem(path, error);
}

bool APMCreateDirectory(const std::string& path, platform::ErrorPtr* error) {
  auto& files = platform::FileManager::defaultManager();
  bool isDirectory = false;
  if (files.fileExists(path, &isDirectory) && isDirectory) return true;
  return files.createDirectory(path, true, error);
}

std::string APMParentDirectory(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool APMMigrateUserDefaultsToPersistentDictionary(std::string_view suiteName) {
  if (suiteName.empty()) return false;
  const std::string oldPath = APMFilePathForPreferencesName(suiteName);
  const std::string newPath = APMFilePathForPersistentDictionaryName(suiteName);
  if (oldPath.empty() || newPath.empty()) return false;

  auto& files = platform::FileManager::defaultManager();
  // The preferences store must not write back what it still holds for the suite.
  const auto forgetSuite = [&] { platform::Preferences::forgetDomain(suiteName); };
  bool oldIsDirectory = false;
  if (!files.fileExists(oldPath, &oldIsDirectory)) {
    forgetSuite();
    return true;
  }
  if (oldIsDirectory) return false;

  bool newIsDirectory = false;
  if (files.fileExists(newPath, &newIsDirectory)) {
    if (newIsDirectory || !APMDeleteFile(oldPath, nullptr)) return false;
    forgetSuite();
    return true;
  }
  if (!APMCreateDirectory(APMParentDirectory(newPath), nullptr)) return false;
  if (!files.moveItem(oldPath, newPath)) return false;
  forgetSuite();
  return true;
}
