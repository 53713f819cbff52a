// The proxy codec of every web view API channel: the plugin's enumeration codec plus type byte
// 128, a reference to a proxied object written as its instance identifier.
//
// Writing a native object announces it first when the instance manager does not know it yet,
// so the application's code always hears of an object before a message refers to it. Values the
// standard codec cannot carry travel as objects too: a platform error as an "NSError" instance,
// a date or any other object as an "NSObject" one. A value that cannot be written prints
// "Unsupported value: ..." and refuses the whole message (a reply becomes "encoding-error");
// a native object met for the first time while calls toward the application's code are ignored
// refuses it with "ignore-calls-error". Reading 128 gives the registered object, or (after a
// printed line) no value. The codec holds no state; it is as thread-safe as its host.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/engine/standard_codec.h"
#include "platform/webkit/native_object.h"
#include "plugins/webview_flutter_wkwebview/instance_manager.h"

namespace webview {

// What the proxy codec needs of the registrar, which outlives every codec made over it.
class ProxyApiCodecHost {
 public:
  virtual ~ProxyApiCodecHost() = default;
  virtual InstanceManager& instanceManager() = 0;
  virtual bool ignoreCallsToDart() const = 0;
  // Announces an object the instance manager does not contain yet: registers it and sends its
  // "pigeon_newInstance", ignoring the outcome, and returns the identifier it registered. Does
  // nothing (and returns none) while calls are ignored or when the object is known already.
  virtual std::optional<std::int64_t> announce(const InstanceManager::ObjectPtr& object) = 0;
};

// A platform error carried as a proxied "NSError" instance.
class ErrorObject : public platform::webkit::NativeObject {
 public:
  explicit ErrorObject(platform::ErrorPtr error) : error(std::move(error)) {}
  std::string className() const override { return "NSError"; }
  const platform::ErrorPtr error;
};

// Any other value the standard codec cannot carry (a date, a foreign object), as an "NSObject".
class ValueObject : public platform::webkit::NativeObject {
 public:
  explicit ValueObject(platform::Value value) : value(std::move(value)) {}
  const platform::Value value;
};

// Type byte of proxy references.
inline constexpr std::uint8_t kProxyReferenceType = 128;

std::shared_ptr<const flutter::StandardMessageCodec> makeProxyApiCodec(ProxyApiCodecHost& host);

}  // namespace webview
