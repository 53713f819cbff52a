#include "tests/fakes/webkit_channel.h"

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/engine/channels.h"
#include "platform/engine/engine.h"
#include "platform/engine/view_controller.h"
#include "platform/security/trust.h"
#include "platform/webkit/user_content_controller.h"
#include "platform/webkit/web_view.h"
#include "platform/webkit/website_data_store.h"
#include "plugins/webview_flutter_wkwebview/flutter_view_factory.h"
#include "plugins/webview_flutter_wkwebview/website_data_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {

namespace {

using platform::Value;

class WebKitChannel : public flutter::Plugin {
 public:
  WebKitChannel(std::shared_ptr<webview::ProxyApiRegistrar> registrar,
                const flutter::PluginRegistry& registry, const flutter::Engine* engine)
      : registrar_(std::move(registrar)), registry_(registry), engine_(engine) {}

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] { return handle(call); });
  }

 private:
  static const Value& argument(const flutter::MethodCall& call, const char* key) {
    static const Value null;
    if (auto map = call.arguments.ifMap()) {
      if (auto it = map->find(Value(key)); it != map->end()) return it->second;
    }
    return null;
  }
  static std::int64_t identifier(const flutter::MethodCall& call) {
    const auto& v = argument(call, "identifier");
    if (!v.isInt()) throw std::invalid_argument("missing integer \"identifier\"");
    return v.asInt();
  }

  // The registered engine object of class T under the integer argument `key`.
  template <class T> std::shared_ptr<T> object(const flutter::MethodCall& call, const char* key) {
    const auto& v = argument(call, key);
    if (!v.isInt()) throw std::invalid_argument(std::string("missing integer \"") + key + "\"");
    auto found = registrar_->instanceManager().instanceOf<T>(v.asInt());
    if (!found) {
      throw std::invalid_argument(std::string("\"") + key +
                                  "\" names no live engine object of the expected class");
    }
    return found;
  }

  // The certificates listed under `key` (absent: none), each a PEM or DER file path or bytes.
  static std::vector<platform::SecCertificatePtr> certificates(const flutter::MethodCall& call,
                                                               const char* key) {
    std::vector<platform::SecCertificatePtr> out;
    const auto& list = argument(call, key);
    if (list.isNull()) return out;
    if (!list.ifList()) throw std::invalid_argument(std::string("\"") + key + "\" is no list");
    for (const auto& item : list.asList()) {
      platform::Bytes data;
      if (item.ifBytes()) {
        data = item.asBytes();
      } else if (item.isString()) {
        std::ifstream in(item.asString(), std::ios::binary);
        if (!in) throw std::invalid_argument("cannot read " + item.asString());
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      } else {
        throw std::invalid_argument(std::string("\"") + key + "\" holds no path or bytes");
      }
      auto read = platform::certificatesFromData(data);
      if (read.empty())
        throw std::invalid_argument(std::string("no certificate in \"") + key + "\"");
      out.insert(out.end(), read.begin(), read.end());
    }
    return out;
  }

  Value handle(const flutter::MethodCall& call) {
    auto& manager = registrar_->instanceManager();
    if (call.method == "announce") {
      auto object = std::make_shared<platform::webkit::NativeObject>();
      registrar_->announce(object);
      auto id = manager.identifierWithStrongReference(object);
      if (!id) return Value();  // calls toward the application are ignored: nothing registered
      kept_[*id] = object;
      return Value(*id);
    }
    if (call.method == "dropNative") {
      auto it = kept_.find(identifier(call));
      if (it == kept_.end()) return Value(false);
      auto object = std::move(it->second);
      kept_.erase(it);
      object.reset();  // dies here unless the instance manager still holds it
      return Value(true);
    }
    if (call.method == "ignoreCallsToDart") {
      const auto& flag = argument(call, "flag");
      if (!flag.isBool()) throw std::invalid_argument("missing boolean \"flag\"");
      registrar_->setIgnoreCallsToDart(flag.asBool());
      return Value(true);
    }
    if (call.method == "describe") {
      const auto id = identifier(call);
      auto object = manager.instance(id);
      return Value::map({{"registered", Value(object != nullptr)},
                         {"alive", Value(object != nullptr || kept_.count(id) != 0)},
                         {"heldStrongly", Value(manager.isHeldStrongly(id))},
                         {"keptNatively", Value(kept_.count(id) != 0)},
                         {"className", object ? Value(object->className()) : Value()},
                         {"state", object ? Value(object->engineState()) : Value()}});
    }
    if (call.method == "postScriptMessage") {
      // A page posting a message to the handler added under `name` on the controller.
      auto controller = object<platform::webkit::UserContentController>(call, "controller");
      const auto& name = argument(call, "name");
      if (!name.isString()) throw std::invalid_argument("missing string \"name\"");
      const auto& body = argument(call, "body");
      return Value(controller->postScriptMessage(
          name.asString(), body.isNull() ? std::nullopt : std::optional<Value>(body)));
    }
    if (call.method == "addWebsiteData") {
      // Data a page stored: `type` is a WebsiteDataType raw value or the engine's type name.
      auto store = object<platform::webkit::WebsiteDataStore>(call, "store");
      const auto& type = argument(call, "type");
      std::string typeName;
      if (type.isInt() && type.asInt() >= 0 && type.asInt() < 8) {
        typeName =
            webview::websiteDataTypeName(static_cast<webview::WebsiteDataType>(type.asInt()));
      } else if (type.isString()) {
        typeName = type.asString();
      } else {
        throw std::invalid_argument("\"type\" must be a raw value from 0 to 7 or a type name");
      }
      const auto& modifiedAt = argument(call, "modifiedAt");
      if (!modifiedAt.isInt() && !modifiedAt.isDouble())
        throw std::invalid_argument("missing number \"modifiedAt\"");
      store->addRecord(typeName, modifiedAt.isInt() ? static_cast<double>(modifiedAt.asInt())
                                                    : modifiedAt.asDouble());
      return Value(true);
    }
    if (call.method == "scriptLoad") {
      // What the engine answers for loads of `url` from now on.
      const auto& url = argument(call, "url");
      if (!url.isString()) throw std::invalid_argument("missing string \"url\"");
      platform::webkit::WebView::LoadScript script;
      const auto& status = argument(call, "status");
      if (status.isInt()) script.statusCode = status.asInt();
      const auto& title = argument(call, "title");
      if (title.isString()) script.title = title.asString();
      const auto& failure = argument(call, "failure");
      if (failure.isString()) script.failure = failure.asString();
      platform::webkit::WebView::scriptLoad(url.asString(), std::move(script));
      return Value(true);
    }
    if (call.method == "scriptJavaScript") {
      // What `source` evaluates to in the web view: `result` (absent: no result) or, when
      // `error` is a string, a JavaScript exception with that message.
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& source = argument(call, "source");
      if (!source.isString()) throw std::invalid_argument("missing string \"source\"");
      platform::webkit::WebView::JavaScriptScript script;
      if (const auto& error = argument(call, "error"); error.isString()) {
        script.error = std::make_shared<const platform::Error>(
            platform::webkit::kWebKitErrorDomain,
            platform::webkit::kWebKitErrorJavaScriptExceptionOccurred,
            platform::ValueMap{{Value("WKJavaScriptExceptionMessage"), error}});
      } else if (auto map = call.arguments.ifMap(); map && map->count(Value("result"))) {
        script.result = argument(call, "result");
      }
      webView->scriptJavaScript(source.asString(), std::move(script));
      return Value(true);
    }
    if (call.method == "alert" || call.method == "confirm" || call.method == "prompt") {
      // A page in the web view's main frame showing a JavaScript panel; false without a UI
      // delegate. The engine's handler and its answer show in "describe" (state "handlers").
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& message = argument(call, "message");
      const std::string text = message.isString() ? message.asString() : std::string();
      if (call.method == "alert") return Value(webView->runJavaScriptAlertPanel(text));
      if (call.method == "confirm") return Value(webView->runJavaScriptConfirmPanel(text));
      const auto& defaultText = argument(call, "defaultText");
      return Value(webView->runJavaScriptTextInputPanel(
          text, defaultText.isString() ? std::optional<std::string>(defaultText.asString())
                                       : std::nullopt));
    }
    if (call.method == "clickLink") {
      // A link to `url` of navigation `type` (the engine's value; default 0, link activated)
      // clicked in the main frame or, with mainFrame false, a subframe.
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& url = argument(call, "url");
      auto parsed = url.isString() ? platform::URL::parse(url.asString()) : std::nullopt;
      if (!parsed) throw std::invalid_argument("missing URL string \"url\"");
      const auto& type = argument(call, "type");
      const auto& mainFrame = argument(call, "mainFrame");
      webView->clickLink(*parsed, type.isInt() ? type.asInt() : 0,
                         mainFrame.isBool() ? mainFrame.asBool() : true);
      return Value(true);
    }
    if (call.method == "failLoad") {
      // A load of `url` (default "https://failed.invalid/") that fails before it commits.
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& url = argument(call, "url");
      const std::string text = url.isString() ? url.asString() : "https://failed.invalid/";
      auto parsed = platform::URL::parse(text);
      if (!parsed) throw std::invalid_argument("\"url\" is not a URL");
      platform::webkit::WebView::LoadScript script;
      script.failure = "The network connection was lost.";
      platform::webkit::WebView::scriptLoad(parsed->absoluteString(), std::move(script));
      webView->loadRequest(platform::webkit::URLRequest(*parsed));
      return Value(true);
    }
    if (call.method == "challenge") {
      // A server asking for a password, or with `chain` for a decision on its certificates:
      // {webView, host, port (default 443), realm, method, chain, anchors}. The chain (leaf
      // first) and the anchors are lists of PEM or DER certificates, each a file path or bytes;
      // the trust is for `host`.
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& host = argument(call, "host");
      const auto& port = argument(call, "port");
      const auto& realm = argument(call, "realm");
      const auto& method = argument(call, "method");
      const std::string hostName = host.isString() ? host.asString() : "a.invalid";
      platform::SecTrustPtr trust;
      if (!argument(call, "chain").isNull()) {
        trust = std::make_shared<platform::SecTrust>(certificates(call, "chain"), hostName,
                                                     certificates(call, "anchors"));
      }
      const std::string defaultMethod = trust ? platform::webkit::kAuthenticationMethodServerTrust
                                              : platform::webkit::kAuthenticationMethodHTTPBasic;
      return Value(webView->receiveAuthenticationChallenge(
          std::make_shared<platform::webkit::ProtectionSpace>(
              hostName, port.isInt() ? port.asInt() : 443,
              realm.isString() ? std::optional<std::string>(realm.asString()) : std::nullopt,
              method.isString() ? method.asString() : defaultMethod, std::move(trust))));
    }
    if (call.method == "terminate") {
      object<platform::webkit::WebView>(call, "webView")->terminateWebContentProcess();
      return Value(true);
    }
    if (call.method == "requestMedia") {
      // The page asking for capture `type` (the engine's value: 0 camera, 1 microphone, 2 both).
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& type = argument(call, "type");
      if (!type.isInt()) throw std::invalid_argument("missing integer \"type\"");
      return Value(webView->requestMediaCapturePermission(type.asInt()));
    }
    if (call.method == "openWindow") {
      // The page opening `url` in a new window: whether the UI delegate gave a web view (null
      // without a UI delegate).
      auto webView = object<platform::webkit::WebView>(call, "webView");
      const auto& url = argument(call, "url");
      auto parsed = url.isString() ? platform::URL::parse(url.asString()) : std::nullopt;
      if (!parsed) throw std::invalid_argument("missing URL string \"url\"");
      bool opened = false;
      if (!webView->openWindow(*parsed, &opened)) return Value();
      return Value(opened);
    }
    if (call.method == "platformViewIs") {
      // Whether the engine's platform view `viewId` shows what the external lookup gives for
      // `identifier`.
      const auto& viewId = argument(call, "viewId");
      if (!viewId.isInt()) throw std::invalid_argument("missing integer \"viewId\"");
      const auto id = identifier(call);
      if (!engine_) throw std::invalid_argument("no engine to ask for platform views");
      auto view = std::dynamic_pointer_cast<platform::webkit::WebViewHostView>(
          engine_->platformViewWithId(viewId.asInt()));
      auto found =
          webview::FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(id, registry_);
      return Value(view != nullptr && found != nullptr && view->webView() == found);
    }
    throw std::out_of_range(call.method);
  }

  std::shared_ptr<webview::ProxyApiRegistrar> registrar_;
  const flutter::PluginRegistry& registry_;  // the host's, which outlives its channels
  const flutter::Engine* engine_;
  // The engine's own references, by the identifier the object was announced under.
  std::map<std::int64_t, std::shared_ptr<platform::webkit::NativeObject>> kept_;
};

}  // namespace

void registerWebKitChannel(const flutter::PluginRegistrarPtr& registrar,
                           const flutter::PluginRegistry& registry) {
  auto plugin = std::dynamic_pointer_cast<webview::WebViewFlutterPlugin>(
      registry.valuePublishedByPlugin(webview::WebViewFlutterPlugin::kKey));
  if (!plugin) return;
  // The registry is the view controller in the host (the engine itself in tests).
  const auto* engine = dynamic_cast<const flutter::Engine*>(&registry);
  if (auto* controller = dynamic_cast<const flutter::ViewController*>(&registry))
    engine = controller->engine().get();
  registrar->addMethodCallDelegate(
      std::make_shared<WebKitChannel>(plugin->proxyApiRegistrar(), registry, engine),
      flutter::MethodChannel::methodChannelWithName("lumora_test/webkit", registrar->messenger()));
}

}  // namespace lumora::testing
