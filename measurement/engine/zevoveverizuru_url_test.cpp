// Campaigns from opened URLs, the deferred deep link and on-device conversion, on a real database
// under the mock clock. The network requests go to a fake service on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_on_device_conversion.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "tests/fakes/fake_measurement_service.h"

namespace {

using platform::Value;
using platform::ValueMap;
using Fake = lumora::fakes::FakeMeasurementService;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

// The advertising-identifier provider. The identity adopts the provider registered when it is
// first made, once per process, so this one is registered before any test runs and answers like
// an absent provider until a test gives it an identifier.
class IdentitySupportDouble : public APMIdentitySupport {
 public:
  std::optional<std::string> resettableDeviceID() override {
    std::lock_guard lock(mutex_);
    return id_;
  }
  bool hasLimitedAdTracking() override { return known_; }
  bool limitedAdTracking() override { return !resettableDeviceID(); }
  bool hasAppDataConsentStatus() override { return false; }
  std::uint64_t appDataConsentStatus() override { return ~std::uint64_t{0}; }
  void setID(std::optional<std::string> id) {
    std::lock_guard lock(mutex_);
    id_ = std::move(id);
    known_ = id_.has_value();
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> id_;
  std::atomic<bool> known_{false};
};

IdentitySupportDouble& identitySupport() {
  static auto* support =
      new std::shared_ptr<IdentitySupportDouble>(std::make_shared<IdentitySupportDouble>());
  return **support;
}

// Registers the double and makes the shared identity support with it before any test runs.
class IdentitySupportEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    static auto* support = new std::shared_ptr<APMIdentitySupport>(
        std::shared_ptr<APMIdentitySupport>(std::shared_ptr<void>(), &identitySupport()));
    platform::ClassRegistry::shared().registerClass<APMIdentitySupport>(
        "APMPlatformIdentitySupport", *support);
    APMDefaultIdentitySupport::sharedInstance();
  }
};
[[maybe_unused]] testing::Environment* const kIdentitySupport =
    testing::AddGlobalTestEnvironment(new IdentitySupportEnvironment);

// `body` decoded by protoc as `type`, without blanks; none when protoc failed.
std::optional<std::string> protocDecode(const std::string& type, const std::string& body) {
  platform::ScratchDirForTesting scratch;
  const std::string in = scratch.path() + "/body.bin";
  {
    std::ofstream file(in, std::ios::binary);
    file << body;
  }
  const std::string command = std::string("protoc --decode=devazerirerize.") + type + " -I '" +
                              LUMORA_MESSAGES_PROTO_DIR + "' measurement_messages.proto < '" + in +
                              "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[4096];
  while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
    out.append(buffer, n);
  if (pclose(pipe) != 0) return std::nullopt;
  std::string flat;
  for (const char c : out)
    if (c != ' ' && c != '\n') flat += c;
  return flat;
}

struct StoredEvent {
  std::string name;
  ValueMap parameters;
  std::string text(const std::string& key) const {
    const auto found = parameters.find(Value(key));
    return found != parameters.end() && found->second.ifString() ? *found->second.ifString() : "-";
  }
  bool has(const std::string& key) const { return parameters.count(Value(key)) != 0; }
};

