#include "platform/foundation/foundation_errors.h"

#include <cerrno>
#include <cstring>

namespace platform {

ErrorPtr foundationError(std::int64_t code, std::string description, const std::string& path) {
  ValueMap info;
  info[kLocalizedDescriptionKey] = std::move(description);
  if (!path.empty()) info[kFilePathErrorKey] = path;
  return Error::make(kFoundationErrorDomain, code, std::move(info));
}

ErrorPtr fileErrorFromErrno(int err, bool writing, const std::string& path, std::string what) {
  std::int64_t code = writing ? kFileWriteUnknownError : kFileReadUnknownError;
  switch (err) {
  case ENOENT:
  case ENOTDIR:
    code = writing ? kFileNoSuchFileError : kFileReadNoSuchFileError;
    break;
  case EACCES:
  case EPERM:
  case EROFS:
    code = writing ? kFileWriteNoPermissionError : kFileReadNoPermissionError;
    break;
  case EEXIST:
    code = kFileWriteFileExistsError;
    break;
  case ENOSPC:
  case EDQUOT:
    code = kFileWriteOutOfSpaceError;
    break;
  case EFBIG:
    code = writing ? kFileWriteUnknownError : kFileReadTooLargeError;
    break;
  default:
    break;
  }
  ValueMap info;
  info[kLocalizedDescriptionKey] = what + " \"" + path + "\": " + std::strerror(err);
  info[kFilePathErrorKey] = path;
  info[kUnderlyingErrorKey] = Value(Error::make(kPOSIXErrorDomain, err));
  return Error::make(kFoundationErrorDomain, code, std::move(info));
}

}  // namespace platform
