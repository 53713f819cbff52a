// The web view plugin: creates the bridge's registrar over the engine's messenger, installs its
// channels, registers the web view's platform-view factory under "plugins.flutter.io/webview"
// and publishes itself under "WebViewFlutterPlugin" so that other plugins (and the test host)
// reach the registrar. Nothing tears it down.
#pragma once

#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

class WebViewFlutterPlugin : public platform::Object {
 public:
  static constexpr const char* kKey = "WebViewFlutterPlugin";

  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  explicit WebViewFlutterPlugin(const std::shared_ptr<flutter::BinaryMessenger>& messenger);
  std::string className() const override { return kKey; }

  const std::shared_ptr<ProxyApiRegistrar>& proxyApiRegistrar() const { return proxyApiRegistrar_; }

 private:
  std::shared_ptr<ProxyApiRegistrar> proxyApiRegistrar_;
};

}  // namespace webview
