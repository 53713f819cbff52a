#include "measurement/messages/message_info.h"

#include "measurement/messages/message_diagnostics.h"

MessageInfo::MessageInfo(const MessageType& type)
    : type_(&type), params_(new MessageSlot[type.slot_count]) {
  for (uint32_t i = 0; i < type.slot_count; ++i) {
    if (type.fields_type[i] & kNanoFieldRepeated) {
      auto header = std::make_unique<ArrayInfo>();
      header->element_type = type.fields[i].sub_type;
      params_[i] = std::move(header);
    }
  }
}

MessageInfo::~MessageInfo() = default;

ArrayInfo* MessageInfo::array(uint32_t index) const {
  const auto* header = std::get_if<std::unique_ptr<ArrayInfo>>(&params_[index]);
  return header ? header->get() : nullptr;
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
