#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"

#include <cstdio>
#include <string>

#include "plugins/pigeon/pigeon_codec.h"
#include "plugins/pigeon/pigeon_values.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

namespace {

void printLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// The default textual form of a value and the name of its type, for "Unsupported value: ".
std::string describe(const platform::Value& value) {
  if (auto object = value.ifObject()) {
    return (*object)->debugDescription() + " of " + (*object)->className();
  }
  return value.debugString() + " of " + (value.isDate() ? "Date" : "Value");
}

[[noreturn]] void refuseUnsupported(const platform::Value& value) {
  const std::string line = "Unsupported value: " + describe(value);
  printLine(line);
  throw pigeon::EncodingRefusal(pigeon::PigeonError("encoding-error", line, platform::Value()));
}

// The native object that stands for `value`: the object itself, or a new wrapper.
InstanceManager::ObjectPtr nativeObjectFor(const platform::Value& value) {
  if (auto object = value.asObjectOf<platform::webkit::NativeObject>()) return object;
  if (auto error = value.ifError()) return std::make_shared<ErrorObject>(*error);
  return std::make_shared<ValueObject>(value);
}

}  // namespace

std::shared_ptr<const flutter::StandardMessageCodec> makeProxyApiCodec(ProxyApiCodecHost& host) {
  auto write = [&host](const platform::Value& value, const InstanceManager::ObjectPtr& object) {
    auto& manager = host.instanceManager();
    // A known object (the common case) is written at once, held strongly again.
    if (auto known = manager.identifierWithStrongReference(object)) return platform::Value(*known);
    if (host.ignoreCallsToDart()) {
      throw pigeon::EncodingRefusal(pigeon::PigeonError(
          "ignore-calls-error", "Calls to Dart are being ignored.", platform::Value("")));
    }
    auto identifier = host.announce(object);
    // Known meanwhile: registered from another thread since the lookup above.
    if (!identifier) identifier = manager.identifierWithStrongReference(object);
    // Only objects the application's code created can lack an announcement; one that is not
    // registered has no identifier to write.
    if (!identifier) refuseUnsupported(value);
    return platform::Value(*identifier);
  };
  auto toWire = [write](const platform::Value& value) {
    return write(value, nativeObjectFor(value));
  };
  // For values the first entry matched: an engine object needs no second type test.
  auto toWireNative = [write](const platform::Value& value) {
    if (auto object = value.ifObject()) {
      return write(value, std::static_pointer_cast<platform::webkit::NativeObject>(*object));
    }
    return write(value, nativeObjectFor(value));
  };
  auto fromWire = [&host](const platform::Value& wire) {
    if (!wire.isInt()) {
      printLine("Failed to find instance with identifier: " + wire.debugString());
      return platform::Value();
    }
    if (auto object = host.instanceManager().instance(wire.asInt())) {
      return platform::Value(platform::ObjectPtr(std::move(object)));
    }
    printLine("Failed to find instance with identifier: " + std::to_string(wire.asInt()));
    return platform::Value();
  };
  // Engine objects, errors and dates are tested first: they are most of what is written, and
  // no enumeration value is one of them.
  pigeon::CodecEntry native{kProxyReferenceType,
                            [](const platform::Value& value) {
                              if (value.isError() || value.isDate()) return true;
                              auto object = value.ifObject();
                              return object && dynamic_cast<const platform::webkit::NativeObject*>(
                                                   object->get()) != nullptr;
                            },
                            toWireNative, fromWire};
  // After the enumerations: any other object becomes an "NSObject" instance.
  pigeon::CodecEntry other{kProxyReferenceType, [](const platform::Value&) { return true; }, toWire,
                           fromWire};
  return WebKitLibraryPigeonCodec::builder()
      .addTypeFirst(std::move(native))
      .addType(std::move(other))
      .build();
}

}  // namespace webview
