// The native API delegates of requests, configuration, user content, cookies and website data,
// driven through their channels as the application's code drives them.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"
#include "platform/webkit/http_cookie.h"
#include "platform/webkit/url_request.h"
#include "platform/webkit/user_content_controller.h"
#include "platform/webkit/web_view_configuration.h"
#include "platform/webkit/website_data_store.h"
#include "plugins/webview_flutter_wkwebview/configuration_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/messages.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"
#include "plugins/webview_flutter_wkwebview/website_data_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

namespace webview {
namespace {

using platform::Value;
namespace wk = platform::webkit;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

// A proxy reference as the application's code holds it.
class Ref : public platform::Object {
 public:
  explicit Ref(std::int64_t id) : id(id) {}
  std::string className() const override { return "Ref"; }
  std::string debugDescription() const override { return "ref(" + std::to_string(id) + ")"; }
  bool isEqual(const platform::Object& other) const override {
    auto* r = dynamic_cast<const Ref*>(&other);
    return r && r->id == id;
  }
  std::strong_ordering compareObject(const platform::Object& other) const override {
    return id <=> static_cast<const Ref&>(other).id;
  }
  const std::int64_t id;
};
Value ref(std::int64_t id) {
  return Value(std::make_shared<Ref>(id));
}
template <class E> Value enumeration(E e) {
  return pigeon::enumValue(e);
}

// The application side's codec: enumerations, and references as Ref values.
std::shared_ptr<const flutter::StandardMessageCodec> applicationCodec() {
  pigeon::CodecEntry entry;
  entry.typeByte = 128;
  entry.matches = [](const Value& v) { return v.asObjectOf<Ref>() != nullptr; };
  entry.toWire = [](const Value& v) { return Value(v.asObjectOf<Ref>()->id); };
  entry.fromWire = [](const Value& wire) { return ref(wire.asInt()); };
  static const auto codec = WebKitLibraryPigeonCodec::builder().addType(std::move(entry)).build();
  return codec;
}

class ProxyApiDelegatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter::Engine::create();
    WebViewFlutterPlugin::registerWith(engine_->registrarForPlugin(WebViewFlutterPlugin::kKey));
    auto plugin = std::dynamic_pointer_cast<WebViewFlutterPlugin>(
        engine_->valuePublishedByPlugin(WebViewFlutterPlugin::kKey));
    ASSERT_TRUE(plugin);
    registrar_ = plugin->proxyApiRegistrar();
    driver_ = flutter::InProcessDriver::attach(engine_);
    for (const char* channel :
         {"WKPreferences.pigeon_newInstance", "WKWebpagePreferences.pigeon_newInstance",
          "WKUserContentController.pigeon_newInstance", "WKScriptMessage.pigeon_newInstance",
          "WKScriptMessageHandler.didReceiveScriptMessage", "HTTPCookie.pigeon_newInstance",
          "NSError.pigeon_newInstance", "URL.pigeon_newInstance",
          "WKWebsiteDataStore.pigeon_newInstance"}) {
      answer(channel, Value::list({Value()}));
    }
  }
  void TearDown() override {
    driver_->detach();
    platform::MainLoop::instance().drain();
  }

  void answer(const std::string& method, const Value& reply) {
    driver_->setAnswer(kPrefix + method, [reply](const platform::Bytes&) {
      return applicationCodec()->encode(reply);
    });
  }
  // "<Interface>.<method>" with the arguments; the reply list.
  Value call(const std::string& method, platform::ValueList arguments) {
    auto reply =
        driver_->sendMessage(kPrefix + method, Value(std::move(arguments)), applicationCodec());
    return reply ? *reply : Value("no reply");
  }
  // What the host sent toward the application's code, as "<Interface>.<method>" and message.
  std::vector<std::pair<std::string, Value>> sent() {
    platform::MainLoop::instance().drain();
    std::vector<std::pair<std::string, Value>> out;
    for (const auto& incoming : driver_->received())
      out.emplace_back(incoming.channel.substr(kPrefix.size()),
                       *applicationCodec()->decode(incoming.message));
    return out;
  }
  template <class T> std::shared_ptr<T> native(std::int64_t id) {
    return registrar_->instanceManager().instanceOf<T>(id);
  }

  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::shared_ptr<ProxyApiRegistrar> registrar_;
};

const Value kNullReply = Value::list({Value()});

