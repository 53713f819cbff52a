// The navigation and UI delegates: the enumeration mappings, and the engine's requests carried to
// the application's code and answered back to the engine (with the fall-backs on failure).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/webkit/web_view.h"
#include "plugins/webview_flutter_wkwebview/authentication_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/messages.h"
#include "plugins/webview_flutter_wkwebview/navigation_delegate_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/testing/application_codec_for_testing.h"
#include "plugins/webview_flutter_wkwebview/ui_delegate_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

namespace webview {
namespace {

using platform::Value;
namespace wk = platform::webkit;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

using for_testing::applicationCodec;
using for_testing::ref;

TEST(DelegateMappingTest, EveryCaseMapsByCaseNotByNumber) {
  const std::vector<std::pair<std::int64_t, MediaCaptureType>> captures = {
      {0, MediaCaptureType::camera},
      {1, MediaCaptureType::microphone},
      {2, MediaCaptureType::cameraAndMicrophone},
      {3, MediaCaptureType::unknown},
      {-1, MediaCaptureType::unknown}};
  for (const auto& [engine, bridge] : captures)
    EXPECT_EQ(mediaCaptureTypeFromEngine(engine), bridge) << engine;

  EXPECT_EQ(engineDecision(PermissionDecision::deny), 2);
  EXPECT_EQ(engineDecision(PermissionDecision::grant), 1);
  EXPECT_EQ(engineDecision(PermissionDecision::prompt), 0);

  const std::vector<std::pair<std::int64_t, NavigationType>> types = {
      {0, NavigationType::linkActivated},   {1, NavigationType::formSubmitted},
      {2, NavigationType::backForward},     {3, NavigationType::reload},
      {4, NavigationType::formResubmitted}, {-1, NavigationType::other},
      {5, NavigationType::unknown},         {7, NavigationType::unknown},
      {-2, NavigationType::unknown}};
  for (const auto& [engine, bridge] : types)
    EXPECT_EQ(navigationTypeFromEngine(engine), bridge) << engine;

  using D = UrlSessionAuthChallengeDisposition;
  const std::vector<std::pair<D, std::int64_t>> dispositions = {
      {D::useCredential, 0},
      {D::performDefaultHandling, 1},
      {D::cancelAuthenticationChallenge, 2},
      {D::rejectProtectionSpace, 3}};
  for (const auto& [bridge, engine] : dispositions) {
    EXPECT_EQ(engineDisposition(bridge), engine);
    EXPECT_EQ(dispositionFromEngine(engine), bridge);
  }
  EXPECT_EQ(dispositionFromEngine(4), D::unknown);
  EXPECT_EQ(dispositionFromEngine(-1), D::unknown);
  try {
    engineDisposition(D::unknown);
    ADD_FAILURE() << "unknown has no native value";
  } catch (const pigeon::PigeonError& error) {
    EXPECT_EQ(error.code, "UnknownEnumError");
  }
  using P = UrlCredentialPersistence;
  for (const auto& [bridge, engine] : std::vector<std::pair<P, std::int64_t>>{
           {P::none, 0}, {P::forSession, 1}, {P::permanent, 2}, {P::synchronizable, 3}}) {
    EXPECT_EQ(enginePersistence(bridge), engine);
  }

  // Download needs 11.3, read at each decision.
  struct Row {
    const char* version;
    std::int64_t allow, cancel, download;
  };
  for (const Row& row : {Row{"11.2", 1, 0, 0}, Row{"11.3", 1, 0, 2}, Row{"14.0", 1, 0, 2}}) {
    platform::ScopedEnvironmentForTesting os(platform::kOperatingSystemVersionVariable,
                                             row.version);
    EXPECT_EQ(engineNavigationPolicy(NavigationActionPolicy::allow), row.allow) << row.version;
    EXPECT_EQ(engineNavigationPolicy(NavigationActionPolicy::cancel), row.cancel) << row.version;
    EXPECT_EQ(engineNavigationPolicy(NavigationActionPolicy::download), row.download)
        << row.version;
    EXPECT_EQ(engineNavigationPolicy(NavigationResponsePolicy::allow), row.allow) << row.version;
    EXPECT_EQ(engineNavigationPolicy(NavigationResponsePolicy::cancel), row.cancel) << row.version;
    EXPECT_EQ(engineNavigationPolicy(NavigationResponsePolicy::download), row.download)
        << row.version;
  }
}

class DelegatesTest : public ::testing::Test {
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
         {"WKNavigationAction.pigeon_newInstance", "WKNavigationResponse.pigeon_newInstance",
          "WKFrameInfo.pigeon_newInstance", "WKSecurityOrigin.pigeon_newInstance",
          "URLRequest.pigeon_newInstance", "HTTPURLResponse.pigeon_newInstance",
          "URLResponse.pigeon_newInstance", "NSError.pigeon_newInstance", "URL.pigeon_newInstance",
          "WKWebViewConfiguration.pigeon_newInstance",
          "WKNavigationDelegate.didStartProvisionalNavigation",
          "WKNavigationDelegate.didFinishNavigation",
          "WKNavigationDelegate.didFailProvisionalNavigation",
          "WKNavigationDelegate.webViewWebContentProcessDidTerminate",
          "WKUIDelegate.onCreateWebView", "WKUIDelegate.runJavaScriptAlertPanel"}) {
      answer(channel, Value::list({Value()}));
    }
    webView_ = std::make_shared<wk::WebView>(nullptr);
    ASSERT_TRUE(registrar_->instanceManager().addDartCreatedInstance(webView_, 11));
    ASSERT_EQ(call("WKNavigationDelegate.pigeon_defaultConstructor", {40}), kNull);
    ASSERT_EQ(call("WKUIDelegate.pigeon_defaultConstructor", {41}), kNull);
    ASSERT_EQ(call("NSViewWKWebView.setNavigationDelegate", {ref(11), ref(40)}), kNull);
    ASSERT_EQ(call("NSViewWKWebView.setUIDelegate", {ref(11), ref(41)}), kNull);
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
  Value call(const std::string& method, platform::ValueList arguments) {
    auto reply =
        driver_->sendMessage(kPrefix + method, Value(std::move(arguments)), applicationCodec());
    return reply ? *reply : Value("no reply");
  }
  // The methods sent toward the application's code so far ("<Interface>.<method>").
  std::vector<std::string> sentMethods() {
    platform::MainLoop::instance().drain();
    std::vector<std::string> out;
    for (const auto& incoming : driver_->received())
      out.push_back(incoming.channel.substr(kPrefix.size()));
    return out;
  }
  // The answers the engine's handlers got, in order.
  std::vector<Value> answers() {
    platform::MainLoop::instance().drain();
    std::vector<Value> out;
    for (const auto& record : webView_->handlerRecords()) {
      const auto& map = record.asMap();
      out.push_back(map.at(Value("answered")).asBool() ? map.at(Value("answer")) : Value("none"));
    }
    return out;
  }

