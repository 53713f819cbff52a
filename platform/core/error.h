// Recoverable failure record: a string domain, an integer code and a user-info map. Stands in for
// the platform's error object. Immutable once made; passed around as ErrorPtr. A component may
// derive its own error record from it (one that carries more than the user info); such records
// are told apart with std::dynamic_pointer_cast.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/core/value.h"

namespace platform {

struct Error {
  Error() = default;
  Error(std::string domain, std::int64_t code, ValueMap userInfo = {})
      : domain(std::move(domain)), code(code), userInfo(std::move(userInfo)) {}
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  Error(Error&&) = default;
  Error& operator=(Error&&) = default;
  virtual ~Error() = default;

  std::string domain;
  std::int64_t code = 0;
  ValueMap userInfo;

  // The "NSLocalizedDescription"-style text, when the user info carries one.
  std::string localizedDescription() const;

  static ErrorPtr make(std::string domain, std::int64_t code, ValueMap userInfo = {});
  // Convenience: an error whose user info holds a description under kLocalizedDescriptionKey.
  static ErrorPtr withDescription(std::string domain, std::int64_t code, std::string description);

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain == b.domain && a.code == b.code && a.userInfo == b.userInfo;
  }
};

// User-info keys with the platform's spelling.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

}  // namespace platform
