// The deferred deep link and on-device conversion through the real host. Linux has no
// advertising identifier and this system has no private-set-membership client, so with the
// deferred deep link switched on in Info.plist the host asks nothing of the advertising services
// (23196), and on-device conversion logs that its dependency is missing (23233) and sends
// nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

using fakes::FakeMeasurementService;
using nlohmann::json;
using platform::Value;

constexpr const char* kBundleID = "com.example.campaigns";

class MeasurementCampaignsEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementCampaignsEndToEndTest()
      : MeasurementHostTest(kBundleID,
                            {{Value("ZIRIZA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED"), Value(true)}}) {
    startHost({.debug = true, .environment = {{"LUMORA_ADS_URL", service_.baseURL()}}});
  }
  // Whether the log holds `text` within 15 s (the monitor writes from a queue of its own).
  bool loggedSoon(const std::string& text) {
    for (int i = 0; i < 1500; ++i) {
      if (!host_->logLines(text).empty()) return true;
      usleep(10000);
    }
    return false;
  }
  std::size_t requestsTo(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& request : service_.requests())
      if (request.path.rfind(prefix, 0) == 0) ++n;
    return n;
  }
};

TEST_F(MeasurementCampaignsEndToEndTest, NoAdvertisingIdentifierAndNoConversionClient) {
  ASSERT_TRUE(host_);
  // The start decides about the deferred deep link.
  EXPECT_TRUE(loggedSoon("[I-ACS023196] IDFA unavailable to retrieve Deferred Deep Link. Skipping"))
      << host_->log();

  const auto answers = replies(
      {analyticsCall("initiateOnDeviceConversionMeasurement", {{{"emailAddress", "a@b.c"}}})});
  EXPECT_EQ(answers[0], json::array({nullptr}));
  EXPECT_TRUE(loggedSoon("[I-ACS023233] Failed to initiate on-device conversion measurement. "
                         "On-device conversion measurement dependency not linked in."))
      << host_->log();

  // Give a request that should not exist the time to arrive: the first configuration fetch
  // (after which a waiting deferred-deep-link request would go out) comes with the first upload.
  service_.waitFor([](const auto& requests) { return !requests.empty(); }, 20);
  sleep(2);
  EXPECT_EQ(requestsTo(FakeMeasurementService::kDeepLinkPath), 0u);
  EXPECT_EQ(requestsTo("/psm"), 0u);
  EXPECT_EQ(requestsTo("/adsvc"), 0u);
}

}  // namespace
}  // namespace lumora::e2e
