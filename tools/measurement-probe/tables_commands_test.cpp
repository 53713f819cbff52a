// The table families of the measurement database through the real probe, with the file read by a
// connection of the test's own (as the sqlite3 CLI would read it).
#include <sqlite3.h>

#include "measurement/storage/testing/raw_connection.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using apm_testing::RawConnection;
using nlohmann::json;

class TableCommandsTest : public probe_testing::ProbeTest {
 protected:
  std::string databasePath() const {
    return home() + "/Application Support/Ziriza/Measurement/ziriza-app-measurement.sql";
  }
  std::vector<json> replies(const std::string& options, const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    run_ = run(options, lines);
    auto out = run_.replies();
    EXPECT_EQ(out.size(), commands.size());
    return out;
  }
  bool reported(std::int64_t code) const {
    const auto codes = run_.reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }

  probe_testing::ProbeRun run_;
};

TEST_F(TableCommandsTest, QueuedBundlesTheirRetriesAndTheStalePurgeUnderTheMockClock) {
  std::vector<json> commands{{{"op", "databaseOpen"}}};
  for (const int size : {40000, 30000, 10000}) {
    commands.push_back({{"op", "bundleInsert"}, {"size", size}, {"endTimestamp", 1700000000}});
  }
  // Forty days old: stored with a warning.
  commands.push_back({{"op", "bundleInsert"}, {"size", 100}, {"endTimestamp", 1696544000}});
  commands.push_back({{"op", "bundles"}, {"countLimit", 10}, {"sizeLimit", 65536}});
  commands.push_back({{"op", "bundles"}, {"countLimit", 2}, {"sizeLimit", 1 << 20}});
  commands.push_back({{"op", "bundlesRetry"}, {"rowIDs", {1, 2}}});
  commands.push_back({{"op", "staleDataPurge"}});
  commands.push_back({{"op", "advance"}, {"seconds", 86401}});
  commands.push_back({{"op", "staleDataPurge"}});
  commands.push_back({{"op", "staleDataPurge"}});
  const auto out = replies("--mock-clock 1700000000", commands);
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[5]["result"].size(), 1u);
  EXPECT_EQ(out[5]["result"][0]["size"], 40000);
  EXPECT_EQ(out[6]["result"].size(), 2u);
  EXPECT_EQ(out[6]["result"][1]["rowID"], 2);
  EXPECT_EQ(out[8]["result"], false);
  EXPECT_EQ(out[10]["result"], true);
  EXPECT_EQ(out[11]["result"], false);
  EXPECT_TRUE(reported(12016));
  RawConnection file(databasePath());
  EXPECT_EQ(file.rows("SELECT rowid, retry_count FROM queue"), "1|1\n2|1\n3|0");
}

TEST_F(TableCommandsTest, RawEventsUserPropertiesConditionalPropertiesAndFilters) {
  const auto out =
      replies("", {{{"op", "databaseOpen"}},
                   {{"op", "rawEventMetadataInsert"}, {"appID", "com.example"}},
                   {{"op", "rawEventInsert"},
                    {"name", "_e"},
                    {"timestamp", 1700000000.5},
                    {"fingerprint", 11},
                    {"parameters", {{"n", 1}}}},
                   {{"op", "rawEvents"}, {"fingerprint", 11}},
                   {{"op", "userPropertySet"}, {"name", "real"}, {"value", 2.5}},
                   {{"op", "userPropertySet"}, {"name", "empty"}, {"value", ""}},
                   {{"op", "conditionalPropertySet"}, {"name", "user_a"}, {"value", 1}},
                   {{"op", "conditionalPropertySet"}, {"name", "userX1"}, {"value", 1}},
                   {{"op", "conditionalProperties"}, {"prefix", "user_"}},
                   {{"op", "purchaseFingerprints"}, {"fingerprints", {"a", "a", ""}}},
                   {{"op", "eventFiltersSet"},
                    {"filters",
                     {{{"audienceID", 1},
                       {"filterID", 2},
                       {"eventName", "_e"},
                       {"data", "CAE="},
                       {"sessionScoped", true}}}}},
                   {{"op", "eventFilters"}, {"eventName", "_e"}},
                   {{"op", "sessionScopedFilters"}}});
  ASSERT_EQ(out.size(), 13u);
  EXPECT_TRUE(out[1]["result"]["fingerprint"].is_number_integer());
  ASSERT_EQ(out[3]["result"].size(), 1u);
  EXPECT_EQ(out[3]["result"][0]["event"]["parameters"]["n"]["value"], 1);
  EXPECT_EQ(out[5]["error"], "1: Received empty string value for user property");
  ASSERT_EQ(out[8]["result"].size(), 1u);
  EXPECT_EQ(out[8]["result"][0]["name"], "user_a");
  EXPECT_EQ(out[9]["result"], json::array({true, false, false}));
  EXPECT_EQ(out[11]["result"][0]["sessionScoped"], false);
  EXPECT_EQ(out[12]["result"], (json{{"1", {2}}}));
  RawConnection file(databasePath());
  EXPECT_EQ(file.rows("SELECT typeof(value) FROM user_attributes"), "real");
  EXPECT_EQ(file.rows("SELECT name, metadata_fingerprint FROM raw_events"), "_e|11");
}

}  // namespace
