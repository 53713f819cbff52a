#include "platform/engine/standard_codec.h"

#include <cstring>
#include <limits>
#include <string>
#include <typeinfo>

namespace flutter {

namespace {

// What the allocator adds to each block (its header and rounding), for the memory bound.
constexpr std::size_t kAllocationOverhead = 16;
// What a map and each of its entries are charged against the memory bound. An entry takes its
// key and value in the map's one block; the charges are set above that, so that messages of many
// tiny maps, the cheapest way to make a small message expand, stay refused.
constexpr std::size_t kMapBytes = 48 + kAllocationOverhead;
constexpr std::size_t kMapEntryBytes =
    sizeof(platform::ValueMap::value_type) + 32 + kAllocationOverhead;

// The longest string kept inside std::string itself, without an allocation.
constexpr std::size_t kInlineStringLength = 15;

template <class T> void writeScalar(StandardWriter& writer, T value) {
  // The wire is little-endian, as is every machine we build for.
  writer.writeBytes(&value, sizeof(T));
}

template <class List>
void writeTypedList(StandardWriter& writer, StandardField field, const List& list) {
  using Element = typename List::value_type;
  writer.writeByte(static_cast<std::uint8_t>(field));
  writer.writeSize(list.size());
  writer.writeAlignment(sizeof(Element));
  if (!list.empty()) writer.writeBytes(list.data(), list.size() * sizeof(Element));
}

template <class List> platform::Value readTypedList(StandardReader& reader) {
  using Element = typename List::value_type;
  std::size_t count = reader.readSize();
  reader.readAlignment(sizeof(Element));
  // Check against what is left before allocating, so a forged count cannot exhaust memory.
  if (count > reader.remaining() / sizeof(Element))
    throw CodecError("typed list runs past the end");
  reader.chargeMemory(count * sizeof(Element) + kAllocationOverhead);
  List list(count);
  if (count > 0) reader.readBytes(list.data(), count * sizeof(Element));
  return platform::Value(std::move(list));
}

// position % alignment. The format only aligns to element sizes (powers of two), which take a
// mask instead of a division; any other alignment a plugin asks for still works, and an
// alignment of 0 asks for none.
inline std::size_t alignmentRemainder(std::size_t position, std::size_t alignment) {
  if (alignment <= 1) return 0;
  if ((alignment & (alignment - 1)) == 0) return position & (alignment - 1);
  return position % alignment;
}

// Keeps the nesting depth of one reader bounded.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) {
    if (++depth_ > kMaxCodecNestingDepth) {
      --depth_;
      throw CodecError("nesting too deep");
    }
  }
  ~DepthGuard() { --depth_; }

 private:
  int& depth_;
};

}  // namespace

// ---- Writer --------------------------------------------------------------------------------

void StandardWriter::writeBytes(const void* bytes, std::size_t length) {
  auto p = static_cast<const std::uint8_t*>(bytes);
  data_.insert(data_.end(), p, p + length);
}

void StandardWriter::writeSize(std::size_t size) {
  if (size < 254) {
    writeByte(static_cast<std::uint8_t>(size));
  } else if (size <= 0xffff) {
    writeByte(254);
    writeScalar<std::uint16_t>(*this, static_cast<std::uint16_t>(size));
  } else if (size <= 0xffffffffu) {
    writeByte(255);
    writeScalar<std::uint32_t>(*this, static_cast<std::uint32_t>(size));
  } else {
    throw CodecError("value too large for the message format");
  }
}

void StandardWriter::writeAlignment(std::size_t alignment) {
  std::size_t mod = alignmentRemainder(data_.size(), alignment);
  if (mod != 0) data_.insert(data_.end(), alignment - mod, 0);
}

void StandardWriter::writeUTF8(std::string_view text) {
  writeSize(text.size());
  writeBytes(text.data(), text.size());
}

