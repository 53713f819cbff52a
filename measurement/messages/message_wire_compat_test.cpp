// Our encoder against an independent protobuf implementation: for every message type, a record
// with every field present must encode to exactly the bytes python3-protobuf produces from the
// same values with the generated .proto, and our decoder must read back both that encoding and a
// packed re-encoding of the repeated scalars.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_types.h"

namespace {

constexpr int kMaxFilledDepth = 3;

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::vector<uint8_t> unhex(const std::string& text) {
  std::vector<uint8_t> out;
  if (text == "-") return out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The filling rule of wire_reference.py, driven by our schema table instead of the descriptors.
void fill(MessageInfo* record, int depth) {
  const MessageType& type = record->type();
  for (uint32_t i = 0; i < type.slot_count; ++i) {
    const MessageFieldInfo& field = type.fields[i];
    const int64_t n = field.number;
    MessageSlot* slot = &record->slot(i);
    if (field.kind & kNanoFieldRepeated) {
      ArrayInfo* list = record->array(i);
      if (field.kind & kNanoFieldMessage) {
        for (int e = 0; e < 2; ++e) {
          auto element = apmpb_new(*field.sub_type);
          if (depth < kMaxFilledDepth) fill(element.get(), depth + 1);
          list->messages.push_back(std::move(element));
        }
      } else if (field.kind & kNanoFieldString) {
        list->strings = {"", "r" + std::to_string(n)};
      } else if (field.kind & kNanoFieldUInt32) {
        list->scalars = {static_cast<uint64_t>(n), 0xffffffffull};
      } else if (field.kind & kNanoFieldUInt64) {
        list->scalars = {static_cast<uint64_t>(n), ~0ull};
      } else if (field.kind & kNanoFieldInt64) {
        list->scalars = {static_cast<uint64_t>(-n), 1ull << 40};
      } else {
        FAIL() << "no list rule for " << type.message_id << "." << field.name;
      }
      continue;
    }
    switch (field.kind & ~kNanoFieldSingular) {
    case kNanoFieldBool:
      nano_set_bool(slot, true);
      break;
    case kNanoFieldEnum:
      nano_set_uint32(slot, 1);
      break;
    case kNanoFieldInt32:
      nano_set_uint32(slot, static_cast<uint32_t>(static_cast<int32_t>(-n)));
      break;
    case kNanoFieldInt64:
      nano_set_uint64(slot, static_cast<uint64_t>(-(n * 1000003)));
      break;
    case kNanoFieldFloat:
      nano_set_float(slot, static_cast<float>(n) + 0.5f);
      break;
    case kNanoFieldDouble:
      nano_set_double(slot, -(static_cast<double>(n) + 0.25));
      break;
    case kNanoFieldString: {
      std::string text = n % 2 == 0 ? "" : "f" + std::to_string(n) + "-\xc3\xa9";
      nano_set_string(slot, text.data(), text.size());
      break;
    }
    case kNanoFieldMessage: {
      auto nested = apmpb_new(*field.sub_type);
      if (depth < kMaxFilledDepth) fill(nested.get(), depth + 1);
      *slot = std::move(nested);
      break;
    }
    default:
      FAIL() << "no rule for " << type.message_id << "." << field.name;
    }
  }
}

struct Reference {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> packed;
};

class WireCompatTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char path[] = "/tmp/lumora-wire-reference-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string command = std::string(LUMORA_PYTHON) + " " + LUMORA_MESSAGES_DIR +
                          "/wire_reference.py " + LUMORA_MESSAGES_DIR + " " + path;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(path);
    std::string name, plain, packed;
    while (in >> name >> plain >> packed) {
      references()[name] = Reference{unhex(plain), unhex(packed)};
    }
    std::remove(path);
  }

  static std::map<std::string, Reference>& references() {
    static std::map<std::string, Reference> map;
    return map;
  }
};

TEST_F(WireCompatTest, EveryTypeEncodesLikeTheReferenceAndDecodesPackedLists) {
  ASSERT_EQ(references().size(), kMessageTypeCount);
  ScopedMessageDiagnosticCapture capture;
  for (const MessageType* type : kMessageTypes) {
    SCOPED_TRACE(type->message_id);
    auto found = references().find(type->message_id);
    ASSERT_NE(found, references().end());
    const Reference& reference = found->second;
    ASSERT_FALSE(reference.plain.empty());

    auto record = apmpb_new(*type);
    fill(record.get(), 0);
    std::vector<uint8_t> ours;
    int32_t length = apmpb_encode(record.get(), &ours);
    ASSERT_EQ(length, static_cast<int32_t>(ours.size()));
    EXPECT_EQ(hex(ours), hex(reference.plain));

    // Both the reference encoding and its packed form decode to the same record.
    for (const auto* input : {&reference.plain, &reference.packed}) {
      auto decoded = apmpb_new(*type);
      ASSERT_TRUE(apmpb_decode(*type, input->data(), input->size(), decoded.get()));
      std::vector<uint8_t> again;
      ASSERT_GT(apmpb_encode(decoded.get(), &again), 0);
      EXPECT_EQ(hex(again), hex(reference.plain));

      // A deep copy encodes the same.
      std::unique_ptr<MessageInfo> copy;
      ASSERT_TRUE(apmpb_copy(&copy, decoded.get()));
      ASSERT_GT(apmpb_encode(copy.get(), &again), 0);
      EXPECT_EQ(hex(again), hex(reference.plain));
    }
  }
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
