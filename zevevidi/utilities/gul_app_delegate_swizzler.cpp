#include "zevevidi/utilities/gul_app_delegate_swizzler.h"

#include <cstdio>
#include <exception>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/core/uuid.h"
#include "platform/dispatch/once.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_app_environment_util.h"
#include "zevevidi/utilities/gul_logger.h"
#include "zevevidi/utilities/gul_mutable_dictionary.h"

using platform::Value;

namespace {

constexpr const char* kSwizzlerCategory = "[ZirizaUtilities/AppDelegateSwizzler]";

void logSwizzler(GULLoggerLevel level, int code, const std::string& text) {
  char messageCode[16];
  std::snprintf(messageCode, sizeof messageCode, "I-SWZ%06d", code);
  GULOSLogBasic(level, kGULLogSubsystem, kSwizzlerCategory, false, messageCode, text.c_str(),
                nullptr);
}

// One weak reference, so the table never keeps an interceptor alive.
class GULZeroingWeakContainer : public platform::Object {
 public:
  explicit GULZeroingWeakContainer(std::weak_ptr<GULApplicationDelegate> o)
      : object(std::move(o)) {}
  std::string className() const override { return "GULZeroingWeakContainer"; }
  std::weak_ptr<GULApplicationDelegate> object;
};

GULMutableDictionary& interceptors() {
  static auto* table = new GULMutableDictionary();  // made once, lives for the process
  return *table;
}

// What the proxy knows about the delegate it stands in front of. Main thread in practice; the
// lock keeps registration from other threads safe.
struct ProxyState {
  std::recursive_mutex mutex;
  GULApplicationDelegatePtr applicationDelegate;  // the application's delegate property
  GULApplicationDelegatePtr originalDelegate;     // the proxied delegate
  std::string realClassName;
  std::string subclassName;
  bool observing = false;
  bool remoteNotificationsAdded = false;
  // The delegate's own implementations, as they were when the proxy was made.
  decltype(GULApplicationDelegate::continueUserActivity) realContinueUserActivity;
  decltype(GULApplicationDelegate::didRegisterForRemoteNotificationsWithDeviceToken)
      realDidRegister;
  decltype(GULApplicationDelegate::didFailToRegisterForRemoteNotificationsWithError) realDidFail;
};

ProxyState& proxy() {
  static auto* state = new ProxyState();
  return *state;
}

platform::OnceGuard& proxyOnce() {
  static platform::OnceGuard guard;
  return guard;
}
platform::OnceGuard& remoteNotificationsOnce() {
  static platform::OnceGuard guard;
  return guard;
}

bool coreClassExists() {
  return platform::ClassRegistry::shared().contains("FIRCore");
}

std::string alternativeText() {
  return coreClassExists() ? "To log deep link campaigns manually, call the methods in "
                             "DIDErizevizo+AppDelegate.h."
                           : "";
}

// A boolean switch of the information property list: numbers count as their truth value,
// anything else (absent, a string "NO") as true.
bool infoSwitch(const char* key) {
  auto bundle = platform::Bundle::main();
  if (!bundle) return true;
  Value value = bundle->objectForInfoDictionaryKey(key);
  if (const bool* b = value.ifBool()) return *b;
  if (const auto* i = value.ifInt()) return *i != 0;
  if (const double* d = value.ifDouble()) return *d != 0;
  return true;
}

// Calls `callback` with every live interceptor that implements `selector`; drops gone ones.
void notifyInterceptors(GULAppDelegateSelector selector,
                        const std::function<void(GULApplicationDelegate&)>& callback) {
  const platform::ValueMap snapshot = interceptors().dictionary();
  for (const auto& [key, value] : snapshot) {
    auto container = value.asObjectOf<GULZeroingWeakContainer>();
    auto interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      const std::string id = key.ifString() ? *key.ifString() : key.debugString();
      logSwizzler(GULLoggerLevelWarning, 1010,
                  "AppDelegateProxy cannot find interceptor with ID " + id +
                      ". Removing the interceptor.");
      interceptors().removeObjectForKey(key);
      continue;
    }
    if (!interceptor->respondsToSelector(selector)) continue;
    try {
      callback(*interceptor);
    } catch (const std::exception& e) {
      // One interceptor's failure must not keep the others or the delegate from the call.
      platform::Log::cached(kGULLogSubsystem, kSwizzlerCategory)
          ->error("App delegate interceptor failed: " + std::string(e.what()));
    } catch (...) {
      platform::Log::cached(kGULLogSubsystem, kSwizzlerCategory)
          ->error("App delegate interceptor failed");
    }
  }
}

