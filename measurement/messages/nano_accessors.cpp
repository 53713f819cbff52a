#include "measurement/messages/nano_accessors.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_diagnostics.h"
#include "platform/core/utf8.h"

namespace {

constexpr MessageLogChannel kLog = MessageLogChannel::kConsole;

const char* orNull(const char* text) {
  return text ? text : "(null)";
}

std::string classNameOf(const platform::Value& value) {
  if (value.isNull()) return "(null)";
  if (const platform::ObjectPtr* object = value.ifObject()) {
    return *object ? (*object)->className() : "(null)";
  }
  return platform::valueKindName(value.kind());
}

// The accessors' kind tests on a field-kind code.
enum class Access { kBool, kInt32, kInt64, kDouble, kString, kMessage, kArray };

bool accepts(Access access, int32_t code) {
  switch (access) {
  case Access::kBool:
    return (code & 0x28) == 0x20;
  case Access::kInt32:
    return (code & 0x1c0) != 0 && (code & 0x08) == 0;
  case Access::kInt64:
    return (code & 0x600) != 0 && (code & 0x08) == 0;
  case Access::kDouble:
    return (code & 0x1008) == 0x1000;
  case Access::kString:
    return (code & 0x2008) == 0x2000;
  case Access::kMessage:
    return (code & 0x4008) == 0x4000;
  case Access::kArray:
    return (code & 0x08) != 0;
  }
  return false;
}

const char* kindWord(Access access) {
  switch (access) {
  case Access::kBool:
    return "BOOL";
  case Access::kInt32:
    return "INT32";
  case Access::kInt64:
    return "INT64";
  case Access::kDouble:
    return "DOUBLE";
  case Access::kString:
    return "STRING";
  case Access::kMessage:
    return "MESSAGE";
  case Access::kArray:
    return "REPEATED";
  }
  return "";
}

// The record behind `message` when it has one, the index lies inside its type and the field is
// of an accepted kind; otherwise logs the operation's line and gives null.
MessageInfo* fieldRecord(const NANOMessageBase* message, int32_t index, const char* operation,
                         Access access) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (!record) {
    messageDiagnostic(kLog, "ProtocolBuffer message hasn't been initialized. %s can't be performed",
                      operation);
    return nullptr;
  }
  if (index < 0 || static_cast<uint32_t>(index) >= record->slotCount()) {
    messageDiagnostic(kLog, "<Nano/Failure> Field index out of range. Message: %s, field ID: %d",
                      record->message_id(), index);
    return nullptr;
  }
  if (!accepts(access, record->fields_type()[index])) {
    if (access == Access::kArray) {
      messageDiagnostic(kLog, "<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d",
                        record->message_id(), index);
    } else {
      messageDiagnostic(kLog,
                        "<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d",
                        kindWord(access), record->message_id(), index);
    }
    return nullptr;
  }
  return record;
}

const uint64_t* cellAt(const MessageInfo* record, int32_t index) {
  return std::get_if<uint64_t>(&record->slot(static_cast<uint32_t>(index)));
}

// A number element as a signed 64-bit value: booleans as 0 or 1, doubles truncated toward zero
// when they are finite and in range.
bool wholeNumber(const platform::Value& value, bool unsigned64, uint64_t* out) {
  if (const bool* b = value.ifBool()) {
    *out = *b ? 1 : 0;
    return true;
  }
  if (const int64_t* i = value.ifInt()) {
    *out = static_cast<uint64_t>(*i);
    return true;
  }
  if (const double* d = value.ifDouble()) {
    double t = std::trunc(*d);
    if (!std::isfinite(t)) return false;
    if (t >= -9223372036854775808.0 && t < 9223372036854775808.0) {
      *out = static_cast<uint64_t>(static_cast<int64_t>(t));
      return true;
    }
    if (unsigned64 && t >= 0 && t < 18446744073709551616.0) {
      *out = static_cast<uint64_t>(t);
      return true;
    }
  }
  return false;
}

bool realNumber(const platform::Value& value, double* out) {
  if (const bool* b = value.ifBool()) {
    *out = *b ? 1 : 0;
    return true;
  }
  return value.toDouble(out);
}

bool isNumber(const platform::Value& value) {
  return value.isBool() || value.isNumber();
}

}  // namespace

bool NANOConvertStringToArrayInfo(const platform::Value& object, std::string* cell) {
  if (object.isNull()) return true;
  const std::string* text = object.ifString();
  if (!text || !cell) return false;
  *cell = *text;
  return true;
}

bool NANOConvertNSDataToArrayInfo(const platform::Value& object, std::string* cell) {
  if (object.isNull()) return true;
  const platform::Bytes* bytes = object.ifBytes();
  if (!bytes || !cell) return false;
  cell->assign(bytes->begin(), bytes->end());
  return true;
}

