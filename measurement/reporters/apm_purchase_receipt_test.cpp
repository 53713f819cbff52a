// The receipt scanner and the classification of purchases into event parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "measurement/reporters/apm_purchase_event_parameters.h"
#include "measurement/reporters/apm_purchase_receipt.h"
#include "measurement/reporters/reporters_test_support.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/foundation/date_format.h"

namespace {

using namespace reporters_testing;
using platform::Value;

class PurchaseReceiptTest : public apm_testing::StorageTest {
 protected:
  ~PurchaseReceiptTest() override { platform::storekit::StoreCatalog::reset(); }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
};

platform::Date at(const std::string& text) {
  return *platform::DateFormatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ").dateFromString(text);
}

std::vector<std::string> productsOf(const APMInAppPurchaseItems& items) {
  std::vector<std::string> out;
  for (const auto& item : items)
    out.push_back(item->productID.value_or("<none>"));
  return out;
}

TEST_F(PurchaseReceiptTest, RecordsAreReadInFileOrderWithEveryField) {
  EXPECT_FALSE(APMParsePurchaseItems({}));
  const auto data = receipt({
      purchaseRecord({text(166, "coins"), text(167, "t1"), text(169, "t0"),
                      date(172, "2026-02-01T00:00:00Z"), integer(177, {1}), integer(183, {0}),
                      integer(171, {1}), integer(175, {0, 0, 0, 0, 0, 0, 0x30, 0x39}),
                      date(168, "2026-01-01T12:00:00Z"), date(170, "2025-12-01T00:00:00Z"),
                      date(176, "2026-01-05T00:00:00Z")}),
      simpleRecord("sub", "s1", "s1", "2026-01-02T00:00:00Z", 3),
  });
  const auto items = APMParsePurchaseItems(data);
  ASSERT_TRUE(items);
  ASSERT_EQ(productsOf(*items), (std::vector<std::string>{"coins", "sub"}));
  const auto& first = *(*items)[0];
  EXPECT_EQ(first.transactionID, "t1");
  EXPECT_EQ(first.originalTransactionID, "t0");
  EXPECT_EQ(first.subscriptionExpirationDateIA5String, "2026-02-01T00:00:00Z");
  EXPECT_TRUE(first.isFreeTrial);
  EXPECT_FALSE(first.isIntroductoryOffer);
  EXPECT_EQ(first.purchaseType, 1);
  EXPECT_EQ(first.webOrderLineItemID, 12345u);
  EXPECT_EQ(first.purchaseDateIA5String, "2026-01-01T12:00:00Z");
  EXPECT_EQ(first.originalPurchaseDateIA5String, "2025-12-01T00:00:00Z");
  EXPECT_EQ(first.cancellationDateIA5String, "2026-01-05T00:00:00Z");
  EXPECT_EQ((*items)[1]->purchaseType, 3);
}

TEST_F(PurchaseReceiptTest, MalformedRecordsAndFieldsAreHandledAsTheReceiptRulesSay) {
  // A record without product is dropped unless it is the last one.
  const auto noProduct = purchaseRecord({text(167, "x1"), integer(171, {1})});
  auto items = APMParsePurchaseItems(
      receipt({noProduct, simpleRecord("a", "1", "1", "2026-01-01T00:00:00Z", 1), noProduct}));
  ASSERT_TRUE(items);
  EXPECT_EQ(productsOf(*items), (std::vector<std::string>{"a", "<none>"}));

  // A trial flag of 2 reads as false with 39025; a two-byte flag is refused; a zero web order
  // identifier is none.
  items = APMParsePurchaseItems(receipt({purchaseRecord(
      {text(166, "b"), integer(177, {2}), integer(183, {1, 1}), integer(175, {0, 0, 0, 0})})}));
  ASSERT_TRUE(items && items->size() == 1);
  EXPECT_FALSE((*items)[0]->isFreeTrial);
  EXPECT_FALSE((*items)[0]->isIntroductoryOffer);
  EXPECT_FALSE((*items)[0]->webOrderLineItemID);
  EXPECT_TRUE(reported(39025));

  // Every cut of a receipt gives at most as many records, read only within its bytes.
  const auto whole = receipt({simpleRecord("c", "1", "1", "2026-01-01T00:00:00Z", 1),
                              simpleRecord("d", "2", "2", "2026-01-01T00:00:00Z", 1)});
  for (std::size_t size = 1; size < whole.size(); ++size) {
    const platform::Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    const auto parsed = APMParsePurchaseItems(cut);
    ASSERT_TRUE(parsed);
    EXPECT_LE(parsed->size(), 2u) << size;
    for (const auto& item : *parsed) {
      if (item->productID) {
        EXPECT_LE(item->productID->size(), 1u);
      }
    }
  }
}

// The receipt the end-to-end fixture writes (python, its own DER encoder) reads back here.
TEST_F(PurchaseReceiptTest, TheFixtureWritersReceiptReadsBack) {
  const auto script = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                      "tests" / "fakes" / "receipt_fixture.py";
  const auto json = std::filesystem::path(scratch_.path()) / "records.json";
  const auto out = std::filesystem::path(scratch_.path()) / "receipt";
  std::ofstream(json) << R"([{"product_id": "coins", "transaction_id": "t1",
      "original_transaction_id": "t1", "product_type": 1,
      "purchase_date": "2026-01-01T00:00:00Z"},
    {"product_id": "sub", "transaction_id": "s2", "original_transaction_id": "s1",
      "product_type": 3, "web_order_line_item_id": 1000000077, "free_trial": 1}])";
  const std::string command = "python3 '" + script.string() + "' --input '" + json.string() +
                              "' --output '" + out.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(out, std::ios::binary);
  const platform::Bytes bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  const auto items = APMParsePurchaseItems(bytes);
  ASSERT_TRUE(items);
  ASSERT_EQ(productsOf(*items), (std::vector<std::string>{"coins", "sub"}));
  EXPECT_EQ((*items)[0]->transactionID, "t1");
  EXPECT_EQ((*items)[0]->purchaseType, 1);
  EXPECT_EQ((*items)[0]->purchaseDateIA5String, "2026-01-01T00:00:00Z");
  EXPECT_EQ((*items)[1]->originalTransactionID, "s1");
  EXPECT_EQ((*items)[1]->webOrderLineItemID, 1000000077u);
  EXPECT_TRUE((*items)[1]->isFreeTrial);
}

