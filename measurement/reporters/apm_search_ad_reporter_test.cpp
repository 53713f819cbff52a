// The search-ads attribution reporter against a loopback attribution service, under the mock
// clock: requests, answers, persisted outcome and the daily retry schedule.
#include "measurement/reporters/apm_search_ad_reporter.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/net/testing/loopback_http_server.h"

namespace {

using platform::Value;

struct SeenRequest {
  std::string method, path, body, contentType, cacheControl;
  std::size_t headerCount = 0;
};

struct Logged {
  std::string origin, name;
  platform::ValueMap parameters;
};

class ScriptedToken : public APMAttributionTokenClass {
 public:
  std::string attributionTokenWithError(platform::ErrorPtr* error) override {
    if (fail) *error = std::make_shared<platform::Error>("test.token", 7);
    return fail ? std::string() : token;
  }
  std::string token = "tok-1";
  bool fail = false;
};

// Accepts connections on 127.0.0.1 and resets each one at once.
class ResettingListener {
 public:
  ResettingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 8);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        linger hard{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(client);
      }
    });
  }
  ~ResettingListener() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

class SearchAdReporterTest : public apm_testing::StorageTest {
 protected:
  SearchAdReporterTest() {
    server_.server().Post("/api/v1/", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      seen_.push_back({req.method, req.path, req.body, req.get_header_value("Content-Type"),
                       req.get_header_value("cache-control"), req.headers.size()});
      res.set_content(answer_, "application/json");
    });
    EXPECT_TRUE(server_.start());
    pointAt(server_.url(""));
    platform::ClassRegistry::shared().registerClass<APMAttributionTokenClass>(
        APMAttributionClassName, provider_);
    APMSetInternalEventSink([this](const std::string& origin, const std::string& name,
                                   const platform::ValueMap& parameters) {
      std::lock_guard lock(mutex_);
      events_.push_back({origin, name, parameters});
    });
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    config_->setFirstOpenTimestampMilliseconds(1'699'999'000'000);
  }
  ~SearchAdReporterTest() override {
    reporter_.reset();
    env_.runUntilIdle();
    APMSetInternalEventSink(nullptr);
    platform::ClassRegistry::shared().unregisterClass(APMAttributionClassName);
  }

  void pointAt(const std::string& url) {
    url_.reset();
    url_.emplace(APMSearchAdURLVariable, url);
  }
  void answer(std::string body) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(body);
  }
  std::vector<SeenRequest> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<Logged> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::int64_t count(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::count(codes.begin(), codes.end(), code);
  }

  // Creates, enables and starts the reporter on the worker queue, as the engine does, and lets
  // the first attempt (due at once on a fresh installation) run with its reply.
  bool startReporter() {
    reporter_ = APMSearchAdReporter::initWithWorkerQueue(worker_, config_);
    if (!reporter_) return false;
    worker_->sync([this] {
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
    env_.runUntilIdle();
    return true;
  }
  bool pending() {
    bool answer = false;
    worker_->sync([&] { answer = reporter_->hasPendingAttempt(); });
    return answer;
  }

  platform::TestEnvironment env_{1'700'000'000};
  platform::testing::LoopbackHTTPServer server_;
  std::optional<platform::ScopedEnvironmentForTesting> url_;
  std::shared_ptr<ScriptedToken> provider_ = std::make_shared<ScriptedToken>();
  platform::QueuePtr worker_ = platform::makeSerialQueue("test.search-ad.worker");
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
  std::mutex mutex_;
  std::string answer_;
  std::vector<SeenRequest> seen_;
  std::vector<Logged> events_;
};

TEST_F(SearchAdReporterTest, AnswersDecideBetweenAFinalOutcomeAndADailyRetry) {
  struct Case {
    const char* what;
    std::string body;   // "RESET": the connection is reset instead
    std::int64_t code;  // reported for this answer; 0 for none
    std::optional<bool> stored;
  };
  const Case cases[] = {
      {"test answer", R"({"attribution": true, "campaignId": 1234567890, "adId": 1234567890})",
       32016, std::nullopt},
      {"test answer as text", R"({"attribution": true, "campaignId": "1234567890",
                                  "adId": "1234567890"})",
       32016, std::nullopt},
      {"reset connection", "RESET", 32015, std::nullopt},
      {"array body", "[1, 2]", 32017, std::nullopt},
      {"not JSON", "attribution", 32017, std::nullopt},
      {"text attribution", R"({"attribution": "yes", "campaignId": 1})", 32017, std::nullopt},
      {"no attribution", R"({"campaignId": 1})", 32017, std::nullopt},
      {"empty object", "{}", 0, std::nullopt},
      // Last: a persisted outcome stays for the rest of the run.
      {"not attributed", R"({"attribution": false, "campaignId": 1})", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<ResettingListener> resetting;
    if (c.body == "RESET") {
      resetting.emplace();
      pointAt(resetting->url());
    } else {
      pointAt(server_.url(""));
    }
    config_->setSearchAdRetryCount(0);
    config_->setLastSearchAdLookUpTimestamp(0);
    answer(c.body);
    const auto requestsBefore = seen().size();
    clearReports();
    ASSERT_TRUE(startReporter());

    if (!resetting) {
      EXPECT_EQ(seen().size(), requestsBefore + 1);
    }
    if (c.code != 0) {
      EXPECT_EQ(count(c.code), 1);
    }
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(config_->searchAdRetryCount(), 1);
    EXPECT_EQ(config_->lastSearchAdLookUpTimestamp(), env_.now());
    const Value stored = config_->searchAdCampaignValue();
    if (c.stored) {
      EXPECT_EQ(stored, Value(*c.stored));
      EXPECT_FALSE(pending());
      env_.advance(2 * 86400);
      EXPECT_EQ(config_->searchAdRetryCount(), 1) << "no further attempt after an outcome";
    } else {
      EXPECT_TRUE(stored.isNull());
      EXPECT_TRUE(pending());
      env_.advance(86399);
      EXPECT_EQ(config_->searchAdRetryCount(), 1) << "a day apart";
      env_.advance(1);
      EXPECT_EQ(config_->searchAdRetryCount(), 2) << "retried a day later";
    }
    reporter_.reset();
    env_.runUntilIdle();
  }
}

TEST_F(SearchAdReporterTest, AnAttributedAnswerPostsTheTokenAndLogsOneCampaignEvent) {
  answer(R"({"attribution": true, "campaignId": 1234, "adId": 5, "keywordId": 77})");
  ASSERT_TRUE(startReporter());

  const auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/api/v1/");
  EXPECT_EQ(requests[0].body, "tok-1");
  EXPECT_EQ(requests[0].contentType, "text/plain");
  EXPECT_EQ(requests[0].cacheControl, "no-cache");

  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(logged[0].name, "_cmp");
  const platform::ValueMap& p = logged[0].parameters;
  EXPECT_EQ(p.at(Value("medium")), Value("search"));
  EXPECT_EQ(p.at(Value("campaign")), Value("1234"));
  EXPECT_EQ(p.at(Value("term")), Value("77"));
  EXPECT_EQ(p.at(Value("click_timestamp")), Value(std::int64_t{1'699'999'000'000 - 1}));
  EXPECT_TRUE(p.contains(Value("source")));
  EXPECT_EQ(config_->searchAdCampaignValue(), Value(true));
  EXPECT_FALSE(pending());

  // A restart finds the outcome and makes no reporter at all.
  clearReports();
  EXPECT_EQ(APMSearchAdReporter::initWithWorkerQueue(worker_, config_), nullptr);
  EXPECT_EQ(count(32002), 1);
  env_.advance(2 * 86400);
  EXPECT_EQ(seen().size(), 1u);
}

TEST_F(SearchAdReporterTest, OddIdentifiersAndAnEarlyFirstOpenLeaveTheirParametersOut) {
  // A fractional or boolean identifier gives no text; an empty string leaves its key out.
  config_->setFirstOpenTimestampMilliseconds(1);
  answer(R"({"attribution": true, "campaignId": 12.5, "adId": true, "keywordId": ""})");
  ASSERT_TRUE(startReporter());
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].parameters,
            (platform::ValueMap{{Value("medium"), Value("search")},
                                {Value("source"), logged[0].parameters.at(Value("source"))}}));
  EXPECT_EQ(count(32009), 1);
}

