// The wrapper classes of the measurement messages: APMPBWrapper<type> owns exactly one record of
// its type; every way in and out is a deep copy. The 42 named classes (APMPBEvent,
// APMPBMeasurementBatch, ...) are aliases in apmpb_wrappers.h. Instances are held by
// std::shared_ptr and used by one thread at a time (the measurement worker queue).
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "measurement/messages/message_info.h"
#include "measurement/messages/nano_message_base.h"

class APMPBMessage : public NANOMessageBase {
 public:
  ~APMPBMessage() override;

  const char* messageID() const override { return type_->message_id; }
  MessageInfo* messageInfo() const override { return info_.get(); }
  std::optional<platform::Bytes> protoBuffer() const override;
  const MessageType& messageType() const { return *type_; }

  // "APMPB" followed by the identifier.
  std::string className() const override;
  std::string debugDescription() const override;

 protected:
  APMPBMessage(const MessageType& type, std::unique_ptr<MessageInfo> info)
      : type_(&type), info_(std::move(info)) {}

  // The record of a new instance: an empty one for null, a deep copy of `info` when its
  // identifier is the type's; null when refused or when copying fails.
  static std::unique_ptr<MessageInfo> recordFor(const MessageType& type, const MessageInfo* info);
  // A record decoded from bytes, or null (the decoder has printed its line).
  static std::unique_ptr<MessageInfo> recordFromBytes(const MessageType& type, const uint8_t* bytes,
                                                      std::size_t length);

 private:
  const MessageType* type_;
  std::unique_ptr<MessageInfo> info_;
};

template <const MessageType& Type> class APMPBWrapper final : public APMPBMessage {
 public:
  // A new instance holding a deep copy of `info`, or an empty message for null. None when `info`
  // is a record of another type. The caller keeps `info`.
  static std::shared_ptr<APMPBWrapper> initWithMessageInfo(const MessageInfo* info = nullptr) {
    auto record = recordFor(Type, info);
    if (!record) return nullptr;
    return std::shared_ptr<APMPBWrapper>(new APMPBWrapper(std::move(record)));
  }

  // A new instance decoded from `data`; empty data gives an empty message, bytes that are not a
  // valid encoding give none.
  static std::shared_ptr<APMPBWrapper> initWithBuffer(const platform::Bytes& data) {
    return initWithBuffer(data.data(), data.size());
  }
  static std::shared_ptr<APMPBWrapper> initWithBuffer(const uint8_t* bytes, std::size_t length) {
    auto record = recordFromBytes(Type, bytes, length);
    if (!record) return nullptr;
    return std::shared_ptr<APMPBWrapper>(new APMPBWrapper(std::move(record)));
  }

  static const MessageType& type() { return Type; }

  // The class object the accessors take to build elements and sub-messages of this type.
  static const APMPBClass* classObject() {
    static const std::string name = std::string("APMPB") + Type.message_id;
    static const APMPBClass object{name.c_str(), &Type, &initErased};
    return &object;
  }

 private:
  explicit APMPBWrapper(std::unique_ptr<MessageInfo> record)
      : APMPBMessage(Type, std::move(record)) {}
  static NANOMessagePtr initErased(const MessageInfo* info) { return initWithMessageInfo(info); }
};
