// The experiments client through the real host: about ten seconds after start it posts a
// gzipped ExperimentRequest to a fake experiments service on 127.0.0.1, which answers with a
// gzipped ExperimentResponse made by protoc; the snapshot is stored pending, activated once no
// data waits for upload, and its experiment ID then rides in every bundle (tag 45), across a
// restart that fetches nothing early. The experiment's flag switches the purchase customer type
// off.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/core/value.h"
#include "platform/foundation/property_list.h"
#include "tests/e2e/measurement_fixture.h"
#include "tests/fakes/fake_experiments_service.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using fakes::FakeExperimentsService;
using fakes::FakeMeasurementService;
using nlohmann::json;
using platform::Value;

constexpr const char* kBundleID = "com.example.experiments";

std::string bytesFromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i]))) break;
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

class MeasurementExperimentsEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementExperimentsEndToEndTest() : MeasurementHostTest(kBundleID) {}
  ~MeasurementExperimentsEndToEndTest() override { stopHost(); }

  void startHost() {
    MeasurementHostTest::startHost(
        {.debug = true,
         .environment = {{"LANGUAGE", "en_US"},
                         {"LUMORA_EXPERIMENTS_URL", experiments_.baseURL()}}});
  }
  // Every uploaded bundle that holds `part`, decoded; waits up to 20 s for one.
  std::vector<std::string> bundlesWith(const std::string& part) {
    std::vector<std::string> found;
    service_.waitFor(
        [&](const std::vector<FakeMeasurementService::Request>& requests) {
          found.clear();
          for (const auto& request : requests) {
            if (request.method != "POST") continue;
            const auto text = runWithInput(protocCommand("decode", "MeasurementBatch"),
                                           request.body, scratch_.path());
            if (!text) continue;
            for (auto& bundle : batchBundles(*text)) {
              if (contains(bundle, part)) found.push_back(std::move(bundle));
            }
          }
          return !found.empty();
        },
        20);
    return found;
  }
  // One snapshot column of a table of the experiments database, decoded by protoc; "" when the
  // table has no row.
  std::string storedSnapshot(const std::string& table) {
    const fs::path db = home_ / "Application Support" / "Ziriza" / "Measurement" /
                        "ziriza_experimentation_database.sql";
    // Read without a lock, as the measurement database is: the host writes it meanwhile.
    const auto hex = runWithInput(
        "sqlite3 -batch " + shellQuoted("file:" + db.string() + "?mode=ro&nolock=1") +
            " \"SELECT hex(snapshotProto) FROM " + table + " WHERE sdk_name = 'app_measurement'\"",
        "", scratch_.path());
    if (!hex || hex->empty()) return "";
    return withoutBlanks(
        runWithInput(protocCommand("decode", "Snapshot"), bytesFromHex(*hex), scratch_.path())
            .value_or("?"));
  }
  Value suitePreference(const std::string& key) {
    for (const auto& entry : fs::recursive_directory_iterator(home_)) {
      if (entry.path().filename() != "APMExperimentSuiteName.plist") continue;
      const Value plist = platform::readPropertyListFile(entry.path().string()).value_or(Value());
      if (!plist.isMap()) return Value();
      const auto found = plist.asMap().find(Value(key));
      return found == plist.asMap().end() ? Value() : found->second;
    }
    return Value();
  }
  std::size_t experimentRequests() const { return experiments_.requests().size(); }

  FakeExperimentsService experiments_;
};

