#include "zevevidi/utilities/fir_logger.h"

#include <algorithm>
#include <atomic>

#include "platform/dispatch/once.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/process_info.h"

namespace {

platform::OnceGuard sFIRLoggerOnce;
std::atomic<bool> sFIRLoggerInitialized{false};

// Reads the debug switches once per process. A launch with "-FIRDebugEnabled" stores the switch
// in the preferences so that debug logging stays on in later launches, until one is made with
// "-FIRDebugDisabled", which wins over "-FIRDebugEnabled" when both are given.
void initializeZevevidiLogger() {
  if (sFIRLoggerInitialized.load(std::memory_order_acquire)) return;
  sFIRLoggerOnce.run([] {
    GULLoggerRegisterVersion(kFIRLoggerSDKVersion);
    const auto arguments = platform::ProcessInfo::processInfo().arguments();
    auto has = [&](const char* argument) {
      return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    };
    auto preferences = platform::Preferences::standard();
    const bool debugPreference = preferences && preferences->boolForKey(kFIRDebugModePreferenceKey);

    if (has(kFIRDebugDisabledArgument)) {
      if (preferences) preferences->removeObjectForKey(kFIRDebugModePreferenceKey);
      GULLoggerInitialize();
    } else if (debugPreference || has(kFIRDebugEnabledArgument)) {
      if (preferences) preferences->setBool(kFIRDebugModePreferenceKey, true);
      GULLoggerInitialize();
      GULLoggerForceDebug();
    } else {
      GULLoggerInitialize();
    }
    sFIRLoggerInitialized.store(true, std::memory_order_release);
  });
}

void logv(FIRLoggerLevel level, FIRLoggerService category, const char* messageCode,
          const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  FIRLogBasic(level, category, messageCode, format, &copy);
  va_end(copy);
}

}  // namespace

void FIRSetLoggerLevel(FIRLoggerLevel level) {
  initializeZevevidiLogger();
  GULSetLoggerLevel(level);
}

FIRLoggerLevel FIRGetLoggerLevel() {
  initializeZevevidiLogger();
  return GULGetLoggerLevel();
}

void FIRLogBasic(FIRLoggerLevel level, FIRLoggerService category, const char* messageCode,
                 const char* message, va_list* args) {
  initializeZevevidiLogger();
  GULOSLogBasic(level, kFIRLoggerSubsystem, category, false, messageCode, message, args);
}

void FIRLogError(FIRLoggerService category, const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(FIRLoggerLevelError, category, messageCode, format, args);
  va_end(args);
}

void FIRLogWarning(FIRLoggerService category, const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(FIRLoggerLevelWarning, category, messageCode, format, args);
  va_end(args);
}

void FIRLogInfo(FIRLoggerService category, const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(FIRLoggerLevelInfo, category, messageCode, format, args);
  va_end(args);
}

void FIRLogDebug(FIRLoggerService category, const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(FIRLoggerLevelDebug, category, messageCode, format, args);
  va_end(args);
}

void FIRLoggerWrapper::logWithLevel(FIRLoggerLevel level, FIRLoggerService service,
                                    const char* code, const std::string& message) {
  FIRLogBasic(level, service, code, message.c_str(), nullptr);
}

void FIRResetLoggerForTesting() {
  sFIRLoggerInitialized = false;
  sFIRLoggerOnce.reset();
}
