#include "platform/net/url_error.h"

namespace platform {

ErrorPtr urlError(std::int64_t code, std::string description, const std::string& failingURL) {
  ValueMap info;
  info[Value(kLocalizedDescriptionKey)] = Value(std::move(description));
  if (!failingURL.empty()) info[Value(kURLErrorFailingURLStringKey)] = Value(failingURL);
  return Error::make(kURLErrorDomain, code, std::move(info));
}

}  // namespace platform
