// A named exception with a reason, thrown only where a component's contract raises one (for
// example app configuration misuse). Every channel handler, queued task and callback boundary
// catches it and turns it into that component's error reply or log line.
#pragma once

#include <exception>
#include <string>

#include "platform/core/value.h"

namespace platform {

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, ValueMap userInfo = {})
      : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const ValueMap& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  ValueMap userInfo_;
};

// Exception names with the platform's spelling.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";

}  // namespace platform
