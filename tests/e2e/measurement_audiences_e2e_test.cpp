// Audiences through the real host: a configuration made with protoc carries audience definitions;
// the stored filters are read with the sqlite3 CLI and the uploaded bundles' audience results
// (tag 29) are decoded with protoc and the schema.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

using fakes::FakeMeasurementService;
using nlohmann::json;

constexpr const char* kBundleID = "com.example.audiences";

// The audience's result block of a bundle ("audience_evaluation_results{...}"), or "".
std::string leafOf(const std::string& bundle, int audienceID) {
  const std::string head = "audience_evaluation_results{audience_id:" + std::to_string(audienceID);
  std::size_t at = bundle.find(head + "c");  // followed by current_data
  if (at == std::string::npos) return "";
  int depth = 0;
  for (std::size_t i = at; i < bundle.size(); ++i) {
    if (bundle[i] == '{') ++depth;
    if (bundle[i] == '}' && --depth == 0) return bundle.substr(at, i - at + 1);
  }
  return "";
}

std::string leaf(int audienceID, int status, int results, std::optional<int> previous,
                 bool newAudience) {
  std::string out = "audience_evaluation_results{audience_id:" + std::to_string(audienceID) +
                    "current_data{status:" + std::to_string(status) +
                    "results:" + std::to_string(results) + "}";
  if (previous) {
    out += "previous_data{status:" + std::to_string(*previous) +
           "results:" + std::to_string(*previous) + "}";
  }
  return out + "new_audience:" + (newAudience ? "true" : "false") + "}";
}

const char* kLevelAbove5 = "filters { number_filter { comparison_type: 2 comparison_value: \"5\" } "
                           "param_name: \"level\" }";
const char* kLevelBelow5 = "filters { number_filter { comparison_type: 1 comparison_value: \"5\" } "
                           "param_name: \"level\" }";

class MeasurementAudiencesEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementAudiencesEndToEndTest() : MeasurementHostTest(kBundleID) {}

  void serveConfiguration(const std::string& audiences) {
    const auto config =
        runWithInput(protocCommand("encode", "MeasurementConfig"),
                     std::string("version: 7 app_id: \"") + kMeasurementAppID + "\" " + audiences,
                     scratch_.path());
    ASSERT_TRUE(config);
    service_.scriptConfig({FakeMeasurementService::Answer{200, *config, {}}});
  }
  bool configFetched() {
    return service_.waitFor(
        [](const auto& r) {
          return std::any_of(r.begin(), r.end(), [](const auto& q) { return q.method == "GET"; });
        },
        20);
  }
  std::string sqlSettles(const std::string& query, const std::string& expected) {
    std::string answer;
    for (int i = 0; i < 100 && (answer = sql(query)) != expected; ++i)
      usleep(100000);
    return answer;
  }
  std::size_t requestCount() const { return service_.requests().size(); }
};