TEST_F(PurchaseReceiptTest, TheBytePatternMatcherStaysInsideTheData) {
  struct Case {
    std::vector<int> pattern;
    platform::Bytes data;
    std::int64_t position;
    std::optional<platform::Bytes> expected;
  };
  const std::vector<Case> cases = {
      {{1, 255}, {1, 2, 7, 8}, 0, platform::Bytes{7, 8}},
      {{1, 255}, {1, 3, 7, 8}, 0, std::nullopt},  // the length overruns
      {{1, 255}, {1, 0, 7}, 0, std::nullopt},     // zero length
      {{1, 2}, {1, 2, 7}, 0, std::nullopt},       // no wildcard
      {{1, 255}, {1, 1}, 0, std::nullopt},        // pattern must fit strictly
      {{1, 255}, {1, 1, 5}, -1, std::nullopt},
      {{1, 255}, {9, 1, 1, 5}, 1, platform::Bytes{5}},
      {{}, {1, 2}, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMMatchByteSequence(c.pattern, c.data, c.position), c.expected);
  }
}

TEST_F(PurchaseReceiptTest, SelectionByDateKeepsExactInstantsOldestFirst) {
  const auto items = *APMParsePurchaseItems(receipt({
      simpleRecord("a", "3", "1", "2026-01-03T00:00:00Z", 3),
      simpleRecord("a", "1", "1", "2026-01-01T00:00:00Z", 3),
      simpleRecord("b", "2", "2", "2026-01-01T00:00:00Z", 1),
      simpleRecord("a", "2", "1", "2026-01-01T00:00:00+00:00", 3),
  }));
  auto byProduct = APMMatchingInAppPurchaseItems(&items, std::string("a"), std::nullopt);
  ASSERT_TRUE(byProduct);
  ASSERT_EQ(byProduct->size(), 3u);
  EXPECT_EQ(byProduct->back()->transactionID, "3");
  auto byDate = APMMatchingInAppPurchaseItems(&items, std::nullopt, at("2026-01-01T00:00:00Z"));
  ASSERT_TRUE(byDate);
  EXPECT_EQ(byDate->size(), 3u);
  auto both = APMMatchingInAppPurchaseItems(&items, std::string("b"), at("2026-01-01T00:00:00Z"));
  ASSERT_TRUE(both && both->size() == 1);
  EXPECT_FALSE(APMMatchingInAppPurchaseItems(&items, std::string(""), std::nullopt));
}