bool NANOHasField(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (!record) {
    messageDiagnostic(kLog,
                      "ProtocolBuffer message hasn't been initialized. HasField operation can't be "
                      "performed. Message name %s",
                      message ? orNull(message->messageID()) : "(null)");
    return false;
  }
  if (index < 0 || static_cast<uint32_t>(index) >= record->slotCount()) {
    messageDiagnostic(kLog, "<Nano/Failure> Field index out of range. Message: %s, field ID: %d",
                      record->message_id(), index);
    return false;
  }
  if (record->fields_type()[index] & kNanoFieldRepeated) return true;
  return !std::holds_alternative<std::monostate>(record->slot(static_cast<uint32_t>(index)));
}

void NANOClearField(NANOMessageBase* message, int32_t index) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (!record) {
    messageDiagnostic(
        kLog, "ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
    return;
  }
  apmpb_free_field(record, index);  // prints its own line for an index outside the type
}

bool NANOGetBool(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetBool", Access::kBool);
  if (!record) return false;
  const uint64_t* cell = cellAt(record, index);
  return cell && (*cell & 0xff) == 1;
}

void NANOSetBool(NANOMessageBase* message, int32_t index, bool value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetBool", Access::kBool)) {
    nano_set_uint32(&record->slot(static_cast<uint32_t>(index)), value ? 1 : 0);
  }
}

int32_t NANOGetInt32(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetInt32", Access::kInt32);
  if (!record) return 0;
  const uint64_t* cell = cellAt(record, index);
  return cell ? static_cast<int32_t>(static_cast<uint32_t>(*cell)) : 0;
}

void NANOSetInt32(NANOMessageBase* message, int32_t index, int32_t value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetInt32", Access::kInt32)) {
    nano_set_uint32(&record->slot(static_cast<uint32_t>(index)), static_cast<uint32_t>(value));
  }
}

int64_t NANOGetInt64(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetInt64", Access::kInt64);
  if (!record) return 0;
  const uint64_t* cell = cellAt(record, index);
  return cell ? static_cast<int64_t>(*cell) : 0;
}

void NANOSetInt64(NANOMessageBase* message, int32_t index, int64_t value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetInt64", Access::kInt64)) {
    nano_set_uint64(&record->slot(static_cast<uint32_t>(index)), static_cast<uint64_t>(value));
  }
}

double NANOGetDouble(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetDouble", Access::kDouble);
  if (!record) return 0.0;
  const uint64_t* cell = cellAt(record, index);
  return cell ? nanoCellToDouble(*cell) : 0.0;
}

void NANOSetDouble(NANOMessageBase* message, int32_t index, double value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetDouble", Access::kDouble)) {
    nano_set_double(&record->slot(static_cast<uint32_t>(index)), value);
  }
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetString", Access::kString);
  if (!record) return std::nullopt;
  const auto* text = std::get_if<std::string>(&record->slot(static_cast<uint32_t>(index)));
  if (!text || !platform::isValidUtf8(*text)) return std::nullopt;
  return *text;
}

void NANOSetString(NANOMessageBase* message, int32_t index, std::optional<std::string_view> value) {
  MessageInfo* record = fieldRecord(message, index, "SetString", Access::kString);
  if (!record) return;
  if (!value) {
    apmpb_free_field(record, index);
    return;
  }
  record->slot(static_cast<uint32_t>(index)) = std::string(*value);
}

NANOMessagePtr NANOGetMessage(const NANOMessageBase* message, int32_t index,
                              const APMPBClass* wrapperClass) {
  MessageInfo* record = fieldRecord(message, index, "GetMessage", Access::kMessage);
  if (!record) return nullptr;
  const auto* nested =
      std::get_if<std::unique_ptr<MessageInfo>>(&record->slot(static_cast<uint32_t>(index)));
  if (!nested || !*nested) return nullptr;
  if (!wrapperClass || !wrapperClass->initWithMessageInfo) {
    messageDiagnostic(
        kLog, "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
        wrapperClass ? orNull(wrapperClass->name) : "(null)");
    return nullptr;
  }
  return wrapperClass->initWithMessageInfo(nested->get());
}

