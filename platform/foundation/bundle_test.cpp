#include "platform/foundation/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace platform {
namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(scratch_ / "App.bundle/Resources/web");
    writePropertyListFile(
        scratch_ / "App.bundle/Info.plist",
        Value::map(
            {{"CFBundleIdentifier", "com.example.app"},
             {"CFBundleShortVersionString", "2.1"},
             {"CFBundleURLTypes",
              Value::list({Value::map({{"CFBundleURLSchemes", Value::list({"one", "two"})}}),
                           Value::map({{"CFBundleURLName", "no schemes"}}),
                           Value::map({{"CFBundleURLSchemes", Value::list({"three", 4})}})})}}),
        PropertyListFormat::Xml);
    std::ofstream(scratch_ / "App.bundle/Resources/Options-Info.plist") << "x";
    std::ofstream(scratch_ / "App.bundle/Resources/web/index.html") << "x";
    std::ofstream(scratch_ / "secret.txt") << "outside";
  }
  void TearDown() override { Bundle::setMainForTesting(nullptr); }
  ScratchDirForTesting scratch_;
};

TEST_F(BundleTest, MainBundleFromTheEnvironment) {
  ScopedEnvironmentForTesting env("LUMORA_BUNDLE", scratch_ / "App.bundle");
  Bundle::setMainForTesting(nullptr);
  auto main = Bundle::main();
  EXPECT_EQ(main->bundlePath(), scratch_ / "App.bundle");
  EXPECT_EQ(main->bundleIdentifier(), "com.example.app");
  EXPECT_EQ(main->objectForInfoDictionaryKey("CFBundleShortVersionString"), Value("2.1"));
  EXPECT_TRUE(main->objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(main->urlSchemes(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(BundleTest, FallsBackToTheBuiltInIdentifierWithoutABundle) {
  ScopedEnvironmentForTesting env("LUMORA_BUNDLE", scratch_ / "missing");
  Bundle::setMainForTesting(nullptr);
  auto main = Bundle::main();
  // The test binary has no default bundle copied beside it.
  EXPECT_EQ(main->bundleIdentifier(), kDefaultBundleIdentifier);
  EXPECT_TRUE(main->urlSchemes().empty());
}

TEST_F(BundleTest, ResourcesByNameAndTypeStayInsideTheBundle) {
  auto b = Bundle::bundleWithPath(scratch_ / "App.bundle");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->pathForResource("Options-Info", "plist"),
            scratch_ / "App.bundle/Resources/Options-Info.plist");
  EXPECT_EQ(b->pathForResource("Options-Info.plist", ""),
            scratch_ / "App.bundle/Resources/Options-Info.plist");
  EXPECT_EQ(b->pathForResource("index", "html", "web"),
            scratch_ / "App.bundle/Resources/web/index.html");
  EXPECT_EQ(b->pathForResource("Missing", "plist"), std::nullopt);
  EXPECT_EQ(b->pathForResource("web", ""), std::nullopt);  // folders are not resources
  EXPECT_EQ(b->pathForResource("../../secret", "txt"), std::nullopt);
  EXPECT_EQ(b->pathForResource("secret", "txt", "../.."), std::nullopt);
  EXPECT_EQ(b->pathForResource("/etc/passwd", ""), std::nullopt);
  EXPECT_EQ(Bundle::bundleWithPath(scratch_ / "missing"), nullptr);
}

TEST_F(BundleTest, ShippedDefaultBundleNamesTheHost) {
  auto b = Bundle::bundleWithPath(LUMORA_DEFAULT_BUNDLE_SOURCE);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bundleIdentifier(), kDefaultBundleIdentifier);
  EXPECT_TRUE(b->objectForInfoDictionaryKey("CFBundleShortVersionString").isString());
  EXPECT_TRUE(b->objectForInfoDictionaryKey("CFBundleVersion").isString());
  EXPECT_TRUE(b->objectForInfoDictionaryKey("CFBundleName").isString());
}

}  // namespace
}  // namespace platform
