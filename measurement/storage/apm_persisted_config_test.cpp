#include "measurement/storage/apm_persisted_config.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <cmath>
#include <thread>

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_user_defaults.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

namespace {

using platform::Value;

class APMPersistedConfigTest : public apm_testing::StorageTest {
 protected:
  std::string configPath() const {
    return scratch_ / "Application Support/Ziriza/Measurement/com.ziriza.duz.measurement.plist";
  }
  bool fileExists(const std::string& path) const {
    return platform::FileManager::defaultManager().fileExists(path);
  }
  platform::ValueMap fileContents() const {
    auto stored = platform::readPropertyListFile(configPath());
    return stored && stored->isMap() ? stored->asMap() : platform::ValueMap{};
  }
  void removeFile(const std::string& path) {
    platform::FileManager::defaultManager().removeItem(path);
  }

  platform::TestEnvironment env_;
};

TEST_F(APMPersistedConfigTest, FilePaths) {
  EXPECT_EQ(APMFilePathForPersistentDictionaryName(APMPersistedConfigName), configPath());
  EXPECT_EQ(APMFilePathForPersistentDictionaryName("com.ziriza.duz.measurement.plist"),
            configPath());
  EXPECT_EQ(APMFilePathForDatabaseName("ziriza-app-measurement.sql"),
            scratch_ / "Application Support/Ziriza/Measurement/ziriza-app-measurement.sql");
  EXPECT_EQ(APMFilePathForDatabaseName(""), "");
  platform::ErrorPtr error;
  EXPECT_FALSE(APMDeleteFile("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Received empty path for deleting file");
}

TEST_F(APMPersistedConfigTest, ABurstOfChangesIsWrittenOnceOneSecondAfterItsFirstChange) {
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  for (int i = 0; i < 10; ++i) {
    config->setInt64(i, "/ziriza/measurement/session_number");
    config->setString("v" + std::to_string(i), APMPersistedConfigAppVersionKey);
    env_.advance(0.03125);  // binary fractions keep the sums exact
  }
  env_.advance(0.625);  // 0.9375 s after the first change
  EXPECT_FALSE(fileExists(configPath()));
  env_.advance(0.0625);
  const auto contents = fileContents();
  EXPECT_EQ(contents, (platform::ValueMap{{Value(APMPersistedConfigSessionNumberKey), Value(9)},
                                          {Value(APMPersistedConfigAppVersionKey), Value("v9")}}));
  // No second write follows: the file removed now stays away.
  removeFile(configPath());
  env_.advance(5);
  EXPECT_FALSE(fileExists(configPath()));
}

TEST_F(APMPersistedConfigTest, OnlyRealChangesScheduleAWrite) {
  auto dictionary = APMPersistentDictionary::initWithFileName(APMPersistedConfigName);
  ASSERT_TRUE(dictionary);
  dictionary->setObject(Value(1.5), Value("k"));
  env_.advance(1);
  ASSERT_TRUE(fileExists(configPath()));
  removeFile(configPath());
  dictionary->setObject(Value(1.5), Value("k"));  // same value
  dictionary->removeObjectForKey(Value("absent"));
  EXPECT_FALSE(dictionary->hasPendingPersistence());
  dictionary->removeObjectForKey(Value("k"));
  EXPECT_TRUE(dictionary->hasPendingPersistence());
  env_.advance(1);
  EXPECT_TRUE(fileExists(configPath()));
  EXPECT_TRUE(fileContents().empty());
}

TEST_F(APMPersistedConfigTest, InvalidKeysAndDeepInvalidValuesAreRefusedAndLaterChangesLand) {
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  auto dictionary = config->userDefaults();
  EXPECT_FALSE(dictionary->setObject(Value(1), Value("")));
  EXPECT_FALSE(dictionary->setObject(Value(1), Value(7)));
  EXPECT_TRUE(dictionary->objectForKey(Value()).isNull());
  EXPECT_EQ(linesWithCode("I-ACS043002").size(), 2u);
  EXPECT_EQ(linesWithCode("I-ACS043001").size(), 1u);

  config->setDictionary(platform::ValueMap{{Value("a"), Value::list({Value(1), Value()})}},
                        APMPersistedConfigDefaultEventParametersKey);
  config->setObject(Value::map({{Value(5), Value("x")}}), APMPersistedConfigLoadTimestampKey);
  EXPECT_EQ(linesWithCode("I-ACS043003").size(), 2u);
  EXPECT_EQ(config->defaultEventParameters(), std::nullopt);
  config->setDefaultEventParameters(platform::ValueMap{{Value("a"), Value(1)}});
  env_.advance(2);
  EXPECT_TRUE(linesWithCode("I-ACS043000").empty());
  EXPECT_EQ(fileContents(), (platform::ValueMap{{Value(APMPersistedConfigDefaultEventParametersKey),
                                                 Value::map({{Value("a"), Value(1)}})}}));
}

TEST_F(APMPersistedConfigTest, PendingChangesAreWrittenWhenAskedOffTheMainThreadAndOnRelease) {
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  config->setDouble(12.5, APMPersistedConfigLastBackoffKey);
  config->synchronizeToDisk();  // main thread: only scheduled
  EXPECT_FALSE(fileExists(configPath()));
  std::thread([&] { config->synchronizeToDisk(); }).join();
  EXPECT_EQ(fileContents().at(Value(APMPersistedConfigLastBackoffKey)), Value(12.5));

  config->setDouble(13.5, APMPersistedConfigLastBackoffKey);
  config.reset();
  env_.runUntilIdle();
  EXPECT_EQ(fileContents().at(Value(APMPersistedConfigLastBackoffKey)), Value(13.5));
}

TEST_F(APMPersistedConfigTest, TypedAccessors) {
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  config->setAppInstanceID("instance");
  config->setShouldSetLastAdvertisingIDResetUserProperty(true);
  config->setSearchAdCampaignValue(Value("not a number"));
  config->setSearchAdCampaignValue(Value(true));
  config->setLastFailedUploadTimestamp(1700000000.25);
  config->userDefaults()->setObject(Value("text"), Value(APMPersistedConfigSessionNumberKey));
  EXPECT_EQ(config->appInstanceID(), "instance");
  EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(config->int64ForKey(APMPersistedConfigSetLastAdvertisingIDResetKey), 1);
  EXPECT_EQ(config->searchAdCampaignValue(), Value(true));
  EXPECT_EQ(config->lastFailedUploadTimestamp(), 1700000000.25);
  EXPECT_EQ(config->sessionNumber(), 0);  // a string is not a number
  config->setAppInstanceID(std::nullopt);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  config->clearValues();
  EXPECT_EQ(config->lastFailedUploadTimestamp(), 0);
}

TEST_F(APMPersistedConfigTest, MidnightOffsetIsDrawnOnceAndKeptAcrossRestarts) {
  double offset;
  {
    auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    offset = config->midnightOffset();
    EXPECT_GE(offset, 0);
    EXPECT_LT(offset, 86400);
    EXPECT_EQ(std::round(offset * 1000) / 1000, offset);
    EXPECT_EQ(config->midnightOffset(), offset);
  }
  env_.runUntilIdle();
  auto reopened = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_EQ(reopened->midnightOffset(), offset);
}

TEST_F(APMPersistedConfigTest, MeasurementEnabledStateLivesInTheApplicationPreferences) {
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_EQ(config->measurementEnabledState(), 0);
  config->setMeasurementEnabledState(2);
  config->setAppVersion("1.0");
  config->clearValues();
  env_.advance(2);
  removeFile(configPath());
  auto reopened = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_EQ(reopened->measurementEnabledState(), 2);
  EXPECT_EQ(APMUserDefaults::sharedUserDefaults()->integerForKey(
                Value(APMPersistedConfigMeasurementEnabledStateKey)),
            2);
}

TEST_F(APMPersistedConfigTest, LegacyPreferencesFileIsMovedOrDeleted) {
  const std::string legacy = scratch_ / "Preferences/com.ziriza.duz.measurement.plist";
  auto& files = platform::FileManager::defaultManager();
  files.createDirectory(scratch_ / "Preferences", true);
  platform::writePropertyListFile(legacy, Value::map({{Value("old"), Value(1)}}),
                                  platform::PropertyListFormat::Binary);

  // Moved when there is no new file; its content is then the configuration's.
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_FALSE(files.fileExists(legacy));
  EXPECT_EQ(config->int64ForKey("old"), 1);

  // Deleted when the new file exists already, which is kept.
  platform::writePropertyListFile(legacy, Value::map({{Value("old"), Value(2)}}),
                                  platform::PropertyListFormat::Binary);
  EXPECT_TRUE(APMMigrateUserDefaultsToPersistentDictionary(APMPersistedConfigName));
  EXPECT_FALSE(files.fileExists(legacy));
  EXPECT_EQ(fileContents().at(Value("old")), Value(1));

  // Nothing to move: still done. A folder in the old place is left alone.
  EXPECT_TRUE(APMMigrateUserDefaultsToPersistentDictionary(APMPersistedConfigName));
  files.createDirectory(legacy, true);
  EXPECT_FALSE(APMMigrateUserDefaultsToPersistentDictionary(APMPersistedConfigName));
  EXPECT_FALSE(APMMigrateUserDefaultsToPersistentDictionary(""));
}

TEST_F(APMPersistedConfigTest, UnreadableFileStartsEmpty) {
  auto& files = platform::FileManager::defaultManager();
  files.createDirectory(scratch_ / "Application Support/Ziriza/Measurement", true);
  files.writeAtomically(configPath(), std::string_view("not a property list"));
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  EXPECT_TRUE(config->userDefaults()->contents().empty());
}

TEST_F(APMPersistedConfigTest, AFailedWriteKeepsTheContentAndTheNextChangeWritesItAll) {
  auto faults = std::make_shared<platform::FaultInjectingFileSystem>();
  platform::ScopedFileSystemForTesting seam(faults);
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  faults->inject(platform::kFileWrite, scratch_ / "Application Support", ENOSPC);
  config->setString("1.0", APMPersistedConfigAppVersionKey);
  env_.advance(2);
  EXPECT_EQ(linesWithCode("I-ACS043000").size(), 1u);
  EXPECT_FALSE(fileExists(configPath()));
  EXPECT_EQ(config->appVersion(), "1.0");

  faults->clear();
  config->setString("14.0", APMPersistedConfigOSVersionKey);
  env_.advance(2);
  EXPECT_EQ(fileContents(),
            (platform::ValueMap{{Value(APMPersistedConfigAppVersionKey), Value("1.0")},
                                {Value(APMPersistedConfigOSVersionKey), Value("14.0")}}));
}

TEST_F(APMPersistedConfigTest, AFolderThatCannotBeMadeGivesNoDictionary) {
  auto faults = std::make_shared<platform::FaultInjectingFileSystem>();
  platform::ScopedFileSystemForTesting seam(faults);
  faults->inject(platform::kFileMakeDirectory, scratch_ / "Application Support", EACCES);
  auto config = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->userDefaults(), nullptr);
  EXPECT_EQ(linesWithCode("I-ACS043004").size(), 1u);
  config->setAppVersion("1.0");  // does nothing, and does not crash
  EXPECT_EQ(config->appVersion(), std::nullopt);
  EXPECT_EQ(config->midnightOffset(), 0);
}

}  // namespace