namespace {

// The record of a message value meant for a field whose sub-type is `expected`, or null after
// logging why it is refused.
// `className` names the value's type for the line written when it has no record.
template <class ClassName>
const MessageInfo* messageValueRecord(const NANOMessageBase* value, const ClassName& className,
                                      const MessageInfo* parent, int32_t index) {
  const MessageInfo* source = value ? value->messageInfo() : nullptr;
  if (!source) {
    const std::string name = className();
    messageDiagnostic(
        kLog, "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
        name.c_str());
    return nullptr;
  }
  const MessageType* expected = parent->type().fields[index].sub_type;
  if (&source->type() != expected) {
    messageDiagnostic(
        kLog, "<ERROR> Invalid message type. Message: %s, field ID: %d expects %s. Type: %s",
        parent->message_id(), index, expected ? expected->message_id : "(null)",
        source->message_id());
    return nullptr;
  }
  return source;
}

}  // namespace

void NANOSetMessage(NANOMessageBase* message, int32_t index, const NANOMessageBase* value) {
  MessageInfo* record = fieldRecord(message, index, "SetMessage", Access::kMessage);
  if (!record) return;
  const MessageInfo* source = messageValueRecord(
      value,
      [value]() -> std::string { return value ? value->className() : std::string("(null)"); },
      record, index);
  if (!source) return;
  std::unique_ptr<MessageInfo> copy;
  if (!apmpb_copy(&copy, source)) return;  // the field keeps its value
  apmpb_free_field(record, index);
  record->slot(static_cast<uint32_t>(index)) = std::move(copy);
}

