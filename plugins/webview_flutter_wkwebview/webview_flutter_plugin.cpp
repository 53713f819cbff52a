#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

#include "platform/log/log.h"
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
  platform::Log::cached("com.lumora.webview", "engine")
      ->notice("web view engine: simulated (no real engine in this build); pages are neither "
               "fetched nor shown");
  registrar->registerViewFactory(
      std::make_shared<FlutterViewFactory>(plugin->proxyApiRegistrar()->instanceManager()),
      kWebViewViewType);
  registrar->publish(plugin);
}

}  // namespace webview