class CampaignTest : public engine_testing::EngineTest {
 protected:
  CampaignTest() {
    identitySupport().setID(std::nullopt);
    environment_.emplace("LUMORA_MEASUREMENT_URL", fake_.baseURL());
    ads_.emplace("LUMORA_ADS_URL", fake_.baseURL());
  }
  ~CampaignTest() override {
    identitySupport().setID(std::nullopt);
    platform::Bundle::setMainForTesting(nullptr);
    APMProcessMonitor()->setDebugModeEnabled(false);
  }
  void start(bool dropLaunch = true) {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    if (dropLaunch) dropLaunchEvents();
  }
  // A new process over the same files.
  void restart() {
    ZEVOveverizuru::resetSharedInstanceForTesting();
    APMAnalytics::resetForTesting();
    env_.runUntilIdle();
    start(false);
  }
  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }
  void openURL(const std::string& url) {
    APMAnalytics::handleOpenURL(url);
    env_.runUntilIdle();
  }
  std::vector<StoredEvent> stored(const std::string& name) {
    std::vector<StoredEvent> out;
    onWorker([&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      ASSERT_TRUE(rows);
      for (const auto& raw : *rows) {
        auto event = APMEvent::initWithEventProto(*raw->rawEvent());
        ASSERT_TRUE(event);
        if (event->name() == name) out.push_back({event->name(), event->parameters()});
      }
    });
    return out;
  }
  std::shared_ptr<APMUserAttribute> property(const std::string& name) {
    std::shared_ptr<APMUserAttribute> out;
    onWorker([&] {
      platform::ErrorPtr error;
      out = core()->database()->userAttributeWithName(name, &error);
    });
    return out;
  }
  std::optional<platform::ValueMap> odmRow(const std::string& name) {
    std::optional<platform::ValueMap> out;
    onWorker([&] {
      platform::ErrorPtr error;
      out = core()->database()->ODMValueWithName(name, &error);
    });
    return out;
  }
  std::shared_ptr<APMPBMeasurementBundle> metadata() {
    std::shared_ptr<APMPBMeasurementBundle> out;
    onWorker([&] { out = core()->createRawEventMetadataWithUserAttributes({}); });
    return out;
  }
  void settings(const std::vector<std::pair<std::string, std::string>>& pairs,
                const std::vector<std::string>& corePlatformServices = {}) {
    auto config = measurementConfigWithSettings(kAppID, 3, pairs);
    if (!corePlatformServices.empty()) {
      auto consent = APMPBConsentConfig::initWithMessageInfo();
      std::vector<std::shared_ptr<APMPBCorePlatformServiceEntry>> entries;
      for (const auto& name : corePlatformServices) {
        auto entry = APMPBCorePlatformServiceEntry::initWithMessageInfo();
        NANOSetString(entry.get(), apmpb_field::CorePlatformServiceEntry::kServiceName, name);
        entries.push_back(entry);
      }
      const auto services = NANOMessageValues(entries);
      NANOSetArray(consent.get(), apmpb_field::ConsentConfig::kCorePlatformServices, &services);
      NANOSetBool(consent.get(), apmpb_field::ConsentConfig::kDmaRegion, true);
      NANOSetMessage(config.get(), apmpb_field::MeasurementConfig::kConsentConfig, consent.get());
    }
    onWorker([&] {
      ASSERT_TRUE(core()->remoteConfigInstance()->updateMeasurementConfig(config));
      platform::ErrorPtr error;
      core()->database()->updateRemoteConfigSuccessfulTimestamp(env_.now(), &error);
    });
  }
  std::vector<Fake::Request> requestsTo(const std::string& prefix) {
    std::vector<Fake::Request> out;
    for (const auto& request : fake_.requests())
      if (request.path.rfind(prefix, 0) == 0) out.push_back(request);
    return out;
  }
  int count(std::int64_t code) {
    const auto all = codes();
    return static_cast<int>(std::count(all.begin(), all.end(), code));
  }
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }

  Fake fake_;
  std::optional<platform::ScopedEnvironmentForTesting> environment_;
  std::optional<platform::ScopedEnvironmentForTesting> ads_;
};

// ---- Campaigns ----

