#include "platform/foundation/process_info.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "platform/foundation/environment.h"

namespace platform {
namespace {

class ProcessInfoTest : public testing::Test {
 protected:
  static ProcessInfo& info() { return ProcessInfo::processInfo(); }
};

TEST_F(ProcessInfoTest, OperatingSystemVersionComesFromTheVariableWithADefault) {
  struct Case {
    const char* variable;  // null: unset
    OperatingSystemVersion version;
    const char* text;
  };
  const Case cases[] = {
      {nullptr, {14, 0, 0}, "14.0"},
      {"13", {13, 0, 0}, "13.0"},
      {"12.6", {12, 6, 0}, "12.6"},
      {"10.15.7", {10, 15, 7}, "10.15.7"},
      {"15.0.0", {15, 0, 0}, "15.0"},
      {"11.0.1", {11, 0, 1}, "11.0.1"},
      // Malformed values fall back to the default.
      {"", {14, 0, 0}, "14.0"},
      {"x", {14, 0, 0}, "14.0"},
      {"13.", {14, 0, 0}, "14.0"},
      {"1.2.3.4", {14, 0, 0}, "14.0"},
      {"-1.0", {14, 0, 0}, "14.0"},
      {"13.1 ", {14, 0, 0}, "14.0"},
      {"99999999999999999999.0", {14, 0, 0}, "14.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable ? c.variable : "(unset)");
    ScopedEnvironmentForTesting env(kOperatingSystemVersionVariable,
                                    c.variable ? std::optional<std::string>(c.variable)
                                               : std::nullopt);
    EXPECT_EQ(info().operatingSystemVersion(), c.version);
    EXPECT_EQ(info().operatingSystemVersionString(), c.text);
  }
}

TEST_F(ProcessInfoTest, AtLeastComparesComponentByComponent) {
  ScopedEnvironmentForTesting env(kOperatingSystemVersionVariable, "10.15.7");
  EXPECT_TRUE(info().isOperatingSystemAtLeastVersion({10, 15, 7}));
  EXPECT_TRUE(info().isOperatingSystemAtLeastVersion({10, 9, 0}));
  EXPECT_FALSE(info().isOperatingSystemAtLeastVersion({10, 15, 8}));
  EXPECT_FALSE(info().isOperatingSystemAtLeastVersion({11, 0, 0}));
}

TEST_F(ProcessInfoTest, ArgumentsDefaultToTheCommandLineAndCanBeReplaced) {
  const auto launched = info().arguments();
  ASSERT_FALSE(launched.empty());
  EXPECT_NE(launched[0].find("platform_foundation_tests"), std::string::npos);
  info().setArguments({"lumora", "-FIRDebugEnabled"});
  EXPECT_EQ(info().arguments(), (std::vector<std::string>{"lumora", "-FIRDebugEnabled"}));
  info().setArguments(launched);
}

TEST_F(ProcessInfoTest, EnvironmentIsTheSnapshotNotTheLiveEnvironment) {
  {
    ScopedEnvironmentForTesting env("LUMORA_TEST_VALUE", "a=b");
    EXPECT_EQ(info().environmentValue("LUMORA_TEST_VALUE"), "a=b");
    EXPECT_EQ(info().environment().at("LUMORA_TEST_VALUE"), "a=b");
    EXPECT_EQ(std::getenv("LUMORA_TEST_VALUE"), nullptr);  // the process's own is untouched
  }
  EXPECT_EQ(info().environmentValue("LUMORA_TEST_VALUE"), std::nullopt);
  // A change of the live environment after start-up is not seen: threads never read it.
  ::setenv("LUMORA_TEST_LIVE", "1", 1);
  EXPECT_EQ(info().environmentValue("LUMORA_TEST_LIVE"), std::nullopt);
  ::unsetenv("LUMORA_TEST_LIVE");
  EXPECT_EQ(info().environmentValue("PATH"), std::string(std::getenv("PATH")));
}

}  // namespace
}  // namespace platform
