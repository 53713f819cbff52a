// The error type of generated interfaces and the one rule that turns any failure into the
// three-element error reply [code, message, details]. Plain value types; thread-safe.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/error.h"

namespace pigeon {

// Thrown (or returned) by generated and plugin code that chooses the error reply's fields.
class PigeonError : public std::exception {
 public:
  PigeonError(std::string code, std::optional<std::string> message = std::nullopt,
              platform::Value details = {})
      : code(std::move(code)), message(std::move(message)), details(std::move(details)) {}

  const char* what() const noexcept override { return code.c_str(); }
  friend bool operator==(const PigeonError& a, const PigeonError& b) {
    return a.code == b.code && a.message == b.message && a.details == b.details;
  }

  std::string code;
  std::optional<std::string> message;
  platform::Value details;
};

// The reply for a failure, tested in this order: a PigeonError, a flutter::Error (thrown as
// such), any other exception: [its description, its type name without namespace, "Stacktrace: "
// followed by the current call stack as a list of strings].
platform::Value wrapError(const std::exception_ptr& error);
platform::Value wrapError(const PigeonError& error);
platform::Value wrapError(const flutter::Error& error);

// The reply of the completion-block form: [code, message, details] when `error` is given,
// else the one-element list [result].
platform::Value wrapResult(const platform::Value& result,
                           const std::optional<flutter::Error>& error = std::nullopt);

// The call stack of the calling thread as text: one quoted symbol per line, in parentheses.
std::string callStackDescription();

}  // namespace pigeon
