#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/webkit/web_view.h"

namespace platform::webkit {
namespace {

using platform::Value;

// Keeps the handlers it is given so the test decides when and how to answer.
class HeldNavigation : public NavigationDelegate {
 public:
  void decidePolicyForNavigationAction(const std::shared_ptr<WebView>&,
                                       const std::shared_ptr<NavigationAction>& action,
                                       std::function<void(std::int64_t)> handler) override {
    events.push_back("action " + action->request.url->absoluteString() + " " +
                     std::to_string(action->navigationType));
    decisions.push_back(std::move(handler));
  }
  void didStartProvisionalNavigation(const std::shared_ptr<WebView>& webView) override {
    events.push_back("start " + webView->url()->absoluteString());
  }
  void decidePolicyForNavigationResponse(const std::shared_ptr<WebView>&,
                                         const std::shared_ptr<NavigationResponse>& response,
                                         std::function<void(std::int64_t)> handler) override {
    auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response->response);
    events.push_back("response " + (http ? std::to_string(http->statusCode) : std::string("file")));
    decisions.push_back(std::move(handler));
  }
  void didFinishNavigation(const std::shared_ptr<WebView>&) override { events.push_back("finish"); }
  void didFailNavigation(const std::shared_ptr<WebView>&, const platform::ErrorPtr&) override {
    events.push_back("fail");
  }
  void didFailProvisionalNavigation(const std::shared_ptr<WebView>&,
                                    const platform::ErrorPtr& error) override {
    failure = error;
    events.push_back("fail provisional");
  }
  void webContentProcessDidTerminate(const std::shared_ptr<WebView>&) override {
    events.push_back("terminate");
  }
  void didReceiveAuthenticationChallenge(
      const std::shared_ptr<WebView>&, const std::shared_ptr<AuthenticationChallenge>& challenge,
      std::function<void(std::int64_t, std::shared_ptr<URLCredential>)> handler) override {
    events.push_back("challenge " + challenge->protectionSpace->host);
    if (answerTrust) {
      handler(kAuthChallengeUseCredential, std::make_shared<URLCredential>(answerTrust));
      return;
    }
    handler(kAuthChallengeUseCredential, std::make_shared<URLCredential>("u", "p", 1));
  }

  platform::SecTrustPtr answerTrust;  // when set, answers with a credential for this trust

