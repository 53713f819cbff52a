#include "platform/webkit/user_content_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/test_environment.h"
#include "platform/webkit/web_view_configuration.h"

namespace platform::webkit {
namespace {

using platform::Value;

class RecordingHandler : public ScriptMessageHandler {
 public:
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<UserContentController>& controller,
      const std::shared_ptr<ScriptMessage>& message) override {
    received.push_back(message->name + ":" + (message->body ? message->body->debugString() : "-"));
    controllers.push_back(controller);
  }
  std::vector<std::string> received;
  std::vector<std::shared_ptr<UserContentController>> controllers;
};

TEST(UserContentControllerTest, PostedMessagesReachTheHandlerOfTheirNameLaterInOrder) {
  platform::TestEnvironment env;
  auto controller = std::make_shared<UserContentController>();
  auto bridge = std::make_shared<RecordingHandler>();
  auto other = std::make_shared<RecordingHandler>();
  ASSERT_TRUE(controller->addScriptMessageHandler(bridge, "bridge"));
  ASSERT_TRUE(controller->addScriptMessageHandler(other, "other"));
  // A second handler under a name in use is refused; the first stays.
  EXPECT_FALSE(controller->addScriptMessageHandler(other, "bridge"));
  EXPECT_EQ(controller->scriptMessageHandler("bridge"), bridge);

  EXPECT_TRUE(controller->postScriptMessage("bridge", Value("a")));
  EXPECT_TRUE(controller->postScriptMessage("bridge", std::nullopt));
  EXPECT_TRUE(controller->postScriptMessage("other", Value(1)));
  EXPECT_FALSE(controller->postScriptMessage("nobody", Value("x")));
  EXPECT_TRUE(bridge->received.empty());  // not within the posting turn
  env.runUntilIdle();
  EXPECT_EQ(bridge->received, (std::vector<std::string>{"bridge:\"a\"", "bridge:-"}));
  EXPECT_EQ(other->received, std::vector<std::string>{"other:1"});
  EXPECT_EQ(bridge->controllers.at(0), controller);

  controller->removeScriptMessageHandlerForName("bridge");
  EXPECT_FALSE(controller->postScriptMessage("bridge", Value("b")));
  controller->removeAllScriptMessageHandlers();
  EXPECT_TRUE(controller->scriptMessageHandlerNames().empty());
}

TEST(UserContentControllerTest, UserScriptsStayInTheOrderAdded) {
  UserContentController controller;
  auto start = std::make_shared<UserScript>("a()", UserScriptInjectionTime::atDocumentStart, true);
  auto end = std::make_shared<UserScript>("b()", UserScriptInjectionTime::atDocumentEnd, false);
  controller.addUserScript(end);
  controller.addUserScript(start);
  EXPECT_EQ(controller.userScripts(), (std::vector<std::shared_ptr<UserScript>>{end, start}));
  EXPECT_EQ(end->engineState().at(Value("injectionTime")), Value("atDocumentEnd"));
  controller.removeAllUserScripts();
  EXPECT_TRUE(controller.userScripts().empty());
}

TEST(WebViewConfigurationTest, StartsWithFreshObjectsAndTheDefaultStoreAndSettersReplace) {
  WebViewConfiguration a, b;
  EXPECT_NE(a.userContentController(), b.userContentController());
  EXPECT_NE(a.preferences(), b.preferences());
  EXPECT_NE(a.defaultWebpagePreferences(), b.defaultWebpagePreferences());
  EXPECT_EQ(a.websiteDataStore(), WebsiteDataStore::defaultDataStore());
  EXPECT_EQ(a.preferences(), a.preferences());  // the held object, not a copy

  auto preferences = std::make_shared<Preferences>();
  a.setPreferences(preferences);
  EXPECT_EQ(a.preferences(), preferences);
  auto store = std::make_shared<WebsiteDataStore>();
  a.setWebsiteDataStore(store);
  EXPECT_EQ(a.websiteDataStore(), store);
  a.setMediaTypesRequiringUserActionForPlayback(audiovisual_media_type::kAll);
  EXPECT_EQ(a.engineState().at(Value("mediaTypesRequiringUserActionForPlayback")),
            Value("0xffffffffffffffff"));
}

}  // namespace
}  // namespace platform::webkit