TEST_F(MeasurementAudiencesEndToEndTest, ConfiguredAudiencesAreStoredEvaluatedAndUploaded) {
  ASSERT_FALSE(service_.baseURL().empty());
  serveConfiguration(std::string("audiences { audience_id: 11 event_filters { filter_id: 0 "
                                 "event_name: \"level_up\" ") +
                     kLevelAbove5 +
                     " } event_filters { filter_id: 1 event_name: \"first_open\" } "
                     "property_filters { filter_id: 2 property_name: \"favourite_food\" filter { "
                     "string_filter { match_type: 2 expression: \"PIZ\" } } } } "
                     "audiences { audience_id: 12 event_filters { filter_id: 0 event_name: "
                     "\"level_up\" " +
                     kLevelBelow5 +
                     " } } audiences { audience_id: 13 event_filters { filter_id: 10 "
                     "event_name: \"level_up\" } }");
  startHost({.debug = true});
  // The first upload cycle fetches the configuration; an event no filter looks at starts it.
  replies({analyticsCall("logEvent", {{{"eventName", "warm_up"}}})});
  ASSERT_TRUE(configFetched()) << host_->log();
  ASSERT_TRUE(uploadHolds("warm_up", 0)) << host_->log();

  // The filters as stored; audience 13 (filter identifier 10) is left out.
  EXPECT_EQ(sqlSettles("SELECT audience_id, filter_id, event_name FROM event_filters ORDER BY 1, 2",
                       "11|0|level_up\n11|1|_f\n12|0|level_up\n"),
            "11|0|level_up\n11|1|_f\n12|0|level_up\n");
  EXPECT_EQ(sql("SELECT audience_id, filter_id, property_name FROM property_filters"),
            "11|2|favourite_food\n");
  EXPECT_EQ(sql("SELECT COUNT(*) FROM event_filters WHERE audience_id = 13") +
                sql("SELECT COUNT(*) FROM property_filters WHERE audience_id = 13"),
            "0\n0\n");
  const auto filterBlob = runWithInput(
      "(xxd -r -p | " + protocCommand("decode", "EventFilter") + ")",
      sql("SELECT hex(data) FROM event_filters WHERE event_name = '_f'"), scratch_.path());
  ASSERT_TRUE(filterBlob);
  EXPECT_EQ(withoutBlanks(*filterBlob), "filter_id:1event_name:\"_f\"");

  // The launch's first open ("_f", logged before "warm_up", so gone out by now) sets filter 1 of
  // audience 11.
  const auto early = uploadedBundles();
  const auto withFirstOpen = std::find_if(early.begin(), early.end(),
                                          [](const auto& b) { return contains(b, "name:\"_f\""); });
  ASSERT_NE(withFirstOpen, early.end()) << "no bundle holds the launch's first open";
  EXPECT_EQ(leafOf(*withFirstOpen, 11), leaf(11, 2, 2, std::nullopt, true)) << *withFirstOpen;
  EXPECT_EQ(leafOf(*withFirstOpen, 12), "") << *withFirstOpen;

  std::size_t before = requestCount();
  replies(
      {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}})});
  ASSERT_TRUE(uploadHolds("level_up", before)) << host_->log();
  auto bundles = uploadedBundles(before);
  auto levelUp = std::find_if(bundles.begin(), bundles.end(),
                              [](const auto& b) { return contains(b, "name:\"level_up\""); });
  ASSERT_NE(levelUp, bundles.end());
  EXPECT_EQ(leafOf(*levelUp, 11), leaf(11, 3, 3, 2, false)) << *levelUp;
  EXPECT_EQ(leafOf(*levelUp, 12), leaf(12, 1, 0, std::nullopt, true)) << *levelUp;
  EXPECT_EQ(leafOf(*levelUp, 13), "");

  // The property is stored with the next event's metadata and evaluated when it is bundled.
  before = requestCount();
  replies(
      {analyticsCall("setUserProperty", {"favourite_food", "pizza"}),
       analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}})});
  ASSERT_TRUE(uploadHolds("level_up", before)) << host_->log();
  bundles = uploadedBundles(before);
  levelUp = std::find_if(bundles.begin(), bundles.end(), [](const auto& b) {
    return contains(b, "name:\"level_up\"") && contains(b, "audience_id:11c");
  });
  ASSERT_NE(levelUp, bundles.end());
  EXPECT_TRUE(contains(*levelUp, "name:\"favourite_food\"string_value:\"pizza\"")) << *levelUp;
  EXPECT_EQ(leafOf(*levelUp, 11), leaf(11, 7, 7, 3, false)) << *levelUp;
  EXPECT_EQ(leafOf(*levelUp, 12), leaf(12, 1, 0, std::nullopt, false)) << *levelUp;
  stopHost();
}

TEST_F(MeasurementAudiencesEndToEndTest, TooManyAudiencesStoreNoFiltersAndSendNoResults) {
  ASSERT_FALSE(service_.baseURL().empty());
  std::string audiences;
  for (int i = 0; i < 101; ++i) {
    audiences += "audiences { audience_id: " + std::to_string(i) +
                 " event_filters { filter_id: 0 event_name: \"level_up\" } } ";
  }
  serveConfiguration(audiences);
  startHost({.debug = true});
  replies(
      {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}})});
  ASSERT_TRUE(configFetched()) << host_->log();
  ASSERT_TRUE(uploadHolds("level_up", 0)) << host_->log();
  for (const auto& bundle : uploadedBundles()) {
    EXPECT_FALSE(contains(bundle, "audience_evaluation_results")) << bundle;
    EXPECT_TRUE(contains(bundle, "config_version:7")) << bundle;
  }
  stopHost();
  EXPECT_EQ(sql("SELECT COUNT(*) FROM event_filters") +
                sql("SELECT COUNT(*) FROM property_filters") +
                sql("SELECT COUNT(*) FROM audience_filter_values"),
            "0\n0\n0\n");
}

}  // namespace
}  // namespace lumora::e2e
