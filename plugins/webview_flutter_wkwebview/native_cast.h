// Typed access to the engine objects the generated handlers hand the API delegates. The
// handlers have checked each receiver's and argument's class already, so a mismatch here means
// a class was registered under the wrong name: it is refused as a malformed request.
#pragma once

#include <memory>

#include "platform/webkit/native_object.h"
#include "plugins/pigeon/pigeon_channel.h"

namespace webview {

template <class T> T& nativeAs(const platform::webkit::NativeObjectPtr& object) {
  auto* typed = dynamic_cast<T*>(object.get());
  if (!typed) {
    throw pigeon::ArgumentError("an instance of " + (object ? object->className() : "nothing") +
                                " where another class was expected");
  }
  return *typed;
}

template <class T> std::shared_ptr<T> nativeCast(const platform::webkit::NativeObjectPtr& object) {
  return std::static_pointer_cast<T>(nativeAs<T>(object).shared_from_this());
}

}  // namespace webview
