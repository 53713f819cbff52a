#include "zevevidi/core/heartbeats_payload.h"

#include <gtest/gtest.h>

#include "zevevidi/core/testing/header_decoder.h"

namespace {

using heartbeat_testing::headerJSON;
using heartbeat_testing::headerJSONText;
using nlohmann::json;
using platform::Date;

constexpr double kMarch1 = 1709251200;  // 2024-03-01 00:00:00 GMT

TEST(HeartbeatsPayloadTest, EmptyPayloadHasAShortButNonEmptyHeader) {
  const auto& empty = HeartbeatsPayload::emptyPayload();
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ(empty.jsonText(), std::optional<std::string>(R"({"heartbeats":[],"version":2})"));
  std::string header = empty.headerValue();
  EXPECT_FALSE(header.empty());
  EXPECT_EQ(headerJSON(header), json::parse(R"({"heartbeats":[],"version":2})"));
}

TEST(HeartbeatsPayloadTest, HeaderDecodesIndependentlyToTheExactJSON) {
  HeartbeatsPayload payload{{{"zev-ios/11.15.0 os/14", {Date{kMarch1}, Date{kMarch1 + 86400}}},
                             {"other", {Date{kMarch1 + 86399}}}},
                            2};
  std::string header = payload.headerValue();
  EXPECT_EQ(header.find_first_of("+/="), std::string::npos) << header;
  auto text = headerJSONText(header);
  ASSERT_TRUE(text.has_value());
  // Slashes inside strings are escaped; dates are GMT days.
  EXPECT_EQ(*text, R"({"heartbeats":[{"agent":"zev-ios\/11.15.0 os\/14","dates":["2024-03-01",)"
                   R"("2024-03-02"]},{"agent":"other","dates":["2024-03-01"]}],"version":2})");
  EXPECT_EQ(*text, payload.jsonText());
}

TEST(HeartbeatsPayloadTest, DaysAreGMTDaysWhateverTheLocalZone) {
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14
  tzset();
  HeartbeatsPayload payload{{{"a", {Date{kMarch1 - 60}, Date{kMarch1}}}}, 2};
  EXPECT_EQ(headerJSON(payload.headerValue())["heartbeats"][0]["dates"],
            json::parse(R"(["2024-02-29","2024-03-01"])"));
  unsetenv("TZ");
  tzset();
}

TEST(HeartbeatsPayloadTest, Base64URLRoundTripAndRejection) {
  for (std::size_t length = 0; length < 70; ++length) {
    platform::Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
      bytes[i] = static_cast<std::uint8_t>(i * 37 + 251);
    std::string text = heartbeat_bytes::base64URLEncodedString(bytes);
    EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(heartbeat_bytes::base64URLDecoded(text), std::optional<platform::Bytes>(bytes));
  }
  EXPECT_EQ(heartbeat_bytes::base64URLDecoded("ab$d"), std::nullopt);
  EXPECT_EQ(heartbeat_bytes::base64URLDecoded("abcde"), std::nullopt);

  // The header value reverses through our own helpers too.
  HeartbeatsPayload payload{{{"x", {Date{kMarch1}}}}, 2};
  auto zipped = heartbeat_bytes::base64URLDecoded(payload.headerValue());
  ASSERT_TRUE(zipped);
  platform::Bytes json = heartbeat_bytes::unzipped(*zipped);
  EXPECT_EQ(std::string(json.begin(), json.end()), payload.jsonText());
}

}  // namespace
