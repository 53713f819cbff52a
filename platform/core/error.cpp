#include "platform/core/error.h"

namespace platform {

std::string Error::localizedDescription() const {
  auto it = userInfo.find(Value(kLocalizedDescriptionKey));
  if (it != userInfo.end() && it->second.isString()) return it->second.asString();
  return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) +
         ".)";
}

ErrorPtr Error::make(std::string domain, std::int64_t code, ValueMap userInfo) {
  return std::make_shared<const Error>(Error{std::move(domain), code, std::move(userInfo)});
}

ErrorPtr Error::withDescription(std::string domain, std::int64_t code, std::string description) {
  ValueMap info;
  info.emplace(Value(kLocalizedDescriptionKey), Value(std::move(description)));
  return make(std::move(domain), code, std::move(info));
}

}  // namespace platform
