#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

#include "platform/log/log.h"
#include "platform/webkit/web_engine.h"
#include "plugins/webview_flutter_wkwebview/flutter_view_factory.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_delegate.h"

namespace webview {

WebViewFlutterPlugin::WebViewFlutterPlugin(
    const std::shared_ptr<flutter::BinaryMessenger>& messenger)
    : proxyApiRegistrar_(ProxyApiRegistrar::create(messenger)) {
  proxyApiRegistrar_->setUp(makeProxyApiDelegates());
}

void WebViewFlutterPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto plugin = std::make_shared<WebViewFlutterPlugin>(registrar->messenger());
  // With a real engine the host has logged which one. Otherwise: a warning where the host
  // tried one and could not start it, a notice where it had none to try.
  if (!platform::webkit::webEngineFactory()) {
    const auto log = platform::Log::cached("com.lumora.webview", "engine");
    if (auto reason = platform::webkit::simulatedEngineReason()) {
      log->error("web view engine: simulated (" + *reason +
                 "); pages are neither fetched nor shown");
    } else {
      log->notice("web view engine: simulated (no real engine in this build); pages are "
                  "neither fetched nor shown");
    }
  }
  registrar->registerViewFactory(
      std::make_shared<FlutterViewFactory>(plugin->proxyApiRegistrar()->instanceManager()),
      kWebViewViewType);
  registrar->publish(plugin);
}

}  // namespace webview
