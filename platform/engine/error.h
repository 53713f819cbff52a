// The error record sent over channels: a string code, an optional message and optional details
// of any codec-supported type. Plain value type; safe to copy between threads.
#pragma once

#include <optional>
#include <string>

#include "platform/core/value.h"

namespace flutter {

struct Error {
  std::string code;
  std::optional<std::string> message;
  platform::Value details;

  static Error errorWithCode(std::string code, std::optional<std::string> message = std::nullopt,
                             platform::Value details = {}) {
    return Error{std::move(code), std::move(message), std::move(details)};
  }

  friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace flutter
