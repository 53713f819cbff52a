#include "plugins/desktop/wakelock_plus_macos_plugin.h"

#include <gtest/gtest.h>

#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;

class WakelockPluginTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::PowerAssertions::setShared(assertions); }
  void TearDown() override { platform::PowerAssertions::setShared(nullptr); }

  // Sends one call; the answers arrive in `answers` as the main loop runs.
  void call(const std::string& method, Value arguments = {}) {
    plugin->handleMethodCall(flutter::MethodCall{method, std::move(arguments)},
                             [this](flutter::MethodResponse r) { answers.push_back(r); });
  }
  static Value enable(bool on) { return Value::map({{"enable", on}}); }

  platform::TestEnvironment env;
  std::shared_ptr<platform::PowerAssertionsTestDouble> assertions =
      std::make_shared<platform::PowerAssertionsTestDouble>();
  std::shared_ptr<WakelockPlusMacosPlugin> plugin = std::make_shared<WakelockPlusMacosPlugin>();
  std::vector<flutter::MethodResponse> answers;
};

TEST_F(WakelockPluginTest, TogglesSentTogetherAreSettledInOrderWithOneAssertion) {
  // The second enable arrives while the first is still being asked for.
  call("toggle", enable(true));
  call("toggle", enable(true));
  EXPECT_TRUE(answers.empty());  // "toggle" answers once settled
  env.runUntilIdle();
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_EQ(assertions->created(), 1);
  EXPECT_TRUE(plugin->wakelockEnabled());

  call("toggle", enable(false));
  call("toggle", enable(false));
  env.runUntilIdle();
  EXPECT_EQ(assertions->released(), 1);
  EXPECT_TRUE(assertions->held().empty());
  EXPECT_FALSE(plugin->wakelockEnabled());
  for (const auto& a : answers)
    EXPECT_EQ(a, flutter::MethodResponse(true));
}

TEST_F(WakelockPluginTest, ARefusalLeavesItOffAndStillAnswersTrue) {
  assertions->setGrants(false);
  call("toggle", enable(true));
  env.runUntilIdle();
  call("enabled");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], flutter::MethodResponse(true));
  EXPECT_EQ(answers[1], flutter::MethodResponse(false));
}

TEST_F(WakelockPluginTest, MalformedTogglesChangeNothing) {
  for (Value args : {Value(), Value("enable"), Value::map({{"enable", 1}}), Value::emptyMap()}) {
    call("toggle", args);
  }
  env.runUntilIdle();
  ASSERT_EQ(answers.size(), 4u);
  for (const auto& a : answers) {
    ASSERT_TRUE(a.isError());
    EXPECT_EQ(a.error().code, "invalid-arguments");
  }
  EXPECT_EQ(assertions->created(), 0);
}

}  // namespace
