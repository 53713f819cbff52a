// The Zevevidi logging layer over the GULLogger core: lines go to the "com.ziriza.zevevidi" log
// subsystem headed by the SDK version, and the debug switch comes from the launch arguments
// ("-FIRDebugEnabled" / "-FIRDebugDisabled") and the preference "/ziriza/zevevidi/debug_mode",
// read once per process on the first use of any function here. Callable from any thread.
#pragma once

#include <cstdarg>
#include <string>

#include "zevevidi/utilities/gul_logger.h"

using FIRLoggerLevel = GULLoggerLevel;
inline constexpr FIRLoggerLevel FIRLoggerLevelError = GULLoggerLevelError;
inline constexpr FIRLoggerLevel FIRLoggerLevelWarning = GULLoggerLevelWarning;
inline constexpr FIRLoggerLevel FIRLoggerLevelNotice = GULLoggerLevelNotice;
inline constexpr FIRLoggerLevel FIRLoggerLevelInfo = GULLoggerLevelInfo;
inline constexpr FIRLoggerLevel FIRLoggerLevelDebug = GULLoggerLevelDebug;

// A category; carries its brackets.
using FIRLoggerService = const char*;
inline constexpr FIRLoggerService kFIRLoggerCore = "[ZevevidiCore]";
inline constexpr FIRLoggerService kFIRLoggerAnalytics = "[ZevevidiAnalytics]";
inline constexpr FIRLoggerService kFIRLoggerInstallations = "[ZevevidiInstallations]";

// The SDK version printed at the head of every Zevevidi line.
inline constexpr const char* kFIRLoggerSDKVersion = "11.15.0";
inline constexpr const char* kFIRLoggerSubsystem = "com.ziriza.zevevidi";
inline constexpr const char* kFIRDebugModePreferenceKey = "/ziriza/zevevidi/debug_mode";
inline constexpr const char* kFIRDebugEnabledArgument = "-FIRDebugEnabled";
inline constexpr const char* kFIRDebugDisabledArgument = "-FIRDebugDisabled";

// Both initialise the Zevevidi logger first, then set / get the core's maximum level.
void FIRSetLoggerLevel(FIRLoggerLevel level);
FIRLoggerLevel FIRGetLoggerLevel();

// `args` may be null: then `message` is the text as it stands, else a printf format.
void FIRLogBasic(FIRLoggerLevel level, FIRLoggerService category, const char* messageCode,
                 const char* message, va_list* args);

void FIRLogError(FIRLoggerService category, const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FIRLogWarning(FIRLoggerService category, const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FIRLogInfo(FIRLoggerService category, const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FIRLogDebug(FIRLoggerService category, const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

class FIRLoggerWrapper {
 public:
  // FIRLogBasic with `message` as the finished text.
  static void logWithLevel(FIRLoggerLevel level, FIRLoggerService service, const char* code,
                           const std::string& message);
};

// Test support: forget that the switches were read, so the next call reads them again.
void FIRResetLoggerForTesting();
