// The web view's helpers: the asset manager's two lookups, the platform-view factory and the
// lookup for other plugins, the translation of observation options and change keys, and what a
// script result becomes on the channel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/engine/engine.h"
#include "platform/webkit/web_view.h"
#include "plugins/webview_flutter_wkwebview/flutter_asset_manager.h"
#include "plugins/webview_flutter_wkwebview/flutter_view_factory.h"
#include "plugins/webview_flutter_wkwebview/object_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/web_view_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

namespace webview {
namespace {

using platform::Value;
namespace wk = platform::webkit;

TEST(FlutterAssetManagerTest, TheBundleLookupFirstThenTheKeyRelativeToTheBundle) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("lumora-asset-manager-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "Resources/flutter_assets/www");
  std::ofstream(folder / "Resources/flutter_assets/www/index.html") << "<p>";
  FlutterAssetManager manager(platform::Bundle::bundleWithPath(folder.string()));

  auto found = manager.urlForAsset("www/index.html");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->filePath(), (folder / "Resources/flutter_assets/www/index.html").string());
  // Not among the resources: the key taken relative to the bundle's folder, never none.
  auto fallback = manager.urlForAsset("www/missing.html");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->filePath(), (folder / "flutter_assets/www/missing.html").string());
  EXPECT_EQ(FlutterAssetManager::lookupKeyForAsset("a b.js"), "flutter_assets/a b.js");
  auto spaced = manager.urlForAsset("a b.js");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->filePath(), (folder / "flutter_assets/a b.js").string());
  std::filesystem::remove_all(folder);
}

TEST(FlutterViewFactoryTest, TheViewShowsTheWebViewOfTheArgumentAndOtherArgumentsGiveAnEmptyView) {
  auto engine = flutter::Engine::create();
  WebViewFlutterPlugin::registerWith(engine->registrarForPlugin(WebViewFlutterPlugin::kKey));
  auto plugin = std::dynamic_pointer_cast<WebViewFlutterPlugin>(
      engine->valuePublishedByPlugin(WebViewFlutterPlugin::kKey));
  ASSERT_TRUE(plugin);
  auto& manager = plugin->proxyApiRegistrar()->instanceManager();
  auto configuration = std::make_shared<wk::WebViewConfiguration>();
  auto webView = std::make_shared<wk::WebView>(configuration);
  ASSERT_TRUE(manager.addDartCreatedInstance(configuration, 10));
  ASSERT_TRUE(manager.addDartCreatedInstance(webView, 11));

  FlutterViewFactory factory(manager);
  auto shown = std::dynamic_pointer_cast<wk::WebViewHostView>(
      factory.createWithViewIdentifier(1, Value(11)));
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->webView(), webView);
  // The engine's view identifier changes nothing: the same web view, the same view.
  EXPECT_EQ(factory.createWithViewIdentifier(7, Value(11)), shown);
  for (const Value& argument : {Value(10), Value(99), Value(), Value("11"), Value(1.5)}) {
    auto view = factory.createWithViewIdentifier(2, argument);
    ASSERT_TRUE(view) << argument.debugString();
    EXPECT_FALSE(std::dynamic_pointer_cast<wk::WebViewHostView>(view)) << argument.debugString();
  }

  EXPECT_EQ(FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(11, *engine), webView);
  EXPECT_EQ(FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(10, *engine), nullptr);
  EXPECT_EQ(FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(99, *engine), nullptr);
  auto unpublished = flutter::Engine::create();
  EXPECT_EQ(FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(11, *unpublished), nullptr);
}

TEST(KeyValueObservationTranslationTest, OptionMasksAndChangeKeys) {
  using O = KeyValueObservingOptions;
  EXPECT_EQ(keyValueObservingOptionsMask({}), 0u);
  EXPECT_EQ(keyValueObservingOptionsMask({O::newValue, O::initialValue}), 5u);
  EXPECT_EQ(keyValueObservingOptionsMask({O::oldValue, O::oldValue, O::priorNotification}), 10u);
  const std::vector<std::pair<Value, KeyValueChangeKey>> keys = {
      {Value("indexes"), KeyValueChangeKey::indexes},
      {Value("kind"), KeyValueChangeKey::kind},
      {Value("new"), KeyValueChangeKey::newValue},
      {Value("notificationIsPrior"), KeyValueChangeKey::notificationIsPrior},
      {Value("old"), KeyValueChangeKey::oldValue},
      {Value("other"), KeyValueChangeKey::unknown},
      {Value(1), KeyValueChangeKey::unknown},
  };
  for (const auto& [key, expected] : keys)
    EXPECT_EQ(keyValueChangeKey(key), expected) << key.debugString();
}

TEST(JavaScriptResultTest, StringsAndNumbersStayOtherValuesBecomeTheirDescription) {
  EXPECT_EQ(javaScriptResultForChannel(std::nullopt), std::nullopt);
  EXPECT_EQ(javaScriptResultForChannel(Value()), std::nullopt);
  for (const Value& kept : {Value("s"), Value(3), Value(2.5), Value(true)})
    EXPECT_EQ(javaScriptResultForChannel(kept), kept) << kept.debugString();
  const Value list = Value::list({Value(1), Value(2)});
  EXPECT_EQ(javaScriptResultForChannel(list), Value(list.debugString()));
}

}  // namespace
}  // namespace webview
