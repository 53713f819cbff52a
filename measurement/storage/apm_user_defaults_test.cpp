#include "measurement/storage/apm_user_defaults.h"

#include <gmock/gmock.h>

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/foundation/file_manager.h"

namespace {

using platform::Value;

class APMUserDefaultsTest : public apm_testing::StorageTest {
 protected:
  std::shared_ptr<APMUserDefaults> suite_ =
      APMUserDefaults::initWithSuiteName(std::string("com.ziriza.duz.measurement.test"));
};

TEST_F(APMUserDefaultsTest, InvalidKeysAreRefused) {
  suite_->setObject(Value("kept"), Value("valid"));
  for (const Value& key : {Value(""), Value(), Value(5), Value::list({"valid"})}) {
    EXPECT_TRUE(suite_->objectForKey(key).isNull());
    EXPECT_FALSE(suite_->setObject(Value("new"), key));
  }
  EXPECT_EQ(linesWithCode("I-ACS041001").size(), 4u);
  EXPECT_EQ(linesWithCode("I-ACS041002").size(), 4u);
  EXPECT_EQ(suite_->objectForKey(Value("valid")), Value("kept"));
}

TEST_F(APMUserDefaultsTest, ValuesThatAreNotPropertyListsAtAnyDepthAreRefused) {
  suite_->setObject(Value("kept"), Value("k"));
  const Value invalid[] = {
      Value::map({{Value(1), Value("non-string key")}}),
      Value::list({Value("a"), Value()}),
      Value::map({{Value("deep"), Value::list({Value(platform::Int32List{1, 2})})}}),
      Value(platform::Int64List{1}),
      Value(platform::Error::make("d", 1)),
  };
  for (const auto& value : invalid) {
    SCOPED_TRACE(value.debugString());
    EXPECT_FALSE(suite_->setObject(value, Value("k")));
    EXPECT_EQ(suite_->objectForKey(Value("k")), Value("kept"));
  }
  const auto lines = linesWithCode("I-ACS041003");
  ASSERT_EQ(lines.size(), std::size(invalid));
  EXPECT_THAT(lines[0], testing::HasSubstr("Cannot set invalid object to user defaults."));
  // A later valid change still lands on disk.
  EXPECT_TRUE(
      suite_->setObject(Value::map({{Value("deep"), Value::list({1, 2.5, "x"})}}), Value("k")));
  suite_->synchronize();
  EXPECT_TRUE(linesWithCode("I-ACS041004").empty());
}

TEST_F(APMUserDefaultsTest, TypedReadsAreStrict) {
  suite_->setObject(Value("42"), Value("string"));
  suite_->setDouble(3.75, Value("double"));
  suite_->setBool(true, Value("bool"));
  suite_->setInteger(-7, Value("int"));
  EXPECT_EQ(suite_->integerForKey(Value("string")), 0);
  EXPECT_EQ(suite_->integerForKey(Value("double")), 3);
  EXPECT_EQ(suite_->doubleForKey(Value("int")), -7.0);
  EXPECT_TRUE(suite_->boolForKey(Value("bool")));
  EXPECT_EQ(suite_->integerForKey(Value("bool")), 1);
  EXPECT_EQ(suite_->stringForKey(Value("string")), "42");
  EXPECT_EQ(suite_->stringForKey(Value("int")), std::nullopt);
  EXPECT_TRUE(suite_->numberForKey(Value("string")).isNull());
  EXPECT_EQ(suite_->arrayForKey(Value("int")), std::nullopt);

  EXPECT_TRUE(suite_->setObject(Value(), Value("int")));
  EXPECT_TRUE(suite_->objectForKey(Value("int")).isNull());
  EXPECT_EQ(suite_->integerForKey(Value("int")), 0);

  suite_->clearAllData();
  EXPECT_TRUE(suite_->objectForKey(Value("string")).isNull());
  suite_->clearAllData();  // empty domain: nothing to do
}

TEST_F(APMUserDefaultsTest, SuiteFileIsExcludedFromBackupOnceItExists) {
  auto& files = platform::FileManager::defaultManager();
  const std::string path = APMFilePathForPreferencesName("com.ziriza.duz.measurement.test");
  EXPECT_EQ(path, scratch_ / "Preferences/com.ziriza.duz.measurement.test.plist");
  suite_->synchronize();  // no file yet
  EXPECT_FALSE(suite_->isPreferenceFileExcluded());
  suite_->setInteger(1, Value("k"));
  suite_->synchronize();
  EXPECT_TRUE(suite_->isPreferenceFileExcluded());
  EXPECT_TRUE(files.isExcludedFromBackup(path));
  // Not again: a mark cleared by hand stays cleared.
  files.setExcludedFromBackup(path, false);
  suite_->synchronize();
  EXPECT_FALSE(files.isExcludedFromBackup(path));

  auto shared = APMUserDefaults::sharedUserDefaults();
  EXPECT_TRUE(shared->isPreferenceFileExcluded());
  EXPECT_EQ(shared, APMUserDefaults::sharedUserDefaults());
}

}  // namespace
