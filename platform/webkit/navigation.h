// The records the engine hands its delegates with navigation and page events: the frame that
// started something (WKFrameInfo), the security origin of a page (WKSecurityOrigin) and the
// navigation action a page asked for (WKNavigationAction). They are read-only once made.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/webkit/native_object.h"
#include "platform/webkit/url_request.h"

namespace platform::webkit {

// The engine's navigation types (WKNavigationType); kNavigationTypeOther is -1.
inline constexpr std::int64_t kNavigationTypeLinkActivated = 0;
inline constexpr std::int64_t kNavigationTypeOther = -1;

class FrameInfo : public NativeObject {
 public:
  FrameInfo(bool mainFrame, std::optional<URLRequest> request)
      : mainFrame(mainFrame), request(std::move(request)) {}
  std::string className() const override { return "WKFrameInfo"; }
  platform::ValueMap engineState() const override;
  const bool mainFrame;
  const std::optional<URLRequest> request;
};

class SecurityOrigin : public NativeObject {
 public:
  SecurityOrigin(std::string host, std::int64_t port, std::string protocol)
      : host(std::move(host)), port(port), protocol(std::move(protocol)) {}
  std::string className() const override { return "WKSecurityOrigin"; }
  platform::ValueMap engineState() const override;
  // The origin of `url`: its host, its port (0 when it names none) and its scheme.
  static std::shared_ptr<SecurityOrigin> of(const platform::URL& url);
  const std::string host;
  const std::int64_t port;
  const std::string protocol;
};

class NavigationAction : public NativeObject {
 public:
  NavigationAction(URLRequest request, std::shared_ptr<FrameInfo> targetFrame,
                   std::int64_t navigationType)
      : request(std::move(request)), targetFrame(std::move(targetFrame)),
        navigationType(navigationType) {}
  std::string className() const override { return "WKNavigationAction"; }
  platform::ValueMap engineState() const override;
  const URLRequest request;
  const std::shared_ptr<FrameInfo> targetFrame;  // none for a new window
  const std::int64_t navigationType;             // the engine's WKNavigationType value
};

}  // namespace platform::webkit
