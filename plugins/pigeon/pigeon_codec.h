// Builds a plugin's codec: the standard codec plus the plugin's records and enumerations under
// type bytes from 129 (128 is the web view's proxy references), in the order of its codec table.
//
// An enumeration value is written as its type byte followed by its raw value as a standard
// integer; reading an integer that is not one of the raw values (or nil) gives no value. A
// record is written as its type byte followed by the standard list of its fields; a list that
// is not one, or that the record refuses, makes the whole message malformed. The built codec
// is immutable and thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/engine/method_codec.h"
#include "platform/engine/standard_codec.h"
#include "plugins/pigeon/pigeon_error.h"
#include "plugins/pigeon/pigeon_values.h"

namespace pigeon {

// Thrown by a codec's writer that refuses a value on purpose and names the failure to report in
// its place: the message is not sent, and a reply becomes `error`. Unlike other encoding
// failures it is no programming error of the sender.
class EncodingRefusal : public flutter::CodecError {
 public:
  explicit EncodingRefusal(PigeonError error)
      : flutter::CodecError(error.message.value_or(error.code)), error(std::move(error)) {}
  PigeonError error;
};

// One extra type of a plugin codec.
struct CodecEntry {
  std::uint8_t typeByte = 0;
  // True for the values this entry writes. Only objects, dates and errors (the values the
  // standard codec cannot carry) are offered to entries.
  std::function<bool(const platform::Value&)> matches;
  // The standard value written after the type byte.
  std::function<platform::Value(const platform::Value&)> toWire;
  // The value read back from what followed the type byte; throws flutter::CodecError when the
  // wire value is malformed.
  std::function<platform::Value(const platform::Value&)> fromWire;
};

class PigeonCodecBuilder {
 public:
  // Enumeration `E` under `typeByte`; `isRawValue` tells the raw values of `E` apart.
  template <class E>
  PigeonCodecBuilder& addEnum(std::uint8_t typeByte, std::function<bool(std::int64_t)> isRawValue) {
    entries_.push_back(CodecEntry{
        typeByte, [](const platform::Value& v) { return v.asObjectOf<EnumValue<E>>() != nullptr; },
        [](const platform::Value& v) {
          return platform::Value(v.asObjectOf<EnumValue<E>>()->rawValue());
        },
        [isRawValue](const platform::Value& wire) {
          if (!wire.isInt() || !isRawValue(wire.asInt())) return platform::Value();
          return enumValue(static_cast<E>(wire.asInt()));
        }});
    return *this;
  }

  // Record `T` (a PigeonRecord) under `typeByte`. `T::fromList(const platform::ValueList&)`
  // returns the record, or null when the list is too short or a required field has another type.
  template <class T> PigeonCodecBuilder& addRecord(std::uint8_t typeByte) {
    entries_.push_back(CodecEntry{
        typeByte, [](const platform::Value& v) { return v.asObjectOf<T>() != nullptr; },
        [](const platform::Value& v) { return platform::Value(v.asObjectOf<T>()->toList()); },
        [typeByte](const platform::Value& wire) {
          std::shared_ptr<T> record;
          if (auto list = wire.ifList()) record = T::fromList(*list);
          if (!record) {
            throw flutter::CodecError("malformed record under type byte " +
                                      std::to_string(typeByte));
          }
          return platform::Value(platform::ObjectPtr(std::move(record)));
        }});
    return *this;
  }

  // Any other extra type (for example references to proxied instances).
  PigeonCodecBuilder& addType(CodecEntry entry) {
    entries_.push_back(std::move(entry));
    return *this;
  }
  // The same, tested before every entry added so far: for a type whose values are common and
  // cheap to recognise, so that writing them skips the other entries' tests. Its values must
  // match none of the other entries.
  PigeonCodecBuilder& addTypeFirst(CodecEntry entry) {
    entries_.insert(entries_.begin(), std::move(entry));
    return *this;
  }

  std::shared_ptr<const flutter::StandardReaderWriter> buildReaderWriter() const;
  std::shared_ptr<const flutter::StandardMessageCodec> build() const;
  std::shared_ptr<const flutter::StandardMethodCodec> buildMethodCodec() const;

 private:
  std::vector<CodecEntry> entries_;
};

}  // namespace pigeon
