// The protocol every measurement message object adopts, and the class objects that name a wrapper
// class at run time. The rest of the measurement system passes message objects around as
// std::shared_ptr<NANOMessageBase> (or a concrete wrapper) and reads and writes their fields with
// the typed accessors (nano_accessors.h). A message object is used by one thread at a time.
#pragma once

#include <memory>
#include <optional>

#include "measurement/messages/message_info.h"
#include "platform/core/value.h"

class NANOMessageBase : public platform::Object {
 public:
  // The type's identifier ("MeasurementBatch"), the same pointer the record's message_id holds.
  virtual const char* messageID() const = 0;
  // The owned record, lent: callers may change it through the accessors but never release it.
  // Null only for an object that has no record.
  virtual MessageInfo* messageInfo() const = 0;
  // The encoded message, or none when encoding fails.
  virtual std::optional<platform::Bytes> protoBuffer() const = 0;
};

using NANOMessagePtr = std::shared_ptr<NANOMessageBase>;

// What the accessors are handed in place of a wrapper class: its name, its message type and its
// record-copying factory (which refuses a record of another type by returning null).
struct APMPBClass {
  const char* name;
  const MessageType* type;
  NANOMessagePtr (*initWithMessageInfo)(const MessageInfo* info);
};