// Makes the proxy for `delegate` (the subclass, in the platform's terms).
bool createProxyForDelegate(const GULApplicationDelegatePtr& delegate) {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  state.realClassName = delegate->delegateClassName();
  state.subclassName = "GUL_" + state.realClassName + "-" + platform::UUID::random().string();
  state.realContinueUserActivity = delegate->continueUserActivity;
  state.realDidRegister = nullptr;
  state.realDidFail = nullptr;
  state.remoteNotificationsAdded = false;
  return true;
}

// The application re-examines its delegate; from now on the proxy answers for it, and the
// observer watches for the application getting another delegate.
void reassignAppDelegate(const GULApplicationDelegatePtr& delegate) {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  state.originalDelegate = delegate;
  state.observing = true;
}

void proxyAppDelegate(const GULApplicationDelegatePtr& delegate) {
  if (!delegate) {
    logSwizzler(GULLoggerLevelNotice, 1014,
                "App Delegate does not conform to UIApplicationDelegate protocol. " +
                    alternativeText());
    return;
  }
  if (!GULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
    logSwizzler(GULLoggerLevelNotice, 1011, "App Delegate Proxy is disabled. " + alternativeText());
    return;
  }
  try {
    if (!createProxyForDelegate(delegate)) return;
    reassignAppDelegate(delegate);
    const char* key = coreClassExists() ? GULAppDelegateSwizzler::kProxyEnabledKey
                                        : GULAppDelegateSwizzler::kUtilitiesProxyEnabledKey;
    logSwizzler(GULLoggerLevelDebug, 1008,
                std::string("Successfully created App Delegate Proxy automatically. To disable the "
                            "proxy, set the flag ") +
                    key + " to NO (Boolean) in the Info.plist");
  } catch (...) {
    logSwizzler(GULLoggerLevelError, 1013,
                "Cannot create App Delegate Proxy. " + alternativeText());
  }
}

// The proxied delegate, when the application's delegate is still the one proxied.
bool proxyIsActive(const ProxyState& state) {
  return state.originalDelegate && state.originalDelegate == state.applicationDelegate;
}

}  // namespace

bool GULApplicationDelegate::respondsToSelector(GULAppDelegateSelector selector) const {
  switch (selector) {
  case GULAppDelegateSelector::ContinueUserActivity:
    return static_cast<bool>(continueUserActivity);
  case GULAppDelegateSelector::DidRegisterForRemoteNotifications:
    return static_cast<bool>(didRegisterForRemoteNotificationsWithDeviceToken);
  case GULAppDelegateSelector::DidFailToRegisterForRemoteNotifications:
    return static_cast<bool>(didFailToRegisterForRemoteNotificationsWithError);
  }
  return false;
}

bool GULAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  return infoSwitch(kProxyEnabledKey) && infoSwitch(kUtilitiesProxyEnabledKey);
}

std::string GULAppDelegateSwizzler::registerAppDelegateInterceptor(
    const GULApplicationDelegatePtr& interceptor) {
  if (!LUMORA_CHECK(interceptor != nullptr, "AppDelegateProxy: interceptor must not be nil")) {
    return {};
  }
  char id[48];
  std::snprintf(id, sizeof id, "GUL_%p", static_cast<const void*>(interceptor.get()));
  interceptors().setObject(Value(std::static_pointer_cast<platform::Object>(
                               std::make_shared<GULZeroingWeakContainer>(interceptor))),
                           Value(std::string(id)));
  return id;
}

void GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    const std::string& interceptorID) {
  if (!LUMORA_CHECK(!interceptorID.empty(), "AppDelegateProxy: interceptor ID must not be empty")) {
    return;
  }
  Value entry = interceptors().objectForKey(Value(interceptorID));
  auto container = entry.asObjectOf<GULZeroingWeakContainer>();
  if (!container || container->object.expired()) {
    logSwizzler(GULLoggerLevelError, 1004,
                "AppDelegateProxy cannot unregister interceptor that was not registered. "
                "Interceptor ID " +
                    interceptorID);
    return;
  }
  interceptors().removeObjectForKey(Value(interceptorID));
}

void GULAppDelegateSwizzler::proxyOriginalDelegate() {
  if (GULAppEnvironmentUtil::isAppExtension()) return;
  proxyOnce().run([] { proxyAppDelegate(applicationDelegate()); });
}

void GULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
  if (GULAppEnvironmentUtil::isAppExtension()) return;
  proxyOriginalDelegate();
  remoteNotificationsOnce().run([] {
    auto& state = proxy();
    std::lock_guard lock(state.mutex);
    if (!state.originalDelegate || state.subclassName.empty()) return;
    state.realDidRegister =
        state.originalDelegate->didRegisterForRemoteNotificationsWithDeviceToken;
    state.realDidFail = state.originalDelegate->didFailToRegisterForRemoteNotificationsWithError;
    state.remoteNotificationsAdded = true;
    reassignAppDelegate(state.originalDelegate);
  });
}

