#include "measurement/messages/message_codec.h"

#include <pb.h>
#include <pb_common.h>
#include <pb_decode.h>

#include <algorithm>
#include <climits>
#include <new>

#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_types.h"
#include "measurement/messages/nano_callbacks.h"

// Debian's prebuilt nanopb library keeps field sizes and counts 16 bits wide (no PB_FIELD_32BIT);
// descriptors and iterators compiled here must agree with it.
static_assert(sizeof(pb_size_t) == 2, "nanopb must be configured as the system library is");

namespace {

constexpr MessageLogChannel kOut = MessageLogChannel::kStandardOutput;

// Where one schema slot lives in the type's nanopb structure.
struct FieldPlan {
  uint32_t slot = 0;
  int32_t kind = 0;
  uint32_t data_offset = 0;  // the value, the callback or the nested structure
  uint32_t has_offset = 0;   // presence flag of static fields
  uint32_t data_size = 0;    // bytes of a static scalar
  const MessageType* sub_type = nullptr;
};

struct CodecPlan {
  std::vector<FieldPlan> fields;  // descriptor order
  bool two_pass = false;          // lists of its own or inside a singular sub-message
};

// A zeroed, suitably aligned nanopb structure; small ones live on the stack.
class StructBuffer {
 public:
  explicit StructBuffer(std::size_t size) {
    if (size <= sizeof(local_)) {
      data_ = local_;
      std::memset(local_, 0, size);
    } else {
      // Value-initialising max_align_t would leave its padding bytes alone: zero explicitly.
      std::size_t blocks = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
      heap_.reset(new std::max_align_t[blocks]);
      data_ = reinterpret_cast<unsigned char*>(heap_.get());
      std::memset(data_, 0, blocks * sizeof(std::max_align_t));
    }
  }
  unsigned char* data() { return data_; }

 private:
  alignas(std::max_align_t) unsigned char local_[512];
  std::unique_ptr<std::max_align_t[]> heap_;
  unsigned char* data_;
};

// Bytes of one list element; small ones live on the stack.
class ElementBytes {
 public:
  explicit ElementBytes(std::size_t size) {
    if (size > sizeof(local_)) {
      heap_.reset(new uint8_t[size]);
      data_ = heap_.get();
    }
  }
  uint8_t* data() { return data_; }

 private:
  uint8_t local_[256];
  std::unique_ptr<uint8_t[]> heap_;
  uint8_t* data_ = local_;
};

std::vector<CodecPlan> buildPlans() {
  std::vector<CodecPlan> plans(kMessageTypeCount);
  for (std::size_t t = 0; t < kMessageTypeCount; ++t) {
    const MessageType& type = *kMessageTypes[t];
    StructBuffer base(type.struct_size);
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, type.descriptor, base.data())) continue;
    do {
      for (uint32_t s = 0; s < type.slot_count; ++s) {
        if (type.fields[s].number != it.tag) continue;
        FieldPlan f;
        f.slot = s;
        f.kind = type.fields_type[s];
        f.data_offset = static_cast<uint32_t>(static_cast<unsigned char*>(it.pField) - base.data());
        if (it.pSize) {
          f.has_offset = static_cast<uint32_t>(static_cast<unsigned char*>(it.pSize) - base.data());
        }
        f.data_size = it.data_size;
        f.sub_type = type.fields[s].sub_type;
        plans[t].fields.push_back(f);
      }
    } while (pb_field_iter_next(&it));
  }
  // Two passes for every type with a list of its own or inside a singular sub-message.
  bool changed = true;
  while (changed) {
    changed = false;
    for (std::size_t t = 0; t < kMessageTypeCount; ++t) {
      if (plans[t].two_pass) continue;
      for (const FieldPlan& f : plans[t].fields) {
        if ((f.kind & kNanoFieldRepeated) ||
            ((f.kind & kNanoFieldMessage) && plans[f.sub_type->index].two_pass)) {
          plans[t].two_pass = changed = true;
          break;
        }
      }
    }
  }
  return plans;
}

