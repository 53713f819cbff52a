// The generated proxy APIs on a registrar: request decoding and class checks, registration of
// objects the application's code creates, callbacks toward it and announced fields.
#include <gtest/gtest.h>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "plugins/webview_flutter_wkwebview/messages.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {
namespace {

using platform::Value;
using platform::webkit::NativeObject;
using platform::webkit::NativeObjectPtr;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

class Named : public NativeObject {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  std::string className() const override { return name_; }

 private:
  std::string name_;
};

class Request : public NativeObject {
 public:
  std::string className() const override { return "URLRequestWrapper"; }
  std::string url;
  std::optional<platform::Bytes> body;
};

class RequestDelegate : public PigeonApiDelegateURLRequest {
 public:
  NativeObjectPtr pigeonDefaultConstructor(PigeonApiURLRequest&, const std::string& url) override {
    if (url.empty()) throw pigeon::PigeonError("FWFURLParsingError", "no url");
    auto request = std::make_shared<Request>();
    request->url = url;
    return request;
  }
  std::optional<std::string> getUrl(PigeonApiURLRequest&, const NativeObjectPtr& r) override {
    return std::static_pointer_cast<Request>(r)->url;
  }
  void setHttpMethod(PigeonApiURLRequest&, const NativeObjectPtr&,
                     const std::optional<std::string>&) override {}
  std::optional<std::string> getHttpMethod(PigeonApiURLRequest&, const NativeObjectPtr&) override {
    return std::nullopt;
  }
  void setHttpBody(PigeonApiURLRequest&, const NativeObjectPtr& r,
                   const std::optional<platform::Bytes>& body) override {
    std::static_pointer_cast<Request>(r)->body = body;
  }
  std::optional<platform::Bytes> getHttpBody(PigeonApiURLRequest&,
                                             const NativeObjectPtr& r) override {
    return std::static_pointer_cast<Request>(r)->body;
  }
  void setAllHttpHeaderFields(PigeonApiURLRequest&, const NativeObjectPtr&,
                              const std::optional<platform::ValueMap>&) override {}
  std::optional<platform::ValueMap> getAllHttpHeaderFields(PigeonApiURLRequest&,
                                                           const NativeObjectPtr&) override {
    return std::nullopt;
  }
};

class NavigationDelegateDelegate : public PigeonApiDelegateWKNavigationDelegate {
 public:
  NativeObjectPtr pigeonDefaultConstructor(PigeonApiWKNavigationDelegate&) override {
    return std::make_shared<Named>("WKNavigationDelegate");
  }
};

class OriginDelegate : public PigeonApiDelegateWKSecurityOrigin {
 public:
  std::string host(PigeonApiWKSecurityOrigin&, const NativeObjectPtr&) override {
    return "example.test";
  }
  std::int64_t port(PigeonApiWKSecurityOrigin&, const NativeObjectPtr&) override { return 443; }
  std::string securityProtocol(PigeonApiWKSecurityOrigin&, const NativeObjectPtr&) override {
    return "https";
  }
};

class GeneratedProxyApisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter::Engine::create();
    registrar_ =
        ProxyApiRegistrar::create(engine_->registrarForPlugin("GeneratedTest")->messenger());
    ProxyApiDelegates delegates;
    delegates.URLRequest = std::make_shared<RequestDelegate>();
    delegates.WKNavigationDelegate = std::make_shared<NavigationDelegateDelegate>();
    delegates.WKSecurityOrigin = std::make_shared<OriginDelegate>();
    registrar_->setUp(delegates);
    driver_ = flutter::InProcessDriver::attach(engine_);
    for (const char* api : {"NSObject", "WKSecurityOrigin", "NSViewWKWebView"})
      answer(kPrefix + api + ".pigeon_newInstance", Value::list({Value()}));
  }
  void TearDown() override {
    driver_->detach();
    platform::MainLoop::instance().drain();
  }

  void answer(const std::string& channel, const Value& reply) {
    driver_->setAnswer(channel, [reply, codec = registrar_->codec()](const platform::Bytes&) {
      return codec->encode(reply);
    });
  }
  // The request goes through the proxy codec, so registered objects travel as references.
  Value call(const std::string& channel, const Value& request) {
    auto reply = driver_->sendMessage(kPrefix + channel, request, registrar_->codec());
    return reply ? *reply : Value("no reply");
  }
  std::vector<Value> sent(const std::string& channel) {
    platform::MainLoop::instance().drain();
    std::vector<Value> out;
    for (const auto& incoming : driver_->received()) {
      if (incoming.channel == kPrefix + channel)
        out.push_back(*registrar_->codec()->decode(incoming.message));
    }
    return out;
  }
  static Value ref(const NativeObjectPtr& object) { return Value(platform::ObjectPtr(object)); }
  static std::string code(const Value& reply) {
    return reply.isList() && reply.size() == 3 ? reply.asList()[0].asString() : "(not an error)";
  }

  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::shared_ptr<ProxyApiRegistrar> registrar_;
};

TEST_F(GeneratedProxyApisTest,
       ConstructorsRegisterUnderTheApplicationsIdentifierAndRefuseLiveOnes) {
  EXPECT_EQ(call("URLRequest.pigeon_defaultConstructor", Value::list({100, "https://a.test/"})),
            Value::list({Value()}));
  auto request = registrar_->instanceManager().instanceOf<Request>(100);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->url, "https://a.test/");

  // A second object under the live identifier is refused; the first stays.
  auto refused = call("URLRequest.pigeon_defaultConstructor", Value::list({100, "https://b/"}));
  EXPECT_EQ(code(refused), "identifier-in-use-error");
  EXPECT_EQ(registrar_->instanceManager().instance(100), request);

  // A constructor that throws registers nothing and replies its error.
  EXPECT_EQ(code(call("URLRequest.pigeon_defaultConstructor", Value::list({101, ""}))),
            "FWFURLParsingError");
  EXPECT_FALSE(registrar_->instanceManager().instance(101));
}

