// The end of the measurement road through the real host: events logged through the analytics
// channels reach a fake measurement service on 127.0.0.1 as gzip-compressed batches, which the
// test decodes with protoc and the schema; the configuration fetch, consent re-stamping, a 503
// backoff and the non-debug first cycle are read from the requests, the database and the
// preferences.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "platform/core/value.h"
#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using fakes::FakeMeasurementService;
using nlohmann::json;
using platform::Value;

constexpr const char* kBundleID = "com.example.measurement";

class MeasurementUploadEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementUploadEndToEndTest() : MeasurementHostTest(kBundleID) {}
};

TEST_F(MeasurementUploadEndToEndTest, DebugModeUploadsConsentRestampsAndBacksOffAfter503) {
  ASSERT_FALSE(service_.baseURL().empty());
  startHost({.debug = true});

  const auto answers = replies(
      {analyticsCall("setConsent", {{{"adStorageConsentGranted", true},
                                     {"analyticsStorageConsentGranted", true}}}),
       analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}}),
       analyticsCall("getAppInstanceId", json::array())});
  ASSERT_TRUE(answers[2].is_array() && answers[2].size() == 1 && answers[2][0].is_string())
      << answers[2].dump();
  const std::string instanceID = answers[2][0].get<std::string>();

  // The first cycle finds no configuration: the fetch comes first.
  ASSERT_TRUE(service_.waitFor([](const auto& r) { return !r.empty(); }, 20)) << host_->log();
  const auto first = service_.requests().front();
  EXPECT_EQ(first.method, "GET");
  EXPECT_EQ(first.path, std::string("/config/app/") + kMeasurementAppID);
  EXPECT_EQ(first.query.count("platform") ? first.query.at("platform") : "", "macos");
  EXPECT_EQ(first.query.count("runtime_version") ? first.query.at("runtime_version") : "", "0");
  EXPECT_EQ(first.query.count("duz_version") ? first.query.at("duz_version") : "", "111500");

  ASSERT_TRUE(uploadHolds("level_up")) << host_->log();
  for (const auto& request : service_.requests()) {
    if (request.method != "POST") continue;
    EXPECT_EQ(request.path, "/a");
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_TRUE(request.bodyWasGzip && !request.bodyDecodeFailed);
  }
  const auto bundles = uploadedBundles();
  const auto levelUp = std::find_if(bundles.begin(), bundles.end(),
                                    [](const auto& b) { return contains(b, "name:\"level_up\""); });
  ASSERT_NE(levelUp, bundles.end());
  EXPECT_TRUE(contains(*levelUp, "params{name:\"level\"int_value:7}")) << *levelUp;
  EXPECT_TRUE(contains(*levelUp, "params{name:\"_o\"string_value:\"app\"}")) << *levelUp;
  EXPECT_TRUE(contains(*levelUp, "app_instance_id:\"" + instanceID + "\"")) << *levelUp;
  EXPECT_TRUE(contains(*levelUp, "consent_signals:\"G111\"")) << *levelUp;
  EXPECT_TRUE(contains(*levelUp, std::string("app_id:\"") + kBundleID + "\"")) << *levelUp;
  EXPECT_TRUE(contains(*levelUp, std::string("duz_app_id:\"") + kMeasurementAppID + "\""))
      << *levelUp;
  EXPECT_TRUE(contains(*levelUp, "uploading_library_version:111500")) << *levelUp;
  // The first open, logged by the host itself at start, goes out with its automatic origin.
  const auto firstOpen = std::find_if(bundles.begin(), bundles.end(),
                                      [](const auto& b) { return contains(b, "name:\"_f\""); });
  ASSERT_NE(firstOpen, bundles.end()) << host_->log();
  EXPECT_TRUE(contains(*firstOpen, "params{name:\"_o\"string_value:\"auto\"}")) << *firstOpen;

  // After the last 204 the queue is empty and the success time is kept.
  for (int i = 0; i < 100 && sql("SELECT COUNT(*) FROM queue") != "0\n"; ++i)
    usleep(100000);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue"), "0\n");

  // Analytics storage denied: the next batch is re-stamped, no identifier in any bundle.
  std::size_t before = service_.requests().size();
  replies({analyticsCall("setConsent", {{{"analyticsStorageConsentGranted", false}}}),
           analyticsCall("logEvent", {{{"eventName", "level_down"}}})});
  ASSERT_TRUE(uploadHolds("level_down", before)) << host_->log();
  const auto denied = uploadedBundles(before);
  ASSERT_FALSE(denied.empty());
  for (const auto& bundle : denied) {
    EXPECT_TRUE(contains(bundle, "consent_signals:\"G110\"")) << bundle;
    EXPECT_FALSE(contains(bundle, "app_instance_id:")) << bundle;
  }

  // A 503 keeps the bundle with one retry, sets the backoff and holds later uploads.
  service_.scriptUpload({FakeMeasurementService::Answer{503, {}, {}}});
  before = service_.requests().size();
  replies({analyticsCall("logEvent", {{{"eventName", "level_again"}}})});
  ASSERT_TRUE(uploadHolds("level_again", before)) << host_->log();
  const std::size_t postsAfter503 = posts();
  sleep(3);
  EXPECT_EQ(posts(), postsAfter503);
  stopHost();
  // The refused bundle waits with one retry. Resigning active at the stop may queue the rest
  // (held by the backoff, so never tried).
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue WHERE retry_count = 1"), "1\n");
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue WHERE retry_count > 1"), "0\n");
  EXPECT_TRUE(measurementPreference("/ziriza/measurement/last_successful_upload").isDouble() ||
              measurementPreference("/ziriza/measurement/last_successful_upload").isInt());
  EXPECT_FALSE(measurementPreference("/ziriza/measurement/last_backoff").isNull());
}

TEST_F(MeasurementUploadEndToEndTest, WithoutDebugModeTheFirstCycleComesAfterTheInitialDelay) {
  ASSERT_FALSE(service_.baseURL().empty());
  // A configuration {1: 7, 2: the app ID}, made by protoc.
  const auto config = runWithInput(protocCommand("encode", "MeasurementConfig"),
                                   std::string("version: 7 app_id: \"") + kMeasurementAppID + "\"",
                                   scratch_.path());
  ASSERT_TRUE(config);
  service_.scriptConfig({FakeMeasurementService::Answer{200, *config, {{"ETag", "\"c7\""}}}});
  startHost();
  replies(
      {analyticsCall("logEvent", {{{"eventName", "level_up"}, {"parameters", {{"level", 7}}}}})});
  const auto logged = std::chrono::steady_clock::now();

  ASSERT_TRUE(service_.waitFor(
      [](const auto& r) {
        return std::any_of(r.begin(), r.end(), [](const auto& q) { return q.method == "POST"; });
      },
      40))
      << host_->log();
  // The first cycle waits the initial delay (15 s) after the newest stored data.
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - logged).count();
  EXPECT_GE(waited, 14.0);
  EXPECT_LT(waited, 30.0);
  const auto requests = service_.requests();
  ASSERT_EQ(requests.front().method, "GET");
  sleep(2);
  EXPECT_EQ(posts(), 1u);
  const auto bundles = uploadedBundles();
  ASSERT_FALSE(bundles.empty());
  for (const auto& bundle : bundles) {
    EXPECT_TRUE(contains(bundle, "config_version:7")) << bundle;
    EXPECT_FALSE(contains(bundle, "\"_dbg\"")) << bundle;
  }
  stopHost();
  EXPECT_EQ(measurementPreference("/ziriza/measurement/config_etag"), Value("\"c7\""));
}

}  // namespace
}  // namespace lumora::e2e