std::optional<platform::ValueList> NANOGetArray(const NANOMessageBase* message, int32_t index,
                                                const APMPBClass* wrapperClass) {
  MessageInfo* record = fieldRecord(message, index, "GetArray", Access::kArray);
  if (!record) return std::nullopt;
  const ArrayInfo* header = record->array(static_cast<uint32_t>(index));
  if (!header) {
    messageDiagnostic(kLog, "<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  const int32_t code = record->fields_type()[index];
  platform::ValueList out;
  if (code & kNanoFieldMessage) {
    out.reserve(header->messages.size());
    for (const auto& element : header->messages) {
      if (!element) {
        messageDiagnostic(kLog, "<ERROR> Unable to convert NULL data to an ObjC object");
        continue;
      }
      if (!wrapperClass || !wrapperClass->initWithMessageInfo) {
        messageDiagnostic(
            kLog, "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
            wrapperClass ? orNull(wrapperClass->name) : "(null)");
        continue;
      }
      if (NANOMessagePtr object = wrapperClass->initWithMessageInfo(element.get())) {
        out.emplace_back(platform::ObjectPtr(std::move(object)));
      }
    }
    return out;
  }
  if (code & (kNanoFieldString | kNanoFieldBytes)) {
    for (const std::string& text : header->strings) {
      if (code & kNanoFieldString) {
        if (platform::isValidUtf8(text)) out.emplace_back(text);
      } else {
        out.emplace_back(platform::Bytes(text.begin(), text.end()));
      }
    }
    return out;
  }
  out.reserve(header->scalars.size());
  for (uint64_t cell : header->scalars) {
    if (code & kNanoFieldBool) {
      out.emplace_back((cell & 0xff) != 0);
    } else if (code & kNanoFieldInt32) {
      out.emplace_back(static_cast<int64_t>(static_cast<int32_t>(cell)));
    } else if (code & kNanoFieldUInt32) {
      out.emplace_back(static_cast<int64_t>(static_cast<uint32_t>(cell)));
    } else if (code & (kNanoFieldInt64 | kNanoFieldUInt64)) {
      out.emplace_back(static_cast<int64_t>(cell));
    } else if (code & kNanoFieldFloat) {
      out.emplace_back(static_cast<double>(nanoCellToFloat(cell)));
    } else if (code & kNanoFieldDouble) {
      out.emplace_back(nanoCellToDouble(cell));
    } else if (code & kNanoFieldEnum) {
      out.emplace_back(static_cast<int64_t>(static_cast<int32_t>(cell)));
    } else {
      messageDiagnostic(
          kLog, "<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", code);
    }
  }
  return out;
}

namespace {

// Stores one element of a list; false after logging the element's line.
bool storeElement(MessageInfo* record, int32_t index, ArrayInfo* header,
                  const platform::Value& element) {
  const int32_t code = record->fields_type()[index];
  // The element's type is named only when something is wrong with it.
  auto refuse = [&](const char* expectation) {
    const std::string type = classNameOf(element);
    messageDiagnostic(kLog, "<ERROR> Invalid object type. %s. Type: %s", expectation, type.c_str());
    return false;
  };
  auto outOfRange = [&](const char* kind) {
    const std::string type = classNameOf(element);
    messageDiagnostic(kLog, "<ERROR> Number out of range for %s fields. Type: %s", kind,
                      type.c_str());
    return false;
  };
  uint64_t whole = 0;
  double real = 0;
  if (code & kNanoFieldBool) {
    if (!realNumber(element, &real)) return refuse("Boolean fields expect NSNumber");
    header->scalars.push_back(real != 0 ? 1 : 0);
  } else if (code & (kNanoFieldInt32 | kNanoFieldUInt32)) {
    if (!isNumber(element)) return refuse("Int32 fields expect NSNumber");
    if (!wholeNumber(element, false, &whole)) return outOfRange("Int32");
    header->scalars.push_back(static_cast<uint32_t>(whole));
  } else if (code & (kNanoFieldInt64 | kNanoFieldUInt64)) {
    if (!isNumber(element)) return refuse("Int64 fields expect NSNumber");
    if (!wholeNumber(element, (code & kNanoFieldUInt64) != 0, &whole)) return outOfRange("Int64");
    header->scalars.push_back(whole);
  } else if (code & kNanoFieldFloat) {
    if (!realNumber(element, &real)) return refuse("Float fields expect NSNumber");
    header->scalars.push_back(nanoCellFromFloat(static_cast<float>(real)));
  } else if (code & kNanoFieldDouble) {
    if (!realNumber(element, &real)) return refuse("Double fields expect NSNumber");
    header->scalars.push_back(nanoCellFromDouble(real));
  } else if (code & kNanoFieldEnum) {
    if (!isNumber(element)) return refuse("Enum fields expect NSNumber");
    if (!wholeNumber(element, false, &whole)) return outOfRange("Enum");
    header->scalars.push_back(static_cast<uint32_t>(whole));
  } else if (code & kNanoFieldString) {
    std::string cell;
    if (element.isNull() || !NANOConvertStringToArrayInfo(element, &cell)) {
      return refuse("String fields expect NSString");
    }
    header->strings.push_back(std::move(cell));
  } else if (code & kNanoFieldBytes) {
    std::string cell;
    if (element.isNull() || !NANOConvertNSDataToArrayInfo(element, &cell)) {
      return refuse("Bytes fields expect NSData");
    }
    header->strings.push_back(std::move(cell));
  } else if (code & kNanoFieldMessage) {
    auto object = element.asObjectOf<NANOMessageBase>();
    if (!object) return refuse("Message fields expect NANOMessageBase");
    const MessageInfo* source = messageValueRecord(
        object.get(), [&element] { return classNameOf(element); }, record, index);
    if (!source) return false;
    std::unique_ptr<MessageInfo> copy;
    if (!apmpb_copy(&copy, source)) return false;
    header->messages.push_back(std::move(copy));
  } else {
    messageDiagnostic(kLog, "<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d",
                      code);
    return false;
  }
  return true;
}

}  // namespace

std::size_t NANOGetArrayCount(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = fieldRecord(message, index, "GetArrayCount", Access::kArray);
  if (!record) return 0;
  const ArrayInfo* header = record->array(static_cast<uint32_t>(index));
  if (!header) {
    messageDiagnostic(kLog, "<ERROR> Repeated field should have been allocated");
    return 0;
  }
  const int32_t code = record->fields_type()[index];
  if (code & kNanoFieldMessage) {
    return static_cast<std::size_t>(std::count_if(header->messages.begin(), header->messages.end(),
                                                  [](const auto& element) { return !!element; }));
  }
  if (code & kNanoFieldString) {
    return static_cast<std::size_t>(
        std::count_if(header->strings.begin(), header->strings.end(),
                      [](const std::string& text) { return platform::isValidUtf8(text); }));
  }
  return header->size();
}

void NANOSetArray(NANOMessageBase* message, int32_t index, const platform::ValueList* values) {
  MessageInfo* record = fieldRecord(message, index, "SetArray", Access::kArray);
  if (!record) return;
  ArrayInfo* header = record->array(static_cast<uint32_t>(index));
  if (!header) {
    messageDiagnostic(kLog, "<ERROR> Repeated field should have been allocated");
    return;
  }
  apmpb_free_field(record, index);
  if (!values || values->empty()) return;
  try {
    const int32_t code = record->fields_type()[index];
    if (code & kNanoFieldMessage) {
      header->messages.reserve(values->size());
    } else if (code & (kNanoFieldString | kNanoFieldBytes)) {
      header->strings.reserve(values->size());
    } else {
      header->scalars.reserve(values->size());
    }
    header->allocated = true;
    for (const platform::Value& element : *values) {
      if (!storeElement(record, index, header, element)) {
        apmpb_free_field(record, index);
        return;
      }
    }
    header->count = static_cast<uint32_t>(header->size());
  } catch (const std::bad_alloc&) {
    messageDiagnostic(kLog, "<ERROR> Unable to set NULL data to an ObjC object");
    apmpb_free_field(record, index);
  }
}