const CodecPlan& planOf(const MessageType& type) {
  static const std::vector<CodecPlan> plans = buildPlans();
  return plans[type.index];
}

pb_callback_t* callbackAt(unsigned char* base, const FieldPlan& f) {
  return reinterpret_cast<pb_callback_t*>(base + f.data_offset);
}

// --- decoding ---------------------------------------------------------------------------------

bool decodeRecord(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record, int32_t depth);

// Resets the lists, installs the decode callbacks and puts fresh records into the singular
// sub-message slots (whose callbacks are installed into the nested structures).
bool installDecoders(const MessageType& type, unsigned char* base, MessageInfo* record,
                     int32_t depth) {
  for (const FieldPlan& f : planOf(type).fields) {
    if (f.kind & kNanoFieldRepeated) {
      ArrayInfo* header = record->array(f.slot);
      if (!header) return false;
      nano_init_array_info(header);
      header->depth = depth;
      pb_callback_t* cb = callbackAt(base, f);
      cb->arg = header;
      if (f.kind & kNanoFieldMessage) {
        cb->funcs.decode = apmpb_decode_repeated;
      } else if (f.kind & (kNanoFieldString | kNanoFieldBytes)) {
        cb->funcs.decode = nano_decode_repeated_string;
      } else {
        cb->funcs.decode = nano_decode_repeated_uint64;
      }
    } else if (f.kind & (kNanoFieldString | kNanoFieldBytes)) {
      pb_callback_t* cb = callbackAt(base, f);
      cb->funcs.decode = nano_decode_string;
      cb->arg = &record->slot(f.slot);
    } else if (f.kind & kNanoFieldMessage) {
      auto nested = MessageInfo::create(*f.sub_type);
      MessageInfo* raw = nested.get();
      record->slot(f.slot) = std::move(nested);
      if (!installDecoders(*f.sub_type, base + f.data_offset, raw, depth + 1)) return false;
    }
  }
  return true;
}

// Between the passes: reserve exactly the counted elements of every list, nested ones included.
// Returns how many elements the first pass counted in all of them.
std::size_t allocateArrays(const MessageType& type, MessageInfo* record) {
  std::size_t counted = 0;
  for (const FieldPlan& f : planOf(type).fields) {
    if (f.kind & kNanoFieldRepeated) {
      ArrayInfo* header = record->array(f.slot);
      counted += header->count;
      if (f.kind & kNanoFieldMessage) {
        header->messages.reserve(header->count);
      } else if (f.kind & (kNanoFieldString | kNanoFieldBytes)) {
        header->strings.reserve(header->count);
      } else {
        header->scalars.reserve(header->count);
      }
      header->allocated = true;
      header->index = 0;
    } else if (f.kind & kNanoFieldMessage) {
      auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&record->slot(f.slot));
      if (nested && *nested) counted += allocateArrays(*f.sub_type, nested->get());
    }
  }
  return counted;
}

// After decoding: statics marked present become cells; sub-messages absent from the input are
// released again.
void populate(const MessageType& type, const unsigned char* base, MessageInfo* record) {
  for (const FieldPlan& f : planOf(type).fields) {
    if (f.kind & (kNanoFieldRepeated | kNanoFieldString | kNanoFieldBytes)) continue;
    bool present = *reinterpret_cast<const bool*>(base + f.has_offset);
    if (f.kind & kNanoFieldMessage) {
      auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&record->slot(f.slot));
      if (present && nested && *nested) {
        populate(*f.sub_type, base + f.data_offset, nested->get());
      } else {
        record->slot(f.slot) = std::monostate{};
      }
      continue;
    }
    if (!present) continue;
    uint64_t cell = 0;
    if (f.kind & kNanoFieldBool) {
      cell = *reinterpret_cast<const bool*>(base + f.data_offset) ? 1 : 0;
    } else {
      std::memcpy(&cell, base + f.data_offset, f.data_size <= 8 ? f.data_size : 8);
    }
    record->slot(f.slot) = cell;
  }
}

