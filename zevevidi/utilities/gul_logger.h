// The logging core of the Zevevidi and measurement side. Every message has a level, a log
// subsystem, a category, a message code ("I-GUL000001") and a text, and ends up in the
// unified-log stand-in (platform/log) as "<version> - <category>[<code>] <text>".
//
// Filtering and formatting happen on the caller's thread; the write itself is queued on the
// serial queue "GULLoggingClientQueue", which alone touches the cache of log handles, so the
// lines of one process keep their enqueue order. The maximum level and the debug switch are
// process-wide atomics. All functions are callable from any thread.
#pragma once

#include <cstdarg>
#include <string>

enum GULLoggerLevel : int {
  GULLoggerLevelError = 3,
  GULLoggerLevelWarning = 4,
  GULLoggerLevelNotice = 5,
  GULLoggerLevelInfo = 6,
  GULLoggerLevelDebug = 7,
  GULLoggerLevelMin = GULLoggerLevelError,
  GULLoggerLevelMax = GULLoggerLevelDebug,
};

// Log subsystem of the utilities' own messages.
inline constexpr const char* kGULLogSubsystem = "com.ziriza.utilities.logger";

// Initialises the core once: maximum level Notice, the logging queue, the empty handle cache.
void GULLoggerInitialize();
// Turns debug mode on and the level to Debug, unless this is a store build.
void GULLoggerForceDebug();
// Levels outside Error..Debug are refused with the forced error "I-COR000023". Notice, Info and
// Debug are ignored in a store build.
void GULSetLoggerLevel(GULLoggerLevel level);
// The maximum level; 0 before the first initialisation (does not initialise).
GULLoggerLevel GULGetLoggerLevel();
bool GULIsLoggableLevel(GULLoggerLevel level);
// The version printed at the head of every line.
void GULLoggerRegisterVersion(const std::string& version);

// The core call. `args` may be null: then `message` is the text as it stands; otherwise it is
// a printf format applied to *args. Unless `forceLog` is set, a level above the maximum is
// dropped (before any formatting) while debug mode is off.
void GULOSLogBasic(GULLoggerLevel level, const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* message, va_list* args);

void GULOSLogError(const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void GULOSLogWarning(const char* subsystem, const char* category, bool forceLog,
                     const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void GULOSLogNotice(const char* subsystem, const char* category, bool forceLog,
                    const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void GULOSLogDebug(const char* subsystem, const char* category, bool forceLog,
                   const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

class GULLoggerWrapper {
 public:
  // GULOSLogBasic, never forced.
  static void logWithLevel(GULLoggerLevel level, const char* subsystem, const char* category,
                           const char* messageCode, const char* message, va_list* args);
  // The utilities subsystem, `service` as the category, never forced.
  static void logWithLevel(GULLoggerLevel level, const char* service, const char* messageCode,
                           const char* message, va_list* args);
};

// Test support: waits until every queued line has been written.
void GULLoggerFlushForTesting();
// Test support: back to the state before initialisation (level 0, debug off, no version).
void GULResetLoggerForTesting();
