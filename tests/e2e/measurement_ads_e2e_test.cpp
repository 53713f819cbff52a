// The ad reporters through the real host: the search-ads attribution request reaches a fake
// attribution service on 127.0.0.1 and its answer comes back as a "_cmp" event in an uploaded
// batch; ad exposure driven through "lumora_test/ads" comes back as "_xu". Batches are decoded
// with protoc and the schema, the persisted configuration is read as a property list.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/core/value.h"
#include "platform/foundation/property_list.h"
#include "platform/net/testing/loopback_http_server.h"
#include "tests/e2e/measurement_fixture.h"
#include "tests/fakes/fake_measurement_service.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using fakes::FakeMeasurementService;
using nlohmann::json;
using platform::Value;

constexpr const char* kBundleID = "com.example.ads";

json ads(const std::string& method, const std::string& id) {
  return json{{"op", "invoke"}, {"channel", "lumora_test/ads"}, {"method", method}, {"args", id}};
}

// One uploaded batch decoded by protoc, blanks removed.
std::optional<std::string> decodeBatch(const std::string& body, const fs::path& scratch) {
  const auto text = runWithInput(protocCommand("decode", "MeasurementBatch"), body, scratch);
  if (!text) return std::nullopt;
  return withoutBlanks(*text);
}

// The decoded event named `name` (from its "events{" to the next one), or "".
std::string eventNamed(const std::string& batch, const std::string& name) {
  const std::string marker = "events{";
  for (std::size_t at = batch.find(marker); at != std::string::npos;) {
    const std::size_t next = batch.find(marker, at + marker.size());
    const std::string event =
        batch.substr(at, next == std::string::npos ? std::string::npos : next - at);
    if (contains(event, "}name:\"" + name + "\"")) return event;
    at = next;
  }
  return "";
}

struct AttributionRequest {
  std::string method, path, body, contentType, cacheControl;
};

class MeasurementAdsEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementAdsEndToEndTest() : MeasurementHostTest(kBundleID) {
    searchAds_.server().Post("/api/v1/", [this](const httplib::Request& req,
                                                httplib::Response& res) {
      std::lock_guard lock(mutex_);
      attribution_.push_back({req.method, req.path, req.body, req.get_header_value("Content-Type"),
                              req.get_header_value("cache-control")});
      res.set_content(R"({"attribution": true, "campaignId": 1234, "adId": 5, "keywordId": 77})",
                      "application/json");
    });
    EXPECT_TRUE(searchAds_.start());
  }
  ~MeasurementAdsEndToEndTest() override { stopHost(); }

  void startHost(std::string executable, std::map<std::string, std::string> environment) {
    environment["LUMORA_SEARCH_ADS_URL"] = searchAds_.url("");
    MeasurementHostTest::startHost({.executable = std::move(executable),
                                    .debug = true,
                                    .environment = std::move(environment)});
  }
  std::string uploadedEvent(const std::string& name, std::size_t from = 0) {
    std::string found;
    service_.waitFor(
        [&](const std::vector<FakeMeasurementService::Request>& requests) {
          for (std::size_t i = from; i < requests.size(); ++i) {
            if (requests[i].method != "POST") continue;
            const auto batch = decodeBatch(requests[i].body, scratch_.path());
            if (batch && !(found = eventNamed(*batch, name)).empty()) return true;
          }
          return false;
        },
        20);
    return found;
  }
  std::vector<AttributionRequest> attribution() {
    std::lock_guard lock(mutex_);
    return attribution_;
  }
  bool waitFor(const std::function<bool()>& condition, double seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  platform::testing::LoopbackHTTPServer searchAds_;
  std::mutex mutex_;
  std::vector<AttributionRequest> attribution_;
};

