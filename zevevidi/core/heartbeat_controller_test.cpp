#include "zevevidi/core/heartbeat_controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/test_environment.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "zevevidi/core/fir_heartbeat_logger.h"
#include "zevevidi/core/testing/header_decoder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::Date;

constexpr double kMarch1 = 1709251200;  // 2024-03-01 00:00:00 GMT
constexpr double kDay = 86400;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class HeartbeatControllerTest : public ::testing::Test {
 protected:
  // Noon on 2024-03-01.
  HeartbeatControllerTest() : env_(kMarch1 + 12 * 3600) {}

  fs::path file(const std::string& name) const {
    return fs::path(scratch_.path()) / "Application Support" / "ziriza-heartbeat-storage" / name;
  }
  // Moves the mock clock to `seconds` after 2024-03-01 00:00 GMT.
  void at(double seconds) { env_.setWallClock(kMarch1 + seconds); }
  json storedJSON(const std::string& name) {
    return json::parse(readFile(file(name)), nullptr, false);
  }

  platform::ScratchDirForTesting scratch_;
  platform::ScopedEnvironmentForTesting home_{"LUMORA_HOME", scratch_.path()};
  platform::TestEnvironment env_;
};

TEST_F(HeartbeatControllerTest, OneHeartbeatPerGMTDayWithTheFirstAgent) {
  HeartbeatController controller("1:1:ios:a");
  controller.log("first");
  at(23 * 3600 + 3599);  // 23:59:59, same day
  controller.log("second");
  env_.runUntilIdle();

  json stored = storedJSON("heartbeats-1_1_ios_a");
  ASSERT_TRUE(stored.is_object()) << readFile(file("heartbeats-1_1_ios_a"));
  EXPECT_EQ(stored["capacity"], 30);
  int present = 0;
  for (const auto& slot : stored["buffer"]["circularQueue"]) {
    if (slot.is_null()) continue;
    ++present;
    EXPECT_EQ(slot["agent"], "first");
    // GMT midnight, as seconds since 2001-01-01.
    EXPECT_EQ(slot["date"].get<double>(), kMarch1 - 978307200);
    EXPECT_EQ(slot["version"], 0);
    EXPECT_EQ(slot["timePeriods"], json::parse("[1]"));
  }
  EXPECT_EQ(present, 1);

  // Seconds later, past GMT midnight: a second day.
  at(kDay + 1);
  controller.log("third");
  HeartbeatsPayload payload = controller.flush();
  ASSERT_EQ(payload.userAgentPayloads.size(), 2u);
  EXPECT_EQ(payload.userAgentPayloads[0],
            (HeartbeatsPayload::UserAgentPayload{"first", {Date{kMarch1}}}));
  EXPECT_EQ(payload.userAgentPayloads[1],
            (HeartbeatsPayload::UserAgentPayload{"third", {Date{kMarch1 + kDay}}}));

  // The cache survives the flush: no second heartbeat on day two.
  controller.log("fourth");
  EXPECT_TRUE(controller.flush().isEmpty());
}

TEST_F(HeartbeatControllerTest, TwoDaysOfLoggingGiveAHeaderWithBothDates) {
  FIRHeartbeatLogger logger("1:2:ios:b", [] { return std::string("agent/1 os/14"); });
  logger.log();
  env_.advance(kDay);
  logger.log();
  env_.runUntilIdle();

  json stored = storedJSON("heartbeats-1_2_ios_b");
  ASSERT_TRUE(stored.is_object());
  EXPECT_EQ(stored["lastAddedHeartbeatDates"], json::array({1, kMarch1 + kDay - 978307200}));

  auto header = logger.headerValue();
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(heartbeat_testing::headerJSON(*header),
            json::parse(R"({"heartbeats":[{"agent":"agent/1 os/14",)"
                        R"("dates":["2024-03-01","2024-03-02"]}],"version":2})"));
  // Flushed: nothing more to send, and nothing for today.
  EXPECT_EQ(logger.headerValue(), std::nullopt);
  EXPECT_EQ(logger.heartbeatCodeForToday(), 0);
}

