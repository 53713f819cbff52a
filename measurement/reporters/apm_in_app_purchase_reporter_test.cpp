// The product cache, the fingerprints and the purchase reporter on both store roads, with a
// receipt in a scratch bundle and the internal events caught at their entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/reporters/apm_in_app_purchase_product_cache.h"
#include "measurement/reporters/apm_in_app_purchase_transaction_reporter.h"
#include "measurement/reporters/apm_purchase_event_parameters.h"
#include "measurement/reporters/reporters_test_support.h"
#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/date_format.h"

namespace {

using namespace reporters_testing;
using platform::Value;
using platform::storekit::StoreCatalog;

struct Logged {
  std::string origin;
  std::string name;
  platform::ValueMap parameters;
};

class PurchaseReporterTest : public apm_testing::StorageTest {
 protected:
  PurchaseReporterTest() {
    StoreCatalog::reset();
    APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
    APMInAppPurchaseTransactionReporter::sharedInstance()->resetForTesting();
    APMSetInternalEventSink([this](const std::string& origin, const std::string& name,
                                   const platform::ValueMap& parameters) {
      std::lock_guard lock(eventsMutex_);
      events_.push_back({origin, name, parameters});
    });
    useBundle({});
  }
  ~PurchaseReporterTest() override {
    env_.runUntilIdle();
    APMSetInternalEventSink(nullptr);
    platform::Bundle::setMainForTesting(nullptr);
    StoreCatalog::reset();
    APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
    APMInAppPurchaseTransactionReporter::sharedInstance()->resetForTesting();
  }