bool decodeRecord(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record, int32_t depth) {
  const char* id = type.message_id;
  if (!record) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: message_info is NULL", id);
    return false;
  }
  if (&record->type() != &type) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: message_info holds a %s", id,
                      record->message_id());
    return false;
  }
  if (depth > kMaxMessageNestingDepth) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: nested deeper than %d levels", id,
                      kMaxMessageNestingDepth);
    return false;
  }
  const CodecPlan& plan = planOf(type);
  StructBuffer structure(type.struct_size);
  try {
    if (!installDecoders(type, structure.data(), record, depth)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to set decoders", id);
      return false;
    }
  } catch (const std::bad_alloc&) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to set decoders", id);
    return false;
  }
  // The structure starts zeroed and only values whose presence flag the input set are read
  // back, so declared defaults never need filling in: both passes skip nanopb's initialisation.
  pb_istream_t input = pb_istream_from_buffer(bytes, length);
  if (!pb_decode_ex(&input, type.descriptor, structure.data(), PB_DECODE_NOINIT)) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id, PB_GET_ERROR(&input));
    return false;
  }
  if (plan.two_pass) {
    std::size_t counted = 0;
    try {
      counted = allocateArrays(type, record);
    } catch (const std::bad_alloc&) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to allocate arrays", id);
      return false;
    }
    // The second pass only stores list elements; with none counted it would change nothing.
    if (counted == 0) {
      populate(type, structure.data(), record);
      return true;
    }
    input = pb_istream_from_buffer(bytes, length);
    if (!pb_decode_ex(&input, type.descriptor, structure.data(), PB_DECODE_NOINIT)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id, PB_GET_ERROR(&input));
      return false;
    }
  }
  populate(type, structure.data(), record);
  return true;
}

// --- encoding ---------------------------------------------------------------------------------
//
// Encoding walks the record directly, in field-number order, in two passes: a sizing pass that
// notes every nested record's size in the record, and a writing pass into a buffer of exactly
// the total size. The bytes are those of the nanopb descriptors (singular 32-bit enums as
// unsigned varints, int32 sign-extended, repeated scalars unpacked); the wire-compatibility test
// holds them to an independent protobuf implementation.

struct EncodeStep {
  uint32_t slot;
  int32_t kind;
  uint8_t tag[2];
  uint8_t tag_length;
};

struct EncodePlan {
  std::vector<EncodeStep> steps;  // ascending field number
};

uint32_t wireTypeOf(int32_t kind) {
  if (kind & (kNanoFieldString | kNanoFieldBytes | kNanoFieldMessage)) return 2;
  if ((kind & kNanoFieldRepeated) == 0 && (kind & kNanoFieldFloat)) return 5;
  if ((kind & kNanoFieldRepeated) == 0 && (kind & kNanoFieldDouble)) return 1;
  return 0;
}

std::vector<EncodePlan> buildEncodePlans() {
  std::vector<EncodePlan> plans(kMessageTypeCount);
  for (std::size_t t = 0; t < kMessageTypeCount; ++t) {
    const MessageType& type = *kMessageTypes[t];
    for (uint32_t s = 0; s < type.slot_count; ++s) {
      EncodeStep step{};
      step.slot = s;
      step.kind = type.fields_type[s];
      uint32_t tag = (type.fields[s].number << 3) | wireTypeOf(step.kind);
      if (tag < 0x80) {
        step.tag[0] = static_cast<uint8_t>(tag);
        step.tag_length = 1;
      } else {
        step.tag[0] = static_cast<uint8_t>(tag | 0x80);
        step.tag[1] = static_cast<uint8_t>(tag >> 7);
        step.tag_length = 2;
      }
      plans[t].steps.push_back(step);
    }
    std::sort(plans[t].steps.begin(), plans[t].steps.end(),
              [&type](const EncodeStep& a, const EncodeStep& b) {
                return type.fields[a.slot].number < type.fields[b.slot].number;
              });
  }
  return plans;
}

const EncodePlan& encodePlanOf(const MessageType& type) {
  static const std::vector<EncodePlan> plans = buildEncodePlans();
  return plans[type.index];
}

