#include "zevevidi/utilities/gul_logger.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/log/log.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

using platform::LogType;

class GULLoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    GULResetLoggerForTesting();
    GULLoggerRegisterVersion("1.2.3");
  }
  void TearDown() override {
    GULResetLoggerForTesting();
    GULAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
  }

  std::vector<platform::LogLine> written() {
    GULLoggerFlushForTesting();
    return capture_.lines();
  }

  platform::ScopedLogCapture capture_;
};

TEST_F(GULLoggerTest, DefaultStateFiltersByLevelAndMapsTypes) {
  struct Case {
    int level;
    bool written;
    LogType type;
  };
  const Case cases[] = {
      {3, true, LogType::Error}, {4, true, LogType::Default}, {5, true, LogType::Default},
      {6, false, LogType::Info}, {7, false, LogType::Debug},
  };
  for (const auto& c : cases) {
    capture_.clear();
    GULOSLogBasic(static_cast<GULLoggerLevel>(c.level), "sub", "[Cat]", false, "I-GUL000042",
                  "value %d", nullptr);
    auto lines = written();
    ASSERT_EQ(lines.size(), c.written ? 1u : 0u) << "level " << c.level;
    if (!c.written) continue;
    EXPECT_EQ(lines[0].subsystem, "sub");
    EXPECT_EQ(lines[0].category, "[Cat]");
    EXPECT_EQ(lines[0].type, c.type) << "level " << c.level;
    // Without an argument list the message is the text, format characters and all.
    EXPECT_EQ(lines[0].message, "1.2.3 - [Cat][I-GUL000042] value %d");
  }
  EXPECT_EQ(GULGetLoggerLevel(), GULLoggerLevelNotice);
}

TEST_F(GULLoggerTest, ForcedMessagesPassWhateverTheLevelWithTheirTypes) {
  struct Case {
    int level;
    LogType type;
  };
  const Case cases[] = {{0, LogType::Error},  {3, LogType::Error}, {4, LogType::Default},
                        {6, LogType::Info},   {7, LogType::Debug}, {8, LogType::Error},
                        {100, LogType::Error}};
  GULSetLoggerLevel(GULLoggerLevelError);
  for (const auto& c : cases) {
    capture_.clear();
    GULOSLogBasic(static_cast<GULLoggerLevel>(c.level), "sub", "[Cat]", true, "I-GUL000001", "x",
                  nullptr);
    auto lines = written();
    ASSERT_EQ(lines.size(), 1u) << "level " << c.level;
    EXPECT_EQ(lines[0].type, c.type) << "level " << c.level;
  }
}

TEST_F(GULLoggerTest, FormatsTheArgumentListOnlyWhenGiven) {
  GULOSLogWarning("sub", "[Cat]", false, "I-GUL000007", "%s has %d entries (%.1f%%)", "cache", 3,
                  12.5);
  GULOSLogError("sub", "[Cat]", false, "I-GUL000008", "%s", std::string(2000, 'z').c_str());
  GULOSLogNotice("sub", "[Cat]", false, "I-GUL000009", "notice");
  GULOSLogDebug("sub", "[Cat]", false, "I-GUL000010", "debug");  // above the maximum
  auto lines = written();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "1.2.3 - [Cat][I-GUL000007] cache has 3 entries (12.5%)");
  EXPECT_EQ(lines[1].message, "1.2.3 - [Cat][I-GUL000008] " + std::string(2000, 'z'));
  EXPECT_EQ(lines[2].message, "1.2.3 - [Cat][I-GUL000009] notice");
}

TEST_F(GULLoggerTest, InvalidLevelsAreReportedAndIgnored) {
  GULSetLoggerLevel(GULLoggerLevelInfo);
  for (int level : {8, 2}) {
    capture_.clear();
    GULSetLoggerLevel(static_cast<GULLoggerLevel>(level));
    EXPECT_EQ(GULGetLoggerLevel(), GULLoggerLevelInfo);
    auto lines = written();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "com.ziriza.utilities.logger");
    EXPECT_EQ(lines[0].category, "[GULLogger]");
    EXPECT_EQ(lines[0].type, LogType::Error);
    EXPECT_EQ(lines[0].message,
              "1.2.3 - [GULLogger][I-COR000023] Invalid logger level, " + std::to_string(level));
  }
  // Reported even when errors themselves would be filtered: the report is forced.
  GULSetLoggerLevel(GULLoggerLevelError);
  capture_.clear();
  GULSetLoggerLevel(static_cast<GULLoggerLevel>(9));
  EXPECT_EQ(written().size(), 1u);
}

