#include "measurement/messages/message_codec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_types.h"

namespace {

constexpr MessageLogChannel kOut = MessageLogChannel::kStandardOutput;

// Bytes of a record of each type (MessageInfo::allocationSize, worked out once).
std::size_t recordBytes(const MessageType& type) {
  // Never destroyed, like the plans below: worker threads may still encode while the process
  // runs its static destructors.
  static const std::vector<std::size_t>& sizes = *new std::vector<std::size_t>([] {
    std::vector<std::size_t> out;
    for (const MessageType* t : kMessageTypes)
      out.push_back(MessageInfo::allocationSize(*t));
    return out;
  }());
  return sizes[type.index];
}

// --- decoding ---------------------------------------------------------------------------------
//
// Decoding is driven by the schema table and keeps the wire rules of the nanopb runtime, so
// accepted input, results and failure lines (with the runtime's error texts) stay as they were
// when that runtime decoded: singular scalars keep their last occurrence and singular strings
// their first, a repeated singular sub-message merges, lists take packed and unpacked input,
// unknown fields are skipped, enum fields take unsigned 32-bit values. A type with lists (of its
// own or inside a singular sub-message) is walked twice: the first pass checks the input, stores
// the singular fields and counts list elements; the second reserves exactly and stores the
// elements.

// What a decoding run may still allocate (see kMaxDecodedBytesPerInputByte).
struct DecodeBudget {
  std::size_t left;
};

constexpr const char* kDecodedSizeExceeded = "decoded size limit exceeded";
// What the allocator adds to each block, for the budget.
constexpr std::size_t kAllocationOverhead = 16;
// The longest string kept inside std::string itself, without an allocation.
constexpr std::size_t kInlineStringLength = 15;

// The error of a stream keeps its first message, as the runtime's does; a sub-stream starts
// from its parent's and hands its own back when it closes.
struct WireStream {
  const uint8_t* p;
  std::size_t left;
  const char* error;
  DecodeBudget* budget;

  bool charge(std::size_t bytes) {
    if (bytes > budget->left) return fail(kDecodedSizeExceeded);
    budget->left -= bytes;
    return true;
  }