  void useBundle(platform::ValueMap info, const char* receiptName = nullptr,
                 const platform::Bytes& receiptBytes = {}) {
    const std::filesystem::path folder =
        std::filesystem::path(scratch_.path()) / ("Bundle" + std::to_string(++bundles_));
    std::filesystem::create_directories(folder / "Receipt");
    if (receiptName) {
      std::ofstream out(folder / "Receipt" / receiptName, std::ios::binary);
      out.write(reinterpret_cast<const char*>(receiptBytes.data()),
                static_cast<std::streamsize>(receiptBytes.size()));
    }
    bundleFolder_ = folder;
    platform::Bundle::setMainForTesting(
        platform::Bundle::inMemory(folder.string(), std::move(info)));
  }
  std::vector<Logged> events() {
    env_.runUntilIdle();
    std::lock_guard lock(eventsMutex_);
    return events_;
  }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  platform::TestEnvironment env_{1'700'000'000};
  std::filesystem::path bundleFolder_;
  int bundles_ = 0;
  std::mutex eventsMutex_;
  std::vector<Logged> events_;
};

platform::storekit::PaymentTransactionPtr
purchased(const std::string& id, const std::string& productID, std::int64_t quantity = 1) {
  auto t = platform::storekit::ScriptedStore::transaction(
      platform::storekit::TransactionState::Purchased, id, productID);
  t.payment.quantity = quantity;
  return std::make_shared<const platform::storekit::PaymentTransaction>(std::move(t));
}

TEST_F(PurchaseReporterTest, FingerprintsNeedAPurchasedTransactionWithARealIdentifier) {
  using platform::storekit::TransactionState;
  struct Case {
    TransactionState state;
    std::optional<std::string> id;
    std::optional<std::string> fingerprint;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {TransactionState::Purchased, "t1", "83f1535f99ab0bf4e9d02dfd85d3e3f7", 0},
      {TransactionState::Restored, "t1", std::nullopt, 0},
      {TransactionState::Purchased, std::nullopt, std::nullopt, 21015},
      {TransactionState::Purchased, "", std::nullopt, 21016},
      {TransactionState::Purchased, "0-0", std::nullopt, 21017},
      {TransactionState::Purchased, "0-1", "c2eb282156233b5d827219971c8b04c2", 0},
  };
  for (const auto& c : cases) {
    clearReports();
    const auto t = platform::storekit::ScriptedStore::transaction(c.state, c.id, "p");
    const auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(&t);
    EXPECT_EQ(fingerprint, c.fingerprint) << c.id.value_or("<none>");
    if (c.code) {
      EXPECT_TRUE(reported(c.code)) << c.code;
    }
  }
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
  EXPECT_TRUE(reported(21014));
}

TEST_F(PurchaseReporterTest, TheCacheMergesAnswersAndStartsAgainPastItsLimit) {
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  StoreCatalog::setProducts({product("a", "1"), product("b", "2")});
  int calls = 0;
  auto ask = [&](std::set<std::string> ids) {
    cache->requestProductsWithProductIdentifiers(std::move(ids), platform::globalQueue(),
                                                 [&](std::optional<APMProductsByIdentifier>,
                                                     std::optional<std::set<std::string>>,
                                                     platform::ErrorPtr) { ++calls; });
    env_.runUntilIdle();
  };
  ask({"a", "x"});
  EXPECT_EQ(cache->contentsForTesting().first, (std::set<std::string>{"a"}));
  EXPECT_EQ(cache->contentsForTesting().second, (std::set<std::string>{"x"}));
  // "x" turns valid: it leaves the invalid set.
  StoreCatalog::setProducts({product("a", "1"), product("x", "3")});
  ask({"x"});
  EXPECT_EQ(cache->contentsForTesting().first, (std::set<std::string>{"a", "x"}));
  EXPECT_TRUE(cache->contentsForTesting().second.empty());
  EXPECT_TRUE(cache->cachedProductForProductIdentifier("x"));

  // Past 100 entries only the last answer is kept.
  std::vector<platform::storekit::Product> many;
  std::set<std::string> ids;
  for (int i = 0; i < 95; ++i) {
    many.push_back(product("m" + std::to_string(i), "1"));
    ids.insert("m" + std::to_string(i));
  }
  StoreCatalog::setProducts(many);
  for (int i = 0; i < 10; ++i)
    ids.insert("bad" + std::to_string(i));
  ask(ids);
  EXPECT_EQ(cache->contentsForTesting().first.size(), 95u);
  EXPECT_EQ(cache->contentsForTesting().second.size(), 10u);
  EXPECT_FALSE(cache->cachedProductForProductIdentifier("a"));

  // A failure answers the store's error and keeps the content; no queue or no completion: no
  // answer at all.
  StoreCatalog::failNextRequest(apm_errorWithCode(7, "store down"));
  platform::ErrorPtr received;
  bool hadProducts = true;
  cache->requestProductsWithProductIdentifiers({"m1"}, platform::globalQueue(),
                                               [&](std::optional<APMProductsByIdentifier> products,
                                                   std::optional<std::set<std::string>>,
                                                   platform::ErrorPtr error) {
                                                 received = error;
                                                 hadProducts = products.has_value();
                                               });
  env_.runUntilIdle();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->code, 7);
  EXPECT_FALSE(hadProducts);
  EXPECT_EQ(cache->contentsForTesting().first.size(), 95u);
  const int before = calls;
  cache->requestProductsWithProductIdentifiers({"a"}, nullptr, [&](auto, auto, auto) { ++calls; });
  APMProductsRequest::requestProductsWithProductIdentifiers({"a"}, platform::globalQueue(),
                                                            nullptr);
  env_.runUntilIdle();
  EXPECT_EQ(calls, before);
  // A request the store refuses to create answers error 1.
  StoreCatalog::setRequestCreationFails(true);
  APMProductsRequest::requestProductsWithProductIdentifiers(
      {"a"}, platform::globalQueue(),
      [&](auto, auto, platform::ErrorPtr error) { received = error; });
  env_.runUntilIdle();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->code, 1);
}

