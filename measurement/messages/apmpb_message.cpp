#include "measurement/messages/apmpb_message.h"

#include "measurement/messages/message_codec.h"

APMPBMessage::~APMPBMessage() = default;

std::optional<platform::Bytes> APMPBMessage::protoBuffer() const {
  if (!info_) return std::nullopt;
  platform::Bytes bytes;
  if (apmpb_encode(info_.get(), &bytes) < 0) return std::nullopt;
  return bytes;
}

std::string APMPBMessage::className() const {
  return std::string("APMPB") + type_->message_id;
}

std::string APMPBMessage::debugDescription() const {
  auto bytes = protoBuffer();
  std::string text = "<";
  text += className();
  text += ": ";
  text += bytes ? std::to_string(bytes->size()) + " bytes" : "unencodable";
  text += ">";
  return text;
}

std::unique_ptr<MessageInfo> APMPBMessage::recordFor(const MessageType& type,
                                                     const MessageInfo* info) {
  if (!info) return apmpb_new(type);
  if (std::strcmp(info->message_id(), type.message_id) != 0) return nullptr;
  std::unique_ptr<MessageInfo> copy;
  if (!apmpb_copy(&copy, info)) return nullptr;
  return copy;
}

std::unique_ptr<MessageInfo>
APMPBMessage::recordFromBytes(const MessageType& type, const uint8_t* bytes, std::size_t length) {
  // The decoded record is new and owned by nobody else, so the instance takes it as it is: a
  // further deep copy would change nothing observable.
  auto record = apmpb_new(type);
  if (!apmpb_decode(type, bytes, length, record.get())) return nullptr;
  return record;
}