TEST_F(GeneratedProxyApisTest, MethodsDecodeTheirReceiverAndArgumentsAndCheckTheirClass) {
  auto request = std::make_shared<Request>();
  request->url = "https://a.test/";
  registrar_->instanceManager().addDartCreatedInstance(request, 7);
  auto other = std::make_shared<Named>("WKFrameInfo");
  registrar_->instanceManager().addDartCreatedInstance(other, 8);

  EXPECT_EQ(call("URLRequest.getUrl", Value::list({ref(request)})),
            Value::list({"https://a.test/"}));
  EXPECT_EQ(call("URLRequest.setHttpBody", Value::list({ref(request), platform::Bytes{1, 2}})),
            Value::list({Value()}));
  EXPECT_EQ(call("URLRequest.getHttpBody", Value::list({ref(request)})),
            Value::list({platform::Bytes{1, 2}}));
  EXPECT_EQ(call("URLRequest.setHttpBody", Value::list({ref(request), Value()})),
            Value::list({Value()}));
  EXPECT_FALSE(request->body.has_value());

  // Malformed requests: (request, why).
  const std::vector<std::pair<Value, const char*>> malformed = {
      {Value::list({ref(other)}), "a receiver of another class"},
      {Value::list({7}), "an identifier instead of a reference"},
      {Value::list({}), "no receiver"},
      {Value::list({ref(request), "text"}), "body of another kind"},
  };
  for (const auto& [request_, why] : malformed) {
    const char* channel = request_.size() == 2 ? "URLRequest.setHttpBody" : "URLRequest.getUrl";
    EXPECT_EQ(code(call(channel, request_)), "invalid-arguments") << why;
  }
  EXPECT_EQ(request->url, "https://a.test/");
}

TEST_F(GeneratedProxyApisTest, AnApiWithoutDelegateLeavesItsChannelsUnanswered) {
  auto webView = std::make_shared<Named>("WKWebView");
  registrar_->instanceManager().addDartCreatedInstance(webView, 9);
  auto raw = [this](const std::string& channel, const Value& request) {
    return driver_->sendAndWait(kPrefix + channel, registrar_->codec()->encode(request));
  };
  // The empty reply: no handler answered.
  EXPECT_EQ(raw("NSViewWKWebView.getUrl", Value::list({ref(webView)})), platform::Bytes{});
  EXPECT_EQ(raw("WKWebViewConfiguration.pigeon_defaultConstructor", Value::list({10})),
            platform::Bytes{});
  EXPECT_EQ(
      raw("URLRequest.getUrl", Value::list({})),
      registrar_->codec()->encode(Value::list(
          {"invalid-arguments", "getUrl: argument 0 is missing (expected an instance)", Value()})));
  EXPECT_FALSE(registrar_->instanceManager().instance(10));
}

TEST_F(GeneratedProxyApisTest, CallbacksAreRefusedWhileIgnoredOrUnregisteredElseJudged) {
  const std::string channel = "WKNavigationDelegate.decidePolicyForNavigationAction";
  auto& api = *registrar_->apis().WKNavigationDelegate;
  auto delegate = std::make_shared<Named>("WKNavigationDelegate");
  auto webView = std::make_shared<Named>("WKWebView");
  auto action = std::make_shared<Named>("WKNavigationAction");
  std::vector<pigeon::CallResult> results;
  auto collect = [&results](const pigeon::CallResult& r) { results.push_back(r); };

  api.decidePolicyForNavigationAction(delegate, webView, action, collect);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].error->code, "missing-instance-error");
  EXPECT_EQ(results[0].error->message,
            "Callback to `WKNavigationDelegate.decidePolicyForNavigationAction` failed because "
            "native instance was not in the instance manager.");

  EXPECT_EQ(call("WKNavigationDelegate.pigeon_defaultConstructor", Value::list({5})),
            Value::list({Value()}));
  auto registered = registrar_->instanceManager().instance(5);
  registrar_->setIgnoreCallsToDart(true);
  api.decidePolicyForNavigationAction(registered, webView, action, collect);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].error->code, "ignore-calls-error");
  EXPECT_TRUE(sent(channel).empty());
  EXPECT_TRUE(sent("NSViewWKWebView.pigeon_newInstance").empty());

  // Sent: the delegate as a reference, the web view announced first; a required result.
  registrar_->setIgnoreCallsToDart(false);
  answer(kPrefix + channel, Value::list({Value()}));
  api.decidePolicyForNavigationAction(registered, webView, action, collect);
  auto messages = sent(channel);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].asList()[0], ref(registered));
  EXPECT_EQ(sent("NSViewWKWebView.pigeon_newInstance"), std::vector<Value>{Value::list({65536})});
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[2].error->code, "null-error");
}

TEST_F(GeneratedProxyApisTest, AnnouncementsCarryTheDelegatesFields) {
  auto origin = std::make_shared<Named>("WKSecurityOrigin");
  registrar_->announce(origin);
  EXPECT_EQ(sent("WKSecurityOrigin.pigeon_newInstance"),
            std::vector<Value>{Value::list({65536, "example.test", 443, "https"})});
}

}  // namespace
}  // namespace webview
