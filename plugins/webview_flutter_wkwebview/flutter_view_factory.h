// The platform-view factory registered under "plugins.flutter.io/webview": the creation
// argument (standard codec) is the instance identifier of a web view the application's code
// made, and the view handed out shows that very web view. Arguments that are missing, not an
// integer, or name no live web view give an empty placeholder view and one log line.
//
// FWFWebViewFlutterWKWebViewExternalAPI lets another plugin of the process find a web view by
// the same identifier. Main thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/engine/platform_view.h"
#include "platform/engine/plugin_registrar.h"
#include "platform/webkit/web_view.h"

namespace webview {

class InstanceManager;

inline constexpr const char* kWebViewViewType = "plugins.flutter.io/webview";

class FlutterViewFactory : public flutter::PlatformViewFactory {
 public:
  // The instance manager is not owned: its registrar outlives the factory's use.
  explicit FlutterViewFactory(InstanceManager& instanceManager)
      : instanceManager_(instanceManager) {}

  platform::ViewPtr createWithViewIdentifier(std::int64_t viewId,
                                             const platform::Value& arguments) override;
  flutter::MessageCodecPtr createArgsCodec() const override;

 private:
  InstanceManager& instanceManager_;
};

class FWFWebViewFlutterWKWebViewExternalAPI {
 public:
  // The web view registered under `identifier` by the published web view plugin; none when the
  // plugin was not published, the identifier is unknown or dead, or names another class.
  static std::shared_ptr<platform::webkit::WebView>
  webViewForIdentifier(std::int64_t identifier, const flutter::PluginRegistry& registry);
};

}  // namespace webview
