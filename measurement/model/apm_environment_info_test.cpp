#include "measurement/model/apm_environment_info.h"

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>

#include "measurement/storage/storage_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/property_list.h"

namespace {

using platform::Value;

class EnvironmentInfoTest : public apm_testing::StorageTest {
 protected:
  ~EnvironmentInfoTest() override { platform::Bundle::setMainForTesting(nullptr); }

  // A bundle folder on disk whose Resources/ holds `serviceFile` when given.
  void useBundle(const std::optional<Value>& serviceFile) {
    const std::string root = scratch_ / "App.bundle";
    std::filesystem::create_directories(root + "/Resources");
    platform::writePropertyListFile(root + "/Info.plist", Value::emptyMap(),
                                    platform::PropertyListFormat::Xml);
    if (serviceFile) {
      ASSERT_TRUE(platform::writePropertyListFile(root + "/Resources/ZirizaService-Info.plist",
                                                  *serviceFile, platform::PropertyListFormat::Xml));
    }
    platform::Bundle::setMainForTesting(
        std::make_shared<platform::Bundle>(root, platform::ValueMap{}));
  }
};

TEST_F(EnvironmentInfoTest, TheLanguageIsTheFirstPreferredOneLowerCased) {
  auto info = std::make_shared<APMEnvironmentInfo>();
  {
    platform::ScopedEnvironmentForTesting env({{"LANGUAGE", "en_US:fr"}});
    EXPECT_EQ(info->userDefaultLanguage(), "en-us");
  }
  {
    platform::ScopedEnvironmentForTesting env(
        {{"LANGUAGE", std::nullopt}, {"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}});
    EXPECT_EQ(info->userDefaultLanguage(), std::nullopt);
    // Asked again (as the metadata of every event does): still none, reported only once.
    EXPECT_EQ(info->userDefaultLanguage(), std::nullopt);
  }
  {
    // The answer is not cached: a language appearing later is seen.
    platform::ScopedEnvironmentForTesting env({{"LANGUAGE", "fr_CA"}});
    EXPECT_EQ(info->userDefaultLanguage(), "fr-ca");
  }
  monitor()->waitForMonitorQueue();
  EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{14001});
}

TEST_F(EnvironmentInfoTest, DeviceAndSystemFacts) {
  auto info = APMEnvironmentInfo::sharedInstance();
  EXPECT_FALSE(info->deviceModel().empty());
  EXPECT_EQ(info->deviceModel(), info->deviceModel());
  EXPECT_EQ(info->deviceOSVersion(), GULAppEnvironmentUtil::systemVersion());
  monitor()->waitForMonitorQueue();
  EXPECT_TRUE(reportedCodes().empty());
}

TEST_F(EnvironmentInfoTest, TimeZoneOffsetInWholeMinutesTowardsZero) {
  struct Case {
    const char* zone;
    std::int64_t minutes;
  } cases[] = {{"UTC-5:30", 330}, {"UTC+3:30", -210}, {"UTC+0:00:59", 0}, {"UTC+0:01:59", -1}};
  const char* old = ::getenv("TZ");
  const std::optional<std::string> previous = old ? std::optional<std::string>(old) : std::nullopt;
  for (const auto& c : cases) {
    ::setenv("TZ", c.zone, 1);
    ::tzset();
    EXPECT_EQ(APMEnvironmentInfo::sharedInstance()->timeZoneOffsetMinutes(), c.minutes) << c.zone;
  }
  if (previous)
    ::setenv("TZ", previous->c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST_F(EnvironmentInfoTest, TheServiceFileIsReadFromTheMainBundle) {
  platform::ValueMap options;
  options[Value("ZIRIZA_APP_ID")] = Value("1:1234567890:ios:0123456789abcdef");
  useBundle(Value(options));
  const auto path = APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath();
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, scratch_ / "App.bundle/Resources/ZirizaService-Info.plist");
  EXPECT_EQ(APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist(), options);
}

TEST_F(EnvironmentInfoTest, NoServiceFileOrOneThatIsNoDictionaryGivesNothing) {
  useBundle(std::nullopt);
  EXPECT_EQ(APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath(), std::nullopt);
  EXPECT_EQ(APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist(), std::nullopt);

  useBundle(Value::list({Value("not"), Value("a dictionary")}));
  EXPECT_TRUE(APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath());
  EXPECT_EQ(APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist(), std::nullopt);

  std::ofstream(scratch_ / "App.bundle/Resources/ZirizaService-Info.plist") << "garbage";
  EXPECT_EQ(APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist(), std::nullopt);
}

}  // namespace
