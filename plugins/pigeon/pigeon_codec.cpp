#include "plugins/pigeon/pigeon_codec.h"

namespace pigeon {

namespace {

using Entries = std::shared_ptr<const std::vector<CodecEntry>>;

class PigeonWriter : public flutter::StandardWriter {
 public:
  PigeonWriter(platform::Bytes& data, Entries entries)
      : StandardWriter(data), entries_(std::move(entries)) {}
  void writeValue(const platform::Value& value) override {
    if (value.isObject() || value.isDate() || value.isError()) {
      for (const auto& entry : *entries_) {
        if (entry.matches(value)) {
          writeByte(entry.typeByte);
          writeValue(entry.toWire(value));
          return;
        }
      }
    }
    StandardWriter::writeValue(value);
  }

 private:
  Entries entries_;
};

class PigeonReader : public flutter::StandardReader {
 public:
  PigeonReader(const platform::Bytes& data, Entries entries)
      : StandardReader(data.data(), data.size()), entries_(std::move(entries)) {}
  platform::Value readValueOfType(std::uint8_t type) override {
    for (const auto& entry : *entries_) {
      if (entry.typeByte == type) return entry.fromWire(readValue());
    }
    return StandardReader::readValueOfType(type);
  }

 private:
  Entries entries_;
};

class PigeonReaderWriter : public flutter::StandardReaderWriter {
 public:
  explicit PigeonReaderWriter(Entries entries) : entries_(std::move(entries)) {}
  std::unique_ptr<flutter::StandardWriter> writerWithData(platform::Bytes& data) const override {
    return std::make_unique<PigeonWriter>(data, entries_);
  }
  std::unique_ptr<flutter::StandardReader>
  readerWithData(const platform::Bytes& data) const override {
    return std::make_unique<PigeonReader>(data, entries_);
  }

 private:
  Entries entries_;
};

}  // namespace

std::shared_ptr<const flutter::StandardReaderWriter> PigeonCodecBuilder::buildReaderWriter() const {
  return std::make_shared<PigeonReaderWriter>(
      std::make_shared<const std::vector<CodecEntry>>(entries_));
}

std::shared_ptr<const flutter::StandardMessageCodec> PigeonCodecBuilder::build() const {
  return flutter::StandardMessageCodec::codecWithReaderWriter(buildReaderWriter());
}

std::shared_ptr<const flutter::StandardMethodCodec> PigeonCodecBuilder::buildMethodCodec() const {
  return flutter::StandardMethodCodec::codecWithReaderWriter(buildReaderWriter());
}

}  // namespace pigeon