  bool fail(const char* message) {
    if (!error) error = message;
    return false;
  }
};

enum class Pass { kCount, kStore };

constexpr int kWireVarint = 0, kWire64 = 1, kWireBytes = 2, kWire32 = 5;

struct DecodePlan {
  std::vector<int32_t> slot_of;  // by field number; -1 for numbers the type does not know
  bool two_pass = false;         // lists of its own or inside a singular sub-message
};

std::vector<DecodePlan> buildDecodePlans() {
  std::vector<DecodePlan> plans(kMessageTypeCount);
  for (std::size_t t = 0; t < kMessageTypeCount; ++t) {
    const MessageType& type = *kMessageTypes[t];
    uint32_t highest = 0;
    for (uint32_t s = 0; s < type.slot_count; ++s)
      highest = std::max(highest, type.fields[s].number);
    plans[t].slot_of.assign(highest + 1, -1);
    for (uint32_t s = 0; s < type.slot_count; ++s)
      plans[t].slot_of[type.fields[s].number] = static_cast<int32_t>(s);
  }
  bool changed = true;
  while (changed) {
    changed = false;
    for (std::size_t t = 0; t < kMessageTypeCount; ++t) {
      if (plans[t].two_pass) continue;
      const MessageType& type = *kMessageTypes[t];
      for (uint32_t s = 0; s < type.slot_count; ++s) {
        const int32_t kind = type.fields_type[s];
        if ((kind & kNanoFieldRepeated) ||
            ((kind & kNanoFieldMessage) && plans[type.fields[s].sub_type->index].two_pass)) {
          plans[t].two_pass = changed = true;
          break;
        }
      }
    }
  }
  return plans;
}

const DecodePlan& decodePlanOf(const MessageType& type) {
  static const std::vector<DecodePlan>& plans = *new std::vector<DecodePlan>(buildDecodePlans());
  return plans[type.index];
}

inline bool readByte(WireStream& in, uint8_t* byte) {
  if (in.left == 0) return in.fail("end-of-stream");
  *byte = *in.p++;
  --in.left;
  return true;
}

inline bool skipBytes(WireStream& in, std::size_t count) {
  if (in.left < count) return in.fail("end-of-stream");
  in.p += count;
  in.left -= count;
  return true;
}

// A varint of at most 64 significant bits (ten bytes, the last one 0 or 1).
inline bool readVarint(WireStream& in, uint64_t* value) {
  if (in.left > 0 && *in.p < 0x80) {
    *value = *in.p++;
    --in.left;
    return true;
  }
  uint64_t result = 0;
  unsigned shift = 0;
  uint8_t byte;
  do {
    if (!readByte(in, &byte)) return false;
    if (shift >= 63 && (byte & 0xfe) != 0) return in.fail("varint overflow");
    result |= static_cast<uint64_t>(byte & 0x7f) << shift;
    shift += 7;
  } while (byte & 0x80);
  *value = result;
  return true;
}

// A varint that must fit 32 bits (tags, lengths, booleans): longer forms are accepted only as
// padding or as the sign extension of a negative 32-bit value.
bool readVarint32(WireStream& in, uint32_t* value) {
  uint8_t byte;
  if (!readByte(in, &byte)) return false;
  if ((byte & 0x80) == 0) {
    *value = byte;
    return true;
  }
  uint32_t result = byte & 0x7f;
  unsigned shift = 7;
  do {
    if (!readByte(in, &byte)) return false;
    if (shift >= 32) {
      const uint8_t sign_extension = shift < 63 ? 0xff : 0x01;
      const bool valid = (byte & 0x7f) == 0 || ((result >> 31) != 0 && byte == sign_extension);
      if (shift >= 64 || !valid) return in.fail("varint overflow");
    } else if (shift == 28) {
      if ((byte & 0x70) != 0 && (byte & 0x78) != 0x78) return in.fail("varint overflow");
      result |= static_cast<uint32_t>(byte & 0x0f) << shift;
    } else {
      result |= static_cast<uint32_t>(byte & 0x7f) << shift;
    }
    shift += 7;
  } while (byte & 0x80);
  *value = result;
  return true;
}

bool skipField(WireStream& in, int wire) {
  switch (wire) {
  case kWireVarint: {
    uint8_t byte;
    do {
      if (!readByte(in, &byte)) return false;
    } while (byte & 0x80);
    return true;
  }
  case kWire64:
    return skipBytes(in, 8);
  case kWireBytes: {
    uint32_t length;
    if (!readVarint32(in, &length)) return false;
    return skipBytes(in, length);
  }
  case kWire32:
    return skipBytes(in, 4);
  default:
    return in.fail("invalid wire_type");
  }
}

// The length-delimited part that starts at `in`, as a stream of its own.
bool openSubstream(WireStream& in, WireStream* sub) {
  uint32_t length;
  if (!readVarint32(in, &length)) return false;
  if (length > in.left) return in.fail("parent stream too short");
  *sub = WireStream{in.p, length, in.error, in.budget};
  return true;
}

// Moves `in` past a sub-stream and takes back its error.
void closeSubstream(WireStream& in, const WireStream& sub) {
  in.left -= static_cast<std::size_t>(sub.p + sub.left - in.p);
  in.p = sub.p + sub.left;
  in.error = sub.error;
}

bool decodeRecord(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record, int32_t depth, DecodeBudget* budget, bool fresh);

// One string value; a slot that already holds a string keeps it (the first occurrence wins).
bool decodeString(WireStream& in, MessageSlot* slot) {
  if (std::holds_alternative<std::string>(*slot)) return skipBytes(in, in.left);
  const std::size_t n = in.left;
  if (n > kMaxDecodedStringLength) {
    messageDiagnostic(kOut, "Unable to process proto stream. Buffer is too big. %zu > %d", n,
                      static_cast<int>(kMaxDecodedStringLength));
    return false;
  }
  if (n > kInlineStringLength && !in.charge(n + 1 + kAllocationOverhead)) return false;
  *slot = std::string(reinterpret_cast<const char*>(in.p), n);
  in.p += n;
  in.left = 0;
  return true;
}

// One element of a list, or (packed) the elements in the rest of `in`.
bool decodeListElement(WireStream& in, ArrayInfo* header, int32_t kind, Pass pass) {
  if (kind & kNanoFieldMessage) {
    const MessageType& type = *header->element_type;
    if (pass == Pass::kCount) {
      skipBytes(in, in.left);
      ++header->count;
      return true;
    }
    const uint8_t* bytes = in.p;
    const std::size_t n = in.left;
    skipBytes(in, n);
    if (!in.charge(recordBytes(type) + kAllocationOverhead)) return false;
    auto element = MessageInfo::create(type);
    if (!decodeRecord(type, bytes, n, element.get(), header->depth + 1, in.budget, true)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to decode repeated %s",
                        type.message_id, type.message_id);
      return false;
    }
    header->messages.push_back(std::move(element));
    ++header->index;
    return true;
  }
  if (kind & (kNanoFieldString | kNanoFieldBytes)) {
    if (pass == Pass::kCount) {
      skipBytes(in, in.left);
      ++header->count;
      return true;
    }
    MessageSlot element;
    if (!decodeString(in, &element)) return false;
    header->strings.push_back(std::move(*std::get_if<std::string>(&element)));
    ++header->index;
    return true;
  }
  // A packed list of length 0 reaches here once with nothing to read: zero elements.
  if (in.left == 0) return true;
  uint64_t value;
  if (!readVarint(in, &value)) return false;
  if (pass == Pass::kCount) {
    ++header->count;
  } else {
    header->scalars.push_back(value);
    ++header->index;
  }
  return true;
}