TEST_F(GULLoggerTest, StoreBuildsKeepVerboseLevelsOff) {
  struct Case {
    bool storeBuild;
    GULLoggerLevel afterSetInfo;
    bool debugPassesAfterForce;
  };
  const Case cases[] = {{true, GULLoggerLevelNotice, false}, {false, GULLoggerLevelInfo, true}};
  for (const auto& c : cases) {
    GULResetLoggerForTesting();
    GULAppEnvironmentUtil::setFromAppStoreForTesting(c.storeBuild);
    GULSetLoggerLevel(GULLoggerLevelInfo);
    EXPECT_EQ(GULGetLoggerLevel(), c.afterSetInfo) << "store " << c.storeBuild;
    GULSetLoggerLevel(GULLoggerLevelWarning);  // always honoured
    EXPECT_EQ(GULGetLoggerLevel(), GULLoggerLevelWarning);

    GULLoggerForceDebug();
    EXPECT_EQ(GULIsLoggableLevel(GULLoggerLevelDebug), c.debugPassesAfterForce);
    capture_.clear();
    GULOSLogDebug("sub", "[Cat]", false, "I-GUL000011", "debug line");
    EXPECT_EQ(written().size(), c.debugPassesAfterForce ? 1u : 0u) << "store " << c.storeBuild;
  }
}

TEST_F(GULLoggerTest, DebugModePassesEveryLevelEvenAfterTheLevelIsLowered) {
  GULLoggerForceDebug();
  EXPECT_EQ(GULGetLoggerLevel(), GULLoggerLevelDebug);
  GULSetLoggerLevel(GULLoggerLevelError);
  GULOSLogDebug("sub", "[Cat]", false, "I-GUL000012", "still here");
  EXPECT_EQ(written().size(), 1u);
}

TEST_F(GULLoggerTest, LevelIsZeroUntilInitialised) {
  EXPECT_EQ(GULGetLoggerLevel(), 0);
  EXPECT_TRUE(GULIsLoggableLevel(GULLoggerLevelNotice));
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelInfo));
  EXPECT_EQ(GULGetLoggerLevel(), GULLoggerLevelNotice);
}

TEST_F(GULLoggerTest, OneLogHandlePerSubsystemAndCategory) {
  // The handle cache lives as long as the process, so every run of this test uses fresh names.
  static int run = 0;
  const std::string subsystem = "handle-test-" + std::to_string(++run);
  const std::string other = subsystem + "-other";
  const std::size_t before = platform::Log::handlesCreated();
  GULOSLogError(subsystem.c_str(), "[One]", false, "I-GUL000013", "a");
  GULOSLogError(subsystem.c_str(), "[One]", false, "I-GUL000013", "b");
  GULLoggerFlushForTesting();
  EXPECT_EQ(platform::Log::handlesCreated(), before + 1);
  GULOSLogError(subsystem.c_str(), "[Two]", false, "I-GUL000013", "c");
  GULOSLogError(other.c_str(), "[One]", false, "I-GUL000013", "d");
  GULOSLogError(subsystem.c_str(), "[Two]", false, "I-GUL000013", "e");
  GULLoggerFlushForTesting();
  EXPECT_EQ(platform::Log::handlesCreated(), before + 3);
  EXPECT_EQ(capture_.lines().size(), 5u);
}

TEST_F(GULLoggerTest, WrapperLogsUnforcedOnTheGivenOrUtilitiesSubsystem) {
  GULLoggerWrapper::logWithLevel(GULLoggerLevelError, "wrapped", "[W]", "I-GUL000014", "one",
                                 nullptr);
  GULLoggerWrapper::logWithLevel(GULLoggerLevelWarning, "[Service]", "I-GUL000015", "two", nullptr);
  GULLoggerWrapper::logWithLevel(GULLoggerLevelDebug, "[Service]", "I-GUL000016", "dropped",
                                 nullptr);
  auto lines = written();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].subsystem, "wrapped");
  EXPECT_EQ(lines[1].subsystem, "com.ziriza.utilities.logger");
  EXPECT_EQ(lines[1].category, "[Service]");
  EXPECT_EQ(lines[1].message, "1.2.3 - [Service][I-GUL000015] two");
}

TEST_F(GULLoggerTest, LinesOfEachThreadKeepTheirOrder) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        GULOSLogError("order", "[Cat]", false, "I-GUL000017", "%d %d", t, i);
        if (i == kLines / 2) GULSetLoggerLevel(GULLoggerLevelWarning);
      }
    });
  }
  for (auto& th : threads)
    th.join();
  auto lines = written();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.message.c_str(), "1.2.3 - [Cat][I-GUL000017] %d %d", &t, &i), 2);
    ASSERT_EQ(i, next[t]) << "thread " << t;
    ++next[t];
  }
}

}  // namespace
