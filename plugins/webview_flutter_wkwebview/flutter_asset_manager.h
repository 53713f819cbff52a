// Turns the name of one of the application's assets into a file URL inside the main bundle:
// the engine's lookup key ("flutter_assets/<asset>") found among the bundle's resources, else
// that key taken relative to the bundle's folder. Stateless beyond its bundle; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/bundle.h"
#include "platform/foundation/url.h"

namespace webview {

class FlutterAssetManager {
 public:
  // Over the main bundle as it is when the manager is made.
  FlutterAssetManager();
  explicit FlutterAssetManager(std::shared_ptr<const platform::Bundle> bundle)
      : bundle_(std::move(bundle)) {}

  // The asset's file URL; none only when the key does not make a URL at all.
  std::optional<platform::URL> urlForAsset(const std::string& asset) const;
  static std::string lookupKeyForAsset(const std::string& asset);

  const std::shared_ptr<const platform::Bundle>& bundle() const { return bundle_; }

 private:
  std::shared_ptr<const platform::Bundle> bundle_;
};

}  // namespace webview
