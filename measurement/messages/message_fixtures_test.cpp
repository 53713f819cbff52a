// Fixture messages written as text, encoded by protoc (an independent encoder), must decode into
// wrappers and encode again to the very same bytes: fields the system only carries included.
#include <gtest/gtest.h>

#include <cstdio>

#include "measurement/messages/apm_message_values.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace field = apmpb_field;

platform::Bytes protocEncode(const std::string& fixture, const std::string& type) {
  std::string command = std::string("protoc --encode=devazerirerize.") + type + " -I " +
                        LUMORA_MESSAGES_DIR + " measurement_messages.proto < " +
                        LUMORA_MESSAGES_DIR + "/testdata/" + fixture + ".textproto";
  platform::Bytes out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    uint8_t buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.insert(out.end(), buffer, buffer + n);
    EXPECT_EQ(pclose(pipe), 0) << command;
  }
  return out;
}

template <class Wrapper>
std::shared_ptr<Wrapper> roundTrip(const std::string& fixture, const std::string& type) {
  platform::Bytes bytes = protocEncode(fixture, type);
  EXPECT_FALSE(bytes.empty()) << fixture;
  auto message = Wrapper::initWithBuffer(bytes);
  EXPECT_NE(message, nullptr) << fixture;
  if (!message) return nullptr;
  EXPECT_EQ(message->protoBuffer(), bytes) << fixture;
  return message;
}

TEST(MessageFixturesTest, MeasurementConfigWithEverySubMessage) {
  namespace C = field::MeasurementConfig;
  auto config = roundTrip<APMPBMeasurementConfig>("measurement_config", "MeasurementConfig");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(NANOGetInt64(config.get(), C::kVersion), 1765000000);

  auto consent = NANOGetMessage<APMPBConsentConfig>(config.get(), C::kConsentConfig);
  ASSERT_NE(consent, nullptr);
  EXPECT_TRUE(NANOGetBool(consent.get(), field::ConsentConfig::kDmaRegion));
  auto defaults = NANOGetArray(consent.get(), field::ConsentConfig::kDefaults,
                               APMPBConsentDefaultEntry::classObject());
  ASSERT_TRUE(defaults && defaults->size() == 2);
  auto first = (*defaults)[0].asObjectOf<APMPBConsentDefaultEntry>();
  EXPECT_EQ(APMConsentTypeName(NANOGetInt32(first.get(), field::ConsentDefaultEntry::kConsentType)),
            "ad_storage");
  EXPECT_EQ(
      APMConsentStatusName(NANOGetInt32(first.get(), field::ConsentDefaultEntry::kConsentStatus)),
      "denied");

  auto psm = NANOGetMessage<APMPBPsmSetting>(config.get(), C::kPsmSetting);
  EXPECT_EQ(NANOGetInt32(psm.get(), field::PsmSetting::kLPhoneFirstOpen), -1);
  EXPECT_TRUE(NANOHasField(config.get(), C::kRegion));

  // Without its carried fields the configuration would not have re-encoded identically above;
  // clearing one shows the bytes really depend on them.
  NANOClearField(config.get(), C::kRegion);
  EXPECT_FALSE(NANOHasField(config.get(), C::kRegion));
  EXPECT_NE(config->protoBuffer(), protocEncode("measurement_config", "MeasurementConfig"));
}

TEST(MessageFixturesTest, ExperimentResponse) {
  auto response = roundTrip<APMPBExperimentResponse>("experiment_response", "ExperimentResponse");
  ASSERT_NE(response, nullptr);
  auto sdk = NANOGetArray(response.get(), field::ExperimentResponse::kSdkResponses,
                          APMPBSdkResponse::classObject());
  ASSERT_TRUE(sdk && sdk->size() == 2);
  EXPECT_FALSE(
      NANOHasField((*sdk)[0].asObjectOf<APMPBSdkResponse>().get(), field::SdkResponse::kSnapshot));
  auto snapshot = NANOGetMessage<APMPBSnapshot>((*sdk)[1].asObjectOf<APMPBSdkResponse>().get(),
                                                field::SdkResponse::kSnapshot);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(NANOGetString(snapshot.get(), field::Snapshot::kSdkName), std::string());
}

TEST(MessageFixturesTest, DeeplyNestedProgram) {
  namespace R = field::RuntimeEntity;
  auto program = roundTrip<APMPBProgram>("deep_program", "Program");
  ASSERT_NE(program, nullptr);
  auto instructions =
      NANOGetArray(program.get(), field::Program::kInstructions, APMPBRuntimeEntity::classObject());
  ASSERT_TRUE(instructions && instructions->size() == 2);
  auto entity = (*instructions)[0].asObjectOf<APMPBRuntimeEntity>();
  int levels = 1;
  while (NANOGetInt32(entity.get(), R::kType) == 4) {
    auto arguments = NANOGetArray(entity.get(), R::kValue, APMPBRuntimeEntity::classObject());
    ASSERT_TRUE(arguments && arguments->size() == 2);
    EXPECT_EQ(
        NANOGetString((*arguments)[0].asObjectOf<APMPBRuntimeEntity>().get(), R::kStringValue),
        "arg" + std::to_string(levels));
    entity = (*arguments)[1].asObjectOf<APMPBRuntimeEntity>();
    ++levels;
  }
  EXPECT_EQ(levels, 60);
  EXPECT_EQ(NANOGetDouble(entity.get(), R::kNumberValue), 60.0);
}

}  // namespace
