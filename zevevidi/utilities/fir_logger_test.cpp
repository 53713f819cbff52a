#include "zevevidi/utilities/fir_logger.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "platform/foundation/preferences.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

using platform::Value;

class FIRLoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    savedArguments_ = platform::ProcessInfo::processInfo().arguments();
    GULResetLoggerForTesting();
    FIRResetLoggerForTesting();
  }
  void TearDown() override {
    GULResetLoggerForTesting();
    FIRResetLoggerForTesting();
    GULAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
    platform::ProcessInfo::processInfo().setArguments(savedArguments_);
  }

  void launch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "host");
    platform::ProcessInfo::processInfo().setArguments(std::move(arguments));
    GULResetLoggerForTesting();
    FIRResetLoggerForTesting();
  }

  std::vector<platform::LogLine> written() {
    GULLoggerFlushForTesting();
    return capture_.lines();
  }

  platform::ScopedPreferencesForTesting preferences_;
  platform::ScopedLogCapture capture_;
  std::vector<std::string> savedArguments_;
};

TEST_F(FIRLoggerTest, WritesCodedLinesOnTheZevevidiSubsystem) {
  launch({});
  FIRLogWarning(kFIRLoggerCore, "I-COR000001", "Configuring the %s app.", "default");
  FIRLogInfo(kFIRLoggerCore, "I-COR000002", "dropped at the default level");
  FIRLoggerWrapper::logWithLevel(FIRLoggerLevelError, kFIRLoggerInstallations, "I-FIS000001",
                                 "100% literal");
  auto lines = written();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].subsystem, "com.ziriza.zevevidi");
  EXPECT_EQ(lines[0].category, "[ZevevidiCore]");
  EXPECT_EQ(lines[0].type, platform::LogType::Default);
  EXPECT_EQ(lines[0].message, "11.15.0 - [ZevevidiCore][I-COR000001] Configuring the default app.");
  EXPECT_EQ(lines[1].message, "11.15.0 - [ZevevidiInstallations][I-FIS000001] 100% literal");

  FIRSetLoggerLevel(FIRLoggerLevelInfo);
  EXPECT_EQ(FIRGetLoggerLevel(), FIRLoggerLevelInfo);
  capture_.clear();
  FIRLogInfo(kFIRLoggerAnalytics, "I-COR000003", "now %d", 6);
  lines = written();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, platform::LogType::Info);
  EXPECT_EQ(lines[0].message, "11.15.0 - [ZevevidiAnalytics][I-COR000003] now 6");
}

TEST_F(FIRLoggerTest, DebugSwitchFollowsArgumentsAndThePreference) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<bool> storedBefore;
    bool storeBuild;
    std::optional<bool> storedAfter;
    bool debugWritten;
  };
  const Case cases[] = {
      {"plain launch", {}, std::nullopt, false, std::nullopt, false},
      {"enabled", {"-FIRDebugEnabled"}, std::nullopt, false, true, true},
      {"stored switch, plain launch", {}, true, false, true, true},
      {"stored NO", {}, false, false, false, false},
      {"disabled", {"-FIRDebugDisabled"}, true, false, std::nullopt, false},
      {"both given",
       {"-FIRDebugEnabled", "-FIRDebugDisabled"},
       std::nullopt,
       false,
       std::nullopt,
       false},
      {"both given, reversed",
       {"-FIRDebugDisabled", "-FIRDebugEnabled"},
       true,
       false,
       std::nullopt,
       false},
      // A store build still records the request but keeps debug logging off.
      {"enabled in a store build", {"-FIRDebugEnabled"}, std::nullopt, true, true, false},
  };
  auto prefs = platform::Preferences::standard();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prefs->removeObjectForKey(kFIRDebugModePreferenceKey);
    if (c.storedBefore) prefs->setBool(kFIRDebugModePreferenceKey, *c.storedBefore);
    GULAppEnvironmentUtil::setFromAppStoreForTesting(c.storeBuild);
    launch(c.arguments);
    capture_.clear();

    FIRLogDebug(kFIRLoggerCore, "I-COR000004", "debug line");

    const Value stored = prefs->objectForKey(kFIRDebugModePreferenceKey);
    if (c.storedAfter) {
      EXPECT_EQ(stored, Value(*c.storedAfter));
    } else {
      EXPECT_TRUE(stored.isNull()) << stored.debugString();
    }
    auto lines = written();
    ASSERT_EQ(lines.size(), c.debugWritten ? 1u : 0u);
    if (c.debugWritten) {
      EXPECT_EQ(lines[0].type, platform::LogType::Debug);
    }
  }
}