  const Value kNull = Value::list({Value()});
  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::shared_ptr<ProxyApiRegistrar> registrar_;
  std::shared_ptr<wk::WebView> webView_;
};

TEST_F(DelegatesTest, AnAllowedLoadAsksTwiceAndFinishesAndACancelledLinkKeepsThePage) {
  wk::WebView::scriptLoad("https://a.invalid/", {200, "A", std::nullopt});
  answer("WKNavigationDelegate.decidePolicyForNavigationAction",
         Value::list({pigeon::enumValue(NavigationActionPolicy::allow)}));
  answer("WKNavigationDelegate.decidePolicyForNavigationResponse",
         Value::list({pigeon::enumValue(NavigationResponsePolicy::allow)}));
  webView_->loadRequest(wk::URLRequest(*platform::URL::parse("https://a.invalid/")));
  // Nothing is asked inside the engine's call.
  EXPECT_TRUE(driver_->received().empty());
  const std::vector<std::string> expected = {
      // the action's request, then its frame's (inside the frame's announcement), the frame,
      // then the action itself
      "URLRequest.pigeon_newInstance",
      "URLRequest.pigeon_newInstance",
      "WKFrameInfo.pigeon_newInstance",
      "WKNavigationAction.pigeon_newInstance",
      "WKNavigationDelegate.decidePolicyForNavigationAction",
      "WKNavigationDelegate.didStartProvisionalNavigation",
      "HTTPURLResponse.pigeon_newInstance",
      "WKNavigationResponse.pigeon_newInstance",
      "WKNavigationDelegate.decidePolicyForNavigationResponse",
      "WKNavigationDelegate.didFinishNavigation"};
  EXPECT_EQ(sentMethods(), expected);
  EXPECT_EQ(answers(), (std::vector<Value>{Value(1), Value(1)}));
  EXPECT_EQ(webView_->url()->absoluteString(), "https://a.invalid/");

  answer("WKNavigationDelegate.decidePolicyForNavigationAction",
         Value::list({pigeon::enumValue(NavigationActionPolicy::cancel)}));
  webView_->clickLink(*platform::URL::parse("https://b.invalid/"), 0, true);
  EXPECT_EQ(answers(), (std::vector<Value>{Value(1), Value(1), Value(0)}));
  EXPECT_EQ(webView_->url()->absoluteString(), "https://a.invalid/");
}

TEST_F(DelegatesTest, FailedOrMistypedAnswersTakeTheFallBacks) {
  // Navigation: an error reply, a string where a policy belongs, a null.
  for (const Value& reply :
       {Value::list({"e", "m", Value()}), Value::list({"allow"}), Value::list({Value()})}) {
    answer("WKNavigationDelegate.decidePolicyForNavigationAction", reply);
    webView_->clickLink(*platform::URL::parse("https://c.invalid/"), 0, true);
  }
  EXPECT_EQ(answers(), (std::vector<Value>{Value(0), Value(0), Value(0)}));
  EXPECT_FALSE(webView_->url());

  // UI: confirm [null] is false, prompt [null] is no text, a failed media request denies.
  answer("WKUIDelegate.runJavaScriptConfirmPanel", Value::list({Value()}));
  answer("WKUIDelegate.runJavaScriptTextInputPanel", Value::list({Value()}));
  answer("WKUIDelegate.requestMediaCapturePermission", Value::list({"e", "m", Value()}));
  ASSERT_TRUE(webView_->runJavaScriptConfirmPanel("sure?"));
  ASSERT_TRUE(webView_->runJavaScriptTextInputPanel("name?", "x"));
  ASSERT_TRUE(webView_->requestMediaCapturePermission(0));
  ASSERT_TRUE(webView_->runJavaScriptAlertPanel("hi"));
  const std::vector<Value> expected = {Value(0), Value(0), Value(0),   Value(false),
                                       Value(),  Value(2), Value(true)};
  EXPECT_EQ(answers(), expected);
}

TEST_F(DelegatesTest, MediaRequestsCarryTheMappedTypeAndAnswerTheMappedDecision) {
  struct Row {
    std::int64_t engineType;
    MediaCaptureType sent;
    PermissionDecision decision;
    std::int64_t engineDecision;
  };
  const std::vector<Row> rows = {
      {0, MediaCaptureType::camera, PermissionDecision::deny, 2},
      {1, MediaCaptureType::microphone, PermissionDecision::grant, 1},
      {2, MediaCaptureType::cameraAndMicrophone, PermissionDecision::prompt, 0},
      {5, MediaCaptureType::unknown, PermissionDecision::grant, 1}};
  for (const Row& row : rows) {
    std::optional<Value> type;
    driver_->setAnswer(kPrefix + "WKUIDelegate.requestMediaCapturePermission",
                       [&type, row](const platform::Bytes& message) {
                         type = applicationCodec()->decode(message)->asList().at(4);
                         return applicationCodec()->encode(
                             Value::list({pigeon::enumValue(row.decision)}));
                       });
    ASSERT_TRUE(webView_->requestMediaCapturePermission(row.engineType));
    auto got = answers();
    ASSERT_TRUE(type) << row.engineType;
    EXPECT_EQ(*type, pigeon::enumValue(row.sent)) << row.engineType;
    EXPECT_EQ(got.back(), Value(row.engineDecision)) << row.engineType;
  }
}

TEST_F(DelegatesTest, ANewWindowGetsNoWebViewBeforeTheApplicationHears) {
  bool opened = true;
  ASSERT_TRUE(webView_->openWindow(*platform::URL::parse("https://w.invalid/"), &opened));
  EXPECT_FALSE(opened);
  EXPECT_TRUE(driver_->received().empty());
  auto sent = sentMethods();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), "WKUIDelegate.onCreateWebView");
}

TEST_F(DelegatesTest, IgnoredCallsSendNothingAndEveryHandlerGetsItsFallBack) {
  registrar_->setIgnoreCallsToDart(true);
  webView_->clickLink(*platform::URL::parse("https://c.invalid/"), 0, true);
  ASSERT_TRUE(webView_->requestMediaCapturePermission(0));
  ASSERT_TRUE(webView_->runJavaScriptConfirmPanel("?"));
  ASSERT_TRUE(webView_->runJavaScriptTextInputPanel("?", std::nullopt));
  ASSERT_TRUE(webView_->runJavaScriptAlertPanel("!"));
  EXPECT_EQ(answers(),
            (std::vector<Value>{Value(0), Value(2), Value(false), Value(), Value(true)}));
  EXPECT_TRUE(sentMethods().empty());
  registrar_->setIgnoreCallsToDart(false);
}

}  // namespace
}  // namespace webview