// A field whose value the wire library would hand to a callback (strings and lists): a
// length-delimited value is offered whole (list elements repeatedly, for packed input); any other
// wire type is offered as its raw bytes.
template <class Handler> bool decodeByCallback(WireStream& in, int wire, Handler&& handler) {
  if (wire == kWireBytes) {
    WireStream sub;
    if (!openSubstream(in, &sub)) return false;
    std::size_t before;
    do {
      before = sub.left;
      if (!handler(sub)) return in.fail(sub.error ? sub.error : "callback failed");
    } while (sub.left > 0 && sub.left < before);
    closeSubstream(in, sub);
    return true;
  }
  uint8_t raw[10];
  std::size_t size = 0;
  switch (wire) {
  case kWireVarint: {
    uint8_t byte;
    do {
      if (size >= sizeof raw) return in.fail("varint overflow");
      if (!readByte(in, &byte)) return false;
      raw[size++] = byte;
    } while (byte & 0x80);
    break;
  }
  case kWire64:
  case kWire32:
    size = wire == kWire64 ? 8 : 4;
    if (in.left < size) return in.fail("end-of-stream");
    std::memcpy(raw, in.p, size);
    in.p += size;
    in.left -= size;
    break;
  default:
    return in.fail("invalid wire_type");
  }
  WireStream sub{raw, size, nullptr, in.budget};
  return handler(sub);
}

bool decodeFields(const MessageType& type, WireStream& in, MessageInfo* record, int32_t depth,
                  Pass pass);

bool decodeField(const MessageType& type, WireStream& in, MessageInfo* record, int32_t depth,
                 Pass pass, uint32_t s, int wire) {
  const int32_t kind = type.fields_type[s];
  MessageSlot& slot = record->slot(s);
  if (kind & kNanoFieldRepeated) {
    ArrayInfo* header = *std::get_if<ArrayInfo*>(&slot);
    return decodeByCallback(
        in, wire, [&](WireStream& sub) { return decodeListElement(sub, header, kind, pass); });
  }
  if (kind & (kNanoFieldString | kNanoFieldBytes)) {
    return decodeByCallback(in, wire, [&](WireStream& sub) { return decodeString(sub, &slot); });
  }
  if (kind & kNanoFieldMessage) {
    if (wire != kWireBytes) return in.fail("wrong wire type");
    WireStream sub;
    if (!openSubstream(in, &sub)) return false;
    const MessageType& sub_type = *type.fields[s].sub_type;
    auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&slot);
    if (!nested || !*nested) {
      if (!in.charge(recordBytes(sub_type) + kAllocationOverhead)) return false;
      slot = MessageInfo::create(sub_type);
      nested = std::get_if<std::unique_ptr<MessageInfo>>(&slot);
      MessageInfo* created = nested->get();
      for (uint32_t i = 0; i < created->slotCount(); ++i) {
        if (ArrayInfo* list = created->array(i)) list->depth = depth + 1;
      }
    }
    if (!decodeFields(sub_type, sub, nested->get(), depth + 1, pass)) {
      in.error = sub.error;
      return false;
    }
    closeSubstream(in, sub);
    return true;
  }
  uint64_t cell = 0;
  if (kind & kNanoFieldFloat) {
    if (wire != kWire32) return in.fail("wrong wire type");
    if (in.left < 4) return in.fail("end-of-stream");
    uint32_t bits;
    std::memcpy(&bits, in.p, 4);
    in.p += 4;
    in.left -= 4;
    cell = bits;
  } else if (kind & kNanoFieldDouble) {
    if (wire != kWire64) return in.fail("wrong wire type");
    if (in.left < 8) return in.fail("end-of-stream");
    std::memcpy(&cell, in.p, 8);
    in.p += 8;
    in.left -= 8;
  } else {
    if (wire != kWireVarint) return in.fail("wrong wire type");
    if (kind & kNanoFieldBool) {
      uint32_t value;
      if (!readVarint32(in, &value)) return false;
      cell = value != 0;
    } else {
      if (!readVarint(in, &cell)) return false;
      if (kind & kNanoFieldEnum) {
        // Enums are unsigned 32-bit on this wire; anything wider is refused.
        if (cell > UINT32_MAX) return in.fail("integer too large");
      } else if (kind & (kNanoFieldInt32 | kNanoFieldUInt32)) {
        cell = static_cast<uint32_t>(cell);
      }
    }
  }
  slot = cell;
  return true;
}