TEST_F(MeasurementAdsEndToEndTest, AnAttributedInstallIsReportedOnceAsACampaign) {
  startHost(testHostExecutable(), {{"LUMORA_TEST_ATTRIBUTION_TOKEN", "tok-1"}});
  drive({analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", json::object()}}})});
  ASSERT_TRUE(waitFor([&] { return !attribution().empty(); })) << host_->log();
  const auto requests = attribution();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/api/v1/");
  EXPECT_EQ(requests[0].body, "tok-1");
  EXPECT_EQ(requests[0].contentType, "text/plain");
  EXPECT_EQ(requests[0].cacheControl, "no-cache");

  const std::string campaign = uploadedEvent("_cmp");
  ASSERT_FALSE(campaign.empty()) << host_->log();
  EXPECT_TRUE(contains(campaign, "params{name:\"_o\"string_value:\"auto\"}")) << campaign;
  EXPECT_TRUE(contains(campaign, "params{name:\"medium\"string_value:\"search\"}")) << campaign;
  EXPECT_TRUE(contains(campaign, "params{name:\"campaign\"string_value:\"1234\"}")) << campaign;
  EXPECT_TRUE(contains(campaign, "params{name:\"term\"string_value:\"77\"}")) << campaign;
  // The first start's first open and the attribution outcome are recorded (the preferences
  // reach the disk a moment later, each write on its own); the click is one millisecond before
  // the first open.
  waitFor([&] {
    return measurementPreference("/ziriza/measurement/first_open_timestamp_ms").ifInt() &&
           !measurementPreference("/ziriza/measurement/is_search_ad_campaign").isNull() &&
           !measurementPreference("/ziriza/measurement/search_ad_number_of_retries").isNull();
  });
  const Value firstOpen = measurementPreference("/ziriza/measurement/first_open_timestamp_ms");
  const auto* ms = firstOpen.ifInt();
  ASSERT_TRUE(ms && *ms >= 2) << firstOpen.debugString();
  EXPECT_TRUE(contains(campaign,
                       "params{name:\"click_timestamp\"int_value:" + std::to_string(*ms - 1) + "}"))
      << campaign;
  EXPECT_EQ(measurementPreference("/ziriza/measurement/is_search_ad_campaign"), Value(true));
  EXPECT_EQ(measurementPreference("/ziriza/measurement/search_ad_number_of_retries"),
            Value(std::int64_t{1}));

  // A restart finds the outcome: no request, and it says why.
  stopHost();
  const std::size_t uploads = service_.requests().size();
  startHost(testHostExecutable(), {{"LUMORA_TEST_ATTRIBUTION_TOKEN", "tok-1"}});
  drive({analyticsCall("logEvent",
                       {{{"eventName", "after_restart"}, {"parameters", json::object()}}})});
  EXPECT_FALSE(uploadedEvent("after_restart", uploads).empty()) << host_->log();
  EXPECT_FALSE(host_->logLines("I-ACS032002").empty()) << host_->log();
  EXPECT_EQ(attribution().size(), 1u);
}

TEST_F(MeasurementAdsEndToEndTest, TheClickTimeFollowsTheFirstOpenThatReplacesALostDatabase) {
  // An earlier run's first open time survives in the preferences, but its database is gone: the
  // start logs a new first open, and the click time is one millisecond before that one.
  const fs::path measurement = home_ / "Application Support" / "Ziriza" / "Measurement";
  fs::create_directories(measurement);
  platform::writePropertyListFile(
      (measurement / "com.ziriza.duz.measurement.plist").string(),
      Value(platform::ValueMap{{Value("/ziriza/measurement/first_open_timestamp_ms"),
                                Value(std::int64_t{1'700'000'000'123})}}),
      platform::PropertyListFormat::Xml);
  startHost(testHostExecutable(), {{"LUMORA_TEST_ATTRIBUTION_TOKEN", "tok-1"}});
  drive({analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", json::object()}}})});
  const std::string campaign = uploadedEvent("_cmp");
  ASSERT_FALSE(campaign.empty()) << host_->log();
  waitFor([&] {
    return measurementPreference("/ziriza/measurement/first_open_timestamp_ms") !=
           Value(std::int64_t{1'700'000'000'123});
  });
  const Value firstOpen = measurementPreference("/ziriza/measurement/first_open_timestamp_ms");
  const auto* ms = firstOpen.ifInt();
  ASSERT_TRUE(ms && *ms > 1'700'000'000'123) << firstOpen.debugString();
  EXPECT_TRUE(contains(campaign,
                       "params{name:\"click_timestamp\"int_value:" + std::to_string(*ms - 1) + "}"))
      << campaign;
  EXPECT_FALSE(contains(campaign, "int_value:1700000000122")) << campaign;
}

TEST_F(MeasurementAdsEndToEndTest, WithoutAProviderNothingIsSent) {
  struct Case {
    const char* what;
    std::string executable;
    std::map<std::string, std::string> environment;
  };
  const Case cases[] = {
      {"product host", hostExecutable(), {}},
      {"OS 11.0",
       testHostExecutable(),
       {{"LUMORA_TEST_ATTRIBUTION_TOKEN", "tok-1"}, {"LUMORA_OS_VERSION", "11.0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t uploads = service_.requests().size();
    startHost(c.executable, c.environment);
    drive(
        {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", json::object()}}})});
    EXPECT_FALSE(uploadedEvent("level_up", uploads).empty()) << host_->log();
    EXPECT_TRUE(waitFor([&] { return !host_->logLines("I-ACS032014").empty(); })) << host_->log();
    EXPECT_TRUE(attribution().empty());
    stopHost();
    fs::remove_all(home_);
  }
}

TEST_F(MeasurementAdsEndToEndTest, AdExposureIsUploadedWithTheScreen) {
  startHost(testHostExecutable(), {});
  drive({analyticsCall("logEvent",
                       {{{"eventName", "screen_view"}, {"parameters", {{"screen_name", "A"}}}}}),
         ads("begin", "u1")});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  drive({ads("end", "u1")});
  const std::string exposure = uploadedEvent("_xu");
  ASSERT_FALSE(exposure.empty()) << host_->log();
  EXPECT_TRUE(contains(exposure, "params{name:\"_ai\"string_value:\"u1\"}")) << exposure;
  EXPECT_TRUE(contains(exposure, "params{name:\"_sn\"string_value:\"A\"}")) << exposure;
  std::smatch time;
  const std::regex xt("params\\{name:\"_xt\"int_value:([0-9]+)\\}");
  ASSERT_TRUE(std::regex_search(exposure, time, xt)) << exposure;
  EXPECT_GE(std::stoll(time[1].str()), 1500);
}

}  // namespace
}  // namespace lumora::e2e