TEST_F(ProxyApiDelegatesTest, RequestsKeepWhatWasSetAndAbsentStaysApartFromEmpty) {
  ASSERT_EQ(call("URLRequest.pigeon_defaultConstructor", {1, "https://a.invalid/p?q=1"}),
            kNullReply);
  EXPECT_EQ(call("URLRequest.getUrl", {ref(1)}), Value::list({"https://a.invalid/p?q=1"}));
  EXPECT_EQ(call("URLRequest.getHttpMethod", {ref(1)}), Value::list({"GET"}));
  EXPECT_EQ(call("URLRequest.getHttpBody", {ref(1)}), kNullReply);
  EXPECT_EQ(call("URLRequest.getAllHttpHeaderFields", {ref(1)}), kNullReply);

  call("URLRequest.setHttpBody", {ref(1), Value(platform::Bytes{})});
  EXPECT_EQ(call("URLRequest.getHttpBody", {ref(1)}), Value::list({Value(platform::Bytes{})}));
  call("URLRequest.setHttpBody", {ref(1), Value(platform::Bytes{1, 2})});
  call("URLRequest.setAllHttpHeaderFields", {ref(1), Value::map({})});
  EXPECT_EQ(call("URLRequest.getAllHttpHeaderFields", {ref(1)}), Value::list({Value::map({})}));
  call("URLRequest.setAllHttpHeaderFields", {ref(1), Value::map({{"Accept", "x"}})});
  call("URLRequest.setHttpMethod", {ref(1), "POST"});
  EXPECT_EQ(call("URLRequest.getHttpBody", {ref(1)}), Value::list({Value(platform::Bytes{1, 2})}));
  EXPECT_EQ(call("URLRequest.getAllHttpHeaderFields", {ref(1)}),
            Value::list({Value::map({{"Accept", "x"}})}));
  const auto& request = native<wk::NativeObject>(1)->engineState();
  EXPECT_EQ(request.at(Value("httpMethod")), Value("POST"));
  EXPECT_EQ(request.at(Value("timeoutInterval")), Value(60.0));
  EXPECT_EQ(request.at(Value("cachePolicy")), Value(0));

  // A header map with a non-string value is malformed and changes nothing.
  auto bad = call("URLRequest.setAllHttpHeaderFields", {ref(1), Value::map({{"Accept", 1}})});
  EXPECT_EQ(bad.asList().at(0), Value("invalid-arguments"));
  EXPECT_EQ(call("URLRequest.getAllHttpHeaderFields", {ref(1)}),
            Value::list({Value::map({{"Accept", "x"}})}));
  call("URLRequest.setHttpBody", {ref(1), Value()});
  call("URLRequest.setHttpMethod", {ref(1), Value()});
  EXPECT_EQ(call("URLRequest.getHttpBody", {ref(1)}), kNullReply);
  EXPECT_EQ(call("URLRequest.getHttpMethod", {ref(1)}), Value::list({"GET"}));
}

TEST_F(ProxyApiDelegatesTest, TextsThatAreNoURLMakeNoRequest) {
  for (const char* text : {"", "a b", "https://"}) {
    auto reply = call("URLRequest.pigeon_defaultConstructor", {2, text});
    ASSERT_TRUE(reply.isList() && reply.asList().size() == 3) << text;
    EXPECT_EQ(reply.asList()[0], Value("ConstructorReturnedNullError")) << text;
    const auto message = reply.asList()[1].asString();
    EXPECT_EQ(message.rfind("Failed to instantiate `NSURL` with parameters: ", 0), 0u) << message;
    EXPECT_NE(message.find("\"string\""), std::string::npos) << message;
    EXPECT_FALSE(registrar_->instanceManager().instance(2)) << text;
  }
}

TEST_F(ProxyApiDelegatesTest, ErrorsAnnounceTheURLsAndNestedErrorsOfTheirUserInfo) {
  auto underlying = platform::Error::make("Inner", 7);
  auto url = std::make_shared<wk::URLObject>(*platform::URL::parse("https://a.invalid/"));
  auto error =
      platform::Error::make("NSURLErrorDomain", -1003,
                            {{Value("NSErrorFailingURLKey"), Value(platform::ObjectPtr(url))},
                             {Value(platform::kUnderlyingErrorKey), Value(underlying)},
                             {Value("text"), Value("t")}});
  registrar_->announce(std::make_shared<ErrorObject>(error));
  auto messages = sent();
  std::vector<std::string> order;
  for (const auto& [channel, message] : messages)
    order.push_back(channel);
  // The outer error is registered first (65536); its user info's objects are announced while
  // its announcement is written (URL 65537, the nested error 65538), so they go out first.
  ASSERT_EQ(order, (std::vector<std::string>{"URL.pigeon_newInstance", "NSError.pigeon_newInstance",
                                             "NSError.pigeon_newInstance"}));
  EXPECT_EQ(messages[0].second, Value::list({65537}));
  EXPECT_EQ(messages[1].second, Value::list({65538, 7, "Inner", Value::map({})}));
  EXPECT_EQ(messages[2].second,
            Value::list({65536, -1003, "NSURLErrorDomain",
                         Value::map({{"NSErrorFailingURLKey", ref(65537)},
                                     {platform::kUnderlyingErrorKey, ref(65538)},
                                     {"text", "t"}})}));
  EXPECT_EQ(call("URL.getAbsoluteString", {ref(65537)}), Value::list({"https://a.invalid/"}));
}

