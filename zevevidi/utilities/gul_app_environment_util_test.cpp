#include "zevevidi/utilities/gul_app_environment_util.h"

#include <gtest/gtest.h>

#include "platform/foundation/environment.h"

#include <filesystem>
#include <fstream>

#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace {

using platform::Value;

TEST(GULAppEnvironmentUtilTest, ConstantAnswersOfThisPlatform) {
  EXPECT_FALSE(GULAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(GULAppEnvironmentUtil::isAppExtension());
  EXPECT_FALSE(GULAppEnvironmentUtil::isAppClip());
  EXPECT_TRUE(GULAppEnvironmentUtil::supportsBackgroundURLSessionUploads());
  EXPECT_EQ(GULAppEnvironmentUtil::applePlatform(), "macos");
  EXPECT_EQ(GULAppEnvironmentUtil::appleDevicePlatform(), "macos");
  EXPECT_EQ(GULAppEnvironmentUtil::deploymentType(), "swiftpm");
  EXPECT_EQ(GULNetworkInfo::getNetworkType(), -1);
  EXPECT_EQ(GULNetworkInfo::getNetworkRadioType(), "");
}

TEST(GULAppEnvironmentUtilTest, ADevelopmentBuildIsNotFromTheStore) {
  EXPECT_FALSE(IsAppEncrypted());
  EXPECT_FALSE(GULAppEnvironmentUtil::isFromAppStore());
}

TEST(GULAppEnvironmentUtilTest, SystemVersionDropsAZeroPatch) {
  const std::pair<const char*, const char*> cases[] = {
      {"14.4.0", "14.4"}, {"14.4.1", "14.4.1"}, {"15", "15.0"}, {"13.0.2", "13.0.2"}};
  for (const auto& [variable, expected] : cases) {
    platform::ScopedEnvironmentForTesting env(platform::kOperatingSystemVersionVariable, variable);
    EXPECT_EQ(GULAppEnvironmentUtil::systemVersion(), expected) << variable;
  }
  platform::ScopedEnvironmentForTesting unset(platform::kOperatingSystemVersionVariable,
                                              std::nullopt);
  EXPECT_EQ(GULAppEnvironmentUtil::systemVersion(), "14.0");
}

TEST(GULAppEnvironmentUtilTest, SandboxReceiptUnlessTheCheckIsSwitchedOff) {
  platform::ScratchDirForTesting scratch;
  std::filesystem::create_directories(scratch / "Receipt");
  struct Case {
    const char* name;
    bool sandboxReceipt;
    Value checkSwitch;
    bool expected;
  };
  const Case cases[] = {
      {"no receipt", false, Value(), false},    {"sandbox receipt", true, Value(), true},
      {"switch NO", true, Value(false), false}, {"switch 0", true, Value(0), false},
      {"switch YES", true, Value(true), true},  {"switch not a number", true, Value("NO"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(scratch / "Receipt/sandboxReceipt");
    if (c.sandboxReceipt) std::ofstream(scratch / "Receipt/sandboxReceipt") << "receipt";
    platform::ValueMap info;
    if (!c.checkSwitch.isNull())
      info[Value(GULAppEnvironmentUtil::kReceiptURLCheckEnabledKey)] = c.checkSwitch;
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(scratch.path(), info));
    EXPECT_EQ(GULAppEnvironmentUtil::isAppStoreReceiptSandbox(), c.expected);
    // Whatever the receipt says, an unencrypted executable is no store build.
    EXPECT_FALSE(GULAppEnvironmentUtil::isFromAppStore());
  }
  platform::Bundle::setMainForTesting(nullptr);
}

TEST(GULAppEnvironmentUtilTest, KernelEntriesByName) {
  EXPECT_EQ(GULAppEnvironmentUtil::getSysctlEntry("kernel.ostype"),
            std::optional<std::string>("Linux"));
  const char* missing[] = {"no.such.entry", "", "kernel/../../etc/passwd", "..", "kernel"};
  for (const char* name : missing) {
    EXPECT_FALSE(GULAppEnvironmentUtil::getSysctlEntry(name).has_value()) << name;
  }
  EXPECT_FALSE(GULAppEnvironmentUtil::getSysctlEntry(nullptr).has_value());
  EXPECT_FALSE(GULAppEnvironmentUtil::deviceModel().empty());
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), GULAppEnvironmentUtil::deviceModel());
}

}  // namespace