TEST_F(PurchaseReporterTest, AStoredPurchaseOfTheFirstRoadBecomesAnIapEvent) {
  useBundle({}, "receipt", receipt({simpleRecord("coins", "t1", "t1", "2026-01-01T00:00:00Z", 1)}));
  StoreCatalog::setProducts({product("coins", "0.99", "USD", "Coins"), product("gems", "1.99")});
  auto reporter = APMInAppPurchaseTransactionReporter::sharedInstance();
  reporter->paymentQueueUpdatedFilteredTransactions(
      platform::storekit::PaymentQueue::defaultQueue(),
      {purchased("t1", "coins", 3), purchased("g1", "gems"), purchased("e1", "")});
  const auto logged = events();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(logged[0].name, "_iap");
  const platform::ValueMap expected = {
      {Value("product_id"), Value("coins")},
      {Value("product_name"), Value("Coins")},
      {Value("price"), Value(std::int64_t{990000})},
      {Value("value"), Value(std::int64_t{2970000})},
      {Value("quantity"), Value(std::int64_t{3})},
      {Value("currency"), Value("USD")},
      {Value("_did"), Value(std::int64_t{-6363409080393057909})},
      {Value("_skv"), Value("1")},
  };
  EXPECT_EQ(logged[0].parameters, expected);
  // Not in the receipt: invalid, no "invalid" parameter left, no sandbox outside one.
  EXPECT_EQ(logged[1].name, "_iapx");
  EXPECT_FALSE(logged[1].parameters.contains(Value("invalid")));
  EXPECT_FALSE(logged[1].parameters.contains(Value("sandbox")));
  // The batch's records are let go afterwards.
  EXPECT_FALSE(reporter->allPurchaseItemsForTesting());

  // A failed product request drops the batch with 21027.
  StoreCatalog::failNextRequest(apm_errorWithCode(3, "offline"));
  reporter->paymentQueueUpdatedFilteredTransactions(
      platform::storekit::PaymentQueue::defaultQueue(), {purchased("t9", "unknown")});
  EXPECT_EQ(events().size(), 2u);
  EXPECT_TRUE(reported(21027));
}

TEST_F(PurchaseReporterTest, TheSecondRoadMarksVerifiedSandboxPurchasesAndWholeSeconds) {
  useBundle({}, "sandboxReceipt",
            receipt({simpleRecord("coins", "c0", "c0", "2026-01-01T00:00:00Z", 1)}));
  StoreCatalog::setProducts({product("sub", "4.99"), product("gems", "1.99")});
  auto reporter = APMInAppPurchaseTransactionReporter::sharedInstance();
  const auto noon =
      *platform::DateFormatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ").dateFromString("2026-03-01T12:00:00Z");
  const platform::Date late{noon.secondsSince1970 + 0.75};
  // Verified, not in the receipt: its own record classifies it (matched at 12:00:00).
  reporter->reportTransactionWithProductID("sub", "s1", "s1", Value(), 3, false, false, 1, late,
                                           late, std::nullopt, std::nullopt, "Sandbox", true);
  env_.runUntilIdle();
  // Unverified in the sandbox receipt environment: invalid, marked sandbox.
  reporter->reportTransactionWithProductID("gems", "g5", "g5", Value(), 1, false, false, 1, late,
                                           std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                           false);
  env_.runUntilIdle();
  // "xcode" in any case is a sandbox.
  const platform::Date later{noon.secondsSince1970 + 3600};
  reporter->reportTransactionWithProductID("sub", "s2", "s2", Value("77"), 3, false, false, 1,
                                           later, later, std::nullopt, std::nullopt, "XCode", true);
  auto all = events();
  ASSERT_EQ(all.size(), 3u);
  std::vector<Logged> subs;
  Logged gems;
  for (const auto& e : all) {
    if (e.parameters.at(Value("product_id")) == Value("sub")) {
      subs.push_back(e);
    } else {
      gems = e;
    }
  }
  ASSERT_EQ(subs.size(), 2u);
  for (const auto& e : subs) {
    EXPECT_EQ(e.name, "_iap");
    EXPECT_EQ(e.parameters.at(Value("validated")), Value(std::int64_t{1}));
    EXPECT_EQ(e.parameters.at(Value("sandbox")), Value(std::int64_t{1}));
    EXPECT_EQ(e.parameters.at(Value("_skv")), Value("2"));
    EXPECT_EQ(e.parameters.at(Value("subscription")), Value(std::int64_t{1}));
  }
  // Each matched its own record: s1's at 12:00:00 although reported at 12:00:00.750.
  const std::set<Value> dids = {subs[0].parameters.at(Value("_did")),
                                subs[1].parameters.at(Value("_did"))};
  EXPECT_EQ(dids,
            (std::set<Value>{
                Value(APMTransactionDedupeID(std::string("s1"), std::nullopt, std::string("sub"))),
                Value(APMTransactionDedupeID(std::string("s2"), std::uint64_t{77},
                                             std::string("sub")))}));
  EXPECT_FALSE(reported(40023));
  EXPECT_EQ(gems.name, "_iapx");
  EXPECT_EQ(gems.parameters.at(Value("sandbox")), Value(std::int64_t{1}));
  EXPECT_FALSE(gems.parameters.contains(Value("validated")));
  EXPECT_FALSE(gems.parameters.contains(Value("invalid")));
}

