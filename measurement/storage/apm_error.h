// Error records of the measurement storage and validation operations, and the check-and-fill
// functions they open with. An operation that fails returns false (or nothing) and, when the
// caller passed a place for it, fills in one error of the measurement domain. Nothing here logs
// or aborts. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/core/value.h"

inline constexpr const char* APMErrorDomain = "com.ziriza.duz.measurement.ErrorDomain";
// User-info key of the short diagnostic text that the health sample carries.
inline constexpr const char* APMMonitorContextKey = "APMMonitorContext";

// An error of the measurement domain. An empty description or monitor context adds no entry.
platform::ErrorPtr apm_errorWithCode(std::int64_t code, std::string_view description,
                                     std::string_view monitorContext = {});

// Stores a new error through `error` when it is not null.
void APMSetErrorWithMonitorContext(platform::ErrorPtr* error, std::int64_t code,
                                   std::string_view description, std::string_view monitorContext);
void APMSetError(platform::ErrorPtr* error, std::int64_t code, std::string_view description);

// Each passes (true) or stores the error (when `error` is not null) and fails (false).
bool APMAssertTrue(bool condition, platform::ErrorPtr* error, std::int64_t code,
                   std::string_view description);
// Passes when the value is not null.
bool APMAssertNotNil(const platform::Value& value, platform::ErrorPtr* error, std::int64_t code,
                     std::string_view description);
// Passes when the handle is not null (a database or statement handle).
bool APMAssertNotNull(const void* pointer, platform::ErrorPtr* error, std::int64_t code,
                      std::string_view description);
// Passes when the length or count is not 0.
bool APMAssertNotZero(std::uint64_t count, platform::ErrorPtr* error, std::int64_t code,
                      std::string_view description);

// The monitor contexts of the measurement-domain errors among `contexts`, joined with ",", in
// order; other errors and other objects are skipped. Empty when there are none.
std::string APMMonitorContextString(const platform::ValueList& contexts);
