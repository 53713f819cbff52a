// What the video plugin needs of its registrar beyond the messenger and textures: the engine's
// view and asset lookup keys. Main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/view.h"
#include "platform/engine/plugin_registrar.h"

namespace video_player {

class FVPViewProvider {
 public:
  virtual ~FVPViewProvider() = default;
  // The engine's view; null without one.
  virtual platform::ViewPtr view() const = 0;
};

// The registrar's view (the registrar is held strongly).
class FVPDefaultViewProvider : public FVPViewProvider {
 public:
  explicit FVPDefaultViewProvider(flutter::PluginRegistrarPtr registrar)
      : registrar_(std::move(registrar)) {}
  platform::ViewPtr view() const override { return registrar_ ? registrar_->view() : nullptr; }

 private:
  flutter::PluginRegistrarPtr registrar_;
};

class FVPAssetProvider {
 public:
  virtual ~FVPAssetProvider() = default;
  virtual std::optional<std::string> lookupKeyForAsset(const std::string& asset) const = 0;
  virtual std::optional<std::string> lookupKeyForAsset(const std::string& asset,
                                                       const std::string& package) const = 0;
};

// Forwards to the registrar (held weakly); no key once the registrar is gone.
class DefaultAssetProvider : public FVPAssetProvider {
 public:
  explicit DefaultAssetProvider(const flutter::PluginRegistrarPtr& registrar)
      : registrar_(registrar) {}
  std::optional<std::string> lookupKeyForAsset(const std::string& asset) const override {
    auto registrar = registrar_.lock();
    if (!registrar) return std::nullopt;
    return registrar->lookupKeyForAsset(asset);
  }
  std::optional<std::string> lookupKeyForAsset(const std::string& asset,
                                               const std::string& package) const override {
    auto registrar = registrar_.lock();
    if (!registrar) return std::nullopt;
    return registrar->lookupKeyForAsset(asset, package);
  }

 private:
  std::weak_ptr<flutter::PluginRegistrar> registrar_;
};

}  // namespace video_player