TEST_F(ProxyApiDelegatesTest, ConfigurationGettersAnnounceTheHeldObjectOnce) {
  ASSERT_EQ(call("WKWebViewConfiguration.pigeon_defaultConstructor", {10}), kNullReply);
  EXPECT_EQ(call("WKWebViewConfiguration.getPreferences", {ref(10)}), Value::list({ref(65536)}));
  EXPECT_EQ(call("WKWebViewConfiguration.getPreferences", {ref(10)}), Value::list({ref(65536)}));
  EXPECT_EQ(call("WKWebViewConfiguration.getWebsiteDataStore", {ref(10)}),
            Value::list({ref(65537)}));
  auto messages = sent();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0],
            std::make_pair(std::string("WKPreferences.pigeon_newInstance"), Value::list({65536})));
  EXPECT_EQ(native<wk::WebsiteDataStore>(65537), wk::WebsiteDataStore::defaultDataStore());

  // Setters replace the held object.
  ASSERT_EQ(call("WKWebViewConfiguration.pigeon_defaultConstructor", {11}), kNullReply);
  call("WKWebViewConfiguration.setPreferences", {ref(10), ref(65536)});
  EXPECT_EQ(native<wk::WebViewConfiguration>(10)->preferences(), native<wk::Preferences>(65536));
  call("WKWebViewConfiguration.setMediaTypesRequiringUserActionForPlayback",
       {ref(10), enumeration(AudiovisualMediaType::all)});
  EXPECT_EQ(native<wk::WebViewConfiguration>(10)->mediaTypesRequiringUserActionForPlayback(),
            ~std::uint64_t{0});
  // A receiver of another class is malformed.
  EXPECT_EQ(call("WKWebViewConfiguration.setPreferences", {ref(10), ref(11)}).asList().at(0),
            Value("invalid-arguments"));
}

TEST_F(ProxyApiDelegatesTest, VersionRulesReadTheSystemVersionAtEachCall) {
  struct Case {
    const char* method;
    const char* receiver;  // the configuration getter that gives the receiver, or none
    const char* error;     // refused: on 10.15, or on 11.0 for the preferences' rule
    bool worksFrom11;
    // Whether the call changed the engine's state.
    std::function<bool(const wk::WebViewConfiguration&)> changed;
  };
  const std::vector<Case> cases = {
      {"WKWebViewConfiguration.setLimitsNavigationsToAppBoundDomains", nullptr,
       "`WKWebViewConfiguration.limitsNavigationsToAppBoundDomains` requires iOS 14.0, macOS 11.0.",
       true, [](const auto& c) { return c.limitsNavigationsToAppBoundDomains(); }},
      {"WKWebpagePreferences.setAllowsContentJavaScript",
       "WKWebViewConfiguration.getDefaultWebpagePreferences",
       "`WKWebpagePreferences.allowsContentJavaScript` requires iOS 14.0, macOS 11.0.", true,
       [](const auto& c) { return !c.defaultWebpagePreferences()->allowsContentJavaScript(); }},
      {"WKPreferences.setJavaScriptEnabled", "WKWebViewConfiguration.getPreferences",
       "`WKPreferences.javaScriptEnabled` requires < iOS 14.0, macOS 11.0.", false,
       [](const auto& c) { return !c.preferences()->javaScriptEnabled(); }},
      {"WKUserContentController.removeAllScriptMessageHandlers",
       "WKWebViewConfiguration.getUserContentController",
       "`WKUserContentController.removeAllScriptMessageHandlers` requires iOS 14.0, macOS 11.0.",
       true,
       [](const auto& c) {
         return c.userContentController()->scriptMessageHandlerNames().empty();
       }},
  };
  std::int64_t next = 100;
  for (const auto& c : cases) {
    for (const char* version : {"10.15", "11.0"}) {
      const std::string where = std::string(c.method) + " on " + version;
      const std::int64_t configurationId = next++, handlerId = next++;
      ASSERT_EQ(call("WKWebViewConfiguration.pigeon_defaultConstructor", {configurationId}),
                kNullReply);
      auto configuration = native<wk::WebViewConfiguration>(configurationId);
      call("WKScriptMessageHandler.pigeon_defaultConstructor", {handlerId});
      auto controller =
          call("WKWebViewConfiguration.getUserContentController", {ref(configurationId)})
              .asList()
              .at(0);
      call("WKUserContentController.addScriptMessageHandler", {controller, ref(handlerId), "h"});
      Value receiver = ref(configurationId);
      if (c.receiver) receiver = call(c.receiver, {ref(configurationId)}).asList().at(0);

      platform::ScopedEnvironmentForTesting os(platform::kOperatingSystemVersionVariable, version);
      platform::ValueList args{receiver};
      // Limits switched on; JavaScript switched off.
      if (std::string(c.method).find("removeAll") == std::string::npos)
        args.push_back(Value(std::string(c.method).find("JavaScript") == std::string::npos));
      auto reply = call(c.method, args);
      if ((std::string(version) == "11.0") == c.worksFrom11) {
        EXPECT_EQ(reply, kNullReply) << where;
        EXPECT_TRUE(c.changed(*configuration)) << where;
      } else {
        EXPECT_EQ(reply, Value::list({"FWFUnsupportedVersionError", c.error, Value()})) << where;
        EXPECT_FALSE(c.changed(*configuration)) << where;
      }
    }
  }
}

