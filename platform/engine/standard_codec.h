// The standard message codec: turns platform::Value into the engine's binary message format and
// back, byte for byte. Plugins extend it with their own type bytes (128 and up) by subclassing
// StandardWriter / StandardReader and handing a StandardReaderWriter to codecWithReaderWriter.
//
// Format: one type byte per value (0 null, 1 true, 2 false, 3 int32, 4 int64, 6 float64,
// 7 string, 8 uint8 list, 9 int32 list, 10 int64 list, 11 float64 list, 12 list, 13 map,
// 14 float32 list); sizes below 254 in one byte, else 254 + uint16, else 255 + uint32; all
// little-endian; float64 values and typed-list elements aligned to their element size from the
// start of the message. Integers are written as int32 when they fit, else int64.
//
// Codecs are immutable and may be shared by any number of threads. A reader or writer belongs
// to the one encode/decode call that made it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/core/value.h"

namespace flutter {

// Raised inside readers and writers when a message is malformed or a value has no encoding.
// Codec entry points (encode/decode) catch it; plugin reader/writer subclasses may throw it.
class CodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Standard type bytes.
enum class StandardField : std::uint8_t {
  Nil = 0,
  True = 1,
  False = 2,
  Int32 = 3,
  Int64 = 4,
  Float64 = 6,
  String = 7,
  UInt8Data = 8,
  Int32Data = 9,
  Int64Data = 10,
  Float64Data = 11,
  List = 12,
  Map = 13,
  Float32Data = 14,
};

// Nesting deeper than this is refused when reading (untrusted input must not exhaust the stack).
inline constexpr int kMaxCodecNestingDepth = 128;

// Decoding memory is bounded by the message size: a reader refuses a message once the values it
// has built would take more than this many bytes per message byte (plus the floor below, so
// small messages never meet the bound). A list of nulls, the densest flat message, takes about
// 40 bytes of values per byte; only nested shapes that cost more per byte (lists of tiny maps)
// are refused.
inline constexpr std::size_t kMaxDecodedBytesPerMessageByte = 48;
inline constexpr std::size_t kMinDecodedBytesBound = 1u << 20;

class StandardWriter {
 public:
  explicit StandardWriter(platform::Bytes& data) : data_(data) {}
  virtual ~StandardWriter() = default;

  // Writes one value. Subclasses override it to write their own kinds under type bytes from 128
  // and hand everything else to StandardWriter::writeValue. Lists and maps call writeValue for
  // each element, so plugin values nested inside standard containers reach the override.
  // Throws CodecError for a value with no encoding (dates, errors, unknown objects).
  virtual void writeValue(const platform::Value& value);

  void writeByte(std::uint8_t byte) { data_.push_back(byte); }
  void writeBytes(const void* bytes, std::size_t length);
  void writeSize(std::size_t size);
  void writeAlignment(std::size_t alignment);
  void writeUTF8(std::string_view text);

 protected:
  platform::Bytes& data() { return data_; }

 private:
  platform::Bytes& data_;
};

class StandardReader {
 public:
  // Reads from `data`, which must outlive the reader.
  StandardReader(const std::uint8_t* data, std::size_t length)
      : data_(data), length_(length),
        memoryLeft_(kMinDecodedBytesBound + kMaxDecodedBytesPerMessageByte * length) {}
  virtual ~StandardReader() = default;

  // Reads one type byte and then the value of that type (through readValueOfType).
  platform::Value readValue();
  // Subclasses override to read their own type bytes and hand the rest to the base, which throws
  // CodecError for a type byte it does not know.
  virtual platform::Value readValueOfType(std::uint8_t type);

