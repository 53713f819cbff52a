// Stands in for the platform's application bundle: a folder holding "Info.plist" (the
// information property list) and "Resources/".
//
// The main bundle is, in order: the folder named by LUMORA_BUNDLE; the default bundle copied
// beside the executable at build time ("Lumora.bundle" next to /proc/self/exe, see
// lumora_copy_default_bundle in this folder's CMakeLists.txt); else an empty bundle whose only
// information is the built-in identifier kDefaultBundleIdentifier and whose path is the
// executable's folder. A bundle whose Info.plist is missing or damaged reads as an empty
// information dictionary. Bundles are immutable once loaded and safe to share across threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/value.h"

namespace platform {

inline constexpr const char* kDefaultBundleIdentifier = "com.lumora.host";
inline constexpr const char* kDefaultBundleFolderName = "Lumora.bundle";

class Bundle {
 public:
  // The process's main bundle, loaded once on first use.
  static std::shared_ptr<const Bundle> main();
  // Replaces the main bundle (null restores the default lookup on the next main()).
  static void setMainForTesting(std::shared_ptr<const Bundle> bundle);
  // A bundle at a folder; null when the folder does not exist.
  static std::shared_ptr<const Bundle> bundleWithPath(const std::string& path);
  // A bundle that exists only in memory (tests, and the built-in fallback).
  static std::shared_ptr<const Bundle> inMemory(std::string path, ValueMap infoDictionary);

  const std::string& bundlePath() const { return path_; }
  std::string resourcePath() const;
  const ValueMap& infoDictionary() const { return info_; }
  // The information value under `key`, or a null Value.
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // "CFBundleIdentifier", when it is a non-empty string.
  std::optional<std::string> bundleIdentifier() const;
  // Resources/<name>.<type> (or <name> alone for an empty type), optionally in a subfolder,
  // when that file exists. Names that climb out of the bundle ("..") are refused.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                             std::string_view subdirectory = {}) const;
  // Where the store receipt of this bundle lives: Receipt/sandboxReceipt when that exists (a
  // sandbox purchase environment), else Receipt/receipt, which need not exist.
  std::string appStoreReceiptURL() const;
  // Every scheme listed under CFBundleURLTypes / CFBundleURLSchemes, in order.
  std::vector<std::string> urlSchemes() const;

  Bundle(std::string path, ValueMap info) : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::string path_;
  ValueMap info_;
};

}  // namespace platform
