// APMMonitor: the one logging channel of the measurement side. Every report has a level (0-8),
// a message code (block x 1000 + serial, printed "I-ACS%06ld"), a text and optional contexts.
// Per level the monitor prints the report through the platform logger (APMASLLogger over
// GULOSLogBasic), feeds it to the health sample (APMMonitoringSampledData), or both. It owns the
// debug-mode and verbose-logging switches that process arguments and a stored preference turn
// on, and renders contexts plainly or in a privacy-preserving encoded form.
//
// Threads: reports and switches may come from any thread; the decisions are made on the
// caller's thread (the switch flags are atomics), console writes and health-sample updates run
// in order on the serial queue "APMMonitorQueue", which alone touches the health sample and the
// monitor's preference suite. Nothing on that queue reports back into the monitor. Blocks on the
// queue hold the monitor weakly.
//
// The process-wide monitor is reached through APMProcessMonitor().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/storage/apm_monitoring_sampled_data.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/sequence_checker.h"
#include "zevevidi/utilities/gul_logger.h"

class APMUserDefaults;

inline constexpr const char* APMLogSubsystem = "com.ziriza.zevevidi.analytics";
inline constexpr const char* APMMonitorLoggingTag = "<DevAzerirerize>";
inline constexpr const char* APMMonitorLogTagOptionKey = "app_measurement_log_tag";
inline constexpr const char* APMPersistedConfigDebugModeKey = "/ziriza/measurement/debug_mode";
inline constexpr const char* APMPersistedConfigVerboseLoggingKey =
    "/ziriza/measurement/verbose_logging";
inline constexpr const char* APMUserDefaultsHealthMonitorKey = "/ziriza/measurement/health_monitor";
inline constexpr const char* APMUserDefaultsMonitorMigrationStateKey =
    "/ziriza/measurement/monitor_migration_state";
inline constexpr std::int64_t APMMonitorMigrationStateCopied = 1;
inline constexpr std::int64_t APMMonitorMigrationStateComplete = 2;
// The measurement library version the monitor's keys and the health texts carry.
inline constexpr std::int64_t APMMeasurementLibraryVersion = 111500;

// "I-ACS" and the code in six digits: 30001 is "I-ACS030001".
std::string APMMessageCodeText(std::int64_t code);
// A double as a 64-bit integer: truncated toward zero, saturated at the range, NaN gives 0.
std::int64_t APMSaturatingInt64(double value);

// An exception caught at a block boundary, carried as a monitor context.
class APMExceptionContext : public platform::Object {
 public:
  APMExceptionContext(std::string name, std::string reason,
                      std::vector<std::string> callStackSymbols = {})
      : name(std::move(name)), reason(std::move(reason)),
        callStackSymbols(std::move(callStackSymbols)) {}
  // From the exception in flight inside a catch block.
  static std::shared_ptr<APMExceptionContext> fromCurrentException();

  std::string className() const override { return "NSException"; }
  std::string debugDescription() const override { return reason; }

  const std::string name;
  const std::string reason;
  const std::vector<std::string> callStackSymbols;
};

// The console sink of the monitor.
class APMLogging {
 public:
  virtual ~APMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag,
                          std::int64_t messageCode, std::int64_t logLevel) = 0;
};

// Writes through the platform logger: "%" doubled (the logger formats the text), the level
// mapped, the code as "I-ACS%06ld", forced for level 7.
class APMASLLogger : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;
  static GULLoggerLevel GULLoggerLevelFromLogLevel(std::int64_t logLevel);
};

class APMMonitor : public std::enable_shared_from_this<APMMonitor> {
 public:
  // Nominal level 6 and a new APMASLLogger.
  static std::shared_ptr<APMMonitor> initWithLibraryVersion(std::int64_t libraryVersion);
  // Reads the switches from the process arguments and the stored preferences (not in a store
  // build) and starts loading the health sample on the monitor queue.
  static std::shared_ptr<APMMonitor> initWithLogLevel(std::int64_t logLevel,
                                                      std::shared_ptr<APMLogging> logger,
                                                      std::int64_t libraryVersion);
  ~APMMonitor();

  // The central entry; any thread. A null context stands for a missing one.
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::ValueList& contexts = {});

  void setDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_; }
  void setSZTMDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_; }
  void setEncodeContexts(bool encode) { encodeContexts_ = encode; }
  bool encodeContexts() const { return encodeContexts_; }
  void setLogTag(std::string tag);
  std::string logTag() const;
  void setLogLevel(std::int64_t level) { logLevel_ = level; }
  std::int64_t logLevel() const { return logLevel_; }
  bool deferToFIRLogger() const { return deferToFIRLogger_; }
  std::int64_t libraryVersion() const { return libraryVersion_; }

  bool isLoggableLevel(std::int64_t level) const;
  // Whether a report at `level` reaches anything (the report tap, the console, the health
  // sample): a caller may leave out contexts that are costly to build when it does not.
  bool isReportedLevel(std::int64_t level) const;
  void logToConsole(std::int64_t messageCode, std::string text, std::int64_t level);

  // Health sample. The dispatch and the clearing wait for the monitor queue.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  void clearMonitoringData();
  // The health record as stored, read on the monitor queue (null when there is none).
  platform::Value sampledDataForTesting();
  // Waits until every block queued on the monitor queue so far has run.
  void waitForMonitorQueue();

  // Observes every report made through the central entry of any monitor, before any
  // filtering, on the reporting thread; process-wide, so reports made while a monitor is built
  // are seen too. Used by the measurement probe to show silent reports as well.
  using ReportTap =
      std::function<void(std::int64_t level, std::int64_t code, const std::string& message,
                         const platform::ValueList& contexts)>;
  static void setReportTap(ReportTap tap);

  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
  static bool isSilentLevel(std::int64_t level);
  static bool isMonitorableLevel(std::int64_t level);
  static std::string stringWithLogMessage(std::string_view message, std::int64_t level,
                                          const platform::ValueList& contexts, bool encodeContexts);
  static std::string encodedStringWithContextArray(const platform::ValueList& contexts,
                                                   bool insertSpaces);
  static std::string encodedStringWithContextObject(const platform::Value& context);
  // The first call-stack frame naming a measurement symbol, else the exception's name.
  static std::optional<std::string>
  lastAPMSymbolFromException(const APMExceptionContext* exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                  std::int64_t libraryVersion);

  APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger,
             std::int64_t libraryVersion);

 private:
  void start();
  void insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                               std::int64_t level);
  // Monitor-queue steps.
  void migrateMonitorDataOnMonitorQueue();
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();

  const std::shared_ptr<APMLogging> logger_;
  const platform::QueuePtr monitorQueue_;
  const std::int64_t libraryVersion_;
  const std::shared_ptr<APMUserDefaults> monitorUserDefaults_;
  std::atomic<std::int64_t> logLevel_;
  std::atomic<bool> deferToFIRLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};

  mutable std::mutex mutex_;  // guards logTag_
  std::string logTag_ = APMMonitorLoggingTag;

  platform::SequenceChecker monitorSequence_;       // bound to the monitor queue
  APMMonitoringSampledData monitoringSampledData_;  // monitor queue only
};

// The process-wide monitor (library version 111500), created on first use. The engine's
// monitor accessor answers this one.
std::shared_ptr<APMMonitor> APMProcessMonitor();
// Test support: replaces the process-wide monitor (null makes the next use create a new one).
void APMSetProcessMonitorForTesting(std::shared_ptr<APMMonitor> monitor);
