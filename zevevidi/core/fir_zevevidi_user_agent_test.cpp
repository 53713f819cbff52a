#include "zevevidi/core/fir_zevevidi_user_agent.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/foundation/bundle.h"

namespace {

using platform::Value;

std::vector<std::string> entries(const std::string& agent) {
  std::vector<std::string> out;
  std::istringstream in(agent);
  for (std::string e; in >> e;)
    out.push_back(e);
  return out;
}

class FIRZevevidiUserAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")},
                         {Value("DTSDKBuild"), Value("23A")},
                         {Value("DTXcodeBuild"), Value("15A")}}));
  }
  void TearDown() override { platform::Bundle::setMainForTesting(nullptr); }
};

TEST_F(FIRZevevidiUserAgentTest, EnvironmentEntriesAreSortedAndWinOverRegisteredValues) {
  FIRZevevidiUserAgent agent;
  agent.setValue(std::string("11.15.0"), "zev-ios");
  agent.setValue(std::string("9"), "deploy");
  agent.setValue(std::string("1"), "Zeta");
  auto list = entries(agent.zevevidiUserAgent());
  const std::vector<std::string> prefixes = {
      "apple-platform/macos", "apple-sdk/23A", "appstore/false", "deploy/swiftpm", "device/",
      "os-version/",          "xcode/15A",     "Zeta/1",         "zev-ios/11.15.0"};
  ASSERT_EQ(list.size(), prefixes.size()) << agent.zevevidiUserAgent();
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].rfind(prefixes[i], 0), 0u) << list[i] << " at " << i;
  }
}

TEST_F(FIRZevevidiUserAgentTest, ChangesRebuildTheKeptString) {
  FIRZevevidiUserAgent agent;
  std::string before = agent.zevevidiUserAgent();
  agent.setValue(std::string("2.0"), "lib");
  std::string with = agent.zevevidiUserAgent();
  EXPECT_NE(with.find("lib/2.0"), std::string::npos);
  agent.setValue(std::nullopt, "lib");
  EXPECT_EQ(agent.zevevidiUserAgent(), before);
  agent.setValue(std::string("1"), "zev-ios");
  agent.reset();
  EXPECT_EQ(agent.zevevidiUserAgent(), before);
}

}  // namespace
