#include "plugins/webview_flutter_wkwebview/object_proxy_api_delegates.h"

#include "plugins/pigeon/pigeon_values.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

using platform::Value;
namespace kvo = platform::webkit::key_value_observing;

std::uint64_t keyValueObservingOptionsMask(const std::vector<KeyValueObservingOptions>& options) {
  std::uint64_t mask = 0;
  for (auto option : options) {
    switch (option) {
    case KeyValueObservingOptions::newValue:
      mask |= kvo::kNew;
      break;
    case KeyValueObservingOptions::oldValue:
      mask |= kvo::kOld;
      break;
    case KeyValueObservingOptions::initialValue:
      mask |= kvo::kInitial;
      break;
    case KeyValueObservingOptions::priorNotification:
      mask |= kvo::kPrior;
      break;
    }
  }
  return mask;
}

KeyValueChangeKey keyValueChangeKey(const Value& key) {
  if (!key.isString()) return KeyValueChangeKey::unknown;
  const std::string& text = key.asString();
  if (text == kvo::kIndexesKey) return KeyValueChangeKey::indexes;
  if (text == kvo::kKindKey) return KeyValueChangeKey::kind;
  if (text == kvo::kNewKey) return KeyValueChangeKey::newValue;
  if (text == kvo::kNotificationIsPriorKey) return KeyValueChangeKey::notificationIsPrior;
  if (text == kvo::kOldKey) return KeyValueChangeKey::oldValue;
  return KeyValueChangeKey::unknown;
}

void NSObjectImpl::observeValue(const std::string& keyPath,
                                const std::shared_ptr<platform::webkit::NativeObject>& object,
                                const platform::ValueMap& change) {
  handleObserveValue(registrar_, shared_from_this(), keyPath, object, change);
}

void NSObjectImpl::handleObserveValue(const std::weak_ptr<ProxyApiRegistrar>& registrar,
                                      const platform::webkit::NativeObjectPtr& instance,
                                      const std::optional<std::string>& keyPath,
                                      const platform::webkit::NativeObjectPtr& object,
                                      const std::optional<platform::ValueMap>& change) {
  auto strongRegistrar = registrar.lock();
  if (!strongRegistrar) return;
  std::optional<platform::ValueMap> translated;
  if (change) {
    translated.emplace();
    // Two keys outside the table would both become `unknown`: the first one's value is kept.
    for (const auto& [key, value] : *change)
      translated->emplace(pigeon::enumValue(keyValueChangeKey(key)), value);
  }
  // The observer is held weakly until the task runs: an observer released meanwhile is simply
  // not in the instance manager any more, which observeValue reports.
  std::weak_ptr<platform::webkit::NativeObject> weakInstance = instance;
  strongRegistrar->dispatchOnMainThread(
      [registrar, weakInstance, keyPath, object,
       translated = std::move(translated)](const ProxyApiRegistrar::FailureReporter& onFailure) {
        auto live = registrar.lock();
        if (!live || !live->apis().NSObject) return;
        auto observer = weakInstance.lock();
        if (!observer) {
          onFailure("NSObject.observeValue",
                    pigeon::PigeonError("missing-instance-error",
                                        "Callback to `NSObject.observeValue` failed because "
                                        "native instance was not in the instance manager.",
                                        Value("")));
          return;
        }
        live->apis().NSObject->observeValue(observer, keyPath, object, translated,
                                            [onFailure](const pigeon::CallResult& result) {
                                              if (result.error)
                                                onFailure("NSObject.observeValue", *result.error);
                                            });
      });
}

platform::webkit::NativeObjectPtr
NSObjectProxyAPIDelegate::pigeonDefaultConstructor(PigeonApiNSObject& pigeonApi) {
  return std::make_shared<NSObjectImpl>(pigeonApi.pigeonRegistrar.shared_from_this());
}

void NSObjectProxyAPIDelegate::addObserver(PigeonApiNSObject& /*pigeonApi*/,
                                           const platform::webkit::NativeObjectPtr& pigeonInstance,
                                           const platform::webkit::NativeObjectPtr& observer,
                                           const std::string& keyPath,
                                           const std::vector<KeyValueObservingOptions>& options) {
  pigeonInstance->addObserver(observer, keyPath, keyValueObservingOptionsMask(options));
}

void NSObjectProxyAPIDelegate::removeObserver(
    PigeonApiNSObject& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    const platform::webkit::NativeObjectPtr& observer, const std::string& keyPath) {
  if (!pigeonInstance->removeObserver(*observer, keyPath)) {
    throw pigeon::PigeonError("observer-not-registered-error",
                              "Cannot remove an observer " + observer->debugDescription() +
                                  " for the key path \"" + keyPath + "\" from " +
                                  pigeonInstance->debugDescription() +
                                  " because it is not registered as an observer.",
                              Value());
  }
}

}  // namespace webview
