// Test helper: the application side's view of the bridge's messages. References decode as Ref
// values (the identifier the application's code holds), enumerations as they travel.
// Test-only.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/standard_codec.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview::for_testing {

// A proxy reference as the application's code holds it.
class Ref : public platform::Object {
 public:
  explicit Ref(std::int64_t id) : id(id) {}
  std::string className() const override { return "Ref"; }
  std::string debugDescription() const override { return "ref(" + std::to_string(id) + ")"; }
  bool isEqual(const platform::Object& other) const override {
    auto* r = dynamic_cast<const Ref*>(&other);
    return r && r->id == id;
  }
  std::strong_ordering compareObject(const platform::Object& other) const override {
    return id <=> static_cast<const Ref&>(other).id;
  }
  const std::int64_t id;
};

inline platform::Value ref(std::int64_t id) {
  return platform::Value(std::make_shared<Ref>(id));
}

// The application side's codec: enumerations, and references as Ref values.
inline std::shared_ptr<const flutter::StandardMessageCodec> applicationCodec() {
  pigeon::CodecEntry entry;
  entry.typeByte = 128;
  entry.matches = [](const platform::Value& v) { return v.asObjectOf<Ref>() != nullptr; };
  entry.toWire = [](const platform::Value& v) { return platform::Value(v.asObjectOf<Ref>()->id); };
  entry.fromWire = [](const platform::Value& wire) { return ref(wire.asInt()); };
  static const auto codec = WebKitLibraryPigeonCodec::builder().addType(std::move(entry)).build();
  return codec;
}

}  // namespace webview::for_testing
