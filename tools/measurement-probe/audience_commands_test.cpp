// The audience filter predicates through the real probe, with filter messages as base64.
#include "platform/core/base64.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;

class AudienceCommandsTest : public probe_testing::ProbeTest {};

std::string base64(std::vector<std::uint8_t> bytes) {
  return platform::base64Encode(bytes);
}

TEST_F(AudienceCommandsTest, OutcomesAndValidityComeWithTheirReports) {
  // Filter { string_filter { match_type: 6 } } and { string_filter { match_type: 2 expression: "a"
  // } }
  const std::string emptyAnyOf = base64({0x0A, 0x02, 0x08, 0x06});
  const std::string prefixA = base64({0x0A, 0x05, 0x08, 0x02, 0x12, 0x01, 'a'});
  // NumberFilter { comparison_type: 5 comparison_value: "1" }
  const std::string type5 = base64({0x08, 0x05, 0x1A, 0x01, '1'});
  const auto run = this->run(
      "",
      {json{{"op", "audience-filter"}, {"filter", emptyAnyOf}, {"value", "x"}}.dump(),
       json{{"op", "audience-filter"}, {"filter", prefixA}, {"value", "ABC"}}.dump(),
       json{{"op", "audience-filter"}, {"filter", prefixA}, {"value", {{"double", "inf"}}}}.dump(),
       json{{"op", "audience-valid"}, {"kind", "number"}, {"filter", type5}}.dump(),
       json{{"op", "audience-valid"}, {"kind", "string"}, {"filter", "%%"}}.dump()});
  const auto out = run.replies();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0]["result"], (json{{"outcome", nullptr}, {"reports", {{1, 9003}, {1, 9006}}}}));
  EXPECT_EQ(out[1]["result"], (json{{"outcome", true}, {"reports", json::array()}}));
  EXPECT_EQ(out[2]["result"], (json{{"outcome", nullptr}, {"reports", {{3, 7003}}}}));
  EXPECT_EQ(out[3]["result"], (json{{"valid", false}, {"reports", {{1, 8011}}}}));
  EXPECT_TRUE(out[4].contains("error"));
}

}  // namespace
