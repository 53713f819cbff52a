#include "plugins/webview_flutter_wkwebview/flutter_asset_manager.h"

#include "platform/engine/dart_project.h"

namespace webview {

FlutterAssetManager::FlutterAssetManager() : bundle_(platform::Bundle::main()) {}

std::string FlutterAssetManager::lookupKeyForAsset(const std::string& asset) {
  return flutter::DartProject::lookupKeyForAsset(asset);
}

std::optional<platform::URL> FlutterAssetManager::urlForAsset(const std::string& asset) const {
  const std::string key = lookupKeyForAsset(asset);
  // The key split into its name and extension, as the bundle lookup takes them.
  const auto slash = key.rfind('/');
  const auto dot = key.rfind('.');
  std::string name = key;
  std::string extension;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
    name = key.substr(0, dot);
    extension = key.substr(dot + 1);
  }
  if (bundle_) {
    if (auto path = bundle_->pathForResource(name, extension)) {
      if (auto url = platform::URL::fileURLWithPath(*path)) return url;
    }
  }
  const std::string folder = bundle_ ? bundle_->bundlePath() : std::string("/");
  auto base = platform::URL::fileURLWithPath(folder, true);
  if (!base) return std::nullopt;
  return platform::URL::parse(platform::URL::percentEncode(key, "/!$&'()*+,;=:@"), *base);
}

}  // namespace webview
