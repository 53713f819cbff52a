// The in-memory form of every measurement message: a MessageInfo record with one value slot per
// field of its type, in the type's params order. An empty singular slot means the field is absent;
// a repeated field's slot always holds its ArrayInfo header (an empty list has no elements).
//
// A record owns everything reachable from its slots (strings, nested records, list elements);
// nothing is shared between records and every copy is deep. Records have no locks: one thread at
// a time uses a record (the measurement worker queue).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "measurement/messages/message_type.h"

class MessageInfo;

// The header of a repeated field. Decoding counts elements in a first pass (`count`), reserves
// exactly that many and stores them in a second pass; `allocated` tells the passes apart.
struct ArrayInfo {
  uint32_t index = 0;      // fill cursor of the second decoding pass
  uint32_t count = 0;      // elements counted by the first decoding pass
  bool allocated = false;  // element storage reserved: the pass that stores elements
  int32_t depth = 0;       // nesting level of the owning record while it is decoded
  const MessageType* element_type = nullptr;  // lists of messages

  // Elements, by kind. Numeric elements are cells (see nanoCellFrom*); strings and bytes are
  // byte strings; messages are owned records of element_type. Only one vector is ever used.
  std::vector<uint64_t> scalars;
  std::vector<std::string> strings;
  std::vector<std::unique_ptr<MessageInfo>> messages;

  std::size_t size() const { return scalars.size() + strings.size() + messages.size(); }
};

// One value slot. Scalars are held as 64-bit cells: bool 0 or 1, 32-bit kinds zero-extended,
// 64-bit kinds as they are, float and double as their bit patterns. A list slot points at its
// header, which lives in the record's own block.
using MessageSlot =
    std::variant<std::monostate, uint64_t, std::string, std::unique_ptr<MessageInfo>, ArrayInfo*>;

class MessageInfo {
 public:
  // A newly initialised record of `type`: every singular slot empty, every list header present
  // and empty. The record, its slots and its list headers are one allocation.
  static std::unique_ptr<MessageInfo> create(const MessageType& type);
  // Bytes of the one allocation that create() makes for a record of `type`.
  static std::size_t allocationSize(const MessageType& type);
  ~MessageInfo();
  MessageInfo(const MessageInfo&) = delete;
  MessageInfo& operator=(const MessageInfo&) = delete;
  static void operator delete(void* block) { ::operator delete(block); }

  const MessageType& type() const { return *type_; }
  const char* message_id() const { return type_->message_id; }
  const int32_t* fields_type() const { return type_->fields_type; }
  uint32_t slotCount() const { return type_->slot_count; }

  MessageSlot& slot(uint32_t index) { return params_[index]; }
  const MessageSlot& slot(uint32_t index) const { return params_[index]; }
  // All slots, slotCount() of them.
  const MessageSlot* slots() const { return params_; }

  // The list header of a repeated slot; null for a singular slot.
  ArrayInfo* array(uint32_t index) const {
    ArrayInfo* const* header = std::get_if<ArrayInfo*>(&params_[index]);
    return header ? *header : nullptr;
  }

  // Size of this record's encoding, noted by the sizing pass of an encoding run so that the
  // writing pass need not size nested records again.
  mutable uint32_t encoded_size = 0;

 private:
  struct Block {
    std::size_t bytes;
  };
  static void* operator new(std::size_t size, Block block) {
    return ::operator new(size + block.bytes);
  }
  static void operator delete(void* block, Block) { ::operator delete(block); }
  explicit MessageInfo(const MessageType& type);

  const MessageType* type_;
  MessageSlot* params_;  // in the same block, after the record
  ArrayInfo* arrays_;    // in the same block, after the slots
  uint32_t array_count_ = 0;
};

// Cell conversions.
inline uint64_t nanoCellFromFloat(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}
inline float nanoCellToFloat(uint64_t cell) {
  uint32_t bits = static_cast<uint32_t>(cell);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
inline uint64_t nanoCellFromDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}
inline double nanoCellToDouble(uint64_t cell) {
  double value;
  std::memcpy(&value, &cell, sizeof value);
  return value;
}

// Setters of one slot. A null slot prints the codec's line and changes nothing.
void nano_set_bool(MessageSlot* slot, bool value);
void nano_set_uint32(MessageSlot* slot, uint32_t value);
void nano_set_uint64(MessageSlot* slot, uint64_t value);
void nano_set_float(MessageSlot* slot, float value);
void nano_set_double(MessageSlot* slot, double value);
void nano_set_string(MessageSlot* slot, const char* bytes, std::size_t length);

// Drops every element of a list and zeroes its counters; the header itself stays.
void nano_init_array_info(ArrayInfo* header);