TEST_F(PurchaseReceiptTest, MicrosAreComputedInDecimalAndTruncated) {
  using platform::storekit::Decimal;
  struct Case {
    const char* price;
    std::int64_t quantity;
    std::optional<std::int64_t> micros;
  };
  const std::vector<Case> cases = {
      {"0.99", 3, 2970000},
      {"0.99", 1, 990000},
      {"0.0000019", 1, 1},  // 1.9 micros: truncated, never rounded
      {"-0.0000019", 1, -1},
      {"9223372036854", 1, 9223372036853999616},  // through a double, as the rule says
      {"9223372036855", 1, std::nullopt},         // past the 64-bit range: left out
      {"4.99", 10000000000000, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMValueInMicrosFromPriceAndQuantity(*Decimal::fromString(c.price), c.quantity),
              c.micros)
        << c.price << " x " << c.quantity;
  }
  EXPECT_FALSE(Decimal::fromString("1.2.3"));
  EXPECT_FALSE(Decimal::fromString(""));
  EXPECT_EQ(APMTransactionDedupeID("t1", std::nullopt, ""), -1);
  EXPECT_EQ(APMTransactionDedupeID("", std::nullopt, "coins"), -1);
  // The last 8 bytes of MD5("t1coins"), signed (python's hashlib).
  EXPECT_EQ(APMTransactionDedupeID("t1", std::nullopt, "coins"), -6363409080393057909);
}

TEST_F(PurchaseReceiptTest, APriceWhoseMicrosLeaveTheRangeGivesNoParameters) {
  const auto p = product("big", "9223372036855");
  const auto items =
      *APMParsePurchaseItems(receipt({simpleRecord("big", "t1", "t1", "2026-01-01T00:00:00Z", 1)}));
  EXPECT_FALSE(APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      &p, 1, "t1", "t1", std::nullopt, &items));
  EXPECT_TRUE(reported(APMPurchaseMicrosOutOfRangeCode));
}

struct ClassificationCase {
  const char* name;
  std::vector<platform::Bytes> records;
  std::string transaction;
  std::string original;
  const char* date;
  std::int64_t code;
  platform::ValueMap added;  // besides the base parameters
};

TEST_F(PurchaseReceiptTest, TransactionsAreClassifiedAgainstTheReceipt) {
  const char* d1 = "2026-01-01T00:00:00Z";
  const char* d2 = "2026-02-01T00:00:00Z";
  auto sub = [](const char* tx, const char* orig, const char* when, bool trial, bool intro) {
    return purchaseRecord({text(166, "p"), text(167, tx), text(169, orig), integer(171, {3}),
                           integer(177, {static_cast<std::uint8_t>(trial)}),
                           integer(183, {static_cast<std::uint8_t>(intro)}), date(168, when)});
  };
  const auto did = [](const char* orig) {
    return Value(APMTransactionDedupeID(orig, std::nullopt, "p"));
  };
  const Value one(std::int64_t{1});
  const std::vector<ClassificationCase> cases = {
      {"missing", {}, "t", "t", d1, 40020, {{Value("invalid"), one}}},
      {"consumable",
       {simpleRecord("p", "t", "t", d1, 1)},
       "t",
       "t",
       d1,
       40021,
       {{Value("_did"), did("t")}}},
      {"non-consumable",
       {simpleRecord("p", "t", "t", d1, 0)},
       "t",
       "t",
       d1,
       40022,
       {{Value("_did"), did("t")}}},
      {"restored non-consumable",
       {simpleRecord("p", "t", "t", d1, 0)},
       "t2",
       "t",
       d1,
       40005,
       {{Value("invalid"), one}}},
      {"mismatched consumable", {simpleRecord("p", "t2", "t", d1, 1)}, "t2", "t", d1, 40007, {}},
      {"subscription not dated",
       {simpleRecord("p", "s", "s", d1, 3)},
       "s",
       "s",
       d2,
       40023,
       {{Value("invalid"), one}, {Value("subscription"), one}}},
      {"duplicate date",
       {simpleRecord("p", "s", "s", d1, 3), simpleRecord("p", "s2", "s", d1, 3)},
       "s",
       "s",
       d1,
       40024,
       {{Value("invalid"), one}, {Value("subscription"), one}}},
      {"non-renewing",
       {simpleRecord("p", "s2", "s", d1, 2)},
       "s2",
       "s",
       d1,
       40025,
       {{Value("subscription"), one}, {Value("_did"), did("s")}}},
      {"subscription start",
       {simpleRecord("p", "s", "s", d1, 3)},
       "s",
       "s",
       d1,
       40008,
       {{Value("subscription"), one}, {Value("_did"), did("s")}}},
      {"renewal",
       {sub("s", "s", d1, false, false), sub("s2", "s", d2, false, false)},
       "s2",
       "s",
       d2,
       40008,
       {{Value("_did"), did("s")}, {Value("sub_renew"), one}}},
      {"conversion",
       {sub("s", "s", d1, true, false), sub("s2", "s", d2, false, false)},
       "s2",
       "s",
       d2,
       40008,
       {{Value("_did"), did("s")}, {Value("sub_convert"), one}}},
      {"free trial start",
       {sub("s", "s", d1, true, false)},
       "s",
       "s",
       d1,
       40009,
       {{Value("subscription"), one},
        {Value("_did"), did("s")},
        {Value("free_trial"), one},
        {Value("price_is_discounted"), one},
        {Value("original_price"), Value(std::int64_t{4990000})},
        {Value("price"), Value(std::int64_t{0})},
        {Value("value"), Value(std::int64_t{0})}}},
      {"free trial repurchase",
       {sub("s", "s", d1, true, false)},
       "s3",
       "s",
       d1,
       40011,
       {{Value("subscription"), one},
        {Value("_did"), did("s")},
        {Value("free_trial"), one},
        {Value("invalid"), one},
        {Value("price_is_discounted"), one},
        {Value("original_price"), Value(std::int64_t{4990000})},
        {Value("price"), Value(std::int64_t{0})},
        {Value("value"), Value(std::int64_t{0})}}},
  };
  const auto base = product("p", "4.99", "USD");
  for (const auto& c : cases) {
    clearReports();
    const auto items =
        c.records.empty() ? APMInAppPurchaseItems{} : *APMParsePurchaseItems(receipt(c.records));
    const auto result = APMInAppPurchaseEventParametersFromProductAndTransactionFields(
        &base, 1, c.transaction, c.original, at(c.date), &items);
    ASSERT_TRUE(result) << c.name;
    platform::ValueMap expected = {{Value("product_id"), Value("p")},
                                   {Value("price"), Value(std::int64_t{4990000})},
                                   {Value("value"), Value(std::int64_t{4990000})},
                                   {Value("quantity"), one},
                                   {Value("currency"), Value("USD")}};
    for (const auto& [key, value] : c.added)
      expected[key] = value;
    EXPECT_EQ(*result, expected) << c.name;
    EXPECT_TRUE(reported(c.code)) << c.name;
  }
}

