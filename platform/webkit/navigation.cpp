#include "platform/webkit/navigation.h"

#include "platform/webkit/authentication.h"

namespace platform::webkit {

using platform::Value;

platform::ValueMap FrameInfo::engineState() const {
  return {{Value("mainFrame"), Value(mainFrame)},
          {Value("request"), request ? Value(request->describe()) : Value()}};
}

platform::ValueMap SecurityOrigin::engineState() const {
  return {{Value("host"), Value(host)},
          {Value("port"), Value(port)},
          {Value("protocol"), Value(protocol)}};
}

std::shared_ptr<SecurityOrigin> SecurityOrigin::of(const platform::URL& url) {
  return std::make_shared<SecurityOrigin>(url.host().value_or(""), url.port().value_or(0),
                                          url.scheme());
}

platform::ValueMap NavigationAction::engineState() const {
  return {{Value("request"), Value(request.describe())},
          {Value("targetFrame"), targetFrame ? Value(targetFrame->engineState()) : Value()},
          {Value("navigationType"), Value(navigationType)}};
}

platform::ValueMap NavigationResponse::engineState() const {
  return {{Value("response"), response ? Value(response->engineState()) : Value()},
          {Value("forMainFrame"), Value(forMainFrame)}};
}

}  // namespace platform::webkit

namespace platform::webkit {

platform::ValueMap ProtectionSpace::engineState() const {
  return {{Value("host"), Value(host)},
          {Value("port"), Value(port)},
          {Value("realm"), realm ? Value(*realm) : Value()},
          {Value("authenticationMethod"), Value(authenticationMethod)},
          {Value("hasServerTrust"), Value(serverTrust != nullptr)}};
}

platform::ValueMap URLCredential::engineState() const {
  return {{Value("user"), user ? Value(*user) : Value()},
          {Value("password"), password ? Value(*password) : Value()},
          {Value("persistence"), Value(persistence)},
          {Value("hasTrust"), Value(trust != nullptr)}};
}

}  // namespace platform::webkit
