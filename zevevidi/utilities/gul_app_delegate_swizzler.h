// GULAppDelegateSwizzler lets components see calls made to the application's delegate without the
// application's code doing anything. C++ cannot rewrite the delegate's class at run time, so the
// host's application layer routes those calls through this class instead (the interceptor hook):
//
//   at start-up, and whenever the delegate changes:  setApplicationDelegate(delegate)
//   when the platform delivers a user activity:      application_continueUserActivity(...)
//   when remote-notification registration ends:     application_didRegisterForRemoteNotifications-
//                                                    WithDeviceToken(...) / ...WithError(...)
//   to ask whether the delegate handles a call:      delegateRespondsToSelector(selector)
//
// Once a component asks for the proxy (proxyOriginalDelegate) and the information property list
// does not switch it off, each routed call first goes to every registered interceptor that
// implements it and then to the delegate's own implementation; the answers of a call that
// returns one are combined with a logical or. Without the proxy, calls go to the delegate alone.
//
// Interceptors are held weakly, under identifiers "GUL_<address>"; one found gone during a call
// is dropped with a warning. Proxying and routed calls happen on the main thread; registration
// may happen on any thread (the table serialises itself). Process-wide state.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"

enum class GULAppDelegateSelector {
  ContinueUserActivity,                     // application:continueUserActivity:restorationHandler:
  DidRegisterForRemoteNotifications,        // ...didRegisterForRemoteNotificationsWithDeviceToken:
  DidFailToRegisterForRemoteNotifications,  // ...didFailToRegisterForRemoteNotificationsWithError:
};

struct GULUserActivity {
  std::string activityType;
  std::string webpageURL;
  platform::ValueMap userInfo;
};
using GULRestorationHandler = std::function<void(const std::vector<platform::Value>&)>;

// The application-delegate protocol as the proxy routes it: each method is optional, and a slot
// left empty means "does not implement it". Interceptors and the application's own delegate are
// both of this kind. Held by shared pointer.
class GULApplicationDelegate {
 public:
  virtual ~GULApplicationDelegate() = default;

  std::function<bool(const GULUserActivity&, const GULRestorationHandler&)> continueUserActivity;
  std::function<void(const platform::Bytes& deviceToken)>
      didRegisterForRemoteNotificationsWithDeviceToken;
  std::function<void(const platform::ErrorPtr& error)>
      didFailToRegisterForRemoteNotificationsWithError;

  bool respondsToSelector(GULAppDelegateSelector selector) const;
  // The class name the proxy reports (the delegate's own class).
  virtual std::string delegateClassName() const { return "ApplicationDelegate"; }
};
using GULApplicationDelegatePtr = std::shared_ptr<GULApplicationDelegate>;

class GULAppDelegateSwizzler {
 public:
  inline static constexpr const char* kProxyEnabledKey = "ZevevidiAppDelegateProxyEnabled";
  inline static constexpr const char* kUtilitiesProxyEnabledKey =
      "ZirizaUtilitiesAppDelegateProxyEnabled";

  // Both information-property-list switches; a value that is not a number counts as true.
  static bool isAppDelegateProxyEnabled();

  // The identifier the interceptor is stored under ("" for a missing interceptor, a
  // programming error). Held weakly; registering again replaces the entry.
  static std::string registerAppDelegateInterceptor(const GULApplicationDelegatePtr& interceptor);
  static void unregisterAppDelegateInterceptorWithID(const std::string& interceptorID);

  // Once per process (outside application extensions): puts the proxy in front of the current
  // application delegate.
  static void proxyOriginalDelegate();
  // proxyOriginalDelegate, then once per process adds the remote-notification calls.
  static void proxyOriginalDelegateIncludingAPNSMethods();

  // The delegate that was proxied, until the application gets another delegate.
  static GULApplicationDelegatePtr originalDelegate();
  static void clearInterceptors();
  static void resetProxyOriginalDelegateOnceToken();

  // --- The hook: what the host's application layer calls. ---

  // The application's delegate property. Setting another delegate than the proxied one ends the
  // proxy for it.
  static void setApplicationDelegate(GULApplicationDelegatePtr delegate);
  static GULApplicationDelegatePtr applicationDelegate();
  // Whether the delegate (with its proxy) handles the call.
  static bool delegateRespondsToSelector(GULAppDelegateSelector selector);
  // Routed calls. The user-activity call returns whether anyone handled it.
  static bool application_continueUserActivity(const GULUserActivity& activity,
                                               const GULRestorationHandler& restorationHandler);
  static void
  application_didRegisterForRemoteNotificationsWithDeviceToken(const platform::Bytes& deviceToken);
  static void
  application_didFailToRegisterForRemoteNotificationsWithError(const platform::ErrorPtr& error);

  // Test support: forget the delegate, the proxy and the interceptors, re-arm the guards.
  static void resetForTesting();
};

// Scenes do not exist on this platform: the switch follows the application delegate's and
// proxying does nothing.
class GULSceneDelegateSwizzler {
 public:
  static bool isSceneDelegateProxyEnabled() {
    return GULAppDelegateSwizzler::isAppDelegateProxyEnabled();
  }
  static void proxyOriginalSceneDelegate() {}
};