TEST_F(FIRLoggerTest, SwitchesAreReadOncePerProcess) {
  launch({"-FIRDebugEnabled"});
  FIRLogDebug(kFIRLoggerCore, "I-COR000005", "first");
  // Arguments changing later in the life of the process do not turn debug off again.
  platform::ProcessInfo::processInfo().setArguments({"host", "-FIRDebugDisabled"});
  FIRLogDebug(kFIRLoggerCore, "I-COR000005", "second");
  EXPECT_EQ(written().size(), 2u);
  EXPECT_EQ(platform::Preferences::standard()->objectForKey(kFIRDebugModePreferenceKey),
            Value(true));
}

// The probe host runs three times over one preferences folder, as a user would launch the host.
class FIRLoggerLaunchTest : public testing::Test {
 protected:
  struct Run {
    int status = -1;
    std::string output;  // the probe's log lines (stderr)
  };

  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    std::filesystem::create_directories(scratch_ / "Probe.bundle");
    ASSERT_TRUE(platform::writePropertyListFile(
        scratch_ / "Probe.bundle/Info.plist",
        Value::map({{"CFBundleIdentifier", "com.lumora.logger-probe"}}),
        platform::PropertyListFormat::Xml));
  }

  Run launch(const std::string& arguments) {
    const std::string command = "env -u LUMORA_LOG_SYSLOG LUMORA_HOME='" + scratch_.path() +
                                "' LUMORA_BUNDLE='" + (scratch_ / "Probe.bundle") + "' '" +
                                LUMORA_FIR_LOGGER_PROBE + "' " + arguments + " 2>&1";
    Run run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  // The debug switch as stored in the probe's preferences file; null when the key is absent
  // (an emptied domain may leave no file at all).
  Value storedSwitch() {
    const std::string path = scratch_ / "Preferences/com.lumora.logger-probe.plist";
    if (!std::filesystem::exists(path)) return Value();
    auto domain = platform::readPropertyListFile(path);
    if (!domain) return Value("unreadable preferences file");
    const Value* value = domain->find(Value(kFIRDebugModePreferenceKey));
    return value ? *value : Value();
  }

  platform::ScratchDirForTesting scratch_;
};

TEST_F(FIRLoggerLaunchTest, DebugSwitchPersistsAcrossLaunchesUntilDisabled) {
  const std::string debugLine = "<Debug> com.ziriza.zevevidi [ZevevidiCore]: 11.15.0 - "
                                "[ZevevidiCore][I-COR000099] probe debug line";
  const std::string finishedLine = "[ZevevidiCore][I-COR000098] probe finished";

  Run first = launch("-FIRDebugEnabled");
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(storedSwitch(), Value(true));
  EXPECT_NE(first.output.find(debugLine), std::string::npos) << first.output;

  Run second = launch("");
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_NE(second.output.find(debugLine), std::string::npos) << second.output;
  EXPECT_EQ(storedSwitch(), Value(true));

  Run third = launch("-FIRDebugDisabled");
  ASSERT_EQ(third.status, 0) << third.output;
  EXPECT_TRUE(storedSwitch().isNull()) << storedSwitch().debugString();
  EXPECT_EQ(third.output.find("probe debug line"), std::string::npos) << third.output;
  EXPECT_NE(third.output.find(finishedLine), std::string::npos) << third.output;

  Run fourth = launch("");
  EXPECT_EQ(fourth.output.find("probe debug line"), std::string::npos) << fourth.output;
}

}  // namespace