TEST_F(SearchAdReporterTest, TheTenthAttemptIsTheLast) {
  config_->setSearchAdRetryCount(9);
  answer(R"({"attribution": true, "campaignId": 1234567890, "adId": 1234567890})");
  ASSERT_TRUE(startReporter());
  EXPECT_EQ(seen().size(), 1u);
  EXPECT_EQ(config_->searchAdRetryCount(), 10);
  EXPECT_EQ(count(32016), 1);
  EXPECT_EQ(count(32007), 1);
  EXPECT_FALSE(pending());
  env_.advance(3 * 86400);
  EXPECT_EQ(seen().size(), 1u);

  // A later start makes no reporter and says nothing.
  clearReports();
  EXPECT_EQ(APMSearchAdReporter::initWithWorkerQueue(worker_, config_), nullptr);
  EXPECT_TRUE(reportedCodes().empty());
}

TEST_F(SearchAdReporterTest, ADueAttemptRunsAfterDisablingAndThenSchedulingCancels) {
  // The last attempt was 86,300 s ago: the next is due in 100 s.
  config_->setLastSearchAdLookUpTimestamp(env_.now() - 86300);
  config_->setSearchAdRetryCount(1);
  answer("{}");
  ASSERT_TRUE(startReporter());
  EXPECT_TRUE(seen().empty());
  EXPECT_TRUE(pending());
  reporter_->setSearchAdReporterEnabled(false);
  env_.advance(100);
  EXPECT_EQ(seen().size(), 1u) << "the pending attempt still runs";
  EXPECT_EQ(config_->searchAdRetryCount(), 2);
  EXPECT_FALSE(pending());
  reporter_->setSearchAdReporterEnabled(true);  // the flag only: nothing is planned
  env_.advance(3 * 86400);
  EXPECT_EQ(seen().size(), 1u);
}