bool decodeFields(const MessageType& type, WireStream& in, MessageInfo* record, int32_t depth,
                  Pass pass) {
  const DecodePlan& plan = decodePlanOf(type);
  while (in.left > 0) {
    uint32_t tag;
    if (!readVarint32(in, &tag)) return false;
    const uint32_t number = tag >> 3;
    const int wire = static_cast<int>(tag & 7);
    if (number == 0) return in.fail("zero tag");
    const int32_t s = number < plan.slot_of.size() ? plan.slot_of[number] : -1;
    if (s < 0) {
      if (!skipField(in, wire)) return false;
      continue;
    }
    if (!decodeField(type, in, record, depth, pass, static_cast<uint32_t>(s), wire)) return false;
  }
  return true;
}

// Starting state of a record about to be decoded: empty lists, no singular sub-messages.
void resetForDecoding(const MessageType& type, MessageInfo* record, int32_t depth, bool fresh) {
  if (!decodePlanOf(type).two_pass && fresh) return;
  for (uint32_t s = 0; s < type.slot_count; ++s) {
    const int32_t kind = type.fields_type[s];
    if (kind & kNanoFieldRepeated) {
      ArrayInfo* header = record->array(s);
      if (!fresh) nano_init_array_info(header);
      header->depth = depth;
    } else if ((kind & kNanoFieldMessage) && !fresh) {
      record->slot(s) = std::monostate{};
    }
  }
}

// Between the passes: reserve exactly the counted elements of every list, nested ones included.
// Adds how many elements the first pass counted in all of them to *counted; false when the
// storage would not fit the budget.
bool reserveLists(const MessageType& type, MessageInfo* record, WireStream& in,
                  std::size_t* counted) {
  for (uint32_t s = 0; s < type.slot_count; ++s) {
    const int32_t kind = type.fields_type[s];
    if (kind & kNanoFieldRepeated) {
      ArrayInfo* header = record->array(s);
      *counted += header->count;
      if (header->count > 0) {
        const std::size_t element =
            (kind & kNanoFieldMessage)                      ? sizeof(std::unique_ptr<MessageInfo>)
            : (kind & (kNanoFieldString | kNanoFieldBytes)) ? sizeof(std::string)
                                                            : sizeof(uint64_t);
        if (!in.charge(header->count * element + kAllocationOverhead)) return false;
      }
      if (kind & kNanoFieldMessage) {
        header->messages.reserve(header->count);
      } else if (kind & (kNanoFieldString | kNanoFieldBytes)) {
        header->strings.reserve(header->count);
      } else {
        header->scalars.reserve(header->count);
      }
      header->allocated = true;
      header->index = 0;
    } else if (kind & kNanoFieldMessage) {
      auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&record->slot(s));
      if (nested && *nested && !reserveLists(*type.fields[s].sub_type, nested->get(), in, counted))
        return false;
    }
  }
  return true;
}

