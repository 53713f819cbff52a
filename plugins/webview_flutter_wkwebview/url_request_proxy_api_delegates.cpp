#include "plugins/webview_flutter_wkwebview/url_request_proxy_api_delegates.h"

#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

using platform::Value;

namespace {

platform::webkit::URLRequest& request(const platform::webkit::NativeObjectPtr& object) {
  return nativeAs<URLRequestWrapper>(object).value;
}

}  // namespace

platform::webkit::NativeObjectPtr
URLRequestProxyAPIDelegate::pigeonDefaultConstructor(PigeonApiURLRequest& /*pigeonApi*/,
                                                     const std::string& url) {
  auto parsed = url.empty() ? std::nullopt : platform::URL::parse(url);
  if (!parsed) {
    throw ProxyApiRegistrar::createConstructorNullError("NSURL", {{Value("string"), Value(url)}});
  }
  return std::make_shared<URLRequestWrapper>(platform::webkit::URLRequest(std::move(*parsed)));
}

std::optional<std::string>
URLRequestProxyAPIDelegate::getUrl(PigeonApiURLRequest& /*pigeonApi*/,
                                   const platform::webkit::NativeObjectPtr& pigeonInstance) {
  const auto& url = request(pigeonInstance).url;
  if (!url) return std::nullopt;
  return url->absoluteString();
}

void URLRequestProxyAPIDelegate::setHttpMethod(
    PigeonApiURLRequest& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    const std::optional<std::string>& method) {
  request(pigeonInstance).setHttpMethod(method);
}

std::optional<std::string>
URLRequestProxyAPIDelegate::getHttpMethod(PigeonApiURLRequest& /*pigeonApi*/,
                                          const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return request(pigeonInstance).httpMethod();
}

void URLRequestProxyAPIDelegate::setHttpBody(
    PigeonApiURLRequest& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    const std::optional<platform::Bytes>& body) {
  request(pigeonInstance).httpBody = body;
}

std::optional<platform::Bytes>
URLRequestProxyAPIDelegate::getHttpBody(PigeonApiURLRequest& /*pigeonApi*/,
                                        const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return request(pigeonInstance).httpBody;
}

void URLRequestProxyAPIDelegate::setAllHttpHeaderFields(
    PigeonApiURLRequest& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    const std::optional<platform::ValueMap>& fields) {
  if (!fields) {
    request(pigeonInstance).allHTTPHeaderFields.reset();
    return;
  }
  // Checked whole before anything changes: a header map with a non-string entry is malformed.
  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : *fields) {
    if (!name.isString() || !value.isString()) {
      throw pigeon::ArgumentError(
          "setAllHttpHeaderFields: argument 1 must be a map from strings to strings, not " +
          Value(*fields).debugString());
    }
    headers[name.asString()] = value.asString();
  }
  request(pigeonInstance).allHTTPHeaderFields = std::move(headers);
}

std::optional<platform::ValueMap> URLRequestProxyAPIDelegate::getAllHttpHeaderFields(
    PigeonApiURLRequest& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance) {
  const auto& headers = request(pigeonInstance).allHTTPHeaderFields;
  if (!headers) return std::nullopt;
  platform::ValueMap out;
  for (const auto& [name, value] : *headers)
    out[Value(name)] = Value(value);
  return out;
}

std::string
URLProxyAPIDelegate::getAbsoluteString(PigeonApiURL& /*pigeonApi*/,
                                       const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<platform::webkit::URLObject>(pigeonInstance).url.absoluteString();
}

std::int64_t HTTPURLResponseProxyAPIDelegate::statusCode(
    PigeonApiHTTPURLResponse& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<platform::webkit::HTTPURLResponse>(pigeonInstance).statusCode;
}

std::int64_t ErrorProxyAPIDelegate::code(PigeonApiNSError& /*pigeonApi*/,
                                         const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<ErrorObject>(pigeonInstance).error->code;
}

std::string ErrorProxyAPIDelegate::domain(PigeonApiNSError& /*pigeonApi*/,
                                          const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<ErrorObject>(pigeonInstance).error->domain;
}

platform::ValueMap
ErrorProxyAPIDelegate::userInfo(PigeonApiNSError& /*pigeonApi*/,
                                const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<ErrorObject>(pigeonInstance).error->userInfo;
}

}  // namespace webview
