// Error domain and codes of the foundation stand-ins (files, property lists, JSON, archives).
// The codes keep the platform's numbers, so callers that report or compare them see the values
// they expect. Every foundation call that can fail hands back an ErrorPtr built by these
// helpers; none of them throws.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/error.h"

namespace platform {

inline constexpr const char* kFoundationErrorDomain = "LumoraFoundationErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "POSIX";
inline constexpr const char* kFilePathErrorKey = "FilePath";

// Codes of kFoundationErrorDomain used here.
enum FoundationErrorCode : std::int64_t {
  kFileNoSuchFileError = 4,
  kFileReadUnknownError = 256,
  kFileReadNoPermissionError = 257,
  kFileReadNoSuchFileError = 260,
  kFileReadTooLargeError = 263,
  kFileWriteUnknownError = 512,
  kFileWriteNoPermissionError = 513,
  kFileWriteFileExistsError = 516,
  kFileWriteOutOfSpaceError = 640,
  kPropertyListReadCorruptError = 3840,
  kPropertyListWriteInvalidError = 3851,
  kCoderReadCorruptError = 4864,
  kCoderValueNotFoundError = 4865,
  kCoderInvalidValueError = 4866,
};

// A kFoundationErrorDomain error with a description, and the path when one is given.
ErrorPtr foundationError(std::int64_t code, std::string description, const std::string& path = {});
// A file error for a failed system call: the code follows errno (for reads or writes), the
// user info names the path and carries the POSIX error as the underlying error.
ErrorPtr fileErrorFromErrno(int err, bool writing, const std::string& path, std::string what);

}  // namespace platform
