// Test fixture of the measurement storage tests: a fresh state root (LUMORA_HOME) with file-backed
// preferences under it, captured platform-log lines, a fresh process-wide monitor, and a record
// of every monitor report. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_app_environment_util.h"
#include "zevevidi/utilities/gul_logger.h"

namespace apm_testing {

struct Report {
  std::int64_t level = 0;
  std::int64_t code = 0;
  std::string message;
  platform::ValueList contexts;
};

class StorageTest : public testing::Test {
 protected:
  StorageTest()
      : home_("LUMORA_HOME", scratch_.path()),
        preferences_("com.lumora.tests", scratch_ / "Preferences") {
    GULResetLoggerForTesting();
    GULLoggerRegisterVersion("11.15.0");
    platform::ProcessInfo::processInfo().setArguments({"tests"});
    APMSetProcessMonitorForTesting(nullptr);
    APMMonitor::setReportTap([this](std::int64_t level, std::int64_t code,
                                    const std::string& message,
                                    const platform::ValueList& contexts) {
      std::lock_guard lock(mutex_);
      reports_.push_back({level, code, message, contexts});
    });
  }
  ~StorageTest() override {
    APMMonitor::setReportTap(nullptr);
    if (auto monitor = monitorIfAny_) monitor->waitForMonitorQueue();
    APMSetProcessMonitorForTesting(nullptr);
    GULLoggerFlushForTesting();
    GULResetLoggerForTesting();
    GULAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
    platform::ProcessInfo::processInfo().setArguments({"tests"});
  }

  // The process-wide monitor, kept so its queue is drained before the fixture goes.
  std::shared_ptr<APMMonitor> monitor() {
    monitorIfAny_ = APMProcessMonitor();
    return monitorIfAny_;
  }

  std::vector<Report> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::vector<std::int64_t> reportedCodes() {
    std::vector<std::int64_t> codes;
    for (const auto& report : reports())
      codes.push_back(report.code);
    return codes;
  }
  void clearReports() {
    std::lock_guard lock(mutex_);
    reports_.clear();
  }

  // Platform-log lines carrying "[code]", once the logging queue has caught up.
  std::vector<std::string> linesWithCode(const std::string& code) {
    GULLoggerFlushForTesting();
    std::vector<std::string> out;
    for (const auto& text : capture_.messages()) {
      if (text.find("[" + code + "]") != std::string::npos) out.push_back(text);
    }
    return out;
  }

  platform::ScratchDirForTesting scratch_;
  platform::ScopedEnvironmentForTesting home_;
  platform::ScopedPreferencesForTesting preferences_;
  platform::ScopedLogCapture capture_;

 private:
  std::mutex mutex_;
  std::vector<Report> reports_;
  std::shared_ptr<APMMonitor> monitorIfAny_;
};

}  // namespace apm_testing