inline std::size_t varintSize(uint64_t value) {
  // 7 payload bits per byte: bytes = ceil(significant bits / 7), at least one.
  return static_cast<std::size_t>((64 - __builtin_clzll(value | 1) + 6) / 7);
}

inline uint8_t* writeVarint(uint8_t* out, uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

// The varint a singular scalar cell is written as.
inline uint64_t varintOfCell(int32_t kind, uint64_t cell) {
  if (kind & kNanoFieldBool) return (cell & 0xff) != 0;
  if (kind & kNanoFieldInt32) {
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(cell)));
  }
  if (kind & (kNanoFieldEnum | kNanoFieldUInt32)) return static_cast<uint32_t>(cell);
  return cell;
}

// Sizing pass: the record's encoded size (noted in the record), or false when the record nests
// too deeply or grows past `limit`.
bool sizeRecord(const MessageInfo& record, int32_t depth, std::size_t limit, std::size_t* size) {
  const MessageType& type = record.type();
  if (depth > kMaxMessageNestingDepth) {
    messageDiagnostic(kOut, "<ERROR> %s encoder failed: nested deeper than %d levels",
                      type.message_id, kMaxMessageNestingDepth);
    return false;
  }
  std::size_t total = 0;
  for (const EncodeStep& step : encodePlanOf(type).steps) {
    const MessageSlot& slot = record.slot(step.slot);
    switch (slot.index()) {
    case 0:  // absent; a list never is
      if (step.kind & kNanoFieldRepeated) {
        messageDiagnostic(kOut, "<ERROR> %s Encoder: '%s' should have been allocated",
                          type.message_id, type.fields[step.slot].name);
        return false;
      }
      continue;
    case 1: {
      const uint64_t cell = *std::get_if<uint64_t>(&slot);
      if (step.kind & kNanoFieldFloat) {
        total += step.tag_length + 4;
      } else if (step.kind & kNanoFieldDouble) {
        total += step.tag_length + 8;
      } else {
        total += step.tag_length + varintSize(varintOfCell(step.kind, cell));
      }
      break;
    }
    case 2: {
      const std::string& text = *std::get_if<std::string>(&slot);
      total += step.tag_length + varintSize(text.size()) + text.size();
      break;
    }
    case 3: {
      const MessageInfo* nested = std::get_if<std::unique_ptr<MessageInfo>>(&slot)->get();
      if (!nested) break;
      std::size_t nested_size = 0;
      if (!sizeRecord(*nested, depth + 1, limit, &nested_size)) return false;
      total += step.tag_length + varintSize(nested_size) + nested_size;
      break;
    }
    case 4: {
      const ArrayInfo& header = **std::get_if<ArrayInfo*>(&slot);
      for (uint64_t value : header.scalars)
        total += step.tag_length + varintSize(value);
      for (const std::string& text : header.strings) {
        total += step.tag_length + varintSize(text.size()) + text.size();
      }
      for (const auto& element : header.messages) {
        if (!element) return false;
        std::size_t nested_size = 0;
        if (!sizeRecord(*element, depth + 1, limit, &nested_size)) return false;
        total += step.tag_length + varintSize(nested_size) + nested_size;
      }
      break;
    }
    }
    if (total > limit) return false;
  }
  record.encoded_size = static_cast<uint32_t>(total);
  *size = total;
  return true;
}

// Writing pass, after sizeRecord has noted every nested size.
inline uint8_t* writeTag(uint8_t* out, const EncodeStep& step) {
  out[0] = step.tag[0];
  if (step.tag_length == 2) out[1] = step.tag[1];
  return out + step.tag_length;
}

