// The lifetime value recorder against a real measurement database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/reporters/apm_lifetime_value_recorder.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;

class LifetimeValueTest : public apm_testing::StorageTest {
 protected:
  LifetimeValueTest() {
    fastDisk_.skipSync = true;
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    database_ = APMDatabase::initWithDatabaseName(APMDatabaseFileName, config_, nullptr);
  }
  ~LifetimeValueTest() override { env_.runUntilIdle(); }

  bool record(const std::string& name, platform::ValueMap parameters) {
    auto event = APMEvent::initWithOrigin("app", false, name, env_.now(), 0, std::move(parameters));
    return event && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event);
  }
  std::optional<std::int64_t> ltv(const std::string& currency) {
    auto attribute = database_->userAttributeWithName("_ltv_" + currency, nullptr);
    if (!attribute) return std::nullopt;
    return attribute->value().int64Value();
  }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMDatabase> database_;
};

TEST_F(LifetimeValueTest, PurchasesAddAndRefundsSubtractInMicrosPerCurrency) {
  ASSERT_TRUE(database_);
  struct Step {
    const char* name;
    Value value;
    const char* currency;
    std::int64_t total;
  };
  const std::vector<Step> steps = {
      {"purchase", Value(9.99), "usd", 9990000},
      {"refund", Value(2.5), "USD", 7490000},
      {"ecommerce_purchase", Value(std::int64_t{1}), "USD", 8490000},
      {"_iap", Value(std::int64_t{2970000}), "USD", 11460000},
      {"_iap", Value(1.9), "USD", 11460001},  // micros already: truncated
  };
  for (const auto& s : steps) {
    EXPECT_TRUE(record(s.name, {{Value("value"), s.value}, {Value("currency"), Value(s.currency)}}))
        << s.name;
    EXPECT_EQ(ltv("USD"), s.total) << s.name;
  }
  // Halves round away from zero.
  EXPECT_TRUE(
      record("purchase", {{Value("value"), Value(0.0000025)}, {Value("currency"), Value("EUR")}}));
  EXPECT_EQ(ltv("EUR"), 3);
  EXPECT_TRUE(
      record("refund", {{Value("value"), Value(0.0000025)}, {Value("currency"), Value("GBP")}}));
  EXPECT_EQ(ltv("GBP"), -3);
  // Not a purchase: nothing.
  EXPECT_TRUE(
      record("level_up", {{Value("value"), Value(1.0)}, {Value("currency"), Value("JPY")}}));
  EXPECT_FALSE(ltv("JPY"));
}

TEST_F(LifetimeValueTest, BadCurrenciesAndValuesAreSkippedAndOutOfRangeAmountsRefused) {
  ASSERT_TRUE(database_);
  ASSERT_TRUE(
      record("purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value("USD")}}));
  struct Case {
    const char* name;
    platform::ValueMap parameters;
    bool answer;
    std::int64_t code;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {"purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value("US")}}, true, 22000},
      {"purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value("USDX")}}, true, 22000},
      {"purchase", {{Value("value"), Value("1")}, {Value("currency"), Value("USD")}}, true, 22001},
      {"purchase", {{Value("value"), Value(nan)}, {Value("currency"), Value("USD")}}, true, 22001},
      {"_iap", {{Value("value"), Value(nan)}, {Value("currency"), Value("USD")}}, true, 22001},
      {"purchase",
       {{Value("value"), Value(1e13)}, {Value("currency"), Value("USD")}},
       false,
       22002},
      {"_iap", {{Value("value"), Value(1e19)}, {Value("currency"), Value("USD")}}, false, 22002},
      // The sum would leave the 64-bit range.
      {"_iap",
       {{Value("value"), Value(std::numeric_limits<std::int64_t>::max())},
        {Value("currency"), Value("USD")}},
       false,
       22002},
  };
  for (const auto& c : cases) {
    clearReports();
    EXPECT_EQ(record(c.name, c.parameters), c.answer) << c.code;
    EXPECT_TRUE(reported(c.code)) << c.code;
    EXPECT_EQ(ltv("USD"), 1000000) << c.code;
  }
}

TEST_F(LifetimeValueTest, AFifthCurrencyEvictsTheOneSetLongestAgo) {
  ASSERT_TRUE(database_);
  for (const char* currency : {"AAA", "BBB", "CCC", "DDD"}) {
    ASSERT_TRUE(
        record("purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value(currency)}}));
    env_.advance(10);
  }
  // Touching the oldest makes it the newest.
  ASSERT_TRUE(
      record("purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value("AAA")}}));
  env_.advance(10);
  ASSERT_TRUE(
      record("purchase", {{Value("value"), Value(1.0)}, {Value("currency"), Value("EEE")}}));
  EXPECT_FALSE(ltv("BBB"));
  EXPECT_EQ(ltv("AAA"), 2000000);
  EXPECT_EQ(ltv("EEE"), 1000000);
  EXPECT_TRUE(ltv("CCC") && ltv("DDD"));
}

}  // namespace
