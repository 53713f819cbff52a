// Store purchases and lifetime value through the real test host: the "lumora_test/store" channel
// plays the store (catalog, transactions, the second store interface), the bundle holds a receipt
// written by tests/fakes/receipt_fixture.py, and the analytics channels log ecommerce events.
// Rows are read once the fake measurement service has received the first batch (that cycle
// bundles and removes everything stored before it), with the sqlite3 shell and protoc. The stop
// would make the application resign active and upload what is stored, so the host is killed
// instead; events are looked up in the batches the fake service received as well as in the
// database, since an upload cycle may still run under load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/core/value.h"
#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::Value;

constexpr const char* kBundleID = "com.example.store";
constexpr const char* kStore = "lumora_test/store";

json store(const std::string& method, json args = json::object()) {
  return json{{"op", "invoke"}, {"channel", kStore}, {"method", method}, {"args", std::move(args)}};
}

class StorePurchasesEndToEndTest : public MeasurementHostTest {
 protected:
  StorePurchasesEndToEndTest() : MeasurementHostTest(kBundleID) {
    fs::create_directories(bundle_ / "Receipt");
    const fs::path records = fs::path(scratch_.path()) / "records.json";
    std::ofstream(records) << R"([{"product_id": "coins", "transaction_id": "t1",
        "original_transaction_id": "t1", "product_type": 1,
        "purchase_date": "2026-01-01T00:00:00Z"}])";
    const fs::path fixture =
        fs::path(__FILE__).parent_path().parent_path() / "fakes" / "receipt_fixture.py";
    shellOutput("python3 " + shellQuoted(fixture.string()) + " --input " +
                shellQuoted(records.string()) + " --output " +
                shellQuoted((bundle_ / "Receipt" / "receipt").string()));
  }

  void startHostPastFirstUpload() {
    startHost(
        {.executable = testHostExecutable(), .arguments = {"-DIDErizevizoVerboseLoggingEnabled"}});
    ASSERT_TRUE(host_);
    run({logEventCall("before_first_upload")});
    ASSERT_TRUE(service_.waitFor(
        [](const auto& requests) {
          return std::any_of(requests.begin(), requests.end(),
                             [](const auto& r) { return r.method == "POST"; });
        },
        60))
        << host_->log();
  }
  void run(const std::vector<json>& commands) {
    const PeerRun result = drive(commands);
    const auto replies = result.withOp("reply");
    const auto results = result.withOp("result", kStore);
    ASSERT_EQ(replies.size() + results.size(), commands.size()) << json(result.lines).dump();
    for (const auto& line : results)
      EXPECT_EQ(line.value("result", json()), json(true)) << line.dump();
  }

  void waitForLog(const std::string& text) {
    for (int i = 0; i < 300; ++i) {
      if (!host_->logLines(text).empty()) return;
      usleep(100000);
    }
    ADD_FAILURE() << "the log never held " << text << "\n" << host_->log();
  }
  static std::string lifetimeValueLine(const std::string& value) {
    return "[I-ACS022006] Lifetime value has been updated in database: " + value;
  }
  static std::string eventLine(const std::string& name) {
    return "[I-ACS023072] Event logged. Event name, event params: " + name + ", ";
  }
  // The uploaded events named `name`, oldest first, each as protoc prints a lone Event.
  std::vector<std::string> uploadedEvents(const std::string& name) {
    std::vector<std::string> out;
    const fs::path file = fs::path(scratch_.path()) / "batch.bin";
    for (const auto& request : service_.requests()) {
      if (request.method != "POST") continue;
      std::ofstream(file, std::ios::binary | std::ios::trunc) << request.body;
      const std::string batch = shellOutput(protocCommand("decode", "MeasurementBatch") + " < " +
                                            shellQuoted(file.string()));
      // Events sit two levels deep ("bundles { events { ... } }"): each block, its lines
      // unindented by those two levels, reads as a lone Event.
      std::string event;
      bool inside = false;
      std::size_t start = 0;
      while (start < batch.size()) {
        const std::size_t end = std::min(batch.find('\n', start), batch.size());
        const std::string line = batch.substr(start, end - start);
        start = end + 1;
        if (!inside) {
          inside = line == "  events {";
          event.clear();
        } else if (line == "  }") {
          inside = false;
          if (contains(event, "\nname: \"" + name + "\"\n") ||
              event.rfind("name: \"" + name + "\"\n", 0) == 0)
            out.push_back(event);
        } else {
          event += (line.size() >= 4 ? line.substr(4) : line) + "\n";
        }
      }
    }
    return out;
  }
  // The events named `name` the host uploaded or still stores, oldest first, as protoc prints
  // them.
  std::vector<std::string> events(const std::string& name) {
    std::vector<std::string> out = uploadedEvents(name);
    const std::string ids =
        sql("SELECT rowid FROM raw_events WHERE name = " + shellQuoted(name) + " ORDER BY rowid");
    std::size_t start = 0;
    while (start < ids.size()) {
      const std::size_t end = ids.find('\n', start);
      const std::string id = ids.substr(start, end - start);
      start = end == std::string::npos ? ids.size() : end + 1;
      out.push_back(decode("Event", "SELECT data FROM raw_events WHERE rowid = " + id));
    }
    return out;
  }
  std::string lifetimeValues() {
    return sql("SELECT name || '=' || value FROM user_attributes WHERE name LIKE '!_ltv!_%' "
               "ESCAPE '!' ORDER BY name");
  }
};

