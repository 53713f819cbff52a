#include "zevevidi/utilities/gul_user_defaults.h"

#include <gtest/gtest.h>

#include "platform/core/error.h"
#include "platform/foundation/preferences.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using platform::Value;

class GULUserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override { GULResetLoggerForTesting(); }
  void TearDown() override { GULResetLoggerForTesting(); }

  // Lines written with `code`, after the logging queue has caught up.
  std::vector<platform::LogLine> linesWithCode(const std::string& code) {
    GULLoggerFlushForTesting();
    std::vector<platform::LogLine> out;
    for (auto& line : capture_.lines()) {
      if (line.message.find("[" + code + "]") != std::string::npos) out.push_back(line);
    }
    return out;
  }

  platform::ScopedPreferencesForTesting preferences_;
  platform::ScopedLogCapture capture_;
  std::shared_ptr<GULUserDefaults> defaults_ = GULUserDefaults::init();
};

TEST_F(GULUserDefaultsTest, InvalidKeysAreRefusedWithAWarning) {
  defaults_->setObject(Value("kept"), Value("valid"));
  const Value keys[] = {Value(""),
                        Value(),
                        Value(5),
                        Value(true),
                        Value::list({"valid"}),
                        Value(platform::Bytes{'v'})};
  for (const Value& key : keys) {
    SCOPED_TRACE(key.debugString());
    capture_.clear();
    EXPECT_TRUE(defaults_->objectForKey(key).isNull());
    EXPECT_EQ(defaults_->integerForKey(key), 0);
    EXPECT_FALSE(defaults_->boolForKey(key));
    EXPECT_FALSE(defaults_->stringForKey(key).has_value());
    auto reads = linesWithCode("I-GUL000001");
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].subsystem, "com.ziriza.utilities.logger");
    EXPECT_EQ(reads[0].category, "<ZirizaUtilities>");
    EXPECT_EQ(reads[0].type, platform::LogType::Default);
    EXPECT_NE(reads[0].message.find("Cannot get object for invalid user default key."),
              std::string::npos);

    defaults_->setObject(Value("changed"), key);
    defaults_->removeObjectForKey(key);
    defaults_->setBool(true, key);
    auto writes = linesWithCode("I-GUL000002");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].category, "[ZirizaUtilities/UserDefaults]");
    EXPECT_NE(writes[0].message.find("Cannot set object for invalid user default key."),
              std::string::npos);
  }
  EXPECT_EQ(platform::Preferences::standard()->keys(), std::vector<std::string>{"valid"});
  EXPECT_EQ(defaults_->objectForKey(Value("valid")), Value("kept"));
}

TEST_F(GULUserDefaultsTest, UnsupportedValuesLeaveThePreviousValueInPlace) {
  struct Holder : platform::Object {};
  const Value refused[] = {
      Value(platform::Error::make("domain", 1)),
      Value(platform::ObjectPtr(std::make_shared<Holder>())),
      Value(platform::Int32List{1, 2}),
      Value::list({1, Value(platform::ObjectPtr(std::make_shared<Holder>()))}),
      Value::map({{1, "non-string key"}}),
      Value::map({{"nested", Value::map({{"deeper", Value::list({Value()})}})}}),
  };
  for (const Value& value : refused) {
    SCOPED_TRACE(value.debugString());
    defaults_->setObject(Value("previous"), Value("key"));
    capture_.clear();
    defaults_->setObject(value, Value("key"));
    EXPECT_EQ(defaults_->objectForKey(Value("key")), Value("previous"));
    auto lines = linesWithCode("I-GUL000003");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].category, "[ZirizaUtilities/UserDefaults]");
    EXPECT_NE(lines[0].message.find("Cannot set invalid object to user defaults. Must be a string, "
                                    "number, array, dictionary, date, or data. Value: " +
                                    value.debugString()),
              std::string::npos)
        << lines[0].message;
  }
}

TEST_F(GULUserDefaultsTest, SupportedValuesAreStoredAndNullRemoves) {
  const Value accepted[] = {
      Value("text"),
      Value(42),
      Value(2.5),
      Value(false),
      Value::date(1700000000.5),
      Value(platform::Bytes{0, 1, 2}),
      Value::list({1, "two", Value::map({{"three", 3.0}})}),
      Value::map({{"a", Value::list({})}}),
  };
  for (const Value& value : accepted) {
    SCOPED_TRACE(value.debugString());
    defaults_->setObject(value, Value("key"));
    EXPECT_EQ(defaults_->objectForKey(Value("key")), value);
    // What the wrapper stores is what the domain holds, for every user of that domain.
    EXPECT_EQ(platform::Preferences::standard()->objectForKey("key"), value);
  }
  defaults_->setObject(Value(), Value("key"));
  EXPECT_TRUE(defaults_->objectForKey(Value("key")).isNull());
  defaults_->setObject(Value("again"), Value("key"));
  defaults_->removeObjectForKey(Value("key"));
  EXPECT_TRUE(defaults_->objectForKey(Value("key")).isNull());
  EXPECT_TRUE(linesWithCode("I-GUL000003").empty());
}

