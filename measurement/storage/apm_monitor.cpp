#include "measurement/storage/apm_monitor.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <sstream>

#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/core/exception.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/process_info.h"

namespace {

// Levels 0..8; anything else answers as the last row of each table.
bool inTable(std::int64_t level) {
  return level >= 0 && level <= 8;
}

bool hasArgument(const std::vector<std::string>& arguments,
                 std::initializer_list<const char*> names) {
  for (const auto& argument : arguments) {
    for (const char* name : names) {
      if (argument == name) return true;
    }
  }
  return false;
}

// GULOSLogBasic applies the text as a format when arguments are passed; the console adapter
// escapes "%" for exactly that, so it always goes through here.
void logFormatted(GULLoggerLevel level, const char* category, bool force, const char* code,
                  const char* format, ...) {
  va_list args;
  va_start(args, format);
  GULOSLogBasic(level, APMLogSubsystem, category, force, code, format, &args);
  va_end(args);
}

// The decade of a number beyond two digits, exact over the whole 64-bit range: the digits are
// counted on the unsigned magnitude and the bounds written as text, so nothing can overflow.
std::string encodedNumber(std::int64_t value) {
  const std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                            : static_cast<std::uint64_t>(value);
  if (magnitude <= 99) return std::to_string(value);
  std::size_t digits = 0;
  for (std::uint64_t rest = magnitude; rest != 0; rest /= 10)
    ++digits;
  const std::string low = "1" + std::string(digits - 1, '0');
  const std::string high(digits, '9');
  if (value > 0) return low + "..." + high;
  return "-" + high + "...-" + low;
}

std::string numberDescription(const platform::Value& value) {
  if (const auto* i = value.ifInt()) return std::to_string(*i);
  if (const auto* b = value.ifBool()) return *b ? "1" : "0";
  // The shortest text that reads back as the same double: 0.1 prints as 0.1, not with the
  // seventeen digits of its binary approximation.
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value.asDouble());
  return std::string(text, written.ptr);
}

std::string plainContext(const platform::Value& context) {
  if (context.isNull()) return "(nil)";
  if (const auto* s = context.ifString()) return *s;
  if (context.isNumber() || context.isBool()) return numberDescription(context);
  if (const auto* e = context.ifError()) {
    if (!*e) return "(nil)";
    std::string text = "Error Domain=" + (*e)->domain + " Code=" + std::to_string((*e)->code);
    const std::string description = (*e)->localizedDescription();
    if (!description.empty()) text += " \"" + description + "\"";
    return text;
  }
  if (const auto* o = context.ifObject()) {
    if (!*o) return "(nil)";
    if (const auto* exception = dynamic_cast<const APMExceptionContext*>(o->get())) {
      const auto frame = APMMonitor::lastAPMSymbolFromException(exception);
      if (frame && !frame->empty()) return *frame + ": " + exception->debugDescription();
      return exception->debugDescription();
    }
    std::string description = (*o)->debugDescription();
    if (description.empty()) {
      char address[32];
      std::snprintf(address, sizeof address, "%p", static_cast<const void*>(o->get()));
      description = "<" + (*o)->className() + " " + address + ">";
    }
    return description;
  }
  return context.debugString();
}

bool containsAPMCaseInsensitive(const std::string& text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) == 'a' &&
        std::tolower(static_cast<unsigned char>(text[i + 1])) == 'p' &&
        std::tolower(static_cast<unsigned char>(text[i + 2])) == 'm') {
      return true;
    }
  }
  return false;
}

std::mutex& processMonitorMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::shared_ptr<APMMonitor>& processMonitorSlot() {
  static auto* slot = new std::shared_ptr<APMMonitor>();
  return *slot;
}

}  // namespace

std::string APMMessageCodeText(std::int64_t code) {
  char text[32];
  std::snprintf(text, sizeof text, "I-ACS%06lld", static_cast<long long>(code));
  return text;
}

std::int64_t APMSaturatingInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exact as a double; everything at or past it saturates.
  if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::shared_ptr<APMExceptionContext> APMExceptionContext::fromCurrentException() {
  try {
    throw;
  } catch (const platform::Exception& e) {
    return std::make_shared<APMExceptionContext>(e.name(), e.reason());
  } catch (const std::exception& e) {
    return std::make_shared<APMExceptionContext>("std::exception", e.what());
  } catch (...) {
    return std::make_shared<APMExceptionContext>("UnknownException", "");
  }
}

// MARK: - Console adapter