  bool hasMore() const { return position_ < length_; }
  std::size_t position() const { return position_; }
  std::size_t remaining() const { return length_ - position_; }
  std::uint8_t readByte() {
    if (position_ >= length_) throwEndOfMessage();
    return data_[position_++];
  }
  void readBytes(void* destination, std::size_t length);
  std::size_t readSize() {
    std::uint8_t byte = readByte();
    if (byte < 254) return byte;
    return readLongSize(byte);
  }
  // One fixed-size little-endian scalar (the wire order is the machine's).
  template <class T> T readScalar() {
    T value;
    if (sizeof(T) > length_ - position_) throwEndOfMessage();
    std::memcpy(&value, data_ + position_, sizeof(T));
    position_ += sizeof(T);
    return value;
  }
  void readAlignment(std::size_t alignment);
  std::string readUTF8();
  // Counts `bytes` of memory about to be taken by decoded values against the reader's bound
  // (see kMaxDecodedBytesPerMessageByte); throws CodecError past it. Plugin readers call it for
  // large values of their own.
  void chargeMemory(std::size_t bytes) {
    if (bytes > memoryLeft_) throwMemoryBound();
    memoryLeft_ -= bytes;
  }

 private:
  [[noreturn]] static void throwEndOfMessage();
  [[noreturn]] static void throwMemoryBound();
  std::size_t readLongSize(std::uint8_t marker);
  [[gnu::noinline]] platform::Value readList();
  [[gnu::noinline]] platform::Value readMap();
  // True when the elements of a container at the current depth may be read by readElement's
  // own switch: this reader is no subclass (whose readValueOfType could read any type byte its
  // own way) and the elements are not nested too deeply.
  bool elementsReadInline() const;
  // One element of a container: readValue, with the scalars of the format read in place when
  // `inlineScalars` (see elementsReadInline).
  platform::Value readElement(bool inlineScalars);
  struct ElementFrom;

  const std::uint8_t* data_;
  std::size_t length_;
  std::size_t position_ = 0;
  int depth_ = 0;
  std::size_t memoryLeft_;
};

// Makes the reader and writer of a codec. Plugins subclass it to return their own.
class StandardReaderWriter {
 public:
  virtual ~StandardReaderWriter() = default;
  virtual std::unique_ptr<StandardWriter> writerWithData(platform::Bytes& data) const;
  virtual std::unique_ptr<StandardReader> readerWithData(const platform::Bytes& data) const;
};

// Encodes values into messages and back.
class MessageCodec {
 public:
  virtual ~MessageCodec() = default;
  // A null value encodes to the empty message. Throws CodecError for an unencodable value.
  virtual platform::Bytes encode(const platform::Value& value) const = 0;
  // The empty message decodes to null. A malformed message yields nullopt and, when `error` is
  // given, a description of what was wrong.
  virtual std::optional<platform::Value> decode(const platform::Bytes& message,
                                                std::string* error = nullptr) const = 0;
};
using MessageCodecPtr = std::shared_ptr<const MessageCodec>;

class StandardMessageCodec : public MessageCodec {
 public:
  explicit StandardMessageCodec(std::shared_ptr<const StandardReaderWriter> readerWriter);

  // The codec with only the standard types, created once.
  static std::shared_ptr<const StandardMessageCodec> sharedInstance();
  static std::shared_ptr<const StandardMessageCodec>
  codecWithReaderWriter(std::shared_ptr<const StandardReaderWriter> readerWriter);

  platform::Bytes encode(const platform::Value& value) const override;
  std::optional<platform::Value> decode(const platform::Bytes& message,
                                        std::string* error = nullptr) const override;

  const StandardReaderWriter& readerWriter() const { return *readerWriter_; }

 private:
  std::shared_ptr<const StandardReaderWriter> readerWriter_;
};

// Typed data (the engine's typed-data object) is carried by the typed-list kinds of
// platform::Value: Bytes for uint8, Int32List, Int64List, Float32List, Float64List.
inline platform::Value typedDataWithBytes(platform::Bytes bytes) {
  return platform::Value(std::move(bytes));
}
inline platform::Value typedDataWithInt32(platform::Int32List values) {
  return platform::Value(std::move(values));
}
inline platform::Value typedDataWithInt64(platform::Int64List values) {
  return platform::Value(std::move(values));
}
inline platform::Value typedDataWithFloat32(platform::Float32List values) {
  return platform::Value(std::move(values));
}
inline platform::Value typedDataWithFloat64(platform::Float64List values) {
  return platform::Value(std::move(values));
}

}  // namespace flutter