TEST_F(GULUserDefaultsTest, TypedReadsConvertAndCheckKinds) {
  defaults_->setObject(Value("42"), Value("string42"));
  defaults_->setObject(Value("3.9"), Value("string3.9"));
  defaults_->setObject(Value::list({1}), Value("list"));
  defaults_->setObject(Value::map({{"k", "v"}}), Value("map"));
  defaults_->setInteger(7, Value("int"));
  defaults_->setDouble(1.5, Value("double"));
  defaults_->setFloat(0.25f, Value("float"));
  defaults_->setBool(true, Value("bool"));

  EXPECT_EQ(defaults_->integerForKey(Value("string42")), 42);
  EXPECT_EQ(defaults_->integerForKey(Value("string3.9")), 3);
  EXPECT_DOUBLE_EQ(defaults_->doubleForKey(Value("string3.9")), 3.9);
  EXPECT_EQ(defaults_->integerForKey(Value("missing")), 0);
  EXPECT_FALSE(defaults_->boolForKey(Value("missing")));
  EXPECT_EQ(defaults_->integerForKey(Value("list")), 0);
  EXPECT_EQ(defaults_->integerForKey(Value("double")), 1);
  EXPECT_FLOAT_EQ(defaults_->floatForKey(Value("float")), 0.25f);
  EXPECT_TRUE(defaults_->boolForKey(Value("bool")));
  EXPECT_TRUE(defaults_->boolForKey(Value("int")));

  // Typed writes keep the kind of what they were given.
  EXPECT_EQ(defaults_->objectForKey(Value("bool")), Value(true));
  EXPECT_EQ(defaults_->objectForKey(Value("int")), Value(7));

  EXPECT_EQ(defaults_->stringForKey(Value("string42")), std::optional<std::string>("42"));
  EXPECT_FALSE(defaults_->stringForKey(Value("int")).has_value());
  EXPECT_EQ(defaults_->arrayForKey(Value("list")), std::optional<platform::ValueList>({Value(1)}));
  EXPECT_FALSE(defaults_->arrayForKey(Value("map")).has_value());
  ASSERT_TRUE(defaults_->dictionaryForKey(Value("map")).has_value());
  EXPECT_EQ(defaults_->dictionaryForKey(Value("map"))->at(Value("k")), Value("v"));
  EXPECT_FALSE(defaults_->dictionaryForKey(Value("string42")).has_value());
}

TEST_F(GULUserDefaultsTest, SuitesAreSeparateDomains) {
  auto suite = GULUserDefaults::initWithSuiteName(std::string("group.com.lumora.shared"));
  ASSERT_TRUE(suite);
  suite->setObject(Value("in suite"), Value("key"));
  defaults_->setObject(Value("in app"), Value("key"));
  EXPECT_EQ(suite->objectForKey(Value("key")), Value("in suite"));
  EXPECT_EQ(defaults_->objectForKey(Value("key")), Value("in app"));

  for (const std::optional<std::string>& name :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    auto standard = GULUserDefaults::initWithSuiteName(name);
    ASSERT_TRUE(standard);
    EXPECT_EQ(standard->objectForKey(Value("key")), Value("in app"));
  }
  EXPECT_EQ(GULUserDefaults::initWithSuiteName(std::string("NSGlobalDomain")), nullptr);
  EXPECT_EQ(GULUserDefaults::initWithSuiteName(std::string("../escape")), nullptr);
}

TEST(GULUserDefaultsSharedTest, SharedInstanceWritesTheApplicationDomain) {
  platform::ScopedPreferencesForTesting preferences;
  auto shared = GULUserDefaults::standardUserDefaults();
  ASSERT_TRUE(shared);
  EXPECT_EQ(GULUserDefaults::standardUserDefaults(), shared);
  shared->setInteger(3, Value("count"));
  EXPECT_EQ(platform::Preferences::standard()->objectForKey("count"), Value(3));
}

}  // namespace