GULLoggerLevel APMASLLogger::GULLoggerLevelFromLogLevel(std::int64_t logLevel) {
  if (!inTable(logLevel)) return GULLoggerLevelWarning;
  static constexpr GULLoggerLevel kLevels[9] = {
      GULLoggerLevelError,   GULLoggerLevelError,   GULLoggerLevelError,
      GULLoggerLevelWarning, GULLoggerLevelWarning, GULLoggerLevelWarning,
      GULLoggerLevelNotice,  GULLoggerLevelDebug,   GULLoggerLevelDebug};
  return kLevels[logLevel];
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              std::int64_t messageCode, std::int64_t logLevel) {
  std::string escaped;
  escaped.reserve(message.size());
  for (char c : message) {
    escaped.push_back(c);
    if (c == '%') escaped.push_back('%');
  }
  logFormatted(GULLoggerLevelFromLogLevel(logLevel), logTag.c_str(), logLevel == 7,
               APMMessageCodeText(messageCode).c_str(), escaped.c_str());
}

// MARK: - Construction

APMMonitor::APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger,
                       std::int64_t libraryVersion)
    : logger_(std::move(logger)), monitorQueue_(platform::makeSerialQueue("APMMonitorQueue")),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(APMUserDefaults::initWithSuiteName(std::string(APMMonitorSuiteName))),
      logLevel_(logLevel), monitorSequence_(monitorQueue_) {}

APMMonitor::~APMMonitor() = default;

std::shared_ptr<APMMonitor> APMMonitor::initWithLibraryVersion(std::int64_t libraryVersion) {
  return initWithLogLevel(6, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<APMMonitor> APMMonitor::initWithLogLevel(std::int64_t logLevel,
                                                         std::shared_ptr<APMLogging> logger,
                                                         std::int64_t libraryVersion) {
  auto monitor = std::make_shared<APMMonitor>(logLevel, std::move(logger), libraryVersion);
  monitor->start();
  return monitor;
}

void APMMonitor::start() {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak] {
    if (auto self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    }
  });
  // Store builds keep their switches off whatever the arguments say.
  if (APMAEU::isFAS()) return;

  const auto arguments = platform::ProcessInfo::processInfo().arguments();
  auto shared = APMUserDefaults::sharedUserDefaults();
  const bool storedDebugMode = shared->boolForKey(platform::Value(APMPersistedConfigDebugModeKey));
  deferToFIRLogger_ = hasArgument(arguments, {"-FIRDebugDisabled", "-FIRDebugEnabled"}) &&
                      platform::ClassRegistry::shared().contains("FIRConfiguration");

  if (hasArgument(arguments, {"-noAPMAnalyticsDebugEnabled", "-noDIDErizevizoDebugEnabled",
                              "-FIRDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (storedDebugMode ||
             hasArgument(arguments, {"-APMAnalyticsDebugEnabled", "-DIDErizevizoDebugEnabled",
                                     "-FIRDebugEnabled"})) {
    setDebugModeEnabled(true);
  }

  const bool storedVerbose =
      shared->boolForKey(platform::Value(APMPersistedConfigVerboseLoggingKey));
  if (hasArgument(arguments,
                  {"-APMAnalyticsVerboseLoggingDisabled", "-DIDErizevizoVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (storedVerbose || hasArgument(arguments, {"-APMAnalyticsVerboseLoggingEnabled",
                                                      "-DIDErizevizoVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

// MARK: - Switches

void APMMonitor::setDebugModeEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  const platform::Value key(APMPersistedConfigDebugModeKey);
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = 7;
    if (!deferToFIRLogger_) GULSetLoggerLevel(GULLoggerLevelDebug);
    shared->setBool(true, key);
    logWithLevel(7, 24000, "Debug mode is on");
    debugModeEnabled_ = true;
  } else {
    logLevel_ = 6;
    if (!deferToFIRLogger_) GULSetLoggerLevel(GULLoggerLevelNotice);
    shared->removeObjectForKey(key);
    logWithLevel(7, 24001, "Debug mode is off");
    debugModeEnabled_ = false;
  }
}

void APMMonitor::setSZTMDebugModeEnabled(bool enabled) {
  if (enabled) {
    logLevel_ = 7;
    if (!deferToFIRLogger_) GULSetLoggerLevel(GULLoggerLevelDebug);
    logWithLevel(7, 24006, "SZTM debug mode is on");
    debugModeEnabled_ = true;
  } else {
    logLevel_ = 6;
    if (!deferToFIRLogger_) GULSetLoggerLevel(GULLoggerLevelNotice);
    logWithLevel(7, 24007, "SZTM debug mode is off");
    debugModeEnabled_ = false;
  }
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  const platform::Value key(APMPersistedConfigVerboseLoggingKey);
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = 8;
    if (!deferToFIRLogger_) GULSetLoggerLevel(GULLoggerLevelDebug);
    shared->setBool(true, key);
    logWithLevel(8, 24003, "Verbose logging is on");
    verboseLoggingEnabled_ = true;
  } else {
    const std::int64_t nominal = debugModeEnabled_ ? 7 : 6;
    logLevel_ = nominal;
    if (!deferToFIRLogger_) GULSetLoggerLevel(APMASLLogger::GULLoggerLevelFromLogLevel(nominal));
    shared->removeObjectForKey(key);
    logWithLevel(8, 24004, "Verbose logging is off");
    verboseLoggingEnabled_ = false;
  }
}

void APMMonitor::setLogTag(std::string tag) {
  std::lock_guard lock(mutex_);
  logTag_ = std::move(tag);
}

std::string APMMonitor::logTag() const {
  std::lock_guard lock(mutex_);
  return logTag_;
}

namespace {
std::mutex& reportTapMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
APMMonitor::ReportTap& reportTapSlot() {
  static auto* tap = new APMMonitor::ReportTap();
  return *tap;
}
std::atomic<bool> gReportTapSet{false};  // whether reportTapSlot() holds a tap
}  // namespace

void APMMonitor::setReportTap(ReportTap tap) {
  std::lock_guard lock(reportTapMutex());
  gReportTapSet = static_cast<bool>(tap);
  reportTapSlot() = std::move(tap);
}

bool APMMonitor::isReportedLevel(std::int64_t level) const {
  if (gReportTapSet) return true;
  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return false;
  return level < 8 || verboseLoggingEnabled_;
}

// MARK: - Reporting

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message, const platform::ValueList& contexts) {
  ReportTap tap;
  {
    std::lock_guard lock(reportTapMutex());
    tap = reportTapSlot();
  }
  if (tap) tap(level, messageCode, std::string(message), contexts);

  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level >= 8 && !verboseLoggingEnabled_) return;
  if (loggable) {
    logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts_),
                 level);
  }
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    const std::string monitorContext = APMMonitorContextString(contexts);
    if (!monitorContext.empty()) encoded += "," + monitorContext;
    insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
  }
}