// `fresh`: the record was just created, so it is already in its starting state.
bool decodeRecord(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record, int32_t depth, DecodeBudget* budget, bool fresh) {
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
  try {
    resetForDecoding(type, record, depth, fresh);
    const bool two_pass = decodePlanOf(type).two_pass;
    WireStream input{bytes, length, nullptr, budget};
    if (!decodeFields(type, input, record, depth, two_pass ? Pass::kCount : Pass::kStore)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id,
                        input.error ? input.error : "(none)");
      return false;
    }
    if (!two_pass) return true;
    std::size_t counted = 0;
    input = WireStream{bytes, length, nullptr, budget};
    if (!reserveLists(type, record, input, &counted)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id, input.error);
      return false;
    }
    // The second pass only stores list elements; with none counted it would change nothing.
    if (counted == 0) return true;
    if (!decodeFields(type, input, record, depth, Pass::kStore)) {
      messageDiagnostic(kOut, "<ERROR> %s decoder failed: %s", id,
                        input.error ? input.error : "(none)");
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    messageDiagnostic(kOut, "<ERROR> %s decoder failed: Unable to allocate", id);
    return false;
  }
}

// --- encoding ---------------------------------------------------------------------------------
//
// Encoding walks the record directly, once, writing backwards (see ReverseWriter); the sizing
// walk in field-number order only runs after a failure, to report it. The bytes are those of the
// nanopb descriptors (singular 32-bit enums as unsigned varints, int32 sign-extended, repeated
// scalars unpacked); the wire-compatibility test holds them to an independent protobuf
// implementation.

struct EncodeStep {
  uint32_t slot;
  uint32_t slot_offset;  // of the slot from the record's first, in bytes
  int32_t kind;
  // The tag's bytes, ending at the second: a one-byte tag is {0, tag}. Both are stored in one
  // go in front of the write position, which always has room for them (see putTag).
  uint8_t tag_tail[2];
  uint8_t tag_length;
};

// Slot alternatives (MessageSlot's index).
constexpr std::size_t kSlotAbsent = 0, kSlotCell = 1, kSlotString = 2, kSlotMessage = 3,
                      kSlotList = 4;

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
      step.slot_offset = static_cast<uint32_t>(s * sizeof(MessageSlot));
      step.kind = type.fields_type[s];
      uint32_t tag = (type.fields[s].number << 3) | wireTypeOf(step.kind);
      if (tag < 0x80) {
        step.tag_tail[0] = 0;
        step.tag_tail[1] = static_cast<uint8_t>(tag);
        step.tag_length = 1;
      } else {
        step.tag_tail[0] = static_cast<uint8_t>(tag | 0x80);
        step.tag_tail[1] = static_cast<uint8_t>(tag >> 7);
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
  static const std::vector<EncodePlan>& plans = *new std::vector<EncodePlan>(buildEncodePlans());
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

// Sizing walk: the record's encoded size (noted in the record), or false when the record nests
// too deeply or grows past `limit`, with the failure's line.
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

// Writing runs backwards from the end of the buffer, fields in descending order and list
// elements last to first: a nested record is written before its length prefix, so its size is
// known without a sizing pass over the records.
//
// The write position travels as a plain pointer through the calls (taken and handed back)
// rather than living in the writer: bytes stored through it could otherwise alias the writer's
// members, and the compiler would reload them after every byte.
class ReverseWriter {
 public:
  ReverseWriter(std::vector<uint8_t>* buffer, std::size_t limit) : buffer_(buffer), limit_(limit) {
    buffer_->resize(std::max<std::size_t>(buffer_->capacity(), 16));
    begin_ = buffer_->data();
    end_ = begin_ + buffer_->size();
  }

  // Where writing starts: the end of the buffer.
  uint8_t* end() const { return end_; }
  std::size_t written(const uint8_t* p) const { return static_cast<std::size_t>(end_ - p); }
  bool overLimit(const uint8_t* p) const { return written(p) > limit_; }

  // Room for `n` more bytes in front of `p`: `p` itself, or where the written bytes moved to;
  // null once past the limit (the buffer never grows beyond the limit and one item).
  uint8_t* reserve(uint8_t* p, std::size_t n) {
    if (static_cast<std::size_t>(p - begin_) >= n) return p;
    return grow(p, n);
  }

  // A tag (at most two bytes here) and a varint.
  static constexpr std::size_t kMaxKeyAndLength = 2 + 10;

 private:
  uint8_t* grow(uint8_t* p, std::size_t n) {
    const std::size_t used = written(p);
    if (used > limit_) return nullptr;
    const std::size_t size = std::min(std::max(buffer_->size() * 2, used + n), limit_ + n);
    std::vector<uint8_t> bigger(size);
    std::memcpy(bigger.data() + size - used, p, used);
    buffer_->swap(bigger);
    begin_ = buffer_->data();
    end_ = begin_ + size;
    return end_ - used;
  }

  std::vector<uint8_t>* buffer_;
  std::size_t limit_;
  uint8_t* begin_;
  uint8_t* end_;
};

inline uint8_t* putVarint(uint8_t* p, uint64_t value) {
  // Lengths, small numbers and booleans: one byte, without working out the size.
  if (value < 0x80) {
    *--p = static_cast<uint8_t>(value);
    return p;
  }
  p -= varintSize(value);
  writeVarint(p, value);
  return p;
}

// Every tag follows a reserve() of kMaxKeyAndLength that at most a varint of ten bytes used up,
// so the two bytes in front of `p` are free: a one-byte tag stores a byte there that the next
// write covers.
inline uint8_t* putTag(uint8_t* p, const EncodeStep& step) {
  std::memcpy(p - 2, step.tag_tail, 2);
  return p - step.tag_length;
}

inline uint8_t* putLittleEndian(uint8_t* p, uint64_t value, int bytes) {
  p -= bytes;
  for (int i = 0; i < bytes; ++i)
    p[i] = static_cast<uint8_t>(value >> (8 * i));
  return p;
}

// Copies `n` bytes. The strings of these messages are mostly names and short values: up to 16
// bytes they are copied with two fixed-size moves that overlap, not with a library call.
inline void copyBytes(uint8_t* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i)
      to[i] = static_cast<uint8_t>(from[i]);
  } else {
    std::memcpy(to, from, n);
  }
}