inline uint8_t* writeBytes(uint8_t* out, const EncodeStep& step, const std::string& text) {
  out = writeVarint(writeTag(out, step), text.size());
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

uint8_t* writeRecord(const MessageInfo& record, uint8_t* out) {
  for (const EncodeStep& step : encodePlanOf(record.type()).steps) {
    const MessageSlot& slot = record.slot(step.slot);
    switch (slot.index()) {
    case 1: {  // scalar cell
      const uint64_t cell = *std::get_if<uint64_t>(&slot);
      out = writeTag(out, step);
      if (step.kind & kNanoFieldFloat) {
        uint32_t bits = static_cast<uint32_t>(cell);
        for (int i = 0; i < 4; ++i)
          *out++ = static_cast<uint8_t>(bits >> (8 * i));
      } else if (step.kind & kNanoFieldDouble) {
        for (int i = 0; i < 8; ++i)
          *out++ = static_cast<uint8_t>(cell >> (8 * i));
      } else {
        out = writeVarint(out, varintOfCell(step.kind, cell));
      }
      break;
    }
    case 2:  // string
      out = writeBytes(out, step, *std::get_if<std::string>(&slot));
      break;
    case 3: {  // sub-message
      const MessageInfo* nested = std::get_if<std::unique_ptr<MessageInfo>>(&slot)->get();
      if (!nested) break;
      out = writeVarint(writeTag(out, step), nested->encoded_size);
      out = writeRecord(*nested, out);
      break;
    }
    case 4: {  // list
      const ArrayInfo& header = **std::get_if<ArrayInfo*>(&slot);
      for (uint64_t value : header.scalars)
        out = writeVarint(writeTag(out, step), value);
      for (const std::string& text : header.strings)
        out = writeBytes(out, step, text);
      for (const auto& element : header.messages) {
        out = writeVarint(writeTag(out, step), element->encoded_size);
        out = writeRecord(*element, out);
      }
      break;
    }
    default:
      break;
    }
  }
  return out;
}

// --- copying ----------------------------------------------------------------------------------

bool copyInto(const MessageInfo& source, MessageInfo* destination, int32_t depth) {
  const MessageType& type = source.type();
  if (depth > kMaxMessageNestingDepth) {
    messageDiagnostic(kOut, "<ERROR> %s copy failed: nested deeper than %d levels", type.message_id,
                      kMaxMessageNestingDepth);
    return false;
  }
  for (uint32_t i = 0; i < type.slot_count; ++i) {
    const MessageSlot& from = source.slot(i);
    if (type.fields_type[i] & kNanoFieldRepeated) {
      const ArrayInfo* in = source.array(i);
      ArrayInfo* out = destination->array(i);
      if (!in || !out || in->size() == 0) continue;
      out->scalars = in->scalars;
      out->strings = in->strings;
      out->messages.reserve(in->messages.size());
      for (const auto& element : in->messages) {
        if (!element) continue;
        auto copy = MessageInfo::create(element->type());
        if (!copyInto(*element, copy.get(), depth + 1)) return false;
        out->messages.push_back(std::move(copy));
      }
      out->count = static_cast<uint32_t>(out->size());
      out->allocated = true;
    } else if (const auto* text = std::get_if<std::string>(&from)) {
      destination->slot(i) = *text;
    } else if (const auto* cell = std::get_if<uint64_t>(&from)) {
      destination->slot(i) = *cell;
    } else if (const auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&from)) {
      if (!*nested) continue;
      auto copy = MessageInfo::create((*nested)->type());
      if (!copyInto(**nested, copy.get(), depth + 1)) return false;
      destination->slot(i) = std::move(copy);
    }
  }
  return true;
}

}  // namespace

// --- field callbacks --------------------------------------------------------------------------