bool APMMonitor::isLoggableLevel(std::int64_t level) const {
  return GULIsLoggableLevel(APMASLLogger::GULLoggerLevelFromLogLevel(level)) &&
         !isSilentLevel(level);
}

void APMMonitor::logToConsole(std::int64_t messageCode, std::string text, std::int64_t level) {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, messageCode, text = std::move(text), level] {
    auto self = weak.lock();
    if (!self || !self->logger_) return;
    self->logger_->logMessage(text, self->logTag(), messageCode, level);
  });
}

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  if (!inTable(level) || level == 8) return std::nullopt;
  if (level <= 2) return "ERROR";
  if (level <= 5) return "WARNING";
  return level == 6 ? "NOTICE" : "DEBUG";
}

bool APMMonitor::isSilentLevel(std::int64_t level) {
  return !inTable(level) || level == 2 || level == 5;
}

bool APMMonitor::isMonitorableLevel(std::int64_t level) {
  return !inTable(level) || level == 1 || level == 2 || level == 4 || level == 5;
}

std::string APMMonitor::stringWithLogMessage(std::string_view message, std::int64_t,
                                             const platform::ValueList& contexts,
                                             bool encodeContexts) {
  std::string text = message.empty() ? std::string("(Message was empty)") : std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i) text += ", ";
    text += plainContext(contexts[i]);
  }
  return text;
}

std::string APMMonitor::encodedStringWithContextArray(const platform::ValueList& contexts,
                                                      bool insertSpaces) {
  std::string text;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i) text += insertSpaces ? ", " : ",";
    text += encodedStringWithContextObject(contexts[i]);
  }
  return text;
}

std::string APMMonitor::encodedStringWithContextObject(const platform::Value& context) {
  if (context.isNull()) return "";
  if (context.isString()) return "-";  // the text itself never leaves the process
  if (const auto* i = context.ifInt()) return encodedNumber(*i);
  if (const auto* b = context.ifBool()) return *b ? "1" : "0";
  if (const auto* d = context.ifDouble()) return encodedNumber(APMSaturatingInt64(*d));
  if (const auto* e = context.ifError()) {
    return (*e && !(*e)->domain.empty()) ? (*e)->domain : std::string("-");
  }
  if (const auto* o = context.ifObject()) {
    if (const auto* exception = dynamic_cast<const APMExceptionContext*>(o->get())) {
      const auto frame = lastAPMSymbolFromException(exception);
      return (frame && !frame->empty()) ? *frame : std::string("-");
    }
  }
  return "?";
}