TEST_F(CampaignTest, ACampaignURLGivesTheEventTheZbraidPropertyAndCampaignInfoForLaterBundles) {
  start();
  openURL("lumora://open?utm_source=news&utm_medium=mail&zbraid=B1&zad_k=v&zclid=C1");
  const auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  const auto& event = campaigns[0];
  EXPECT_EQ(event.text("source"), "news");
  EXPECT_EQ(event.text("medium"), "mail");
  EXPECT_EQ(event.text("zbraid"), "B1");
  EXPECT_EQ(event.text("zad_k"), "v");
  // No advertising identifier and no tracking authorisation: click identifiers are dropped.
  EXPECT_FALSE(event.has("zclid"));
  EXPECT_FALSE(event.has("utm_source"));

  const auto zbraid = property("_zbraid");
  ASSERT_TRUE(zbraid);
  ASSERT_TRUE(zbraid->value().stringValue());
  EXPECT_EQ(*zbraid->value().stringValue(), "B1");
  EXPECT_EQ(zbraid->origin(), "auto");

  // Every later event's metadata carries the campaign information.
  const auto bundle = metadata();
  ASSERT_TRUE(bundle);
  const auto campaign = NANOGetMessage<APMPBAdCampaignInfo>(
      bundle.get(), apmpb_field::MeasurementBundle::kAdCampaignInfo);
  ASSERT_TRUE(campaign);
  namespace F = apmpb_field::AdCampaignInfo;
  EXPECT_EQ(NANOGetString(campaign.get(), F::kZbraid), "B1");
  EXPECT_FALSE(NANOGetString(campaign.get(), F::kZclid));
  const auto entries = NANOGetArray(campaign.get(), F::kDeepLinkZadParams,
                                    APMPBDeepLinkZadParamsEntry::classObject());
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  const auto entry = (*entries)[0].asObjectOf<APMPBDeepLinkZadParamsEntry>();
  EXPECT_EQ(NANOGetString(entry.get(), apmpb_field::DeepLinkZadParamsEntry::kKey), "zad_k");
  EXPECT_EQ(NANOGetString(entry.get(), apmpb_field::DeepLinkZadParamsEntry::kValue), "v");

  // A later event's bundle, as uploaded, carries it too.
  APMAnalytics::logEventWithName("later", {});
  env_.advance(3600);
  std::vector<std::string> uploaded;
  for (const auto& request : requestsTo("/a")) {
    const auto text = protocDecode("MeasurementBatch", request.body);
    ASSERT_TRUE(text) << "protoc could not decode an upload";
    uploaded.push_back(*text);
  }
  ASSERT_FALSE(uploaded.empty());
  const bool carried = std::any_of(uploaded.begin(), uploaded.end(), [](const std::string& text) {
    return text.find("ad_campaign_info{") != std::string::npos &&
           text.find("zbraid:\"B1\"") != std::string::npos &&
           text.find("deep_link_zad_params{key:\"zad_k\"value:\"v\"}") != std::string::npos &&
           text.find("name:\"later\"") != std::string::npos;
  });
  EXPECT_TRUE(carried) << uploaded[0];
}

TEST_F(CampaignTest, URLsThatAreNotCampaignsOrCarryNoClickIDsLeaveNoCampaignInfo) {
  struct Case {
    const char* url;
    bool event;
    std::int64_t code;  // reported, 0 for none
  } cases[] = {
      {"lumora://open?color=red&size=9", false, 23001},
      {"lumora://open", false, 23000},
      {"lumora://open?utm_source=news&utm_medium=mail", true, 0},
      {"lumora://open?zad_empty=", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    resetEngineState();
    start();
    APMProcessMonitor()->setDebugModeEnabled(true);
    clearReports();
    openURL(c.url);
    EXPECT_EQ(stored("_cmp").size(), c.event ? 1u : 0u);
    if (c.code != 0) {
      EXPECT_TRUE(reported(c.code));
    }
    EXPECT_FALSE(property("_zbraid"));
    const auto buffer = persisted()->adCampaignInfoBuffer();
    EXPECT_TRUE(buffer.isNull());
    APMProcessMonitor()->setDebugModeEnabled(false);
  }
}

TEST_F(CampaignTest, AnAdvertisingIdentifierLetsClickIDsThrough) {
  identitySupport().setID("AAAA-1111");
  start();
  onWorker([&] { core()->identity()->updateIdentifiersAndWait(); });
  openURL("lumora://open?zclid=C1&utm_campaign=spring");
  const auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].text("zclid"), "C1");
  EXPECT_EQ(campaigns[0].text("campaign"), "spring");
  const auto campaign =
      APMPBAdCampaignInfo::initWithBuffer(persisted()->adCampaignInfoBuffer().asBytes());
  ASSERT_TRUE(campaign);
  EXPECT_EQ(NANOGetString(campaign.get(), apmpb_field::AdCampaignInfo::kZclid), "C1");
}