TEST_F(HeartbeatControllerTest, FlushWithoutAFileLeavesAnEmptyFile) {
  HeartbeatController controller("1:3:ios:c");
  EXPECT_TRUE(controller.flush().isEmpty());
  ASSERT_TRUE(fs::exists(file("heartbeats-1_3_ios_c")));
  EXPECT_EQ(fs::file_size(file("heartbeats-1_3_ios_c")), 0u);
}

TEST_F(HeartbeatControllerTest, FlushingTodayTakesOnlyTodaysHeartbeat) {
  FIRHeartbeatLogger logger("1:4:ios:d", [] { return std::string("ua"); });
  logger.log();
  env_.advance(kDay);
  EXPECT_EQ(logger.heartbeatCodeForToday(), 0);  // nothing logged on day two yet
  logger.log();
  EXPECT_EQ(logger.heartbeatCodeForToday(), 2);

  HeartbeatController controller("1:4:ios:d");
  auto payload = controller.flush();
  ASSERT_EQ(payload.userAgentPayloads.size(), 1u);
  EXPECT_EQ(payload.userAgentPayloads[0].dates, std::vector<Date>{Date{kMarch1}});
}

TEST_F(HeartbeatControllerTest, DamagedFilesRecover) {
  struct Case {
    const char* name;
    std::string content;
    std::string expectedAgent;
  };
  std::string nulls;
  for (int i = 0; i < 30; ++i)
    nulls += i ? ",null" : "null";
  const Case cases[] = {
      {"not JSON", "{{{ broken", "ua"},
      {"wrong shape", R"({"capacity":30})", "ua"},
      {"tail outside the ring",
       R"({"capacity":30,"lastAddedHeartbeatDates":[1,0],"buffer":{"circularQueue":[)" + nulls +
           R"(],"tailIndex":35}})",
       "ua error/Out-of-bounds-push-at-index-35-to-ring-buffer-withend-index-of-30."},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string id = "1:5:ios:" + std::to_string(n++);
    fs::path path = file(FileStorage::fileNameForID(id));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << c.content;

    HeartbeatController controller(id);
    controller.log("ua");
    auto payload = controller.flush();
    ASSERT_EQ(payload.userAgentPayloads.size(), 1u);
    EXPECT_EQ(payload.userAgentPayloads[0].agent, c.expectedAgent);
    EXPECT_EQ(payload.userAgentPayloads[0].dates, std::vector<Date>{Date{kMarch1}});
  }

  // A damaged file met by a flush: the empty payload and an empty file.
  fs::path path = file(FileStorage::fileNameForID("1:5:ios:x"));
  std::ofstream(path, std::ios::binary) << "garbage";
  HeartbeatController controller("1:5:ios:x");
  EXPECT_TRUE(controller.flush().isEmpty());
  EXPECT_EQ(fs::file_size(path), 0u);
}

TEST_F(HeartbeatControllerTest, AStoredBundleWithAnEmptyCacheGetsNoHeartbeat) {
  std::string id = "1:6:ios:e";
  fs::path path = file(FileStorage::fileNameForID(id));
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      << R"({"capacity":30,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[null],"tailIndex":0}})";
  HeartbeatController controller(id);
  controller.log("ua");
  EXPECT_TRUE(controller.flush().isEmpty());
  EXPECT_EQ(storedJSON(FileStorage::fileNameForID(id))["lastAddedHeartbeatDates"], json::array());
}

TEST_F(HeartbeatControllerTest, FlushAsyncAnswersOnceOnTheStorageQueue) {
  HeartbeatController controller("1:7:ios:f");
  controller.log("ua");
  int calls = 0;
  bool onStorageQueue = false;
  HeartbeatsPayload got;
  controller.flushAsync([&](HeartbeatsPayload p) {
    ++calls;
    onStorageQueue = platform::currentQueueLabel() == "com.heartbeat.storage.1:7:ios:f";
    got = std::move(p);
  });
  env_.runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onStorageQueue);
  ASSERT_EQ(got.userAgentPayloads.size(), 1u);
  EXPECT_EQ(got.userAgentPayloads[0].agent, "ua");
}

}  // namespace