std::optional<std::string>
APMMonitor::lastAPMSymbolFromException(const APMExceptionContext* exception) {
  if (!exception) return std::nullopt;
  const auto& lines = exception->callStackSymbols;
  if (lines.size() < 3) return exception->name;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::vector<std::string> pieces;
    std::istringstream words(lines[i]);
    for (std::string word; words >> word;)
      pieces.push_back(word);
    if (pieces.size() <= 4) continue;
    const std::string candidate = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
    if (containsAPMCaseInsensitive(candidate)) return candidate;
  }
  return exception->name;
}

std::string APMMonitor::monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                     std::int64_t libraryVersion) {
  const char letter = (level >= 0 && level <= 2) ? 'E' : (level >= 3 && level <= 5) ? 'W' : '?';
  std::string key = "1";
  key.push_back(letter);
  key.append("_").append(std::to_string(libraryVersion)).append(":").append(message);
  return key;
}

// MARK: - Health sample

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(std::string_view message,
                                                         std::string encodedContext,
                                                         std::int64_t level) {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, key = monitoringDataKeyWithMessage(message, level, libraryVersion_),
                        context = std::move(encodedContext)] {
    auto self = weak.lock();
    if (!self) return;
    self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, context);
    self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
}

std::optional<std::string>
APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                      double lastSampledTimestamp) {
  std::optional<std::string> text;
  monitorQueue_->sync([&] {
    text = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod,
                                                                            lastSampledTimestamp);
    if (text) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return text;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([&] {
    auto shared = APMUserDefaults::sharedUserDefaults();
    shared->removeObjectForKey(platform::Value(APMPersistedConfigDebugModeKey));
    shared->removeObjectForKey(platform::Value(APMUserDefaultsHealthMonitorKey));
    if (monitorUserDefaults_) {
      monitorUserDefaults_->removeObjectForKey(platform::Value(APMUserDefaultsHealthMonitorKey));
    }
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

platform::Value APMMonitor::sampledDataForTesting() {
  platform::Value data;
  monitorQueue_->sync([&] { data = monitoringSampledData_.sampledData(); });
  return data;
}

void APMMonitor::waitForMonitorQueue() {
  monitorQueue_->sync([] {});
}

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  LUMORA_CHECK_SEQUENCE(monitorSequence_);
  if (!monitorUserDefaults_) return;
  auto shared = APMUserDefaults::sharedUserDefaults();
  const platform::Value healthKey(APMUserDefaultsHealthMonitorKey);
  const platform::Value stateKey(APMUserDefaultsMonitorMigrationStateKey);
  std::int64_t state = monitorUserDefaults_->integerForKey(stateKey);
  if (state == 0) {
    const platform::Value stored = shared->objectForKey(healthKey);
    if (stored.isList() && monitorUserDefaults_->objectForKey(healthKey).isNull()) {
      monitorUserDefaults_->setObject(stored, healthKey);
    }
    monitorUserDefaults_->setInteger(APMMonitorMigrationStateCopied, stateKey);
    monitorUserDefaults_->synchronize();
    state = APMMonitorMigrationStateCopied;
  }
  if (state == APMMonitorMigrationStateCopied) {
    shared->removeObjectForKey(healthKey);
    shared->synchronize();
    monitorUserDefaults_->setInteger(APMMonitorMigrationStateComplete, stateKey);
    monitorUserDefaults_->synchronize();
  }
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  LUMORA_CHECK_SEQUENCE(monitorSequence_);
  monitoringSampledData_ = APMMonitoringSampledData(
      monitorUserDefaults_
          ? monitorUserDefaults_->objectForKey(platform::Value(APMUserDefaultsHealthMonitorKey))
          : platform::Value());
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  LUMORA_CHECK_SEQUENCE(monitorSequence_);
  if (!monitorUserDefaults_) return;
  monitorUserDefaults_->setObject(monitoringSampledData_.sampledData(),
                                  platform::Value(APMUserDefaultsHealthMonitorKey));
  monitorUserDefaults_->synchronize();
}

// MARK: - Process-wide monitor

std::shared_ptr<APMMonitor> APMProcessMonitor() {
  {
    std::lock_guard lock(processMonitorMutex());
    if (processMonitorSlot()) return processMonitorSlot();
  }
  // Built outside the lock: construction reads preferences and may report.
  auto monitor = APMMonitor::initWithLibraryVersion(APMMeasurementLibraryVersion);
  std::lock_guard lock(processMonitorMutex());
  if (!processMonitorSlot()) processMonitorSlot() = std::move(monitor);
  return processMonitorSlot();
}

void APMSetProcessMonitorForTesting(std::shared_ptr<APMMonitor> monitor) {
  std::lock_guard lock(processMonitorMutex());
  processMonitorSlot() = std::move(monitor);
}