inline uint8_t* putString(ReverseWriter& out, uint8_t* p, const EncodeStep& step,
                          const std::string& text) {
  p = out.reserve(p, text.size() + ReverseWriter::kMaxKeyAndLength);
  if (!p) return nullptr;
  p -= text.size();
  copyBytes(p, text.data(), text.size());
  return putTag(putVarint(p, text.size()), step);
}

template <bool kNested>
uint8_t* writeRecord(const MessageInfo& record, const EncodeStep* holder, int32_t depth,
                     ReverseWriter& out, uint8_t* p);

void prefetchRecord(const MessageInfo* record, std::size_t bytes) {
  if (!record) return;
  const auto* block = reinterpret_cast<const char*>(record);
  for (std::size_t offset = 0; offset < bytes; offset += 64)
    __builtin_prefetch(block + offset);
}

// Writes one present slot that holds alternative `held`. Inlined into the record loop: a call
// per present field costs more than most fields take to write.
[[gnu::always_inline]] inline uint8_t* writeSlot(std::size_t held, const MessageSlot& slot,
                                                 const EncodeStep& step, int32_t depth,
                                                 ReverseWriter& out, uint8_t* p) {
  switch (held) {
  case kSlotCell: {
    const uint64_t cell = *std::get_if<uint64_t>(&slot);
    p = out.reserve(p, ReverseWriter::kMaxKeyAndLength);
    if (!p) return nullptr;
    if (step.kind & kNanoFieldFloat) {
      p = putLittleEndian(p, cell, 4);
    } else if (step.kind & kNanoFieldDouble) {
      p = putLittleEndian(p, cell, 8);
    } else {
      p = putVarint(p, varintOfCell(step.kind, cell));
    }
    return putTag(p, step);
  }
  case kSlotString:
    return putString(out, p, step, *std::get_if<std::string>(&slot));
  case kSlotMessage: {
    const MessageInfo* nested = std::get_if<std::unique_ptr<MessageInfo>>(&slot)->get();
    return nested ? writeRecord<true>(*nested, &step, depth + 1, out, p) : p;
  }
  case kSlotList: {  // only one of its vectors is used
    const ArrayInfo& header = **std::get_if<ArrayInfo*>(&slot);
    if (!header.messages.empty()) {
      const auto& elements = header.messages;
      const std::size_t bytes = header.element_type ? recordBytes(*header.element_type) : 0;
      for (std::size_t i = elements.size(); i > 0; --i) {
        // Records of a list lie apart on the heap: fetching the next ones while this one is
        // written hides most of the wait for memory.
        if (i >= 3) prefetchRecord(elements[i - 3].get(), bytes);
        if (!elements[i - 1]) return nullptr;
        p = writeRecord<true>(*elements[i - 1], &step, depth + 1, out, p);
        if (!p) return nullptr;
      }
    }
    for (auto e = header.strings.rbegin(); e != header.strings.rend(); ++e) {
      p = putString(out, p, step, *e);
      if (!p) return nullptr;
    }
    for (auto e = header.scalars.rbegin(); e != header.scalars.rend(); ++e) {
      p = out.reserve(p, ReverseWriter::kMaxKeyAndLength);
      if (!p) return nullptr;
      p = putTag(putVarint(p, *e), step);
    }
    return p;
  }
  }
  return p;
}