TEST_F(ProxyApiDelegatesTest, UserScriptsAndASecondHandlerUnderOneName) {
  ASSERT_EQ(call("WKWebViewConfiguration.pigeon_defaultConstructor", {10}), kNullReply);
  call("WKWebViewConfiguration.getUserContentController", {ref(10)});  // 65536
  ASSERT_EQ(call("WKUserScript.pigeon_defaultConstructor",
                 {1, "f()", enumeration(UserScriptInjectionTime::atDocumentEnd), false}),
            kNullReply);
  EXPECT_EQ(
      call("WKUserScript.pigeon_defaultConstructor",
           {2, "g()", enumeration(UserScriptInjectionTime::unknown), true}),
      Value::list({"UnknownEnumError", "unknown doesn't represent a native value.", Value()}));
  EXPECT_FALSE(registrar_->instanceManager().instance(2));
  call("WKUserContentController.addUserScript", {ref(65536), ref(1)});
  auto controller = native<wk::UserContentController>(65536);
  ASSERT_EQ(controller->userScripts().size(), 1u);
  EXPECT_EQ(controller->userScripts()[0]->injectionTime,
            wk::UserScriptInjectionTime::atDocumentEnd);
  EXPECT_FALSE(controller->userScripts()[0]->forMainFrameOnly);

  call("WKScriptMessageHandler.pigeon_defaultConstructor", {20});
  call("WKScriptMessageHandler.pigeon_defaultConstructor", {21});
  EXPECT_EQ(
      call("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(20), "bridge"}),
      kNullReply);
  auto refused =
      call("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(21), "bridge"});
  EXPECT_EQ(refused.asList().at(0), Value("name-in-use-error"));
  EXPECT_NE(refused.asList().at(1).asString().find("\"bridge\""), std::string::npos);
  EXPECT_EQ(std::dynamic_pointer_cast<wk::NativeObject>(controller->scriptMessageHandler("bridge")),
            native<wk::NativeObject>(20));
}

TEST_F(ProxyApiDelegatesTest, PostedMessagesAreAnnouncedAndDeliveredInPostingOrder) {
  auto controller = std::make_shared<wk::UserContentController>();  // never sent before
  call("WKScriptMessageHandler.pigeon_defaultConstructor", {20});
  controller->addScriptMessageHandler(
      std::dynamic_pointer_cast<wk::ScriptMessageHandler>(native<wk::NativeObject>(20)), "bridge");

  ASSERT_TRUE(controller->postScriptMessage("bridge", Value("a")));
  ASSERT_TRUE(controller->postScriptMessage("bridge", std::nullopt));
  const std::vector<std::pair<std::string, Value>> expected = {
      {"WKUserContentController.pigeon_newInstance", Value::list({65536})},
      {"WKScriptMessage.pigeon_newInstance", Value::list({65537, "bridge", "a"})},
      {"WKScriptMessageHandler.didReceiveScriptMessage",
       Value::list({ref(20), ref(65536), ref(65537)})},
      {"WKScriptMessage.pigeon_newInstance", Value::list({65538, "bridge", Value()})},
      {"WKScriptMessageHandler.didReceiveScriptMessage",
       Value::list({ref(20), ref(65536), ref(65538)})},
  };
  EXPECT_EQ(sent(), expected);
}

TEST_F(ProxyApiDelegatesTest, FailedDeliveriesAreLoggedOnceAndSendNothing) {
  auto controller = std::make_shared<wk::UserContentController>();
  call("WKScriptMessageHandler.pigeon_defaultConstructor", {20});
  controller->addScriptMessageHandler(
      std::dynamic_pointer_cast<wk::ScriptMessageHandler>(native<wk::NativeObject>(20)), "bridge");
  platform::ScopedLogCapture log;
  registrar_->setIgnoreCallsToDart(true);
  controller->postScriptMessage("bridge", Value("a"));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(log.count("WKScriptMessageHandler.didReceiveScriptMessage"), 1u);
  EXPECT_EQ(log.count("ignore-calls-error"), 1u);
  registrar_->setIgnoreCallsToDart(false);

  // An error reply is logged too.
  log.clear();
  answer("WKScriptMessageHandler.didReceiveScriptMessage", Value::list({"e", "m", Value()}));
  controller->postScriptMessage("bridge", Value("b"));
  sent();
  EXPECT_EQ(log.count("Error returned from calling WKScriptMessageHandler.didReceiveScriptMessage"),
            1u);
}

TEST_F(ProxyApiDelegatesTest, CookiesFromPropertiesIntoTheJarAndBack) {
  const auto key = [](HttpCookiePropertyKey k) { return enumeration(k); };
  const Value properties = Value::map({{key(HttpCookiePropertyKey::name), "n"},
                                       {key(HttpCookiePropertyKey::value), "v"},
                                       {key(HttpCookiePropertyKey::domain), "a.invalid"},
                                       {key(HttpCookiePropertyKey::path), "/p"}});
  ASSERT_EQ(call("HTTPCookie.pigeon_defaultConstructor", {1, properties}), kNullReply);
  EXPECT_EQ(call("HTTPCookie.getProperties", {ref(1)}), Value::list({properties}));

  auto unknown = properties.asMap();
  unknown[key(HttpCookiePropertyKey::unknown)] = Value("x");
  EXPECT_EQ(
      call("HTTPCookie.pigeon_defaultConstructor", {2, Value(unknown)}),
      Value::list({"UnknownEnumError", "unknown doesn't represent a native value.", Value()}));
  auto noName = properties.asMap();
  noName.erase(key(HttpCookiePropertyKey::name));
  auto refused = call("HTTPCookie.pigeon_defaultConstructor", {3, Value(noName)});
  EXPECT_EQ(refused.asList().at(0), Value("ConstructorReturnedNullError"));
  EXPECT_EQ(refused.asList().at(1).asString().rfind(
                "Failed to instantiate `NSHTTPCookie` with parameters: {\"properties\": ", 0),
            0u);
  EXPECT_FALSE(registrar_->instanceManager().instance(2));
  EXPECT_FALSE(registrar_->instanceManager().instance(3));

  auto store = std::make_shared<wk::WebsiteDataStore>();
  registrar_->instanceManager().addDartCreatedInstance(store, 30);
  ASSERT_EQ(call("WKWebsiteDataStore.httpCookieStore", {ref(30), 31}), kNullReply);
  EXPECT_EQ(call("WKHTTPCookieStore.setCookie", {ref(31), ref(1)}), kNullReply);
  auto first = call("WKHTTPCookieStore.getAllCookies", {ref(31)});
  auto second = call("WKHTTPCookieStore.getAllCookies", {ref(31)});
  EXPECT_EQ(first, Value::list({Value::list({ref(65536)})}));
  EXPECT_EQ(second, Value::list({Value::list({ref(65537)})}));  // a new object each time
  EXPECT_EQ(call("HTTPCookie.getProperties", {ref(65537)}), Value::list({properties}));

  // An engine cookie with properties outside the table: they read back as one `unknown`, the
  // later one in the dictionary's order.
  auto engineCookie = wk::HTTPCookie::cookieWithProperties({{Value("Name"), Value("n")},
                                                            {Value("Value"), Value("v")},
                                                            {Value("Domain"), Value("d")},
                                                            {Value("X-First"), Value(1)},
                                                            {Value("X-Second"), Value(2)}});
  ASSERT_TRUE(engineCookie);
  registrar_->instanceManager().addDartCreatedInstance(engineCookie, 40);
  auto read = call("HTTPCookie.getProperties", {ref(40)}).asList().at(0).asMap();
  EXPECT_EQ(read.size(), 5u);  // name, value, domain, path, one unknown
  EXPECT_EQ(read.at(key(HttpCookiePropertyKey::unknown)), Value(2));
}

TEST_F(ProxyApiDelegatesTest, RemovingWebsiteDataAnswersWhetherRecordsOfTheTypesExisted) {
  auto store = std::make_shared<wk::WebsiteDataStore>();
  registrar_->instanceManager().addDartCreatedInstance(store, 30);
  const Value types = Value::list(
      {enumeration(WebsiteDataType::localStorage), enumeration(WebsiteDataType::localStorage)});
  EXPECT_EQ(call("WKWebsiteDataStore.removeDataOfTypes", {ref(30), types, 0.0}),
            Value::list({false}));
  store->addRecord(wk::website_data_type::kLocalStorage, 100);
  store->addRecord(wk::website_data_type::kLocalStorage, 200);
  store->addRecord(wk::website_data_type::kDiskCache, 300);
  EXPECT_EQ(call("WKWebsiteDataStore.removeDataOfTypes", {ref(30), types, 150.0}),
            Value::list({true}));
  const auto records = store->engineState().at(Value("records")).asList();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].asMap().at(Value("modifiedAt")), Value(100.0));
  EXPECT_EQ(records[1].asMap().at(Value("type")), Value(wk::website_data_type::kDiskCache));
  // Records exist but none is newer: still true, nothing removed.
  EXPECT_EQ(call("WKWebsiteDataStore.removeDataOfTypes", {ref(30), types, 1000.0}),
            Value::list({true}));
  EXPECT_EQ(store->engineState().at(Value("records")).asList().size(), 2u);
}

