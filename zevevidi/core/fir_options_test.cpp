#include "zevevidi/core/fir_options.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/core/exception.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using platform::ValueMap;

ValueMap M(std::initializer_list<std::pair<const Value, Value>> items) {
  return ValueMap(items);
}

class FIROptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FIRApp::resetStateForTesting();
    FIROptions::resetDefaultOptions();
    useBundle({});
  }
  void TearDown() override {
    FIRApp::resetStateForTesting();
    FIROptions::resetDefaultOptions();
    platform::Bundle::setMainForTesting(nullptr);
  }
  // A main bundle with `info` and, when given, the options resource.
  void useBundle(ValueMap info, std::optional<ValueMap> resource = std::nullopt) {
    fs::path root = fs::path(scratch_.path()) / ("bundle" + std::to_string(bundles_++));
    fs::create_directories(root / "Resources");
    info[Value("CFBundleIdentifier")] = Value("com.example.app");
    ASSERT_TRUE(platform::writePropertyListFile((root / "Info.plist").string(), Value(info),
                                                platform::PropertyListFormat::Xml));
    if (resource) {
      ASSERT_TRUE(platform::writePropertyListFile(
          (root / "Resources" / "ZirizaService-Info.plist").string(), Value(*resource),
          platform::PropertyListFormat::Xml));
    }
    platform::Bundle::setMainForTesting(platform::Bundle::bundleWithPath(root.string()));
  }

  platform::ScratchDirForTesting scratch_;
  platform::ScopedPreferencesForTesting preferences_;
  int bundles_ = 0;
};

TEST_F(FIROptionsTest, DefaultOptionsComeFromTheResourceOnce) {
  useBundle({}, M({{"ZIRIZA_APP_ID", "1:1:ios:ab"}, {"API_KEY", "key"}}));
  auto options = FIROptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->zirizaAppID(), "1:1:ios:ab");
  EXPECT_EQ(options->APIKey(), "key");
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_EQ(FIROptions::defaultOptions(), options);
}

TEST_F(FIROptionsTest, AMissingResourceIsReportedOnce) {
  platform::ScopedLogCapture capture;
  EXPECT_EQ(FIROptions::defaultOptions(), nullptr);
  EXPECT_EQ(FIROptions::defaultOptions(), nullptr);
  GULLoggerFlushForTesting();
  EXPECT_EQ(capture.count("I-COR000012"), 1u);
  EXPECT_EQ(capture.count("Could not locate configuration file: 'ZirizaService-Info.plist'."), 1u);
}

TEST_F(FIROptionsTest, FilesThatAreNotDictionariesGiveNoOptions) {
  platform::ScopedLogCapture capture;
  EXPECT_EQ(FIROptions::initWithContentsOfFile(std::nullopt), nullptr);
  EXPECT_EQ(FIROptions::initWithContentsOfFile(scratch_ / "missing.plist"), nullptr);
  ASSERT_TRUE(platform::writePropertyListFile(scratch_ / "list.plist", Value::list({1}),
                                              platform::PropertyListFormat::Xml));
  EXPECT_EQ(FIROptions::initWithContentsOfFile(scratch_ / "list.plist"), nullptr);
  GULLoggerFlushForTesting();
  EXPECT_EQ(capture.count("I-COR000013"), 1u);
  EXPECT_EQ(capture.count("I-COR000014"), 2u);
}

TEST_F(FIROptionsTest, LockedOptionsRefuseEveryEditButACopyMadeBeforeDoesNot) {
  auto options = FIROptions::initWithZirizaAppID("1:1:ios:ab", "123");
  EXPECT_EQ(options->bundleID(), "com.example.app");
  auto earlier = options->copy();
  options->setEditingLocked(true);
  auto later = options->copy();
  const std::function<void(FIROptions&)> edits[] = {
      [](FIROptions& o) { o.setAPIKey("k"); },
      [](FIROptions& o) { o.setProjectID(std::nullopt); },
      [](FIROptions& o) { o.setDeepLinkURLScheme("s"); },
      [](FIROptions& o) { o.setAppGroupID("g"); },
  };
  for (const auto& edit : edits) {
    for (auto* locked : {options.get(), later.get()}) {
      try {
        edit(*locked);
        ADD_FAILURE() << "a locked options object accepted an edit";
      } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "com.zevevidi.core");
        EXPECT_EQ(e.reason(),
                  "Attempted to modify options after it's set on FIRApp. Please modify all "
                  "properties before initializing FIRApp.");
      }
    }
    EXPECT_NO_THROW(edit(*earlier));
  }
  EXPECT_EQ(options->APIKey(), std::nullopt);
}

TEST_F(FIROptionsTest, SettingNoValueRemovesTheKey) {
  auto options = FIROptions::initWithZirizaAppID("1:1:ios:ab", std::nullopt);
  EXPECT_EQ(options->optionsDictionary().count(Value("ZCM_SENDER_ID")), 0u);
  options->setAPIKey("k");
  options->setAPIKey(std::nullopt);
  options->setBundleID(std::nullopt);
  EXPECT_EQ(options->optionsDictionary(), M({{"ZIRIZA_APP_ID", "1:1:ios:ab"}}));
}

TEST_F(FIROptionsTest, AnalyticsSwitches) {
  struct Case {
    const char* name;
    ValueMap info;
    ValueMap options;
    bool defaultAppWithCollection;
    bool measurement, collection, explicitlySet;
  };
  const Case cases[] = {
      {"nothing anywhere", {}, {}, false, false, false, false},
      {"default app decides", {}, {}, true, true, true, false},
      {"information list wins", M({{"ZEVEVIDI_ANALYTICS_COLLECTION_ENABLED", false}}),
       M({{"ZEVEVIDI_ANALYTICS_COLLECTION_ENABLED", true}}), false, false, false, true},
      {"deactivated beats everything",
       {},
       M({{"ZEVEVIDI_ANALYTICS_COLLECTION_DEACTIVATED", true},
          {"IS_MEASUREMENT_ENABLED", true},
          {"ZEVEVIDI_ANALYTICS_COLLECTION_ENABLED", true}}),
       true,
       false,
       false,
       true},
      {"measurement switch feeds collection",
       {},
       M({{"IS_MEASUREMENT_ENABLED", 1}}),
       false,
       true,
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FIRApp::resetStateForTesting();
    useBundle(c.info);
    if (c.defaultAppWithCollection) {
      FIRApp::configureWithOptions(FIROptions::initWithZirizaAppID("1:1:ios:ab", "1"));
    }
    FIROptions options(c.options);
    EXPECT_EQ(options.isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options.isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options.isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST_F(FIROptionsTest, EqualityAndHash) {
  auto a = FIROptions::initWithZirizaAppID("1:1:ios:ab", "1");
  auto b = FIROptions::initWithZirizaAppID("1:1:ios:ab", "1");
  a->setAppGroupID("group");
  b->setAppGroupID("group");
  EXPECT_TRUE(a->isEqualToOptions(*b));
  EXPECT_EQ(a->hash(), b->hash());
  b->setDeepLinkURLScheme("scheme");
  EXPECT_FALSE(a->isEqualToOptions(*b));
  auto c = a->copy();
  c->setAppGroupID(std::nullopt);
  EXPECT_FALSE(a->isEqualToOptions(*c));
}

TEST_F(FIROptionsTest, VersionStrings) {
  EXPECT_STREQ(FIRZevevidiVersion(), "11.15.0");
  EXPECT_EQ(FIROptions::libraryVersionID(), "111500000");
}

}  // namespace