bool nano_decode_string(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* slot = arg ? static_cast<MessageSlot*>(*arg) : nullptr;
  if (!slot) return false;
  if (std::holds_alternative<std::string>(*slot)) {
    // Second pass, or the field repeated in the input: the first occurrence stays.
    return pb_read(stream, nullptr, stream->bytes_left);
  }
  std::size_t n = stream->bytes_left;
  if (n > kMaxDecodedStringLength) {
    messageDiagnostic(kOut, "Unable to process proto stream. Buffer is too big. %zu > %d", n,
                      static_cast<int>(kMaxDecodedStringLength));
    return false;
  }
  try {
    std::string value(n, '\0');
    if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(value.data()), n)) return false;
    *slot = std::move(value);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg) {
  auto* header = arg ? static_cast<ArrayInfo*>(*arg) : nullptr;
  if (!header) return false;
  if (!header->allocated) {
    if (!pb_read(stream, nullptr, stream->bytes_left)) return false;
    ++header->count;
    return true;
  }
  MessageSlot element;
  void* element_arg = &element;
  if (!nano_decode_string(stream, field, &element_arg)) return false;
  try {
    header->strings.push_back(std::move(std::get<std::string>(element)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++header->index;
  return true;
}

bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* header = arg ? static_cast<ArrayInfo*>(*arg) : nullptr;
  if (!header) return false;
  // A packed list of length 0 reaches here once with nothing to read: zero elements.
  if (stream->bytes_left == 0) return true;
  uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  if (!header->allocated) {
    ++header->count;
    return true;
  }
  try {
    header->scalars.push_back(value);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++header->index;
  return true;
}

bool apmpb_decode_repeated(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* header = arg ? static_cast<ArrayInfo*>(*arg) : nullptr;
  if (!header || !header->element_type) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: Invalid arg parameter",
                      header ? "(unknown)" : "(null)");
    return false;
  }
  const MessageType& type = *header->element_type;
  const char* id = type.message_id;
  if (!header->allocated) {
    if (!pb_read(stream, nullptr, stream->bytes_left)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id, PB_GET_ERROR(stream));
      return false;
    }
    ++header->count;
    return true;
  }
  try {
    std::size_t n = stream->bytes_left;
    ElementBytes bytes(n);
    if (!pb_read(stream, bytes.data(), n)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to extract buffer from stream",
                        id);
      return false;
    }
    auto element = MessageInfo::create(type);
    if (!decodeRecord(type, bytes.data(), n, element.get(), header->depth + 1)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to decode repeated %s", id, id);
      return false;
    }
    header->messages.push_back(std::move(element));
  } catch (const std::bad_alloc&) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to initialize MessageInfo", id);
    return false;
  }
  ++header->index;
  return true;
}

// --- the family -------------------------------------------------------------------------------

std::unique_ptr<MessageInfo> apmpb_new(const MessageType& type) {
  return MessageInfo::create(type);
}

bool apmpb_free_field(MessageInfo* record, int32_t index) {
  if (!record) return false;
  if (index < 0 || static_cast<uint32_t>(index) >= record->slotCount()) {
    messageDiagnostic(kOut, "<ERROR> %s: Cannot deallocate field %d: Unknown field",
                      record->message_id(), index);
    return false;
  }
  if (ArrayInfo* header = record->array(static_cast<uint32_t>(index))) {
    nano_init_array_info(header);
  } else {
    record->slot(static_cast<uint32_t>(index)) = std::monostate{};
  }
  return true;
}

bool apmpb_copy(std::unique_ptr<MessageInfo>* destination, const MessageInfo* source) {
  if (!destination || !source) return false;
  try {
    destination->reset();
    *destination = MessageInfo::create(source->type());
    return copyInto(*source, destination->get(), 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool apmpb_decode(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record) {
  if (!bytes && length) return false;
  return decodeRecord(type, bytes, length, record, 1);
}

int32_t apmpb_encode(const MessageInfo* record, std::vector<uint8_t>* buffer) {
  return apmpb_encode_with_limit(record, buffer, static_cast<std::size_t>(INT32_MAX));
}

int32_t apmpb_encode_with_limit(const MessageInfo* record, std::vector<uint8_t>* buffer,
                                std::size_t limit) {
  if (!buffer) return -1;
  std::vector<uint8_t>().swap(*buffer);
  if (!record) return -1;
  std::size_t size = 0;
  if (!sizeRecord(*record, 1, std::min<std::size_t>(limit, INT32_MAX), &size)) return -1;
  try {
    buffer->resize(size);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  uint8_t* end = writeRecord(*record, buffer->data());
  if (static_cast<std::size_t>(end - buffer->data()) != size) {
    std::vector<uint8_t>().swap(*buffer);
    return -1;
  }
  return static_cast<int32_t>(size);
}