void StandardWriter::writeValue(const platform::Value& value) {
  using platform::ValueKind;
  switch (value.kind()) {
  case ValueKind::Null:
    writeByte(static_cast<std::uint8_t>(StandardField::Nil));
    return;
  case ValueKind::Bool:
    writeByte(
        static_cast<std::uint8_t>(value.asBool() ? StandardField::True : StandardField::False));
    return;
  case ValueKind::Int: {
    std::int64_t i = value.asInt();
    if (i >= std::numeric_limits<std::int32_t>::min() &&
        i <= std::numeric_limits<std::int32_t>::max()) {
      writeByte(static_cast<std::uint8_t>(StandardField::Int32));
      writeScalar<std::int32_t>(*this, static_cast<std::int32_t>(i));
    } else {
      writeByte(static_cast<std::uint8_t>(StandardField::Int64));
      writeScalar<std::int64_t>(*this, i);
    }
    return;
  }
  case ValueKind::Double:
    writeByte(static_cast<std::uint8_t>(StandardField::Float64));
    writeAlignment(8);
    writeScalar<double>(*this, value.asDouble());
    return;
  case ValueKind::String:
    writeByte(static_cast<std::uint8_t>(StandardField::String));
    writeUTF8(value.asString());
    return;
  case ValueKind::Bytes: {
    const auto& bytes = value.asBytes();
    writeByte(static_cast<std::uint8_t>(StandardField::UInt8Data));
    writeSize(bytes.size());
    writeBytes(bytes.data(), bytes.size());
    return;
  }
  case ValueKind::Int32List:
    writeTypedList(*this, StandardField::Int32Data, *value.ifInt32List());
    return;
  case ValueKind::Int64List:
    writeTypedList(*this, StandardField::Int64Data, *value.ifInt64List());
    return;
  case ValueKind::Float32List:
    writeTypedList(*this, StandardField::Float32Data, *value.ifFloat32List());
    return;
  case ValueKind::Float64List:
    writeTypedList(*this, StandardField::Float64Data, *value.ifFloat64List());
    return;
  case ValueKind::List: {
    const auto& list = value.asList();
    writeByte(static_cast<std::uint8_t>(StandardField::List));
    writeSize(list.size());
    for (const auto& item : list)
      writeValue(item);
    return;
  }
  case ValueKind::Map: {
    const auto& map = value.asMap();
    writeByte(static_cast<std::uint8_t>(StandardField::Map));
    writeSize(map.size());
    for (const auto& [k, v] : map) {
      writeValue(k);
      writeValue(v);
    }
    return;
  }
  case ValueKind::Date:
  case ValueKind::Error:
  case ValueKind::Object:
    break;
  }
  throw CodecError(std::string("unsupported value for the standard codec: ") +
                   platform::valueKindName(value.kind()));
}

// ---- Reader --------------------------------------------------------------------------------

void StandardReader::throwEndOfMessage() {
  throw CodecError("message ends early");
}

void StandardReader::throwMemoryBound() {
  throw CodecError("message expands past the decoding memory bound");
}

void StandardReader::readBytes(void* destination, std::size_t length) {
  if (length > length_ - position_) throw CodecError("message ends early");
  if (length > 0) std::memcpy(destination, data_ + position_, length);
  position_ += length;
}

std::size_t StandardReader::readLongSize(std::uint8_t marker) {
  if (marker == 254) return readScalar<std::uint16_t>();
  return readScalar<std::uint32_t>();
}

void StandardReader::readAlignment(std::size_t alignment) {
  std::size_t mod = alignmentRemainder(position_, alignment);
  if (mod == 0) return;
  std::size_t skip = alignment - mod;
  if (skip > length_ - position_) throw CodecError("message ends early");
  position_ += skip;
}

std::string StandardReader::readUTF8() {
  std::size_t size = readSize();
  if (size > length_ - position_) throw CodecError("string runs past the end");
  // Short strings live inside the value itself.
  if (size > kInlineStringLength) chargeMemory(size + 1 + kAllocationOverhead);
  std::string s(reinterpret_cast<const char*>(data_ + position_), size);
  position_ += size;
  return s;
}

platform::Value StandardReader::readValue() {
  DepthGuard guard(depth_);
  return readValueOfType(readByte());
}

platform::Value StandardReader::readValueOfType(std::uint8_t type) {
  switch (static_cast<StandardField>(type)) {
  case StandardField::Nil:
    return platform::Value();
  case StandardField::True:
    return platform::Value(true);
  case StandardField::False:
    return platform::Value(false);
  case StandardField::Int32:
    return platform::Value(readScalar<std::int32_t>());
  case StandardField::Int64:
    return platform::Value(readScalar<std::int64_t>());
  case StandardField::Float64:
    readAlignment(8);
    return platform::Value(readScalar<double>());
  case StandardField::String:
    return platform::Value(readUTF8());
  case StandardField::UInt8Data: {
    std::size_t size = readSize();
    if (size > remaining()) throw CodecError("byte list runs past the end");
    chargeMemory(size + kAllocationOverhead);
    const std::uint8_t* start = data_ + position_;
    position_ += size;
    return platform::Value(platform::Bytes(start, start + size));
  }
  case StandardField::Int32Data:
    return readTypedList<platform::Int32List>(*this);
  case StandardField::Int64Data:
    return readTypedList<platform::Int64List>(*this);
  case StandardField::Float32Data:
    return readTypedList<platform::Float32List>(*this);
  case StandardField::Float64Data:
    return readTypedList<platform::Float64List>(*this);
  case StandardField::List:
    return readList();
  case StandardField::Map:
    return readMap();
  }
  throw CodecError("unknown type byte " + std::to_string(type));
}

