// Event editing through the real host: the fake measurement service hands out a configuration
// (protoc --encode of tests/e2e/testdata/editing_config.txtpb) whose program renames "level_up" to
// "level_done", sets its "level" to 8.9 and creates a "bonus" event; after a restart, which parses
// the stored configuration, the next uploaded batch carries the edited and the created event and
// no "level_up". A callback that loops for ever leaves the event unedited (23223) and the host
// serving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using fakes::FakeMeasurementService;
using nlohmann::json;

constexpr const char* kBundleID = "com.example.editing";

class MeasurementEditingEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementEditingEndToEndTest() : MeasurementHostTest(kBundleID) {}

  // The configuration's bytes: the text fixture with this app's ID, encoded by protoc.
  std::optional<std::string> configBytes() {
    std::ifstream in(std::string(LUMORA_E2E_TESTDATA) + "/editing_config.txtpb");
    std::stringstream text;
    text << in.rdbuf() << "app_id: \"" << kMeasurementAppID << "\"\n";
    return runWithInput(protocCommand("encode", "MeasurementConfig"), text.str(), scratch_.path());
  }

  // The bundle of every uploaded event named `name` from request `from` on.
  std::vector<std::string> bundlesWith(const std::string& name, std::size_t from = 0) {
    std::vector<std::string> out;
    for (const auto& bundle : uploadedBundles(from)) {
      if (contains(bundle, "name:\"" + name + "\"")) out.push_back(bundle);
    }
    return out;
  }
};

TEST_F(MeasurementEditingEndToEndTest, AProgramFromTheConfigurationEditsAndCreatesEvents) {
  ASSERT_FALSE(service_.baseURL().empty());
  const auto config = configBytes();
  ASSERT_TRUE(config) << "protoc could not encode the configuration";
  service_.scriptConfig({FakeMeasurementService::Answer{200, *config, {{"ETag", "\"e41\""}}}});

  // The first run fetches and stores the configuration and loads its program.
  startHost({.debug = true});
  replies({analyticsCall("logEvent", {{{"eventName", "warm_up"}}})});
  ASSERT_TRUE(service_.waitFor([](const auto& r) { return !r.empty(); }, 20)) << host_->log();
  bool loaded = false;
  for (int i = 0; i < 100 && !loaded; ++i) {
    loaded = !host_->logLines("I-ACS029027").empty();
    if (!loaded) usleep(100000);
  }
  ASSERT_TRUE(loaded) << host_->log();
  const auto loading = host_->logLines("I-ACS029027");
  // One program in the list: the context is 1.
  const std::string& line = loading.front();
  EXPECT_NE(line.find("[I-ACS029027] Loading Event Modification and Creation programs: 1"),
            std::string::npos)
      << line;
  EXPECT_EQ(line.back(), '1') << line;
  EXPECT_TRUE(host_->logLines("I-ACS029026").empty()) << host_->log();
  stopHost();

  // The restart parses the stored configuration; debug mode persists.
  const std::size_t before = service_.requests().size();
  startHost();
  replies(
      {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}})});
  ASSERT_TRUE(uploadHolds("level_done", before)) << host_->log();
  ASSERT_TRUE(uploadHolds("bonus", before)) << host_->log();
  const auto done = bundlesWith("level_done", before);
  ASSERT_FALSE(done.empty());
  EXPECT_TRUE(contains(done.front(), "params{name:\"level\"int_value:8}")) << done.front();
  EXPECT_TRUE(contains(done.front(), "params{name:\"_o\"string_value:\"app\"}")) << done.front();
  const auto bonus = bundlesWith("bonus", before);
  ASSERT_FALSE(bonus.empty());
  const std::string& b = bonus.front();
  EXPECT_TRUE(contains(b, "params{name:\"coins\"double_value:5}")) << b;
  // The created event's time is a whole second.
  const std::size_t bonusAt = b.find("name:\"bonus\"");
  const std::size_t stamp = b.find("timestamp_millis:", bonusAt);
  ASSERT_NE(stamp, std::string::npos) << b;
  const std::string millis =
      b.substr(stamp + 17, b.find_first_not_of("0123456789", stamp + 17) - (stamp + 17));
  ASSERT_GE(millis.size(), 4u) << b;
  EXPECT_EQ(millis.substr(millis.size() - 3), "000") << b;
  for (const auto& bundle : uploadedBundles(before))
    EXPECT_FALSE(contains(bundle, "name:\"level_up\"")) << bundle;

  // A callback that never ends: the event is written unedited, nothing is created, the host
  // goes on serving.
  const std::size_t beforeSpin = service_.requests().size();
  const auto bonusesBefore = bundlesWith("bonus").size();
  const auto answers = replies(
      {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"spin", 1}}}}}),
       analyticsCall("getAppInstanceId", json::array())});
  ASSERT_TRUE(uploadHolds("spin", beforeSpin)) << host_->log();
  const auto spun = bundlesWith("level_up", beforeSpin);
  ASSERT_FALSE(spun.empty());
  EXPECT_TRUE(contains(spun.front(), "params{name:\"spin\"int_value:1}")) << spun.front();
  EXPECT_FALSE(host_->logLines("I-ACS023223").empty()) << host_->log();
  EXPECT_EQ(bundlesWith("bonus").size(), bonusesBefore);
  EXPECT_TRUE(answers[1].is_array() && answers[1].size() == 1 && answers[1][0].is_string())
      << answers[1].dump();
  EXPECT_TRUE(host_->isRunning());
}

}  // namespace
}  // namespace lumora::e2e
