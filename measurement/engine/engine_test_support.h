// Test fixture of the measurement engine tests. The persisted configuration, the identity and
// the preferences wrapper are process-wide and keep the state root they first saw, so one state
// root (LUMORA_HOME, file-backed preferences) serves the whole test binary, and each test starts
// from emptied state: facade and core back to before start, no classes registered, the
// persisted configuration, facade store and consent cleared, no database file. Every monitor
// report is recorded. A mock clock runs for each test. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/testing/measurement_config_for_testing.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_user_defaults.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"

namespace engine_testing {

class StateRoot : public testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<platform::ScopedEnvironmentForTesting>("LUMORA_HOME", scratch_.path());
    preferences_ = std::make_unique<platform::ScopedPreferencesForTesting>(
        "com.lumora.tests", scratch_ / "Preferences");
  }
  void TearDown() override {
    preferences_.reset();
    home_.reset();
  }

 private:
  platform::ScratchDirForTesting scratch_;
  std::unique_ptr<platform::ScopedEnvironmentForTesting> home_;
  std::unique_ptr<platform::ScopedPreferencesForTesting> preferences_;
};

struct Report {
  std::int64_t level;
  std::int64_t code;
  std::string message;
};

class EngineTest : public testing::Test {
 protected:
  EngineTest() {
    fastDisk_.skipSync = true;
    APMMonitor::setReportTap([this](std::int64_t level, std::int64_t code,
                                    const std::string& message, const platform::ValueList&) {
      std::lock_guard lock(mutex_);
      reports_.push_back({level, code, message});
    });
    resetEngineState();
  }
  ~EngineTest() override {
    resetEngineState();
    APMMonitor::setReportTap(nullptr);
  }

  void resetEngineState() {
    env_.runUntilIdle();
    ZEVOveverizuru::resetSharedInstanceForTesting();
    APMAnalytics::resetForTesting();
    APMScreenViewReporter::sharedInstance()->resetForTesting();
    env_.runUntilIdle();
    platform::ClassRegistry::shared().clear();
    auto config = APMPersistedConfig::sharedInstance();
    config->clearValues();
    config->setMeasurementEnabledState(0);
    APMAnalytics::userDefaults()->clearAllData();
    APMConsentSettingsUtil::resetForTesting();
    platform::ErrorPtr ignored;
    APMDeleteFile(APMFilePathForDatabaseName(APMDatabaseFileName), &ignored);
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(mutex_);
    reports_.clear();
  }

  // The start stores its own first open ("_f" with its "_e", and a session start when the
  // application is active). Tests of other events drop those rows (and the upload they scheduled)
  // right after the start, so they see only what they store themselves.
  void dropLaunchEvents() {
    auto engine = core();
    if (!engine || !engine->database()) return;
    engine->scheduler()->scheduleOnWorkerQueueBlockID("test", [engine] {
      platform::ErrorPtr error;
      engine->database()->deleteRawEventsWithMaxRowID(std::numeric_limits<std::int64_t>::max(),
                                                      &error);
      engine->database()->deleteUnusedRawEventsMetadata(&error);
      if (engine->alarm()) engine->alarm()->cancel();
    });
    env_.runUntilIdle();
  }

  void clearReports() {
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(mutex_);
    reports_.clear();
  }

  std::vector<std::int64_t> codes() {
    std::lock_guard lock(mutex_);
    std::vector<std::int64_t> out;
    for (const auto& report : reports_)
      out.push_back(report.code);
    return out;
  }
  bool reported(std::int64_t code) {
    const auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  // The level of the first report with `code`; -1 when none was made.
  std::int64_t levelOf(std::int64_t code) {
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(mutex_);
    for (const auto& report : reports_)
      if (report.code == code) return report.level;
    return -1;
  }
  std::shared_ptr<ZEVOveverizuru> core() {
    return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
  }

  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_;

 private:
  std::mutex mutex_;
  std::vector<Report> reports_;
};

}  // namespace engine_testing