TEST_F(MeasurementExperimentsEndToEndTest, FetchStoreActivateAndCarryTheExperimentID) {
  ASSERT_FALSE(service_.baseURL().empty());
  ASSERT_FALSE(experiments_.baseURL().empty());
  // The service's answer: the gzip bytes of an ExperimentResponse as the raw body, with no
  // Content-Encoding (the client inflates the body itself).
  const auto response =
      runWithInput(protocCommand("encode", "ExperimentResponse"),
                   "snapshots { sdk_name: \"app_measurement\" "
                   "experiments { experiment_id: 4711 flags { name: \"customer_type_enabled\" "
                   "bool_value: false } } experiments { experiment_id: 0 } }",
                   scratch_.path());
  ASSERT_TRUE(response);
  const auto gzipped = runWithInput("gzip -c -n", *response, scratch_.path());
  ASSERT_TRUE(gzipped);
  experiments_.script({FakeExperimentsService::Answer{200, *gzipped, {}}});

  startHost();
  const auto started = std::chrono::steady_clock::now();
  replies({analyticsCall("logEvent", {{{"eventName", "purchase"},
                                       {"parameters", {{"value", 9.5}, {"currency", "USD"}}}}})});

  // About ten seconds after start, one POST "/sdk-exp".
  ASSERT_TRUE(experiments_.waitFor([](const auto& r) { return !r.empty(); }, 30)) << host_->log();
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(waited, 8.0);
  EXPECT_LT(waited, 20.0);
  const auto request = experiments_.requests().front();
  EXPECT_EQ(request.path, "/sdk-exp");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
  EXPECT_FALSE(request.bodyDecodeFailed);
  const std::string decoded = withoutBlanks(
      runWithInput(protocCommand("decode", "ExperimentRequest"), request.body, scratch_.path())
          .value_or(""));
  EXPECT_TRUE(contains(decoded, "platform:\"macos\"")) << decoded;
  EXPECT_TRUE(contains(decoded, "language:\"en-us\"")) << decoded;
  EXPECT_TRUE(contains(decoded, std::string("bundle_id:\"") + kBundleID + "\"")) << decoded;
  EXPECT_TRUE(contains(decoded, "from_app_store:false")) << decoded;
  EXPECT_TRUE(contains(decoded, "client_version:10000")) << decoded;
  const std::size_t property = decoded.find("client_properties{name:\"app_measurement\"");
  ASSERT_NE(property, std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("client_properties{", property + 1), std::string::npos) << decoded;
  const std::size_t key = decoded.find("diversion_key:\"", property);
  ASSERT_NE(key, std::string::npos) << decoded;
  EXPECT_EQ(decoded.substr(key + 15 + 5, 17), "-app_measurement\"") << decoded;
  EXPECT_TRUE(contains(decoded, "version:111500")) << decoded;

  // The success time is kept in the suite's preference file.
  for (int i = 0; i < 100 && suitePreference("APMExperimentFetchSuccessTimestamp").isNull(); ++i)
    usleep(100000);
  EXPECT_TRUE(suitePreference("APMExperimentFetchSuccessTimestamp").isDouble());

  // The purchase logged at start was a new customer's.
  const auto first = bundlesWith("name:\"purchase\"");
  ASSERT_FALSE(first.empty()) << host_->log();
  EXPECT_TRUE(contains(first.front(), "params{name:\"_ct\"string_value:\"new\"}")) << first.front();

  // One more event uploaded; the next cycle finds no data and activates the snapshot.
  replies({analyticsCall("logEvent", {{{"eventName", "level_up"}}})});
  ASSERT_FALSE(bundlesWith("name:\"level_up\"").empty()) << host_->log();
  for (int i = 0; i < 200 && storedSnapshot("activated_snapshot_table").empty(); ++i)
    usleep(100000);
  EXPECT_TRUE(contains(storedSnapshot("activated_snapshot_table"), "experiment_id:4711"));
  EXPECT_TRUE(contains(storedSnapshot("launched_snapshot_table"), "experiment_id:0"));
  EXPECT_EQ(storedSnapshot("pending_snapshot_table"), "");

  // The next bundle carries the ID; the experiment's flag turns the customer type off.
  replies({analyticsCall("logEvent", {{{"eventName", "level_down"}}}),
           analyticsCall("logEvent", {{{"eventName", "purchase"},
                                       {"parameters", {{"value", 3.5}, {"currency", "USD"}}}}})});
  const auto later = bundlesWith("name:\"level_down\"");
  ASSERT_FALSE(later.empty()) << host_->log();
  EXPECT_TRUE(contains(later.front(), "experiment_ids:4711")) << later.front();
  for (int i = 0; i < 100 && bundlesWith("name:\"purchase\"").size() < 2; ++i)
    usleep(100000);
  const auto purchases = bundlesWith("name:\"purchase\"");
  ASSERT_EQ(purchases.size(), 2u);
  EXPECT_FALSE(contains(purchases.back(), "\"_ct\"")) << purchases.back();
  EXPECT_EQ(experimentRequests(), 1u);
  stopHost();

  // After a restart nothing is requested for 15 s, and a new event still carries the ID.
  startHost();
  replies({analyticsCall("logEvent", {{{"eventName", "after_restart"}}})});
  sleep(15);
  EXPECT_EQ(experimentRequests(), 1u);
  const auto restarted = bundlesWith("name:\"after_restart\"");
  ASSERT_FALSE(restarted.empty()) << host_->log();
  EXPECT_TRUE(contains(restarted.front(), "experiment_ids:4711")) << restarted.front();
}

}  // namespace
}  // namespace lumora::e2e
