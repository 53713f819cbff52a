#include "zevevidi/utilities/gul_logger.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "platform/dispatch/once.h"
#include "platform/dispatch/queue.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

// Process-wide state. The level and the debug switch are read on every call without a lock,
// hence atomics; the version and the queue change rarely and sit behind a mutex.
std::atomic<int> sGULLoggerMaximumLevel{0};
std::atomic<bool> sGULLoggerDebugMode{false};
platform::OnceGuard sGULLoggerOnce;
// Set once initialisation has run, so the hot path costs one atomic load, not the guard's lock.
std::atomic<bool> sGULLoggerInitialized{false};

struct LoggerState {
  std::mutex mutex;
  std::string version;
  platform::QueuePtr clientQueue;
};

LoggerState& state() {
  static LoggerState* s = new LoggerState();  // outlives static destruction: logging may race exit
  return *s;
}

// Handle cache: subsystem -> category -> log handle. Touched only on the client queue.
using HandleCache = std::map<std::string, std::map<std::string, std::shared_ptr<platform::Log>>>;
HandleCache& handleCache() {
  static HandleCache* cache = new HandleCache();
  return *cache;
}

platform::LogType logTypeForLevel(int level) {
  if (level <= 3) return platform::LogType::Error;
  if (level <= 5) return platform::LogType::Default;
  if (level == 6) return platform::LogType::Info;
  if (level == 7) return platform::LogType::Debug;
  return platform::LogType::Error;
}

platform::QueuePtr clientQueue() {
  std::lock_guard lock(state().mutex);
  return state().clientQueue;
}

std::string formatText(const char* message, va_list* args) {
  if (!message) return {};
  if (!args) return message;
  va_list copy;
  va_copy(copy, *args);
  char stack[512];
  const int needed = std::vsnprintf(stack, sizeof stack, message, copy);
  va_end(copy);
  if (needed < 0) return message;
  if (static_cast<std::size_t>(needed) < sizeof stack) return std::string(stack, needed);
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  va_copy(copy, *args);
  std::vsnprintf(text.data(), text.size(), message, copy);
  va_end(copy);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

void writeOnClientQueue(const std::string& subsystem, const std::string& category, int level,
                        const std::string& line) {
  auto& handle = handleCache()[subsystem][category];
  if (!handle) handle = platform::Log::create(subsystem, category);
  const platform::LogType type = logTypeForLevel(level);
  if (handle->isEnabled(type)) handle->write(type, line);
}

void logv(GULLoggerLevel level, const char* subsystem, const char* category, bool forceLog,
          const char* messageCode, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  GULOSLogBasic(level, subsystem, category, forceLog, messageCode, format, &copy);
  va_end(copy);
}

}  // namespace

void GULLoggerInitialize() {
  if (sGULLoggerInitialized.load(std::memory_order_acquire)) return;
  sGULLoggerOnce.run([] {
    sGULLoggerMaximumLevel = GULLoggerLevelNotice;
    {
      std::lock_guard lock(state().mutex);
      if (!state().clientQueue) {
        state().clientQueue = platform::makeSerialQueue("GULLoggingClientQueue");
      }
    }
    sGULLoggerInitialized.store(true, std::memory_order_release);
  });
}

void GULLoggerForceDebug() {
  if (GULAppEnvironmentUtil::isFromAppStore()) return;
  sGULLoggerDebugMode = true;
  GULSetLoggerLevel(GULLoggerLevelDebug);
}

void GULSetLoggerLevel(GULLoggerLevel level) {
  if (level < GULLoggerLevelMin || level > GULLoggerLevelMax) {
    GULOSLogError(kGULLogSubsystem, "[GULLogger]", true, "I-COR000023", "Invalid logger level, %ld",
                  static_cast<long>(level));
    return;
  }
  GULLoggerInitialize();
  // Store builds keep their logging quiet: only Error and Warning are honoured there.
  if (level >= GULLoggerLevelNotice && GULAppEnvironmentUtil::isFromAppStore()) return;
  sGULLoggerMaximumLevel = level;
}

GULLoggerLevel GULGetLoggerLevel() {
  return static_cast<GULLoggerLevel>(sGULLoggerMaximumLevel.load());
}

bool GULIsLoggableLevel(GULLoggerLevel level) {
  GULLoggerInitialize();
  return sGULLoggerDebugMode || level <= sGULLoggerMaximumLevel;
}

void GULLoggerRegisterVersion(const std::string& version) {
  std::lock_guard lock(state().mutex);
  state().version = version;
}

void GULOSLogBasic(GULLoggerLevel level, const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* message, va_list* args) {
  GULLoggerInitialize();
  if (!forceLog && level > sGULLoggerMaximumLevel && !sGULLoggerDebugMode) return;

  const std::string text = formatText(message, args);
  std::string version;
  {
    std::lock_guard lock(state().mutex);
    version = state().version;
  }
  std::string line;
  line.reserve(version.size() + text.size() + 64);
  line.append(version).append(" - ").append(category ? category : "");
  line.append("[").append(messageCode ? messageCode : "").append("] ").append(text);

  auto queue = clientQueue();
  if (!queue) return;
  queue->async([subsystem = std::string(subsystem ? subsystem : ""),
                category = std::string(category ? category : ""), level = static_cast<int>(level),
                line = std::move(line)] { writeOnClientQueue(subsystem, category, level, line); });
}

void GULOSLogError(const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(GULLoggerLevelError, subsystem, category, forceLog, messageCode, format, args);
  va_end(args);
}

void GULOSLogWarning(const char* subsystem, const char* category, bool forceLog,
                     const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(GULLoggerLevelWarning, subsystem, category, forceLog, messageCode, format, args);
  va_end(args);
}

void GULOSLogNotice(const char* subsystem, const char* category, bool forceLog,
                    const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(GULLoggerLevelNotice, subsystem, category, forceLog, messageCode, format, args);
  va_end(args);
}

void GULOSLogDebug(const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(GULLoggerLevelDebug, subsystem, category, forceLog, messageCode, format, args);
  va_end(args);
}

void GULLoggerWrapper::logWithLevel(GULLoggerLevel level, const char* subsystem,
                                    const char* category, const char* messageCode,
                                    const char* message, va_list* args) {
  GULOSLogBasic(level, subsystem, category, false, messageCode, message, args);
}

void GULLoggerWrapper::logWithLevel(GULLoggerLevel level, const char* service,
                                    const char* messageCode, const char* message, va_list* args) {
  GULOSLogBasic(level, kGULLogSubsystem, service, false, messageCode, message, args);
}

void GULLoggerFlushForTesting() {
  if (auto queue = clientQueue()) queue->sync([] {});
}

void GULResetLoggerForTesting() {
  GULLoggerFlushForTesting();
  sGULLoggerInitialized = false;
  sGULLoggerOnce.reset();
  sGULLoggerMaximumLevel = 0;
  sGULLoggerDebugMode = false;
  std::lock_guard lock(state().mutex);
  state().version.clear();
}
