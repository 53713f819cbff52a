#include "platform/foundation/environment.h"
#include "zevevidi/utilities/gul_network_url_session.h"
#include "zevevidi/utilities/testing/recording_network_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"
#include "platform/net/testing/loopback_http_server.h"
#include "platform/net/url_error.h"

namespace {

using namespace platform;
using platform::testing::LoopbackHTTPServer;
namespace fs = std::filesystem;

using zevevidi_testing::RecordingLogger;

struct Completion {
  int calls = 0;
  HTTPURLResponsePtr response;
  ErrorPtr error;
  std::string sessionID;
  bool onMain = true;
};

GULNetworkURLSessionCompletionHandler recordInto(Completion& c) {
  return [&c](const HTTPURLResponsePtr& r, const Bytes&, const std::string& id, const ErrorPtr& e) {
    if (!MainLoop::isMainThread()) c.onMain = false;
    ++c.calls;
    c.response = r;
    c.error = e;
    c.sessionID = id;
  };
}

class GULNetworkURLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/gul-url-session-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    home_env_.emplace("LUMORA_HOME", home_);
    logger_ = std::make_shared<RecordingLogger>();
  }
  void TearDown() override {
    home_env_.reset();
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }

  TestEnvironment env_{1800000000.0};
  std::string home_;
  std::optional<platform::ScopedEnvironmentForTesting> home_env_;
  std::shared_ptr<RecordingLogger> logger_;
};

void setWriteTime(const std::string& path, double secondsSince1970) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(secondsSince1970);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(GULNetworkURLSessionTest, TemporaryFilesExpireStrictlyAfterAnHour) {
  const double now = env_.now();
  auto session = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  const std::string dir = session->networkDirectoryURL();
  EXPECT_EQ(dir, home_ + "/Application Support/GUL/Network/GULNetworkTemporaryDirectory");
  // A missing folder is nothing to report.
  session->maybeRemoveTempFilesAtURL(dir, kGULNetworkTempFolderExpireTime);
  EXPECT_TRUE(logger_->lines.empty());

  ASSERT_TRUE(session->ensureTemporaryDirectoryExists());
  struct Case {
    const char* name;
    double age;
    bool kept;
  };
  const Case cases[] = {
      {"older", 3601, false},
      {"boundary", 3600, true},
      {"young", 10, true},
      {"future", -3601, false},  // a clock set back still expires files by distance
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.name;
    std::ofstream(path) << "x";
    setWriteTime(path, now - c.age);
  }
  session->maybeRemoveTempFilesAtURL(dir, kGULNetworkTempFolderExpireTime);
  for (const auto& c : cases) {
    EXPECT_EQ(fs::exists(dir + "/" + c.name), c.kept) << c.name;
  }
}

TEST_F(GULNetworkURLSessionTest, FetcherMapHoldsWeaklyAndDiscardsReplacedSessions) {
  const std::string id = std::string(kGULNetworkBackgroundSessionConfigIDPrefix) + "-map";
  auto first = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  GULNetworkURLSession::setSessionInFetcherMap(first, id);
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(id), first);

  auto second = GULNetworkURLSession::initWithNetworkLoggerDelegate({});
  GULNetworkURLSession::setSessionInFetcherMap(second, id);
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(id), second);
  ASSERT_EQ(logger_->lines.size(), 1u);
  EXPECT_EQ(logger_->lines[0].first, 901019);
  EXPECT_EQ(logger_->lines[0].second, "Discarding session: " + first->debugDescription());

  // The discarded object going away leaves the new entry alone; the new one takes its own.
  first.reset();
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(id), second);
  second.reset();
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(id), nullptr);
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(""), nullptr);
}