GULApplicationDelegatePtr GULAppDelegateSwizzler::originalDelegate() {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  return state.originalDelegate;
}

void GULAppDelegateSwizzler::clearInterceptors() {
  interceptors().removeAllObjects();
}

void GULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
  proxyOnce().reset();
  remoteNotificationsOnce().reset();
}

void GULAppDelegateSwizzler::setApplicationDelegate(GULApplicationDelegatePtr delegate) {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  GULApplicationDelegatePtr old = std::move(state.applicationDelegate);
  state.applicationDelegate = std::move(delegate);
  // The observer: the application moved on from the proxied delegate.
  if (state.observing && old && old == state.originalDelegate && state.applicationDelegate != old) {
    state.originalDelegate = nullptr;
    state.observing = false;
  }
}

GULApplicationDelegatePtr GULAppDelegateSwizzler::applicationDelegate() {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  return state.applicationDelegate;
}

bool GULAppDelegateSwizzler::delegateRespondsToSelector(GULAppDelegateSelector selector) {
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  if (!state.applicationDelegate) return false;
  if (proxyIsActive(state)) {
    if (selector == GULAppDelegateSelector::ContinueUserActivity) return true;
    if (state.remoteNotificationsAdded) return true;
  }
  return state.applicationDelegate->respondsToSelector(selector);
}

bool GULAppDelegateSwizzler::application_continueUserActivity(
    const GULUserActivity& activity, const GULRestorationHandler& restorationHandler) {
  GULApplicationDelegatePtr delegate;
  bool proxied = false;
  decltype(GULApplicationDelegate::continueUserActivity) real;
  {
    auto& state = proxy();
    std::lock_guard lock(state.mutex);
    delegate = state.applicationDelegate;
    proxied = proxyIsActive(state);
    real = proxied ? state.realContinueUserActivity
                   : (delegate ? delegate->continueUserActivity : nullptr);
  }
  bool handled = false;
  if (proxied) {
    notifyInterceptors(
        GULAppDelegateSelector::ContinueUserActivity, [&](GULApplicationDelegate& interceptor) {
          const bool answer = interceptor.continueUserActivity(activity, restorationHandler);
          handled = handled || answer;
        });
  }
  if (real) {
    const bool answer = real(activity, restorationHandler);
    handled = handled || answer;
  }
  return handled;
}

namespace {

// Routes one remote-notification call: through the interceptors and then the delegate's own
// implementation while the proxy has added these calls, else to the delegate alone.
template <class Slot, class Arg>
void routeRemoteNotificationCall(GULAppDelegateSelector selector,
                                 Slot GULApplicationDelegate::*delegateSlot,
                                 Slot ProxyState::*realSlot, const Arg& argument) {
  bool routed = false;
  Slot real;
  {
    auto& state = proxy();
    std::lock_guard lock(state.mutex);
    routed = proxyIsActive(state) && state.remoteNotificationsAdded;
    if (routed) {
      real = state.*realSlot;
    } else if (state.applicationDelegate) {
      real = (*state.applicationDelegate).*delegateSlot;
    }
  }
  if (routed) {
    notifyInterceptors(selector, [&](GULApplicationDelegate& interceptor) {
      if (interceptor.*delegateSlot) (interceptor.*delegateSlot)(argument);
    });
  }
  if (real) real(argument);
}

}  // namespace

void GULAppDelegateSwizzler::application_didRegisterForRemoteNotificationsWithDeviceToken(
    const platform::Bytes& deviceToken) {
  routeRemoteNotificationCall(
      GULAppDelegateSelector::DidRegisterForRemoteNotifications,
      &GULApplicationDelegate::didRegisterForRemoteNotificationsWithDeviceToken,
      &ProxyState::realDidRegister, deviceToken);
}

void GULAppDelegateSwizzler::application_didFailToRegisterForRemoteNotificationsWithError(
    const platform::ErrorPtr& error) {
  routeRemoteNotificationCall(
      GULAppDelegateSelector::DidFailToRegisterForRemoteNotifications,
      &GULApplicationDelegate::didFailToRegisterForRemoteNotificationsWithError,
      &ProxyState::realDidFail, error);
}

void GULAppDelegateSwizzler::resetForTesting() {
  clearInterceptors();
  resetProxyOriginalDelegateOnceToken();
  auto& state = proxy();
  std::lock_guard lock(state.mutex);
  state.applicationDelegate = nullptr;
  state.originalDelegate = nullptr;
  state.realClassName.clear();
  state.subclassName.clear();
  state.observing = false;
  state.remoteNotificationsAdded = false;
  state.realContinueUserActivity = nullptr;
  state.realDidRegister = nullptr;
  state.realDidFail = nullptr;
}
