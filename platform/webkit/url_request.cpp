#include "platform/webkit/url_request.h"

namespace platform::webkit {

using platform::Value;

platform::ValueMap URLRequest::describe() const {
  platform::ValueMap out;
  out[Value("url")] = url ? Value(url->absoluteString()) : Value();
  out[Value("httpMethod")] = Value(method_);
  out[Value("httpBody")] = httpBody ? Value(*httpBody) : Value();
  if (allHTTPHeaderFields) {
    platform::ValueMap fields;
    for (const auto& [name, value] : *allHTTPHeaderFields)
      fields[Value(name)] = Value(value);
    out[Value("allHTTPHeaderFields")] = Value(std::move(fields));
  } else {
    out[Value("allHTTPHeaderFields")] = Value();
  }
  out[Value("timeoutInterval")] = Value(timeoutInterval);
  out[Value("cachePolicy")] = Value(static_cast<std::int64_t>(cachePolicy));
  return out;
}

platform::ValueMap URLObject::engineState() const {
  return {{Value("absoluteString"), Value(url.absoluteString())}};
}

platform::ValueMap URLResponse::engineState() const {
  return {{Value("url"), url ? Value(url->absoluteString()) : Value()},
          {Value("mimeType"), Value(mimeType)}};
}

platform::ValueMap HTTPURLResponse::engineState() const {
  auto state = URLResponse::engineState();
  state[Value("statusCode")] = Value(statusCode);
  return state;
}

}  // namespace platform::webkit