TEST_F(GULNetworkURLSessionTest, BackgroundEventsOnlyForOurIdentifiers) {
  int ran = 0;
  GULNetworkURLSession::handleEventsForBackgroundURLSessionID("com.other.session", [&] { ++ran; });
  EXPECT_FALSE(GULNetworkURLSession::hasSystemCompletionHandlerForTesting("com.other.session"));
  EXPECT_EQ(GULNetworkURLSession::fetcherWithSessionIdentifier("com.other.session"), nullptr);

  const std::string id = std::string(kGULNetworkBackgroundSessionConfigIDPrefix) + "-relaunch";
  GULNetworkURLSession::handleEventsForBackgroundURLSessionID(id, [&] { ++ran; });
  EXPECT_TRUE(GULNetworkURLSession::hasSystemCompletionHandlerForTesting(id));

  auto fetcher = GULNetworkURLSession::fetcherWithSessionIdentifier(id);
  ASSERT_NE(fetcher, nullptr);
  EXPECT_EQ(fetcher->sessionID(), id);
  fetcher->setLoggerDelegate(logger_);
  fetcher->addSystemCompletionHandler([&] { ran += 10; }, id);
  EXPECT_TRUE(logger_->has(901011));
  fetcher->addSystemCompletionHandler(nullptr, id);
  EXPECT_TRUE(logger_->has(901009));
  fetcher->addSystemCompletionHandler([] {}, "");
  EXPECT_TRUE(logger_->has(901010));

  fetcher->callSystemCompletionHandler(id);
  EXPECT_FALSE(GULNetworkURLSession::hasSystemCompletionHandlerForTesting(id));
  EXPECT_EQ(ran, 0) << "the handler runs on the main queue";
  MainLoop::instance().drain();
  EXPECT_EQ(ran, 10) << "only the replacing handler runs";
}

TEST_F(GULNetworkURLSessionTest, SessionThatCannotBeMadeReportsCodeTwoOnce) {
  auto session = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  session->setSessionID("");  // a background configuration needs an identifier
  session->setBackgroundNetworkEnabled(true);
  Completion c;
  EXPECT_EQ(session->sessionIDFromAsyncGETRequest(URLRequest::withURL("http://127.0.0.1:9/"),
                                                  recordInto(c)),
            "");
  env_.runUntilIdle();
  ASSERT_TRUE(c.calls > 0);
  EXPECT_EQ(c.calls, 1);
  ASSERT_NE(c.error, nullptr);
  EXPECT_EQ(c.error->domain, kGULNetworkErrorDomain);
  EXPECT_EQ(c.error->code, 2);
  EXPECT_EQ(c.error->userInfo.at(Value("Context")), Value("Cannot create network session"));
  EXPECT_TRUE(logger_->has(901017));
}

TEST_F(GULNetworkURLSessionTest, UntrustedServerCancelsTheRequest) {
  const std::string cert = home_ + "/cert.pem";
  const std::string key = home_ + "/key.pem";
  ASSERT_TRUE(platform::testing::writeSelfSignedCertificate(cert, key));
  LoopbackHTTPServer server(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str()));
  std::atomic<bool> served{false};
  server.server().Post("/a", [&](const httplib::Request&, httplib::Response& res) {
    served = true;
    res.set_content("ok", "text/plain");
  });
  ASSERT_TRUE(server.start());

  auto session = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  URLRequest request = URLRequest::withURL(server.url("/a", "https"));
  request.httpMethod = "POST";
  request.httpBody = Bytes{1, 2, 3};
  Completion c;
  std::string id = session->sessionIDFromAsyncPOSTRequest(request, recordInto(c));
  EXPECT_EQ(id, session->sessionID());
  env_.runUntilIdle();
  ASSERT_TRUE(c.calls > 0);
  ASSERT_NE(c.error, nullptr);
  EXPECT_EQ(c.error->domain, kURLErrorDomain);
  EXPECT_EQ(c.error->code, kURLErrorCancelled);
  EXPECT_EQ(c.sessionID, id);
  EXPECT_TRUE(c.onMain);
  EXPECT_FALSE(served);
  EXPECT_TRUE(logger_->has(901006));  // challenge received
  EXPECT_TRUE(logger_->has(901007));  // and cancelled
}

}  // namespace
