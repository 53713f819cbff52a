#include "measurement/messages/message_info.h"

#include "measurement/messages/message_diagnostics.h"

namespace {

uint32_t listCount(const MessageType& type) {
  uint32_t lists = 0;
  for (uint32_t i = 0; i < type.slot_count; ++i) {
    if (type.fields_type[i] & kNanoFieldRepeated) ++lists;
  }
  return lists;
}

// Slots and list headers follow the record in its block.
constexpr std::size_t slotsOffset() {
  return (sizeof(MessageInfo) + alignof(MessageSlot) - 1) / alignof(MessageSlot) *
         alignof(MessageSlot);
}

std::size_t arraysOffset(const MessageType& type) {
  std::size_t end = slotsOffset() + type.slot_count * sizeof(MessageSlot);
  return (end + alignof(ArrayInfo) - 1) / alignof(ArrayInfo) * alignof(ArrayInfo);
}

}  // namespace

std::size_t MessageInfo::allocationSize(const MessageType& type) {
  return arraysOffset(type) + listCount(type) * sizeof(ArrayInfo);
}

std::unique_ptr<MessageInfo> MessageInfo::create(const MessageType& type) {
  std::size_t extra = allocationSize(type) - sizeof(MessageInfo);
  return std::unique_ptr<MessageInfo>(new (Block{extra}) MessageInfo(type));
}

MessageInfo::MessageInfo(const MessageType& type) : type_(&type) {
  auto* base = reinterpret_cast<unsigned char*>(this);
  params_ = reinterpret_cast<MessageSlot*>(base + slotsOffset());
  arrays_ = reinterpret_cast<ArrayInfo*>(base + arraysOffset(type));
  for (uint32_t i = 0; i < type.slot_count; ++i) {
    if (type.fields_type[i] & kNanoFieldRepeated) {
      ArrayInfo* header = new (&arrays_[array_count_++]) ArrayInfo();
      header->element_type = type.fields[i].sub_type;
      new (&params_[i]) MessageSlot(header);
    } else {
      new (&params_[i]) MessageSlot();
    }
  }
}

MessageInfo::~MessageInfo() {
  for (uint32_t i = type_->slot_count; i > 0; --i)
    params_[i - 1].~MessageSlot();
  for (uint32_t i = array_count_; i > 0; --i)
    arrays_[i - 1].~ArrayInfo();
}

namespace {

bool checkSlot(MessageSlot* slot, const char* what) {
  if (slot) return true;
  messageDiagnostic(MessageLogChannel::kStandardOutput,
                    "<ERROR> Unable to set %s. Destination pointer is NULL", what);
  return false;
}

}  // namespace

void nano_set_bool(MessageSlot* slot, bool value) {
  if (checkSlot(slot, "bool")) *slot = uint64_t{value ? 1u : 0u};
}

void nano_set_uint32(MessageSlot* slot, uint32_t value) {
  if (checkSlot(slot, "uint32")) *slot = uint64_t{value};
}

void nano_set_uint64(MessageSlot* slot, uint64_t value) {
  if (checkSlot(slot, "uint64")) *slot = value;
}

void nano_set_float(MessageSlot* slot, float value) {
  if (checkSlot(slot, "float")) *slot = nanoCellFromFloat(value);
}

void nano_set_double(MessageSlot* slot, double value) {
  if (checkSlot(slot, "double")) *slot = nanoCellFromDouble(value);
}

void nano_set_string(MessageSlot* slot, const char* bytes, std::size_t length) {
  if (!slot) {
    messageDiagnostic(MessageLogChannel::kStandardOutput,
                      "<ERROR> Unable to set string. Destination array is NULL");
    return;
  }
  *slot = length ? std::string(bytes, length) : std::string();
}

void nano_init_array_info(ArrayInfo* header) {
  if (!header) {
    messageDiagnostic(MessageLogChannel::kStandardOutput,
                      "<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  header->index = 0;
  header->count = 0;
  header->allocated = false;
  std::vector<uint64_t>().swap(header->scalars);
  std::vector<std::string>().swap(header->strings);
  std::vector<std::unique_ptr<MessageInfo>>().swap(header->messages);
}