TEST_F(CampaignTest, AStoredLinkThatExpiredBeforeStartReplaysAsNotSet) {
  env_.setWallClock(1700000000);
  APMSetAttributionCache(*APMUserDefaults::sharedUserDefaults(), "lumora://open?utm_source=old");
  // Past the default time to live of seven days.
  env_.setWallClock(1700000000 + 8 * 86400);
  APMAnalytics::setLoadTimestamp(env_.now());
  start(false);
  EXPECT_TRUE(stored("_cmp").empty());
  const auto replayed = stored("_cmpx");
  ASSERT_EQ(replayed.size(), 1u);
  EXPECT_EQ(replayed[0].text("source"), "(not set)");
  EXPECT_EQ(replayed[0].text("medium"), "(not set)");
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()
                  ->objectForKey(Value(APMUserDefaultsDeepLinkKey))
                  .isNull());
}

TEST_F(CampaignTest, AttributionTimesRoundToTheStartOfThePreviousHour) {
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {3600000, 0}, {7199999, 0}, {7200000, 3600000}, {1700000000000, 1699995600000}};
  for (const auto& [in, out] : cases)
    EXPECT_EQ(APMAttributionTimestampMillisRoundedToPreviousHour(in), out) << in;
}

TEST_F(CampaignTest, ThePreviewSwitchSetsAndClearsTheUploadHeaders) {
  struct Step {
    const char* url;
    std::optional<std::string> key;  // the preview header's value afterwards; none: no headers
  };
  const Step steps[] = {
      {"lumora://x?sztm_debug_enable=1&sztm_preview_key=K1", "K1"},
      {"lumora://x?sztm_debug_enable=2&sztm_preview_key=K9", "K1"},  // neither on nor off
      {"lumora://x?utm_source=news", "K1"},
      {"lumora://x?sztm_debug_enable=1", std::nullopt},  // on, without headers
      {"lumora://x?sztm_debug_enable=1&sztm_preview_key=K2", "K2"},
      {"lumora://x?sztm_debug_enable=1&sztm_preview_key=", std::nullopt},
      {"lumora://x?sztm_debug_enable=1&sztm_preview_key=K3", "K3"},
      {"lumora://x?sztm_debug_enable=0&sztm_preview_key=K4", std::nullopt},
  };
  for (const auto& step : steps) {
    ZEVOveverizuru::handleSZTMDebugModeWithURL(step.url);
    const auto headers = ZEVOveverizuru::SZTMPreviewHeaders();
    if (!step.key) {
      EXPECT_FALSE(headers) << step.url;
      continue;
    }
    ASSERT_TRUE(headers) << step.url;
    EXPECT_EQ(*headers, (platform::ValueMap{{platform::Value("X-Sztm-Server-Preview"),
                                             platform::Value(*step.key)}}))
        << step.url;
  }
}

// ---- Deferred deep link ----

class DeferredDeepLinkTest : public CampaignTest {
 protected:
  DeferredDeepLinkTest() {
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/app", ValueMap{{Value("CFBundleIdentifier"), Value("com.lumora.ddl")},
                         {Value("ZIRIZA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED"), Value(true)}}));
  }
  // The first start on a fresh database waits for the first configuration fetch, which the
  // first upload cycle makes.
  void startAndFetch() {
    start(false);
    env_.advance(3600);
  }
};

TEST_F(DeferredDeepLinkTest, WithoutAnAdvertisingIdentifierNothingIsAsked) {
  APMProcessMonitor()->setDebugModeEnabled(true);
  startAndFetch();
  EXPECT_TRUE(reported(23196));
  EXPECT_TRUE(requestsTo(Fake::kDeepLinkPath).empty());
  EXPECT_TRUE(persisted()->deferredDeepLinkRetrievalComplete().isNull());
}

