// What one measurement message type is: its identifier, its params slots with their field-kind
// codes, its sub-types and its nanopb descriptor. The instances form the generated schema table
// (message_types.h); they are constants shared by every thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct pb_msgdesc_s;
struct MessageType;

// Field-kind codes (FIELDS_TYPE): one cardinality bit or-ed with one kind bit.
inline constexpr int32_t kNanoFieldSingular = 0x0002;
inline constexpr int32_t kNanoFieldRepeated = 0x0008;
inline constexpr int32_t kNanoFieldBool = 0x0020;
inline constexpr int32_t kNanoFieldEnum = 0x0040;
inline constexpr int32_t kNanoFieldInt32 = 0x0080;
inline constexpr int32_t kNanoFieldUInt32 = 0x0100;
inline constexpr int32_t kNanoFieldInt64 = 0x0200;
inline constexpr int32_t kNanoFieldUInt64 = 0x0400;
inline constexpr int32_t kNanoFieldFloat = 0x0800;
inline constexpr int32_t kNanoFieldDouble = 0x1000;
inline constexpr int32_t kNanoFieldString = 0x2000;
inline constexpr int32_t kNanoFieldMessage = 0x4000;
inline constexpr int32_t kNanoFieldBytes = 0x8000;

// One params slot of a message type.
struct MessageFieldInfo {
  uint32_t number;              // field number on the wire
  int32_t kind;                 // FIELDS_TYPE code
  const char* name;             // schema name; the list name in diagnostics
  const MessageType* sub_type;  // message and message-list fields, else null
};

struct MessageType {
  const char* message_id;          // identifier, equal to the type's name
  uint32_t slot_count;             // number of params slots
  const int32_t* fields_type;      // FIELDS_TYPE, one code per slot
  const MessageFieldInfo* fields;  // one entry per slot, in params order
  const pb_msgdesc_s* descriptor;  // the nanopb descriptor
  std::size_t struct_size;         // size of the nanopb structure
  bool has_wrapper;                // an APMPB wrapper class exists
  uint32_t index;                  // position in kMessageTypes
};