  std::vector<std::string> events;
  std::vector<std::function<void(std::int64_t)>> decisions;
  platform::ErrorPtr failure;
};

std::vector<Value> answers(const WebView& webView) {
  std::vector<Value> out;
  for (const auto& record : webView.handlerRecords())
    out.push_back(record.asMap().at(Value("answer")));
  return out;
}

TEST(WebViewNavigationTest, EachStepWaitsForTheDecisionBeforeIt) {
  WebView::scriptLoad("https://nav.invalid/", {201, "N", std::nullopt});
  auto webView = std::make_shared<WebView>(nullptr);
  auto delegate = std::make_shared<HeldNavigation>();
  webView->setNavigationDelegate(delegate);

  webView->loadRequest(URLRequest(*platform::URL::parse("https://nav.invalid/")));
  EXPECT_EQ(delegate->events, std::vector<std::string>{"action https://nav.invalid/ -1"});
  EXPECT_FALSE(webView->url());
  delegate->decisions.at(0)(kNavigationPolicyAllow);
  EXPECT_EQ(delegate->events.back(), "response 201");
  EXPECT_EQ(delegate->events.at(1), "start https://nav.invalid/");
  EXPECT_FALSE(webView->title());  // not committed before the response is allowed
  delegate->decisions.at(1)(kNavigationPolicyAllow);
  EXPECT_EQ(delegate->events.back(), "finish");
  EXPECT_EQ(webView->title(), "N");

  // A cancelled link keeps the page; a cancelled response does too.
  webView->clickLink(*platform::URL::parse("https://other.invalid/"), kNavigationTypeLinkActivated,
                     true);
  delegate->decisions.at(2)(kNavigationPolicyCancel);
  webView->clickLink(*platform::URL::parse("https://other.invalid/"), 0, true);
  delegate->decisions.at(3)(kNavigationPolicyAllow);
  delegate->decisions.at(4)(kNavigationPolicyCancel);
  EXPECT_EQ(webView->url()->absoluteString(), "https://nav.invalid/");
  EXPECT_EQ(answers(*webView),
            (std::vector<Value>{Value(1), Value(1), Value(0), Value(1), Value(0)}));

  // A second call of a handler is a broken precondition and changes nothing.
  platform::ScopedAssertionCapture capture;
  delegate->decisions.at(2)(kNavigationPolicyAllow);
  EXPECT_EQ(capture.count(), 1u);
  EXPECT_EQ(answers(*webView).at(2), Value(0));
  EXPECT_EQ(delegate->decisions.size(), 5u);
}

TEST(WebViewNavigationTest, AFailedLoadReportsTheFailingURLAndTheUnderlyingError) {
  WebView::scriptLoad("https://down.invalid/", {200, std::nullopt, std::string("lost")});
  auto webView = std::make_shared<WebView>(nullptr);
  auto delegate = std::make_shared<HeldNavigation>();
  webView->setNavigationDelegate(delegate);
  webView->loadRequest(URLRequest(*platform::URL::parse("https://down.invalid/")));
  delegate->decisions.at(0)(kNavigationPolicyAllow);
  ASSERT_EQ(delegate->events.back(), "fail provisional");
  ASSERT_TRUE(delegate->failure);
  const auto& info = delegate->failure->userInfo;
  auto url = info.at(Value("NSErrorFailingURLKey")).asObject();
  ASSERT_TRUE(std::dynamic_pointer_cast<URLObject>(url));
  EXPECT_EQ(std::dynamic_pointer_cast<URLObject>(url)->url.absoluteString(),
            "https://down.invalid/");
  EXPECT_TRUE(info.at(Value("NSUnderlyingError")).ifError());
  EXPECT_FALSE(webView->url());  // the provisional URL is gone again
  webView->terminateWebContentProcess();
  EXPECT_EQ(delegate->events.back(), "terminate");
  ASSERT_TRUE(webView->receiveAuthenticationChallenge(
      std::make_shared<ProtectionSpace>("down.invalid", 443, "r", kAuthenticationMethodHTTPBasic)));
  EXPECT_EQ(delegate->events.back(), "challenge down.invalid");
  EXPECT_EQ(answers(*webView).back(), Value::map({{"disposition", 0},
                                                  {"user", "u"},
                                                  {"password", "p"},
                                                  {"persistence", 1},
                                                  {"trust", false}}));

  // A trust credential: the engine tells its own challenge's trust from another one.
  auto own = std::make_shared<platform::SecTrust>(std::vector<platform::SecCertificatePtr>{},
                                                  "down.invalid",
                                                  std::vector<platform::SecCertificatePtr>{});
  auto other = std::make_shared<platform::SecTrust>(std::vector<platform::SecCertificatePtr>{},
                                                    "down.invalid",
                                                    std::vector<platform::SecCertificatePtr>{});
  for (const auto& [answered, same] : {std::pair{own, true}, std::pair{other, false}}) {
    delegate->answerTrust = answered;
    ASSERT_TRUE(webView->receiveAuthenticationChallenge(std::make_shared<ProtectionSpace>(
        "down.invalid", 443, std::nullopt, kAuthenticationMethodServerTrust, own)));
    EXPECT_EQ(answers(*webView).back(), Value::map({{"disposition", 0},
                                                    {"user", Value()},
                                                    {"password", Value()},
                                                    {"persistence", 1},
                                                    {"trust", true},
                                                    {"trustOfThisChallenge", same}}));
  }
}

}  // namespace
}  // namespace platform::webkit