TEST_F(DeferredDeepLinkTest, AFoundLinkSettlesTheRetrievalAndEndsAtTheApplicationHandOff) {
  identitySupport().setID("AAAA-1111");
  fake_.scriptDeepLink({{200, R"({"deeplink": "lumora://x"})", {}}});
  APMProcessMonitor()->setDebugModeEnabled(true);
  startAndFetch();
  const auto requests = requestsTo(Fake::kDeepLinkPath);
  ASSERT_EQ(requests.size(), 1u);
  const std::string bundleID = core()->identity()->appID().value_or("");
  const std::string prefix =
      std::string(Fake::kDeepLinkPath) +
      "?sdk_version=111500&rdid=AAAA-1111&id_type=idfa&bundleid=" + bundleID + "&retry=0&gcs=";
  EXPECT_EQ(requests[0].target.substr(0, prefix.size()), prefix) << requests[0].target;
  EXPECT_EQ(requests[0].query.count("dma"), 1u);
  // The configuration was asked for first.
  ASSERT_FALSE(requestsTo("/config/app/").empty());
  EXPECT_EQ(persisted()->deferredDeepLinkRetrievalComplete(), Value(std::int64_t{0}));
  EXPECT_TRUE(reported(23200));
  EXPECT_TRUE(reported(23204));
  EXPECT_TRUE(stored("_cmp").empty());
}

TEST_F(DeferredDeepLinkTest, FailuresAreRetriedOnLaterLaunchesUntilTheLimitSettlesThem) {
  // An identifier with a space and an ampersand: escaped, the request stays valid and adds no
  // parameter of its own.
  identitySupport().setID("A B&x=1");
  fake_.scriptDeepLink({}, {500, {}, {}});
  startAndFetch();
  ASSERT_EQ(requestsTo(Fake::kDeepLinkPath).size(), 1u);
  EXPECT_EQ(requestsTo(Fake::kDeepLinkPath)[0].query.at("rdid"), "A B&x=1");
  EXPECT_EQ(requestsTo(Fake::kDeepLinkPath)[0].query.count("x"), 0u);
  EXPECT_EQ(persisted()->deferredDeepLinkRetryCount(), 1);
  EXPECT_TRUE(persisted()->deferredDeepLinkRetrievalComplete().isNull());
  // Later launches: the configuration is fresh now, so each start asks at once.
  for (int launch = 2; launch <= 5; ++launch) {
    restart();
    EXPECT_EQ(requestsTo(Fake::kDeepLinkPath).size(), static_cast<std::size_t>(launch));
    EXPECT_EQ(persisted()->deferredDeepLinkRetryCount(), launch);
    EXPECT_EQ(requestsTo(Fake::kDeepLinkPath).back().query.at("retry"), std::to_string(launch - 1));
  }
  restart();
  EXPECT_EQ(requestsTo(Fake::kDeepLinkPath).size(), 5u);
  EXPECT_EQ(persisted()->deferredDeepLinkRetrievalComplete(), Value(std::int64_t{1}));
  EXPECT_TRUE(reported(23195));
}

TEST_F(DeferredDeepLinkTest, ServiceNamesWithBlanksAndAmpersandsStillMakeAValidRequest) {
  identitySupport().setID("AAAA-1111");
  fake_.scriptDeepLink({}, {204, {}, {}});
  start();
  settings({}, {"Svc One", "A&b"});
  clearReports();
  onWorker([&] { core()->requestDeferredDeepLink(); });
  EXPECT_FALSE(reported(23198));
  const auto requests = requestsTo(Fake::kDeepLinkPath);
  ASSERT_EQ(requests.size(), 1u);
  // Sorted and joined, then escaped as one value.
  EXPECT_EQ(requests[0].query.at("dma_cps"), "A&bSvc One");
  EXPECT_EQ(requests[0].query.count("bSvc One"), 0u);
  EXPECT_NE(requests[0].target.find("&dma=1&dma_cps=A%26bSvc%20One"), std::string::npos)
      << requests[0].target;
  EXPECT_EQ(persisted()->deferredDeepLinkRetrievalComplete(), Value(std::int64_t{0}));
}

// ---- On-device conversion with user data ----

struct ClientDouble : APMPSMClient {
  std::string base;
  std::string match;  // the value the answer parses to
  std::int64_t inputType() override { return 1; }
  platform::Bytes payloadWithPSMRequest() override { return platform::Bytes{'p', 's', 'm'}; }
  std::optional<std::string> PSMRequestURLWithRetryCount(std::int64_t) override { return base; }
  std::string parsedPSMValueFromResponse(const platform::Bytes& response) override {
    return response.empty() ? std::string() : match;
  }
};

class OnDeviceConversionTest : public CampaignTest {
 protected:
  void registerClient(const char* name = APMPrivateSetMembershipClientClassName) {
    auto cls = std::make_shared<APMPSMClientClass>();
    cls->initWithEmailAddress = [this](const std::string& email, const std::string&) {
      emails_.push_back(email);
      auto client = std::make_shared<ClientDouble>();
      client->base = fake_.baseURL() + "/psm?q=1";
      client->match = "M1";
      return client;
    };
    platform::ClassRegistry::shared().registerClass(name, cls);
  }
  void setUserData(const std::string& email) {
    // The facade holds its operations for half a second after a call that waits.
    env_.advance(1);
    APMAnalytics::setUserData(ValueMap{{Value("email_address"), Value(email)}});
    env_.runUntilIdle();
  }
  std::vector<std::string> emails_;
};

TEST_F(OnDeviceConversionTest, WithoutAClientNothingIsSent) {
  start();
  setUserData("a@b.c");
  EXPECT_TRUE(reported(23233));
  EXPECT_TRUE(requestsTo("/psm").empty());
}

TEST_F(OnDeviceConversionTest, AMatchIsStoredAnnouncedAndCarriedInTheMetadata) {
  constexpr std::int64_t kMinute = 1699999980;  // a whole minute
  env_.setWallClock(kMinute + 12);
  APMAnalytics::setLoadTimestamp(env_.now());
  registerClient();
  fake_.scriptDataSet({{200, "match", {}}});
  start();
  env_.advance(30);
  setUserData("a@b.c");
  ASSERT_EQ(emails_, std::vector<std::string>{"a@b.c"});
  const auto requests = requestsTo("/psm");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "psm");
  EXPECT_EQ(requests[0].target,
            "/psm?q=1&psm_count=0&timestamp_first_open=" + std::to_string(kMinute + 60));
  const auto row = odmRow("odm1_value");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->find(Value("value"))->second, Value("M1"));
  ASSERT_TRUE(property("_psmvalue"));
  EXPECT_EQ(*property("_psmvalue")->value().stringValue(), "M1");
  ASSERT_TRUE(property("_psmcount"));
  EXPECT_EQ(property("_psmcount")->value().int64Value(), 1);
  const auto announced = stored("_fx");
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_EQ(announced[0].text("_fxs"), "psm");
  const auto bundle = metadata();
  ASSERT_TRUE(bundle);
  EXPECT_TRUE(NANOGetMessage(bundle.get(), apmpb_field::MeasurementBundle::kOnDeviceMeasurementInfo,
                             APMPBOnDeviceMeasurementInfo::classObject()));
  EXPECT_EQ(NANOGetInt32(bundle.get(), apmpb_field::MeasurementBundle::kCapabilityFlags) & 2, 2);
  // A match blocks further runs.
  setUserData("a@b.c");
  EXPECT_TRUE(reported(23237));
}

TEST_F(OnDeviceConversionTest, FailuresRetryWithGrowingDelaysUntilTheRetryLimit) {
  registerClient();
  fake_.scriptDataSet({}, {500, {}, {}});
  start();
  setUserData("a@b.c");
  ASSERT_EQ(requestsTo("/psm").size(), 1u);
  const double delays[] = {300, 600, 1200, 2400};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    env_.advance(delays[i] - 1);
    EXPECT_EQ(requestsTo("/psm").size(), i + 1) << "not before its time";
    env_.advance(1);
    if (i < 3) {
      EXPECT_EQ(requestsTo("/psm").size(), i + 2);
    }
  }
  EXPECT_TRUE(reported(23231));
  const auto sent = requestsTo("/psm").size();
  env_.advance(10000);
  EXPECT_EQ(requestsTo("/psm").size(), sent);
  // A run that used up its retries leaves the retry count at the limit: no new run in this
  // process.
  setUserData("b@b.c");
  EXPECT_TRUE(reported(23238));
  EXPECT_EQ(emails_.size(), 1u);
}