TEST_F(StorePurchasesEndToEndTest, StoreTransactionsAreReportedOnceWithTheirLifetimeValue) {
  startHostPastFirstUpload();
  ASSERT_TRUE(host_);
  run({store("setProducts",
             {{"products",
               {{{"id", "coins"}, {"price", "0.99"}, {"currency", "USD"}, {"title", "Coins"}},
                {{"id", "sub"}, {"price", "4.99"}, {"currency", "USD"}},
                {{"id", "gems"}, {"price", "1.99"}, {"currency", "USD"}}}}}),
       store("purchase", {{"transaction", "t1"}, {"product", "coins"}, {"quantity", 3}})});
  // The lifetime value right after the purchase: 3 x 0.99.
  waitForLog(lifetimeValueLine("_ltv_USD=2970000"));

  // The same transaction told again, the second store interface's sandbox subscription
  // (2026-03-01 12:00:00.750 GMT), and a product the receipt does not hold.
  run({store("purchase", {{"transaction", "t1"}, {"product", "coins"}, {"quantity", 3}}),
       store("logTransaction", {{"product", "sub"},
                                {"transaction", "s1"},
                                {"originalTransaction", "s1"},
                                {"productType", 3},
                                {"quantity", 1},
                                {"purchaseDate", 1772366400.75},
                                {"originalPurchaseDate", 1772366400.75},
                                {"environment", "Sandbox"},
                                {"verified", true}}),
       store("purchase", {{"transaction", "g1"}, {"product", "gems"}})});
  waitForLog("[I-ACS023141]");
  waitForLog(eventLine("_iapx"));
  waitForLog(lifetimeValueLine("_ltv_USD=7960000"));
  killHost();
  EXPECT_EQ(lifetimeValues(), "_ltv_USD=7960000\n");

  EXPECT_TRUE(logged("I-ACS023141")) << hostLog();
  const auto purchases = events("_iap");
  ASSERT_EQ(purchases.size(), 2u) << "a told-again transaction was stored twice";
  const auto first = std::find_if(purchases.begin(), purchases.end(), [](const auto& e) {
    return contains(e, stringParam("_skv", "1"));
  });
  ASSERT_NE(first, purchases.end());
  // "_did": the last 8 bytes of the MD5 of transaction and product, as a signed number.
  const std::string did = shellOutput(
      "python3 -c 'import hashlib; "
      "print(int.from_bytes(hashlib.md5(b\"t1coins\").digest()[8:], \"big\", signed=True))'");
  for (const std::string& expected :
       {stringParam("_o", "auto"), intParam("price", 990000), intParam("value", 2970000),
        intParam("quantity", 3), stringParam("currency", "USD"),
        stringParam("product_name", "Coins"), stringParam("_skv", "1"),
        "params {\n  name: \"_did\"\n  int_value: " + did.substr(0, did.size() - 1) + "\n}"})
    EXPECT_TRUE(contains(*first, expected)) << expected << "\n" << *first;

  const auto second = std::find_if(purchases.begin(), purchases.end(), [](const auto& e) {
    return contains(e, stringParam("_skv", "2"));
  });
  ASSERT_NE(second, purchases.end());
  for (const std::string& expected :
       {intParam("validated", 1), intParam("sandbox", 1), stringParam("product_id", "sub")})
    EXPECT_TRUE(contains(*second, expected)) << expected << "\n" << *second;
  // It matched its own record (bought at 12:00:00): no "missing subscription" line.
  EXPECT_FALSE(logged("I-ACS040023")) << hostLog();

  const auto missing = events("_iapx");
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_TRUE(contains(missing[0], stringParam("product_id", "gems"))) << missing[0];
  EXPECT_FALSE(hasParam(missing[0], "invalid")) << missing[0];
}

TEST_F(StorePurchasesEndToEndTest, EcommerceEventsMoveTheLifetimeValueOrAreRefused) {
  startHostPastFirstUpload();
  ASSERT_TRUE(host_);
  run({logEventCall("purchase", {{"value", 9.99}, {"currency", "usd"}})});
  waitForLog(lifetimeValueLine("_ltv_USD=9990000"));

  // Four currencies are kept; a fifth evicts the one set longest ago (USD). Each is recorded
  // before the next is logged, so their set times differ.
  int purchases = 1;
  for (const std::string currency : {"EUR", "GBP", "JPY", "CHF"}) {
    run({logEventCall("purchase", {{"value", 1}, {"currency", currency}})});
    waitForLog(lifetimeValueLine("_ltv_" + currency + "=1000000"));
    ++purchases;
  }

  // A two-letter code is refused for the lifetime value, the event is still stored; an amount
  // whose micros leave int64 stores nothing.
  run({logEventCall("purchase", {{"value", 1}, {"currency", "US"}}),
       logEventCall("purchase", {{"value", 1e13}, {"currency", "EUR"}}), logEventCall("after")});
  waitForLog(eventLine("after"));
  killHost();
  EXPECT_TRUE(logged("I-ACS022000")) << hostLog();
  EXPECT_TRUE(logged("I-ACS022002")) << hostLog();
  const auto stored = events("purchase");
  EXPECT_EQ(stored.size(), static_cast<std::size_t>(purchases + 1));
  ASSERT_FALSE(stored.empty());
  EXPECT_TRUE(contains(stored.back(), stringParam("currency", "US"))) << stored.back();
  EXPECT_EQ(lifetimeValues(),
            "_ltv_CHF=1000000\n_ltv_EUR=1000000\n_ltv_GBP=1000000\n_ltv_JPY=1000000\n");
}

}  // namespace
}  // namespace lumora::e2e