TEST_F(PurchaseReporterTest, TheReceiptLocationFollowsTheBundleAndItsSwitch) {
  struct Case {
    const char* name;
    platform::ValueMap info;
    const char* receiptName;
    bool sc_info;
    bool hasURL;
    bool sandbox;
    bool fromStore;
  };
  const std::vector<Case> cases = {
      {"plain", {}, "receipt", false, true, false, false},
      {"sc_info", {}, "receipt", true, true, false, true},
      {"sandbox beats sc_info", {}, "sandboxReceipt", true, true, true, false},
      {"switch off as a number",
       {{Value(APMIsAppStoreReceiptURLEnabledPlistKey), Value(std::int64_t{0})}},
       "sandboxReceipt",
       false,
       false,
       false,
       false},
      {"switch off as a boolean",
       {{Value(APMIsAppStoreReceiptURLEnabledPlistKey), Value(false)}},
       "sandboxReceipt",
       false,
       false,
       false,
       false},
      {"switch as text is ignored",
       {{Value(APMIsAppStoreReceiptURLEnabledPlistKey), Value("NO")}},
       "sandboxReceipt",
       false,
       true,
       true,
       false},
  };
  for (const auto& c : cases) {
    useBundle(c.info, c.receiptName, {1});
    if (c.sc_info) std::filesystem::create_directories(bundleFolder_ / "SC_Info");
    EXPECT_EQ(APMAEU::appStoreRURL().has_value(), c.hasURL) << c.name;
    EXPECT_EQ(APMAEU::isASRS(), c.sandbox) << c.name;
    EXPECT_EQ(APMAEU::isFAS(), c.fromStore) << c.name;
  }
  EXPECT_FALSE(APMAEU::isNOD());
}

std::vector<std::uint8_t> header(bool is64, std::vector<std::vector<std::uint32_t>> commands) {
  std::vector<std::uint8_t> out;
  auto put = [&](std::uint32_t w) {
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  };
  put(is64 ? 0xfeedfacf : 0xfeedface);
  put(7);
  put(3);
  put(2);  // executable
  put(static_cast<std::uint32_t>(commands.size()));
  put(0);
  put(0);
  if (is64) put(0);
  for (const auto& command : commands)
    for (auto w : command)
      put(w);
  return out;
}

TEST_F(PurchaseReporterTest, TheEncryptionFlagWalksLoadCommandsWithinTheHeader) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool encrypted;
  };
  const std::vector<Case> cases = {
      {"64-bit encrypted", header(true, {{25, 12, 0}, {44, 24, 0, 0, 1, 0}}), true},
      {"64-bit clear", header(true, {{44, 24, 0, 0, 0, 0}}), false},
      {"32-bit encrypted", header(false, {{33, 20, 0, 0, 1}}), true},
      {"wrong kind for the magic", header(false, {{44, 24, 0, 0, 1, 0}}), false},
      {"zero command size ends the walk", header(true, {{25, 0}, {44, 24, 0, 0, 1, 0}}), false},
      {"overrunning size ends the walk", header(true, {{44, 4000, 0, 0, 1, 0}}), false},
      {"an ELF image",
       {0x7f, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0,    0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMAEU::executableHeaderIsEncrypted(c.bytes.data(), c.bytes.size()), c.encrypted)
        << c.name;
  }
  auto truncated = header(true, {{44, 24, 0, 0, 1, 0}});
  truncated.resize(truncated.size() - 8);
  EXPECT_FALSE(APMAEU::executableHeaderIsEncrypted(truncated.data(), truncated.size()));
}

}  // namespace