TEST_F(PurchaseReceiptTest, IntroductoryPricesOverrideOnlyWhenTheStoreOffersThem) {
  using platform::storekit::ProductDiscountPaymentMode;
  using platform::storekit::StoreCatalog;
  const auto items = *APMParsePurchaseItems(
      receipt({purchaseRecord({text(166, "p"), text(167, "s"), text(169, "s"), integer(171, {3}),
                               integer(183, {1}), date(168, "2026-01-01T00:00:00Z")})}));
  auto p = product("p", "4.99");
  p.introductoryPrice = platform::storekit::ProductDiscount{
      *platform::storekit::Decimal::fromString("0.99"), ProductDiscountPaymentMode::PayUpFront};
  const auto run = [&](std::uint64_t quantity) {
    return *APMInAppPurchaseEventParametersFromProductAndTransactionFields(
        &p, quantity, "s", "s", at("2026-01-01T00:00:00Z"), &items);
  };
  auto discounted = run(2);
  EXPECT_EQ(discounted.at(Value("price")), Value(std::int64_t{990000}));
  EXPECT_EQ(discounted.at(Value("value")), Value(std::int64_t{1980000}));
  EXPECT_EQ(discounted.at(Value("original_price")), Value(std::int64_t{4990000}));
  EXPECT_TRUE(reported(40018));

  StoreCatalog::setDiscountClassAvailable(false);
  auto plain = run(2);
  EXPECT_EQ(plain.at(Value("price")), Value(std::int64_t{4990000}));
  EXPECT_FALSE(plain.contains(Value("original_price")));
  EXPECT_EQ(plain.at(Value("price_is_discounted")), Value(std::int64_t{1}));

  StoreCatalog::setDiscountClassAvailable(true);
  StoreCatalog::setIntroductoryPriceAvailable(false);
  EXPECT_FALSE(run(2).contains(Value("original_price")));

  StoreCatalog::setIntroductoryPriceAvailable(true);
  p.introductoryPrice->paymentMode = ProductDiscountPaymentMode::FreeTrial;
  auto free = run(1);
  EXPECT_EQ(free.at(Value("price")), Value(std::int64_t{0}));
  EXPECT_EQ(free.at(Value("value")), Value(std::int64_t{0}));

  // No product, an empty identifier, a zero quantity or no currency: no parameters.
  EXPECT_FALSE(APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      nullptr, 1, "s", "s", std::nullopt, &items));
  EXPECT_TRUE(reported(40026));
  auto unnamed = product("", "1");
  EXPECT_FALSE(APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      &unnamed, 1, "s", "s", std::nullopt, &items));
  EXPECT_TRUE(reported(40027));
  const auto listed = product("p", "4.99");
  EXPECT_FALSE(APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      &listed, 0, "s", "s", at("2026-01-01T00:00:00Z"), &items));
  auto noCurrency = product("p", "1");
  noCurrency.currencyCode.reset();
  EXPECT_FALSE(APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      &noCurrency, 1, "", "s", at("2026-01-01T00:00:00Z"), &items));
  EXPECT_TRUE(reported(40003));
}

}  // namespace