bool StandardReader::elementsReadInline() const {
  return depth_ < kMaxCodecNestingDepth && typeid(*this) == typeid(StandardReader);
}

// The same as readValue() for every input (the same values, errors and memory charges); only the
// scalars skip the depth guard, which they pass anyway, and the virtual call.
inline platform::Value StandardReader::readElement(bool inlineScalars) {
  if (!inlineScalars) return readValue();
  const std::uint8_t type = readByte();
  switch (static_cast<StandardField>(type)) {
  case StandardField::Nil:
    return platform::Value();
  case StandardField::True:
    return platform::Value(true);
  case StandardField::False:
    return platform::Value(false);
  case StandardField::Int32:
    return platform::Value(readScalar<std::int32_t>());
  case StandardField::Int64:
    return platform::Value(readScalar<std::int64_t>());
  case StandardField::Float64:
    readAlignment(8);
    return platform::Value(readScalar<double>());
  case StandardField::String:
    return platform::Value(readUTF8());
  default:
    break;
  }
  DepthGuard guard(depth_);
  return StandardReader::readValueOfType(type);
}

// Reads the next element where it is converted to a Value, so a list element or map entry is
// built around it.
struct StandardReader::ElementFrom {
  StandardReader& reader;
  bool inlineScalars;
  operator platform::Value() const { return reader.readElement(inlineScalars); }
};

// Containers are read out of line: their frames are large, and the scalars and strings that make
// up most values should not pay for them.
platform::Value StandardReader::readList() {
  std::size_t count = readSize();
  // Every element takes at least one byte.
  if (count > remaining()) throw CodecError("list runs past the end");
  // Charged before reserving, so a forged count cannot allocate what the bound refuses.
  chargeMemory(count * sizeof(platform::Value) + kAllocationOverhead);
  platform::ValueList list;
  list.reserve(count);
  const ElementFrom element{*this, elementsReadInline()};
  for (std::size_t i = 0; i < count; ++i)
    list.emplace_back(element);
  return platform::Value(std::move(list));
}

platform::Value StandardReader::readMap() {
  std::size_t count = readSize();
  if (count > remaining() / 2) throw CodecError("map runs past the end");
  // Charged before reserving, so a forged count cannot allocate what the bound refuses.
  chargeMemory(kMapBytes);
  if (count > memoryLeft_ / kMapEntryBytes) throwMemoryBound();
  chargeMemory(count * kMapEntryBytes);
  // The key and the value are read straight into a new entry, and the entries become the map
  // in one go. Our own writer sends keys in ascending order, which costs one comparison per
  // entry; other writers may send them in any order and repeat a key, which keeps its last
  // value, as the engine's dictionary would.
  platform::ValueMap::container_type entries;
  entries.reserve(count);
  const ElementFrom element{*this, elementsReadInline()};
  for (std::size_t i = 0; i < count; ++i)
    entries.emplace_back(element, element);
  return platform::Value(platform::ValueMap::fromEntries(std::move(entries)));
}

// ---- Reader-writer and codec ---------------------------------------------------------------

std::unique_ptr<StandardWriter> StandardReaderWriter::writerWithData(platform::Bytes& data) const {
  return std::make_unique<StandardWriter>(data);
}

std::unique_ptr<StandardReader>
StandardReaderWriter::readerWithData(const platform::Bytes& data) const {
  return std::make_unique<StandardReader>(data.data(), data.size());
}

StandardMessageCodec::StandardMessageCodec(std::shared_ptr<const StandardReaderWriter> rw)
    : readerWriter_(rw ? std::move(rw) : std::make_shared<StandardReaderWriter>()) {}

std::shared_ptr<const StandardMessageCodec> StandardMessageCodec::sharedInstance() {
  static const auto codec =
      std::make_shared<const StandardMessageCodec>(std::make_shared<StandardReaderWriter>());
  return codec;
}

std::shared_ptr<const StandardMessageCodec> StandardMessageCodec::codecWithReaderWriter(
    std::shared_ptr<const StandardReaderWriter> readerWriter) {
  return std::make_shared<const StandardMessageCodec>(std::move(readerWriter));
}

platform::Bytes StandardMessageCodec::encode(const platform::Value& value) const {
  platform::Bytes data;
  if (value.isNull()) return data;
  auto writer = readerWriter_->writerWithData(data);
  writer->writeValue(value);
  return data;
}

std::optional<platform::Value> StandardMessageCodec::decode(const platform::Bytes& message,
                                                            std::string* error) const {
  if (message.empty()) return platform::Value();
  try {
    auto reader = readerWriter_->readerWithData(message);
    platform::Value value = reader->readValue();
    if (reader->hasMore()) throw CodecError("trailing bytes after the value");
    return value;
  } catch (const std::exception& e) {
    // Plugin readers may throw their own errors too; a bad message is never fatal.
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace flutter