TEST_F(SearchAdReporterTest, WithoutAUsableTokenNothingIsSent) {
  struct Case {
    const char* what;
    const char* osVersion;
    bool registered;
    bool fail;
    std::string token;
    std::int64_t code;
  };
  const Case cases[] = {
      {"no provider", "14.0", false, false, "tok-1", 32014},
      {"OS 11.0", "11.0", true, false, "tok-1", 32014},
      {"token error", "11.1", true, true, "", 32018},
      {"empty token", "14.0", true, false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ScopedEnvironmentForTesting os(platform::kOperatingSystemVersionVariable,
                                             std::string(c.osVersion));
    if (!c.registered) platform::ClassRegistry::shared().unregisterClass(APMAttributionClassName);
    provider_->fail = c.fail;
    provider_->token = c.token;
    config_->setSearchAdRetryCount(0);
    config_->setLastSearchAdLookUpTimestamp(0);
    clearReports();
    ASSERT_TRUE(startReporter());
    EXPECT_TRUE(seen().empty());
    if (c.code != 0) {
      EXPECT_EQ(count(c.code), 1);
    }
    // Without a provider nothing is scheduled; a failed token still counts as an attempt.
    EXPECT_EQ(config_->searchAdRetryCount(), c.code == 32014 ? 0 : 1);
    reporter_.reset();
    env_.runUntilIdle();
    platform::ClassRegistry::shared().registerClass<APMAttributionTokenClass>(
        APMAttributionClassName, provider_);
  }
}

}  // namespace