TEST(ProxyApiMappingTest, EnumerationsMapCaseByCase) {
  namespace name = wk::cookie_property;
  const std::vector<std::pair<HttpCookiePropertyKey, const char*>> cookieKeys = {
      {HttpCookiePropertyKey::comment, name::kComment},
      {HttpCookiePropertyKey::commentUrl, name::kCommentURL},
      {HttpCookiePropertyKey::discard, name::kDiscard},
      {HttpCookiePropertyKey::domain, name::kDomain},
      {HttpCookiePropertyKey::expires, name::kExpires},
      {HttpCookiePropertyKey::maximumAge, name::kMaximumAge},
      {HttpCookiePropertyKey::name, name::kName},
      {HttpCookiePropertyKey::originUrl, name::kOriginURL},
      {HttpCookiePropertyKey::path, name::kPath},
      {HttpCookiePropertyKey::port, name::kPort},
      {HttpCookiePropertyKey::sameSitePolicy, name::kSameSitePolicy},
      {HttpCookiePropertyKey::secure, name::kSecure},
      {HttpCookiePropertyKey::value, name::kValue},
      {HttpCookiePropertyKey::version, name::kVersion},
  };
  for (const auto& [key, text] : cookieKeys) {
    EXPECT_EQ(cookiePropertyName(key), std::optional<std::string>(text));
    EXPECT_EQ(cookiePropertyKey(text), key) << text;
  }
  EXPECT_EQ(cookiePropertyName(HttpCookiePropertyKey::unknown), std::nullopt);
  EXPECT_EQ(cookiePropertyKey("Other"), HttpCookiePropertyKey::unknown);

  const auto& names = wk::website_data_type::all();
  ASSERT_EQ(names.size(), 8u);
  for (std::int64_t raw = 0; raw < 8; ++raw)
    EXPECT_EQ(websiteDataTypeName(static_cast<WebsiteDataType>(raw)), names[raw]) << raw;

  EXPECT_EQ(audiovisualMediaTypes(AudiovisualMediaType::none), 0u);
  EXPECT_EQ(audiovisualMediaTypes(AudiovisualMediaType::audio), 1u);
  EXPECT_EQ(audiovisualMediaTypes(AudiovisualMediaType::video), 2u);
  EXPECT_EQ(audiovisualMediaTypes(AudiovisualMediaType::all), ~std::uint64_t{0});
}

}  // namespace
}  // namespace webview
