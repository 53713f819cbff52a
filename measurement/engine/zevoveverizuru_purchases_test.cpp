// Purchases through the whole engine: the scripted store's transaction passes the facade's
// observer, the purchase filter and the reporter, and lands in raw_events with the lifetime
// value; ecommerce events from the application move the lifetime value too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/reporters/apm_in_app_purchase_product_cache.h"
#include "measurement/reporters/reporters_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/storekit/payment_queue.h"

namespace {

using platform::Value;
using platform::ValueMap;
using namespace reporters_testing;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

class PurchaseRoadTest : public engine_testing::EngineTest {
 protected:
  PurchaseRoadTest() {
    platform::storekit::StoreCatalog::reset();
    APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
    const auto folder = std::filesystem::path(scratch_.path());
    std::filesystem::create_directories(folder / "Receipt");
    const auto bytes = receipt({simpleRecord("coins", "t1", "t1", "2026-01-01T00:00:00Z", 1)});
    std::ofstream(folder / "Receipt" / "receipt", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(folder.string(), {}));
    platform::storekit::StoreCatalog::setProducts({product("coins", "0.99", "USD", "Coins"),
                                                   product("sub", "4.99"),
                                                   product("gems", "1.99")});
    APMAnalytics::startWithAppID("1:1:ios:abc", "fa", {});
    env_.runUntilIdle();
    dropLaunchEvents();
  }
  ~PurchaseRoadTest() override {
    env_.runUntilIdle();
    platform::Bundle::setMainForTesting(nullptr);
    platform::storekit::StoreCatalog::reset();
  }

  std::vector<std::shared_ptr<APMEvent>> stored() {
    std::vector<std::shared_ptr<APMEvent>> out;
    run([&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      if (!rows) return;
      for (const auto& raw : *rows)
        out.push_back(APMEvent::initWithEventProto(*raw->rawEvent()));
    });
    return out;
  }
  std::optional<std::int64_t> ltv(const std::string& currency) {
    std::optional<std::int64_t> value;
    run([&] {
      auto attribute = core()->database()->userAttributeWithName("_ltv_" + currency, nullptr);
      if (attribute) value = attribute->value().int64Value();
    });
    return value;
  }
  void run(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }
  void deliver(const std::string& id, const std::string& productID, std::int64_t quantity) {
    auto t = platform::storekit::ScriptedStore::transaction(
        platform::storekit::TransactionState::Purchased, id, productID);
    t.payment.quantity = quantity;
    platform::storekit::ScriptedStore::deliver({t});
    env_.runUntilIdle();
  }

  platform::ScratchDirForTesting scratch_;
};

TEST_F(PurchaseRoadTest, AStorePurchaseIsStoredOnceWithItsLifetimeValue) {
  ASSERT_TRUE(core());
  deliver("t1", "coins", 3);
  auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->name(), "_iap");
  EXPECT_EQ(events[0]->parameter("_o")->description(), "auto");
  EXPECT_EQ(events[0]->parameter("price")->int64Value(), 990000);
  EXPECT_EQ(events[0]->parameter("value")->int64Value(), 2970000);
  EXPECT_EQ(events[0]->parameter("quantity")->int64Value(), 3);
  EXPECT_EQ(events[0]->parameter("product_name")->description(), "Coins");
  EXPECT_EQ(events[0]->parameter("_skv")->description(), "1");
  EXPECT_EQ(events[0]->parameter("_did")->int64Value(), -6363409080393057909);
  EXPECT_EQ(ltv("USD"), 2970000);

  // The store telling about "t1" again stores nothing.
  deliver("t1", "coins", 3);
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_TRUE(reported(23141));
  EXPECT_EQ(ltv("USD"), 2970000);

  // Missing from the receipt: "_iapx" without "invalid".
  deliver("g1", "gems", 1);
  events = stored();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]->name(), "_iapx");
  EXPECT_FALSE(events[1]->parameter("invalid"));
}

TEST_F(PurchaseRoadTest, ATransactionOfTheSecondStoreInterfaceIsReportedVerified) {
  ASSERT_TRUE(core());
  // 2026-03-01 12:00:00.750 GMT.
  const platform::Date at{1772366400.75};
  APMAnalytics::logTransactionWithProductID("sub", "s1", "s1", Value(), 3, false, false, 1, at, at,
                                            std::nullopt, std::nullopt, "Sandbox", true);
  env_.runUntilIdle();
  const auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->name(), "_iap");
  EXPECT_EQ(events[0]->parameter("validated")->int64Value(), 1);
  EXPECT_EQ(events[0]->parameter("sandbox")->int64Value(), 1);
  EXPECT_EQ(events[0]->parameter("_skv")->description(), "2");
  // It matched its own record at 12:00:00: a subscription start, not a missing one.
  EXPECT_EQ(events[0]->parameter("subscription")->int64Value(), 1);
  EXPECT_FALSE(reported(40023));
}

TEST_F(PurchaseRoadTest, EcommerceEventsMoveTheLifetimeValueOrAreRefused) {
  ASSERT_TRUE(core());
  APMAnalytics::logEventWithName(
      "purchase", ValueMap{{Value("value"), Value(9.99)}, {Value("currency"), Value("usd")}});
  env_.runUntilIdle();
  EXPECT_EQ(ltv("USD"), 9990000);
  APMAnalytics::logEventWithName(
      "purchase", ValueMap{{Value("value"), Value(1.0)}, {Value("currency"), Value("US")}});
  env_.runUntilIdle();
  EXPECT_TRUE(reported(22000));
  EXPECT_EQ(stored().size(), 2u);
  APMAnalytics::logEventWithName(
      "purchase", ValueMap{{Value("value"), Value(1e13)}, {Value("currency"), Value("USD")}});
  env_.runUntilIdle();
  EXPECT_TRUE(reported(22002));
  EXPECT_TRUE(reported(23053));
  EXPECT_EQ(stored().size(), 2u);
  EXPECT_EQ(ltv("USD"), 9990000);
}

}  // namespace
