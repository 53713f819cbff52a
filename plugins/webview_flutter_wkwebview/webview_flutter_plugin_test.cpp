#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/log/log.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {
namespace {

using platform::Value;
using platform::webkit::NativeObject;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";
const std::string kRemove = kPrefix + "PigeonInternalInstanceManager.removeStrongReference";
const std::string kClear = kPrefix + "PigeonInternalInstanceManager.clear";
const std::string kNewObject = kPrefix + "NSObject.pigeon_newInstance";

class WebViewFlutterPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter::Engine::create();
    WebViewFlutterPlugin::registerWith(engine_->registrarForPlugin(WebViewFlutterPlugin::kKey));
    auto plugin = std::dynamic_pointer_cast<WebViewFlutterPlugin>(
        engine_->valuePublishedByPlugin(WebViewFlutterPlugin::kKey));
    ASSERT_TRUE(plugin);
    registrar_ = plugin->proxyApiRegistrar();
    driver_ = flutter::InProcessDriver::attach(engine_);
    answer(kRemove, Value::list({Value()}));
    answer(kNewObject, Value::list({Value()}));
  }
  void TearDown() override {
    driver_->detach();
    platform::MainLoop::instance().drain();
  }

  void answer(const std::string& channel, const Value& reply) {
    driver_->setAnswer(channel, [reply](const platform::Bytes&) {
      return WebKitLibraryPigeonCodec::shared()->encode(reply);
    });
  }
  // Messages the host sent on `channel`, decoded.
  std::vector<Value> sent(const std::string& channel) {
    platform::MainLoop::instance().drain();
    std::vector<Value> out;
    for (const auto& incoming : driver_->received()) {
      if (incoming.channel == channel)
        out.push_back(*registrar_->codec()->decode(incoming.message));
    }
    return out;
  }
  Value call(const std::string& channel, const Value& request) {
    auto reply = driver_->sendMessage(channel, request, WebKitLibraryPigeonCodec::shared());
    return reply ? *reply : Value("no reply");
  }
  std::shared_ptr<NativeObject> announceNew() {
    auto object = std::make_shared<NativeObject>();
    registrar_->announce(object);
    return object;
  }

  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::shared_ptr<ProxyApiRegistrar> registrar_;
};

TEST_F(WebViewFlutterPluginTest, AnnouncedObjectsLiveUntilReleasedAndTheirDeathIsReported) {
  auto first = announceNew();
  auto second = announceNew();
  registrar_->announce(first);  // known: nothing sent
  EXPECT_EQ(sent(kNewObject), (std::vector<Value>{Value::list({65536}), Value::list({65537})}));

  EXPECT_EQ(call(kRemove, Value::list({65536})), Value::list({Value()}));
  EXPECT_FALSE(registrar_->instanceManager().isHeldStrongly(65536));
  EXPECT_TRUE(sent(kRemove).empty());
  first.reset();
  EXPECT_EQ(sent(kRemove), std::vector<Value>{Value::list({65536})});

  // After "clear" nothing registered before is reported, and numbering restarts.
  EXPECT_EQ(call(kClear, Value()), Value::list({Value()}));
  registrar_->instanceManager().removeInstance(65537);
  second.reset();
  EXPECT_EQ(sent(kRemove).size(), 1u);
  announceNew();
  EXPECT_EQ(sent(kNewObject).back(), Value::list({65536}));
}

TEST_F(WebViewFlutterPluginTest, RemoveStrongReferenceRequests) {
  EXPECT_EQ(call(kRemove, Value::list({424242})), Value::list({Value()}));
  auto malformed = call(kRemove, Value::list({"x"}));
  ASSERT_TRUE(malformed.isList());
  EXPECT_EQ(malformed.asList().at(0), Value("invalid-arguments"));
}

