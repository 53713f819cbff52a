// The native side of the bridge's root interface, NSObject: the key-value observer the
// application's code creates (NSObjectImpl) and the registration of observations on any
// proxied object. handleObserveValue() is the one road from a change notification to the
// application's "NSObject.observeValue"; the web view forwards its own observations through it.
//
// Main thread: registrations are made there, and observeValue always reaches the application's
// code from a later main-loop turn, whatever thread the change came from.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/webkit/native_object.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class ProxyApiRegistrar;

class NSObjectImpl : public platform::webkit::NativeObject {
 public:
  // The registrar is held weakly: once it is gone, notifications send nothing.
  explicit NSObjectImpl(const std::shared_ptr<ProxyApiRegistrar>& registrar)
      : registrar_(registrar) {}

  void observeValue(const std::string& keyPath,
                    const std::shared_ptr<platform::webkit::NativeObject>& object,
                    const platform::ValueMap& change) override;

  // Translates the change dictionary's keys to KeyValueChangeKey (values unchanged) and, on a
  // later main-loop turn, calls "NSObject.observeValue" [instance, keyPath, object, change];
  // a failure is logged under "NSObject.observeValue".
  static void handleObserveValue(const std::weak_ptr<ProxyApiRegistrar>& registrar,
                                 const platform::webkit::NativeObjectPtr& instance,
                                 const std::optional<std::string>& keyPath,
                                 const platform::webkit::NativeObjectPtr& object,
                                 const std::optional<platform::ValueMap>& change);

 private:
  std::weak_ptr<ProxyApiRegistrar> registrar_;
};

// The option bits a list of options stands for (0 for none; duplicates change nothing).
std::uint64_t keyValueObservingOptionsMask(const std::vector<KeyValueObservingOptions>& options);
// The KeyValueChangeKey a change dictionary key stands for (unknown for any other key).
KeyValueChangeKey keyValueChangeKey(const platform::Value& key);

class NSObjectProxyAPIDelegate : public PigeonApiDelegateNSObject {
 public:
  platform::webkit::NativeObjectPtr pigeonDefaultConstructor(PigeonApiNSObject& pigeonApi) override;
  void addObserver(PigeonApiNSObject& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance,
                   const platform::webkit::NativeObjectPtr& observer, const std::string& keyPath,
                   const std::vector<KeyValueObservingOptions>& options) override;
  // Removing an observation that was never added (or was removed already) is refused with
  // "observer-not-registered-error" naming the observer and the key path; nothing changes.
  void removeObserver(PigeonApiNSObject& pigeonApi,
                      const platform::webkit::NativeObjectPtr& pigeonInstance,
                      const platform::webkit::NativeObjectPtr& observer,
                      const std::string& keyPath) override;
};

}  // namespace webview