// Writes a record's fields; a nested record (kNested) then gets its length and the tag of the
// field `holder` in front, in the same call, as a record's size is only known once it is
// written. Fails silently (too deep, a missing list header or element, past the limit) with
// null: the caller asks sizeRecord for the failure's line.
template <bool kNested>
uint8_t* writeRecord(const MessageInfo& record, const EncodeStep* holder, int32_t depth,
                     ReverseWriter& out, uint8_t* p) {
  if (depth > kMaxMessageNestingDepth) return nullptr;
  const std::size_t before = out.written(p);
  const EncodePlan& plan = encodePlanOf(record.type());
  // Held in locals: the bytes written through `p` could alias the record's members, which the
  // compiler would otherwise load again after every write.
  const MessageSlot* const slots = record.slots();
  const EncodeStep* const first = plan.steps.data();
  for (const EncodeStep* step = first + plan.steps.size(); step-- != first;) {
    const MessageSlot& slot = *reinterpret_cast<const MessageSlot*>(
        reinterpret_cast<const char*>(slots) + step->slot_offset);
    const std::size_t held = slot.index();
    // Most fields of a record are absent: they are passed over before the dispatch on what a
    // slot holds.
    if (held == kSlotAbsent) {  // a list never is
      if (step->kind & kNanoFieldRepeated) return nullptr;
      continue;
    }
    p = writeSlot(held, slot, *step, depth, out, p);
    if (!p) return nullptr;
  }
  if (out.overLimit(p)) return nullptr;
  if constexpr (kNested) {
    const std::size_t size = out.written(p) - before;
    p = out.reserve(p, ReverseWriter::kMaxKeyAndLength);
    if (!p) return nullptr;
    return putTag(putVarint(p, size), *holder);
  } else {
    (void)before;
    (void)holder;
    return p;
  }
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
  DecodeBudget budget{kMinDecodedBytesBound + kMaxDecodedBytesPerInputByte * length};
  return decodeRecord(type, bytes, length, record, 1, &budget, false);
}

int32_t apmpb_encode(const MessageInfo* record, std::vector<uint8_t>* buffer) {
  return apmpb_encode_with_limit(record, buffer, static_cast<std::size_t>(INT32_MAX));
}

int32_t apmpb_encode_with_limit(const MessageInfo* record, std::vector<uint8_t>* buffer,
                                std::size_t limit) {
  if (!buffer) return -1;
  if (!record) {
    std::vector<uint8_t>().swap(*buffer);
    return -1;
  }
  limit = std::min<std::size_t>(limit, INT32_MAX);
  // A buffer with room is written in place. A new one would have to grow step by step, so the
  // encoding is written into this thread's scratch buffer and copied into an exact allocation;
  // the scratch keeps its capacity for the next encoding unless it grew large.
  thread_local std::vector<uint8_t> scratch;
  constexpr std::size_t kMaxKeptScratch = std::size_t{4} << 20;
  std::vector<uint8_t>* target = buffer->capacity() > 0 ? buffer : &scratch;
  bool written = false;
  try {
    ReverseWriter out(target, limit);
    const uint8_t* start = writeRecord<false>(*record, nullptr, 1, out, out.end());
    written = start != nullptr;
    if (written) {
      const std::size_t size = out.written(start);
      if (target == buffer) {
        if (start != buffer->data()) std::memmove(buffer->data(), start, size);
        buffer->resize(size);
      } else {
        buffer->assign(start, start + size);
      }
    }
  } catch (const std::bad_alloc&) {
    written = false;
  }
  if (scratch.capacity() > kMaxKeptScratch) std::vector<uint8_t>().swap(scratch);
  if (!written) {
    std::vector<uint8_t>().swap(*buffer);
    // The sizing walk meets the same fault in field order and prints its line.
    std::size_t ignored = 0;
    sizeRecord(*record, 1, limit, &ignored);
    return -1;
  }
  return static_cast<int32_t>(buffer->size());
}
