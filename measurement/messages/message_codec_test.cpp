// The message runtime and codec: the two decoding passes, list and string callbacks, size and
// nesting limits, copies, field release, and the diagnostic lines they print.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_diagnostics.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_types.h"
#include "platform/log/log.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace field = apmpb_field;

// --- wire helpers ---

void varint(Bytes* out, uint64_t value) {
  do {
    uint8_t b = value & 0x7f;
    value >>= 7;
    out->push_back(value ? (b | 0x80) : b);
  } while (value);
}
Bytes tagVarint(uint32_t number, uint64_t value) {
  Bytes out;
  varint(&out, number << 3);
  varint(&out, value);
  return out;
}
Bytes tagBytes(uint32_t number, const Bytes& payload) {
  Bytes out;
  varint(&out, (number << 3) | 2);
  varint(&out, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
Bytes tagString(uint32_t number, const std::string& text) {
  return tagBytes(number, Bytes(text.begin(), text.end()));
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::unique_ptr<MessageInfo> decoded(const MessageType& type, const Bytes& bytes) {
  auto record = apmpb_new(type);
  if (!apmpb_decode(type, bytes.data(), bytes.size(), record.get())) return nullptr;
  return record;
}
Bytes encoded(const MessageInfo* record) {
  Bytes out;
  EXPECT_GE(apmpb_encode(record, &out), 0);
  return out;
}
const std::string* stringAt(const MessageInfo& record, int32_t index) {
  return std::get_if<std::string>(&record.slot(index));
}
const MessageInfo* messageAt(const MessageInfo& record, int32_t index) {
  const auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&record.slot(index));
  return nested ? nested->get() : nullptr;
}
void setString(MessageInfo* record, int32_t index, const std::string& text) {
  nano_set_string(&record->slot(index), text.data(), text.size());
}

// A chain of RuntimeEntity statements, each holding the next one as its only argument.
Bytes nestedEntities(int levels) {
  Bytes bytes = tagVarint(1, 1);
  for (int level = 1; level < levels; ++level)
    bytes = cat({tagVarint(1, 4), tagBytes(2, bytes)});
  return bytes;
}
std::unique_ptr<MessageInfo> nestedEntityRecord(int levels) {
  auto record = apmpb_new(apmpb_type::RuntimeEntity);
  for (int level = 1; level < levels; ++level) {
    auto parent = apmpb_new(apmpb_type::RuntimeEntity);
    parent->array(field::RuntimeEntity::kValue)->messages.push_back(std::move(record));
    record = std::move(parent);
  }
  return record;
}

class MessageCodecTest : public testing::Test {
 protected:
  ScopedMessageDiagnosticCapture capture_;
};

TEST_F(MessageCodecTest, StringsUpToTheLimitDecodeAndLongerOnesFailTheMessage) {
  auto ok = decoded(apmpb_type::Setting, tagString(1, std::string(1048576, 'a')));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(stringAt(*ok, field::Setting::kName)->size(), 1048576u);
  EXPECT_TRUE(capture_.lines().empty());

  EXPECT_EQ(decoded(apmpb_type::Setting, tagString(1, std::string(1048577, 'a'))), nullptr);
  EXPECT_EQ(capture_.lines(),
            (std::vector<std::string>{
                "Unable to process proto stream. Buffer is too big. 1048577 > 1048576",
                "<ERROR> Setting decoder failed: callback failed"}));
}

Bytes fromHex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

TEST_F(MessageCodecTest, WireRulesAndTheirFailureTexts) {
  struct Case {
    const MessageType* type;
    const char* input;
    const char* reencoded;  // null when decoding fails
    const char* line;       // the failure line
  };
  const Case cases[] = {
      {&apmpb_type::Filter, "18 80 80 80 80 10", nullptr,
       "<ERROR> Filter decoder failed: varint overflow"},  // a bool wider than 32 bits
      {&apmpb_type::Filter, "18 ff ff ff ff ff ff ff ff ff 01", "18 01", nullptr},
      {&apmpb_type::ConsentDefaultEntry, "08 80 80 80 80 10", nullptr,
       "<ERROR> ConsentDefaultEntry decoder failed: integer too large"},
      {&apmpb_type::ConsentDefaultEntry, "08 ff ff ff ff 0f", "08 ff ff ff ff 0f", nullptr},
      {&apmpb_type::PsmSetting, "08 ff ff ff ff ff ff ff ff ff 7f", nullptr,
       "<ERROR> PsmSetting decoder failed: varint overflow"},
      {&apmpb_type::PsmSetting, "08 ff ff ff ff ff ff ff ff ff 01",
       "08 ff ff ff ff ff ff ff ff ff 01", nullptr},  // int32 keeps its sign-extended form
      {&apmpb_type::Event, "1a 00", nullptr, "<ERROR> Event decoder failed: wrong wire type"},
      {&apmpb_type::Setting, "00", nullptr, "<ERROR> Setting decoder failed: zero tag"},
      {&apmpb_type::Setting, "0b", nullptr, "<ERROR> Setting decoder failed: invalid wire_type"},
      {&apmpb_type::Setting, "9f 06", nullptr, "<ERROR> Setting decoder failed: invalid wire_type"},
      {&apmpb_type::Event, "0a 05 01", nullptr,
       "<ERROR> Event decoder failed: parent stream too short"},
      {&apmpb_type::ResultData, "0a 02 80 80", nullptr,
       "<ERROR> ResultData decoder failed: end-of-stream"},
      {&apmpb_type::Event, "0a 00 0a 00", "0a 00 0a 00", nullptr},  // empty list elements
      // A repeated singular sub-message merges: its scalar keeps the last value.
      {&apmpb_type::Filter, "0a 02 08 01 0a 02 08 02 22 01 61", "0a 02 08 02 22 01 61", nullptr},
      // A string field given as a varint holds the varint's bytes.
      {&apmpb_type::Setting, "08 01", "0a 01 01", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    capture_.clear();
    auto record = decoded(*c.type, fromHex(c.input));
    if (c.reencoded) {
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(encoded(record.get()), fromHex(c.reencoded));
      EXPECT_TRUE(capture_.lines().empty());
    } else {
      EXPECT_EQ(record, nullptr);
      EXPECT_EQ(capture_.lines(), std::vector<std::string>{c.line});
    }
  }
}

TEST_F(MessageCodecTest, DecodedSizeIsBoundedByTheInputSize) {
  // Each empty bundle is two bytes of input but a record of a few kilobytes.
  auto emptyBundles = [](std::size_t count) {
    Bytes batch;
    for (std::size_t i = 0; i < count; ++i)
      batch.insert(batch.end(), {0x0a, 0x00});
    return batch;
  };
  auto within = decoded(apmpb_type::MeasurementBatch, emptyBundles(4000));
  ASSERT_NE(within, nullptr);
  EXPECT_EQ(within->array(field::MeasurementBatch::kBundles)->messages.size(), 4000u);
  EXPECT_TRUE(capture_.lines().empty());

  const Bytes bomb = emptyBundles(20000);
  const std::size_t bound = kMinDecodedBytesBound + kMaxDecodedBytesPerInputByte * bomb.size();
  ASSERT_GT(20000 * MessageInfo::allocationSize(apmpb_type::MeasurementBundle), bound);
  EXPECT_EQ(decoded(apmpb_type::MeasurementBatch, bomb), nullptr);
  EXPECT_EQ(capture_.lines(), std::vector<std::string>{"<ERROR> MeasurementBatch decoder failed: "
                                                       "decoded size limit exceeded"});
}

TEST_F(MessageCodecTest, EmptyStringIsAPresentValueThatEncodesAsTagAndZeroLength) {
  auto setting = decoded(apmpb_type::Setting, cat({tagString(1, ""), tagString(2, "v")}));
  ASSERT_NE(setting, nullptr);
  ASSERT_NE(stringAt(*setting, field::Setting::kName), nullptr);
  EXPECT_TRUE(stringAt(*setting, field::Setting::kName)->empty());
  EXPECT_EQ(encoded(setting.get()), cat({tagString(1, ""), tagString(2, "v")}));

  // One empty string deep inside a batch leaves the whole batch encodable.
  auto batch = apmpb_new(apmpb_type::MeasurementBatch);
  auto bundle = apmpb_new(apmpb_type::MeasurementBundle);
  setString(bundle.get(), field::MeasurementBundle::kAppId, "");
  batch->array(field::MeasurementBatch::kBundles)->messages.push_back(std::move(bundle));
  EXPECT_EQ(encoded(batch.get()), tagBytes(1, tagString(14, "")));
}

// Strings are copied by length class (short ones without a library call): every length around
// the class edges encodes to its exact bytes, as a singular field and as list elements.
TEST_F(MessageCodecTest, StringsOfEveryShortLengthEncodeExactly) {
  for (std::size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 130}) {
    SCOPED_TRACE(length);
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
      text.push_back(static_cast<char>('a' + i % 26));
    auto setting = apmpb_new(apmpb_type::Setting);
    setString(setting.get(), field::Setting::kName, text);
    setString(setting.get(), field::Setting::kValue, text + "!");
    EXPECT_EQ(encoded(setting.get()), cat({tagString(1, text), tagString(2, text + "!")}));

    auto filter = apmpb_new(apmpb_type::StringFilter);
    filter->array(field::StringFilter::kExpressionList)->strings = {text, text + "!"};
    EXPECT_EQ(encoded(filter.get()), cat({tagString(4, text), tagString(4, text + "!")}));
  }
}

TEST_F(MessageCodecTest, RepeatedSingularStringKeepsTheFirstOccurrence) {
  auto setting = decoded(apmpb_type::Setting, cat({tagString(1, "first"), tagString(1, "second")}));
  ASSERT_NE(setting, nullptr);
  EXPECT_EQ(*stringAt(*setting, field::Setting::kName), "first");
}

TEST_F(MessageCodecTest, IntegerListsAcceptPackedUnpackedAndEmptyPackedInput) {
  Bytes packed;
  varint(&packed, 2);
  varint(&packed, ~0ull);
  auto result =
      decoded(apmpb_type::ResultData, cat({tagVarint(1, 1), tagBytes(1, packed), tagVarint(1, 4),
                                           tagBytes(2, {}), tagVarint(2, 9)}));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->array(field::ResultData::kStatus)->scalars,
            (std::vector<uint64_t>{1, 2, ~0ull, 4}));
  EXPECT_EQ(result->array(field::ResultData::kResults)->scalars, (std::vector<uint64_t>{9}));
  // Output is always unpacked.
  EXPECT_EQ(encoded(result.get()), cat({tagVarint(1, 1), tagVarint(1, 2), tagVarint(1, ~0ull),
                                        tagVarint(1, 4), tagVarint(2, 9)}));
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(MessageCodecTest, EmptyAndUnknownInputDecodeToAnEmptyRecordThatEncodesToNothing) {
  for (const Bytes& input : {Bytes{}, tagString(99, "skip me"), tagVarint(120, 5)}) {
    auto bundle = decoded(apmpb_type::MeasurementBundle, input);
    ASSERT_NE(bundle, nullptr);
    for (uint32_t i = 0; i < bundle->slotCount(); ++i) {
      if (ArrayInfo* list = bundle->array(i)) {
        EXPECT_EQ(list->size(), 0u);
      } else {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(bundle->slot(i))) << i;
      }
    }
    Bytes out{0xee};
    EXPECT_EQ(apmpb_encode(bundle.get(), &out), 0);
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(MessageCodecTest, FailingListElementFailsItsParentWithThreeLines) {
  // EventParam's double (field 5) given as a varint is refused by the element's own decode.
  Bytes event = cat({tagBytes(1, tagString(1, "ok")), tagBytes(1, tagVarint(5, 1))});
  EXPECT_EQ(decoded(apmpb_type::Event, event), nullptr);
  auto lines = capture_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("<ERROR> EventParam decoder failed: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "<ERROR> EventParam decoder failed: Unable to decode repeated EventParam");
  EXPECT_EQ(lines[2], "<ERROR> Event decoder failed: callback failed");
}

TEST_F(MessageCodecTest, FailedDecodeLeavesNoHolesInLists) {
  Bytes event = cat({tagBytes(1, tagString(1, "a")), tagBytes(1, tagString(1, "b")),
                     tagBytes(1, tagVarint(5, 1))});
  auto record = apmpb_new(apmpb_type::Event);
  EXPECT_FALSE(apmpb_decode(apmpb_type::Event, event.data(), event.size(), record.get()));
  const auto& params = record->array(field::Event::kParams)->messages;
  ASSERT_EQ(params.size(), 2u);
  for (const auto& param : params)
    EXPECT_NE(param, nullptr);
}

TEST_F(MessageCodecTest, BatchSurvivesDecodeCopyAndEncodeInOrder) {
  Bytes bundle1 = cat({tagVarint(1, 1), tagBytes(2, tagString(2, "first_open")),
                       tagString(8, "macos"), tagVarint(45, 7), tagVarint(45, 8)});
  Bytes bundle2 = cat(
      {tagVarint(1, 1), tagBytes(2, tagString(2, "session_start")), tagString(64, "device_model")});
  Bytes batch = cat({tagBytes(1, bundle1), tagBytes(1, bundle2), tagString(7, "carried"),
                     tagString(8, "sub"), tagVarint(9, 2)});
  auto record = decoded(apmpb_type::MeasurementBatch, batch);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(encoded(record.get()), batch);
  std::unique_ptr<MessageInfo> copy;
  ASSERT_TRUE(apmpb_copy(&copy, record.get()));
  EXPECT_EQ(encoded(copy.get()), batch);
  const auto& bundles = copy->array(field::MeasurementBatch::kBundles)->messages;
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(*stringAt(*bundles[0], field::MeasurementBundle::kPlatform), "macos");
  EXPECT_EQ(bundles[1]->array(field::MeasurementBundle::kRedactedFields)->strings,
            std::vector<std::string>{"device_model"});

  // The copy is deep: changing it leaves the source alone.
  setString(bundles[0].get(), field::MeasurementBundle::kPlatform, "other");
  EXPECT_EQ(encoded(record.get()), batch);
}

// Encoding writes backwards from the end of the buffer it was handed and grows it when the
// front is reached. Whatever room there is to start with, at every point a field, a tag (of
// one or two bytes), a length or a nested record can meet the front, the bytes come out the
// same.
TEST_F(MessageCodecTest, EncodingIntoBuffersOfEveryStartingSizeGivesTheSameBytes) {
  Bytes bundle = cat(
      {tagVarint(1, 1), tagBytes(2, cat({tagString(2, "first_open"), tagVarint(3, 1765000000000)})),
       tagString(8, "macos"), tagVarint(17, 300), tagVarint(45, 7), tagString(64, "device_model")});
  Bytes batch = cat({tagBytes(1, bundle), tagBytes(1, bundle), tagString(7, "x"), tagVarint(9, 2)});
  auto record = decoded(apmpb_type::MeasurementBatch, batch);
  ASSERT_NE(record, nullptr);
  for (std::size_t room = 1; room <= batch.size() + 16; ++room) {
    SCOPED_TRACE(room);
    Bytes out;
    out.reserve(room);
    EXPECT_EQ(apmpb_encode(record.get(), &out), static_cast<int32_t>(batch.size()));
    EXPECT_EQ(out, batch);
  }
}

TEST_F(MessageCodecTest, CopyOfAnEmptyListHasNoElementStorage) {
  auto event = apmpb_new(apmpb_type::Event);
  std::unique_ptr<MessageInfo> copy;
  ASSERT_TRUE(apmpb_copy(&copy, event.get()));
  ArrayInfo* params = copy->array(field::Event::kParams);
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->size(), 0u);
  EXPECT_FALSE(params->allocated);
  EXPECT_FALSE(apmpb_copy(&copy, nullptr));
  EXPECT_FALSE(apmpb_copy(nullptr, event.get()));
}

TEST_F(MessageCodecTest, FreeFieldReleasesByIndexAndRefusesUnknownIndexes) {
  auto bundle = apmpb_new(apmpb_type::MeasurementBundle);
  nano_set_uint64(&bundle->slot(field::MeasurementBundle::kPreviousBundleStartTimestampMillis), 5);
  nano_set_uint64(&bundle->slot(field::MeasurementBundle::kPreviousBundleEndTimestampMillis), 6);
  // Fields are written in field order whatever their params order: 7 before 26.
  EXPECT_EQ(encoded(bundle.get()), cat({tagVarint(7, 6), tagVarint(26, 5)}));
  EXPECT_TRUE(apmpb_free_field(bundle.get(),
                               field::MeasurementBundle::kPreviousBundleStartTimestampMillis));
  EXPECT_EQ(encoded(bundle.get()), tagVarint(7, 6));

  auto batch = decoded(apmpb_type::MeasurementBatch, cat({tagBytes(1, {}), tagString(8, "sub")}));
  ASSERT_NE(batch, nullptr);
  Bytes before = encoded(batch.get());
  EXPECT_FALSE(apmpb_free_field(batch.get(), 4));
  EXPECT_FALSE(apmpb_free_field(batch.get(), -1));
  EXPECT_EQ(capture_.lines(),
            (std::vector<std::string>{
                "<ERROR> MeasurementBatch: Cannot deallocate field 4: Unknown field",
                "<ERROR> MeasurementBatch: Cannot deallocate field -1: Unknown field"}));
  EXPECT_EQ(encoded(batch.get()), before);
  EXPECT_TRUE(apmpb_free_field(batch.get(), field::MeasurementBatch::kBundles));
  EXPECT_TRUE(apmpb_free_field(batch.get(), field::MeasurementBatch::kUploadSubdomain));
  EXPECT_EQ(encoded(batch.get()), Bytes{});
}

TEST_F(MessageCodecTest, SingularSubMessagesArePresentExactlyWhenInTheInput) {
  Bytes string_filter = cat({tagVarint(1, 6), tagString(4, "a"), tagString(4, "b")});
  auto filter = decoded(apmpb_type::Filter, cat({tagBytes(1, string_filter), tagString(4, "p")}));
  ASSERT_NE(filter, nullptr);
  const MessageInfo* nested = messageAt(*filter, field::Filter::kStringFilter);
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->array(field::StringFilter::kExpressionList)->strings,
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(messageAt(*filter, field::Filter::kNumberFilter), nullptr);

  // An empty sub-message in the input is present and empty.
  auto response = decoded(apmpb_type::SdkResponse, tagBytes(3, {}));
  ASSERT_NE(response, nullptr);
  const MessageInfo* snapshot = messageAt(*response, field::SdkResponse::kSnapshot);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(stringAt(*snapshot, field::Snapshot::kSdkName), nullptr);
  EXPECT_EQ(encoded(response.get()), tagBytes(3, {}));
  EXPECT_EQ(messageAt(*decoded(apmpb_type::SdkResponse, {}), field::SdkResponse::kSnapshot),
            nullptr);
}

TEST_F(MessageCodecTest, NestingIsBoundedAtOneHundredLevels) {
  Bytes deepest_allowed = nestedEntities(kMaxMessageNestingDepth);
  auto ok = decoded(apmpb_type::RuntimeEntity, deepest_allowed);
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(encoded(ok.get()), deepest_allowed);
  std::unique_ptr<MessageInfo> copy;
  EXPECT_TRUE(apmpb_copy(&copy, ok.get()));
  EXPECT_TRUE(capture_.lines().empty());

  EXPECT_EQ(decoded(apmpb_type::RuntimeEntity, nestedEntities(kMaxMessageNestingDepth + 1)),
            nullptr);
  auto lines = capture_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "<ERROR> RuntimeEntity decoder failed: nested deeper than 100 levels");
  EXPECT_EQ(lines.back(), "<ERROR> RuntimeEntity decoder failed: callback failed");

  capture_.clear();
  auto too_deep = nestedEntityRecord(kMaxMessageNestingDepth + 1);
  Bytes out;
  EXPECT_EQ(apmpb_encode(too_deep.get(), &out), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(apmpb_copy(&copy, too_deep.get()));
  EXPECT_EQ(capture_.lines(),
            (std::vector<std::string>{
                "<ERROR> RuntimeEntity encoder failed: nested deeper than 100 levels",
                "<ERROR> RuntimeEntity copy failed: nested deeper than 100 levels"}));
}

TEST_F(MessageCodecTest, EncodingPastTheSizeBoundFailsBeforeAllocating) {
  auto setting = apmpb_new(apmpb_type::Setting);
  setString(setting.get(), field::Setting::kName, std::string(100, 'n'));
  setString(setting.get(), field::Setting::kValue, std::string(100, 'v'));
  Bytes out{1, 2, 3};
  EXPECT_EQ(apmpb_encode_with_limit(setting.get(), &out, 203), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(out.capacity(), 0u);
  EXPECT_EQ(apmpb_encode_with_limit(setting.get(), &out, 204), 204);
  EXPECT_EQ(apmpb_encode(setting.get(), nullptr), -1);
  EXPECT_EQ(apmpb_encode(nullptr, &out), -1);
}

TEST_F(MessageCodecTest, CorruptedInputNeverCrashesAndFailsCleanly) {
  // Every prefix and every single-byte change of a nested batch either decodes into a record
  // that encodes again, or fails; run under the sanitizers this also proves no leak or overrun.
  Bytes bundle = cat({tagVarint(1, 1),
                      tagBytes(2, cat({tagBytes(1, cat({tagString(1, "p"), tagVarint(3, 5)})),
                                       tagString(2, "ev")})),
                      tagBytes(29, tagBytes(2, tagVarint(1, 3))), tagVarint(45, 1),
                      tagBytes(79, tagBytes(9, tagString(1, "zad_x")))});
  Bytes batch = cat({tagBytes(1, bundle), tagString(8, "s")});
  std::vector<Bytes> inputs;
  for (std::size_t n = 0; n < batch.size(); ++n)
    inputs.emplace_back(batch.begin(), batch.begin() + n);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xff}) {
      Bytes changed = batch;
      changed[i] ^= flip;
      inputs.push_back(changed);
    }
  }
  int failures = 0;
  for (const Bytes& input : inputs) {
    auto record = apmpb_new(apmpb_type::MeasurementBatch);
    if (apmpb_decode(apmpb_type::MeasurementBatch, input.data(), input.size(), record.get())) {
      Bytes out;
      EXPECT_GE(apmpb_encode(record.get(), &out), 0);
    } else {
      ++failures;
    }
  }
  EXPECT_GT(failures, 0);
}

TEST_F(MessageCodecTest, CellSettersReportANullDestination) {
  nano_set_bool(nullptr, true);
  nano_set_uint32(nullptr, 1);
  nano_set_uint64(nullptr, 1);
  nano_set_float(nullptr, 1);
  nano_set_double(nullptr, 1);
  nano_set_string(nullptr, "x", 1);
  nano_init_array_info(nullptr);
  EXPECT_EQ(
      capture_.lines(),
      (std::vector<std::string>{"<ERROR> Unable to set bool. Destination pointer is NULL",
                                "<ERROR> Unable to set uint32. Destination pointer is NULL",
                                "<ERROR> Unable to set uint64. Destination pointer is NULL",
                                "<ERROR> Unable to set float. Destination pointer is NULL",
                                "<ERROR> Unable to set double. Destination pointer is NULL",
                                "<ERROR> Unable to set string. Destination array is NULL",
                                "<ERROR> Unable to initialize the array. Array pointer is NULL"}));
  for (const auto& line : capture_.lines(MessageLogChannel::kConsole))
    ADD_FAILURE() << line;
}

TEST_F(MessageCodecTest, DecodeRefusesAMissingOrForeignRecord) {
  Bytes input = tagString(1, "x");
  EXPECT_FALSE(apmpb_decode(apmpb_type::Setting, input.data(), input.size(), nullptr));
  auto event = apmpb_new(apmpb_type::Event);
  EXPECT_FALSE(apmpb_decode(apmpb_type::Setting, input.data(), input.size(), event.get()));
  EXPECT_EQ(capture_.lines(), (std::vector<std::string>{
                                  "<ERROR> Setting decoder failed: message_info is NULL",
                                  "<ERROR> Setting decoder failed: message_info holds a Event"}));
}

}  // namespace

namespace {

TEST(MessageDiagnosticsTest, DefaultSinkSendsConsoleLinesToThePlatformLog) {
  platform::ScopedLogCapture log;
  messageDiagnostic(MessageLogChannel::kConsole, "misuse %d", 7);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].message, "misuse 7");
  EXPECT_EQ(log.lines()[0].subsystem, "com.lumora.measurement");
}

}  // namespace

namespace {

TEST(MessageDiagnosticsTest, CodecLinesReachStandardOutputAsWholeLines) {
  Bytes input = tagString(1, std::string(1048577, 'a'));
  auto record = apmpb_new(apmpb_type::Setting);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(apmpb_decode(apmpb_type::Setting, input.data(), input.size(), record.get()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576\n"
            "<ERROR> Setting decoder failed: callback failed\n");
}

}  // namespace