TEST_F(OnDeviceConversionTest, RunsWithoutAMatchAreLimitedToThreePerProcess) {
  registerClient();
  fake_.scriptDataSet({}, {200, {}, {}});  // an empty answer parses to no match
  start();
  for (const char* email : {"a@b.c", "b@b.c", "c@b.c"})
    setUserData(email);
  EXPECT_EQ(requestsTo("/psm").size(), 3u);
  EXPECT_EQ(count(23230), 3);
  EXPECT_FALSE(reported(23236));
  setUserData("d@b.c");
  EXPECT_TRUE(reported(23236));
  EXPECT_EQ(requestsTo("/psm").size(), 3u);
  EXPECT_EQ(emails_.size(), 3u);
  ASSERT_TRUE(property("_psmcount"));
  EXPECT_EQ(property("_psmcount")->value().int64Value(), 3);
}

// ---- On-device conversion service values ----

struct ServiceDouble : ODCConversionService {
  std::int64_t version = 10001;
  std::optional<std::string> value;
  std::optional<double> firstLaunch;
  std::int64_t versionNumber() override { return version; }
  void setFirstLaunchTime(std::optional<double> seconds) override { firstLaunch = seconds; }
  void fetchMeasurementInfoForInteraction(Completion completion) override {
    completion(value, nullptr);
  }
};

