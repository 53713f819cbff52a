// Typed field accessors: how the rest of the measurement system reads and writes the fields of a
// message object, by the field's params index (always a named constant from message_fields.h).
//
// An absent field reads as 0, false or none without a line. Misuse (an object without a record,
// an index outside the type, a field of another kind, a value of the wrong type) is reported on
// the console log (message_diagnostics.h) and otherwise ignored: the empty result is returned and
// the field keeps its value. Nothing raises. No locks: a message is used by one thread at a time.
//
// Values crossing this interface: strings are UTF-8 byte strings; list elements are
// platform::Value numbers (Int; bool lists Bool; float and double lists Double), strings, bytes,
// or message objects (Value objects holding a NANOMessageBase). Unsigned 64-bit elements come
// back as Int values holding the same 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/messages/nano_message_base.h"
#include "platform/core/value.h"

// True for a repeated field whatever its length, and for a present singular field.
bool NANOHasField(const NANOMessageBase* message, int32_t index);
// A singular field becomes absent, a repeated field empty.
void NANOClearField(NANOMessageBase* message, int32_t index);

bool NANOGetBool(const NANOMessageBase* message, int32_t index);
void NANOSetBool(NANOMessageBase* message, int32_t index, bool value);

// Enum, int32 and uint32 fields (a uint32 comes back as the same 32 bits).
int32_t NANOGetInt32(const NANOMessageBase* message, int32_t index);
void NANOSetInt32(NANOMessageBase* message, int32_t index, int32_t value);

// Int64 and uint64 fields.
int64_t NANOGetInt64(const NANOMessageBase* message, int32_t index);
void NANOSetInt64(NANOMessageBase* message, int32_t index, int64_t value);

// Double fields (a float field is reachable only through the array accessors).
double NANOGetDouble(const NANOMessageBase* message, int32_t index);
void NANOSetDouble(NANOMessageBase* message, int32_t index, double value);

// None for an absent field or bytes that are not UTF-8. Setting none clears the field; setting an
// empty string makes it present with length 0.
std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t index);
void NANOSetString(NANOMessageBase* message, int32_t index, std::optional<std::string_view> value);

// A new instance of `wrapperClass` holding a copy of the sub-message; none when absent or when
// the class is of another message type.
NANOMessagePtr NANOGetMessage(const NANOMessageBase* message, int32_t index,
                              const APMPBClass* wrapperClass);
template <class Wrapper>
std::shared_ptr<Wrapper> NANOGetMessage(const NANOMessageBase* message, int32_t index) {
  return std::dynamic_pointer_cast<Wrapper>(NANOGetMessage(message, index, Wrapper::classObject()));
}
// Replaces the field with a deep copy of `value`, which must be a message of the field's type.
void NANOSetMessage(NANOMessageBase* message, int32_t index, const NANOMessageBase* value);

// The repeated field's elements as new values, in order (an empty list is an empty array, not
// none). `wrapperClass` builds the elements of a list of messages.
std::optional<platform::ValueList> NANOGetArray(const NANOMessageBase* message, int32_t index,
                                                const APMPBClass* wrapperClass = nullptr);
// How many elements NANOGetArray would give, without making them (0 on misuse, with its line).
std::size_t NANOGetArrayCount(const NANOMessageBase* message, int32_t index);
// Replaces the repeated field's elements with copies of `values` (none empties the field). The
// first element of the wrong type is logged and leaves the field empty.
void NANOSetArray(NANOMessageBase* message, int32_t index, const platform::ValueList* values);

// Message objects of one wrapper class as list values, and back.
template <class Wrapper>
platform::ValueList NANOMessageValues(const std::vector<std::shared_ptr<Wrapper>>& messages) {
  platform::ValueList values;
  values.reserve(messages.size());
  for (const auto& m : messages)
    values.emplace_back(platform::ObjectPtr(m));
  return values;
}

// Cell conversions of the array accessors: none gives true and changes nothing; a string (or
// byte data) replaces the cell's bytes and gives true; any other value gives false.
bool NANOConvertStringToArrayInfo(const platform::Value& object, std::string* cell);
bool NANOConvertNSDataToArrayInfo(const platform::Value& object, std::string* cell);