TEST_F(WebViewFlutterPluginTest, MalformedRepliesToRemoveStrongReferenceAreFailures) {
  for (const auto& reply : {Value::list({"a", "b"}), Value::list({})}) {
    answer(kRemove, reply);
    std::optional<pigeon::CallResult> result;
    registrar_->removeStrongReference(65536, [&](pigeon::CallResult r) { result = r; });
    platform::MainLoop::instance().drain();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->isSuccess()) << reply.debugString();
  }
  // Still serving.
  EXPECT_EQ(call(kRemove, Value::list({1})), Value::list({Value()}));
}

TEST_F(WebViewFlutterPluginTest, MainThreadWorkRunsOnALaterTurnAndNothingItThrowsEscapes) {
  platform::ScopedLogCapture log;
  // What each work item does with its turn, and the line that must be logged for it.
  const std::vector<
      std::pair<std::function<void(const ProxyApiRegistrar::FailureReporter&)>, std::string>>
      cases = {
          {[](const ProxyApiRegistrar::FailureReporter& onFailure) {
             onFailure("WKUIDelegate.onCreateWebView",
                       pigeon::PigeonError("code-x", "message-x", Value()));
           },
           "Error returned from calling WKUIDelegate.onCreateWebView: message-x"},
          {[](const ProxyApiRegistrar::FailureReporter&) { throw std::runtime_error("boom"); },
           "web view bridge: a main-thread task failed: boom"},
          {[](const ProxyApiRegistrar::FailureReporter&) { throw 42; },
           "web view bridge: a main-thread task failed"},
      };
  std::vector<int> ran;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    registrar_->dispatchOnMainThread(
        [&ran, i, work = cases[i].first](const ProxyApiRegistrar::FailureReporter& onFailure) {
          ran.push_back(static_cast<int>(i));
          work(onFailure);
        });
  }
  EXPECT_TRUE(ran.empty());  // never inline
  platform::MainLoop::instance().drain();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  const auto messages = log.messages();
  EXPECT_EQ(log.count(cases[0].second), 1u);  // the end of the logged failure
  for (std::size_t i = 1; i < cases.size(); ++i)
    EXPECT_EQ(std::count(messages.begin(), messages.end(), cases[i].second), 1) << cases[i].second;
}

TEST_F(WebViewFlutterPluginTest, IgnoringCallsSendsNoAnnouncement) {
  registrar_->setIgnoreCallsToDart(true);
  auto object = std::make_shared<NativeObject>();
  std::optional<pigeon::CallResult> result;
  registrar_->pigeonNewInstance(object, [&](pigeon::CallResult r) { result = r; });
  ASSERT_TRUE(result && result->error);
  EXPECT_EQ(result->error->code, "ignore-calls-error");
  EXPECT_TRUE(sent(kNewObject).empty());
  EXPECT_FALSE(registrar_->instanceManager().containsInstance(object));
}

TEST_F(WebViewFlutterPluginTest, ObjectsDyingOnWorkerThreadsAreReportedFromTheMainLoop) {
  std::vector<std::shared_ptr<NativeObject>> objects;
  for (int i = 0; i < 50; ++i)
    objects.push_back(announceNew());
  for (std::int64_t id = 65536; id < 65586; ++id)
    registrar_->instanceManager().removeInstance(id);
  std::thread worker([&objects] { objects.clear(); });
  for (int i = 0; i < 50; ++i)
    announceNew();
  worker.join();
  EXPECT_EQ(sent(kRemove).size(), 50u);
}

TEST(AnnouncingApiTest, ClassesAnnounceUnderTheirApi) {
  EXPECT_EQ(ProxyApiRegistrar::announcingApi("WKWebView"), "NSViewWKWebView");
  EXPECT_EQ(ProxyApiRegistrar::announcingApi("NSHTTPURLResponse"), "HTTPURLResponse");
  EXPECT_EQ(ProxyApiRegistrar::announcingApi("NSError"), "NSError");
  EXPECT_EQ(ProxyApiRegistrar::announcingApi("SomethingElse"), "NSObject");
}

}  // namespace
}  // namespace webview