class ConversionServiceTest : public CampaignTest {
 protected:
  std::shared_ptr<ServiceDouble> registerService(std::int64_t version = 10001) {
    auto service = std::make_shared<ServiceDouble>();
    service->version = version;
    auto cls = std::make_shared<ODCConversionServiceClass>();
    cls->sharedInstance = [service] { return service; };
    platform::ClassRegistry::shared().registerClass(ODCConversionServiceClassName, cls);
    return service;
  }
  void fetched() {
    onWorker([&] { core()->updateAdsOnDeviceConversionMeasurement(); });
  }
};

TEST_F(ConversionServiceTest, ValuesAreStoredOnceAndClearedWhenAdStorageIsDenied) {
  auto service = registerService();
  start();
  APMProcessMonitor()->setDebugModeEnabled(true);
  settings({{"measurement.odm2_enabled", "1"}});
  service->value = "Z1";
  fetched();
  ASSERT_TRUE(odmRow("odm2_value"));
  EXPECT_EQ(odmRow("odm2_value")->find(Value("value"))->second, Value("Z1"));
  ASSERT_TRUE(property("_psmvalue_zads"));
  EXPECT_EQ(*property("_psmvalue_zads")->value().stringValue(), "Z1");
  ASSERT_EQ(stored("_fx").size(), 1u);
  EXPECT_EQ(stored("_fx")[0].text("_fxs"), "psm_zads");

  fetched();
  EXPECT_TRUE(reported(23282));
  EXPECT_EQ(stored("_fx").size(), 1u);

  APMConsentSettingsUtil::updateSettings(ValueMap{{Value("ad_storage"), Value("denied")}});
  fetched();
  EXPECT_TRUE(reported(23276));
  EXPECT_TRUE(reported(23281));
  EXPECT_FALSE(odmRow("odm2_value"));
  EXPECT_FALSE(property("_psmvalue_zads"));
}

TEST_F(ConversionServiceTest, TheServiceVersionSetsItsFlavourBit) {
  const std::pair<std::int64_t, std::int32_t> cases[] = {{10000, 4}, {10001, 8}};
  for (const auto& [version, bit] : cases) {
    SCOPED_TRACE(version);
    resetEngineState();
    registerService(version);
    start();
    const auto bundle = metadata();
    ASSERT_TRUE(bundle);
    EXPECT_EQ(NANOGetInt32(bundle.get(), apmpb_field::MeasurementBundle::kCapabilityFlags) & 12,
              bit);
  }
}

TEST_F(ConversionServiceTest, TheAdsServiceBesideAClientRaisesWithoutStoppingTheProcess) {
  std::vector<std::string> raised;
  platform::setTaskExceptionSink(
      [&](const std::string&, const std::string& what) { raised.push_back(what); });
  registerService(10001);
  auto cls = std::make_shared<APMPSMClientClass>();
  platform::ClassRegistry::shared().registerClass(APMPrivateSetMembershipClientClassName, cls);
  start();
  env_.runUntilIdle();
  platform::setTaskExceptionSink(nullptr);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_NE(raised[0].find("are both linked into the app"), std::string::npos);
  EXPECT_TRUE(core());
}

}  // namespace
