// The JSON form of channel values used by lumora-peer, and the peer's codec.
//
// null, booleans, strings and lists map to their JSON kinds. Integers stay JSON integers and
// doubles always carry a fraction or exponent ("1.0"), so the two never mix; non-finite doubles
// are {"$double": "NaN" | "Infinity" | "-Infinity"}. A map whose keys are all strings not
// starting with "$" is a JSON object; any other map is {"$map": [[key, value], ...]}. Typed data:
// {"$uint8": "<hex>"}, {"$int32": [...]}, {"$int64": [...]}, {"$float32": [...]},
// {"$float64": [...]}. A value under a plugin type byte (128 and up) is
// {"$ext": <type byte>, "value": <the standard value that follows it>}.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/core/value.h"
#include "platform/engine/method_codec.h"
#include "platform/engine/standard_codec.h"

namespace lumora::peer {

// A value the peer cannot interpret: a plugin type byte and the standard value after it.
class ExtensionValue : public platform::Object {
 public:
  ExtensionValue(std::uint8_t typeByte, platform::Value value)
      : typeByte(typeByte), value(std::move(value)) {}
  bool isEqual(const platform::Object& other) const override;
  // By type byte, then value: the order agrees with isEqual, so equal values are one map key.
  std::strong_ordering compareObject(const platform::Object& other) const override;
  std::size_t hash() const override;
  std::string debugDescription() const override;

  const std::uint8_t typeByte;
  const platform::Value value;
};

// The standard codec plus ExtensionValue for every type byte from 128.
std::shared_ptr<const flutter::StandardMessageCodec> peerCodec();
std::shared_ptr<const flutter::StandardMethodCodec> peerMethodCodec();

nlohmann::json toJson(const platform::Value& value);
// Throws std::invalid_argument naming the problem for a form that is not a value.
platform::Value fromJson(const nlohmann::json& json);

std::string toHex(const platform::Bytes& bytes);
// None for an odd length or a character that is not a hex digit (spaces are skipped).
std::optional<platform::Bytes> fromHex(const std::string& text);

}  // namespace lumora::peer
