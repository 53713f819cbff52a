#include "platform/foundation/environment.h"
#include "zevevidi/utilities/gul_network.h"
#include "zevevidi/utilities/testing/recording_network_logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"
#include "platform/log/log.h"
#include "platform/net/testing/loopback_http_server.h"
#include "platform/net/url_error.h"
#include "zevevidi/utilities/gul_gzip.h"
#include "zevevidi/utilities/gul_logger.h"
#include "zevevidi/utilities/gul_network_url_session.h"

namespace {

using namespace platform;
using platform::testing::LoopbackHTTPServer;
namespace fs = std::filesystem;

std::string text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
Bytes bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

struct SeenRequest {
  std::string method;
  std::string path;
  httplib::Headers headers;
  std::string body;
  bool tempFileWhileUploading = false;
};

// One answer as the caller sees it, with a check that it arrives on the caller's queue.
struct Answer {
  std::atomic<int> calls{0};
  std::atomic<bool> onCallerQueue{true};
  HTTPURLResponsePtr response;
  Bytes data;
  ErrorPtr error;
};

GULNetworkCompletionHandler recordInto(Answer& answer, QueuePtr queue) {
  return [&answer, queue](const HTTPURLResponsePtr& r, const Bytes& d, const ErrorPtr& e) {
    if (!queue->isCurrent()) answer.onCallerQueue = false;
    answer.response = r;
    answer.data = d;
    answer.error = e;
    ++answer.calls;
  };
}

class GULNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/gul-network-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    home_env_.emplace("LUMORA_HOME", home_);
    tempDir_ = home_ + "/Application Support/GUL/Network/GULNetworkTemporaryDirectory";

    auto& s = server_.server();
    auto record = [this](const httplib::Request& req) {
      SeenRequest seen{req.method, req.path, req.headers, req.body, false};
      if (fs::is_directory(tempDir_)) {
        for (const auto& entry : fs::directory_iterator(tempDir_)) {
          if (entry.path().filename().string().rfind("GULUpload_temp_com.gul", 0) == 0) {
            seen.tempFileWhileUploading = true;
          }
        }
      }
      std::lock_guard lock(mutex_);
      seen_.push_back(seen);
    };
    s.Post("/upload", [record](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content("stored", "text/plain");
    });
    s.Get("/download", [record](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content("payload", "application/octet-stream");
    });
    for (int code : {301, 303}) {
      s.Post("/r" + std::to_string(code), [code](const httplib::Request&, httplib::Response& res) {
        res.status = code;
        res.set_header("Location", "/target");
        res.set_content("moved", "text/plain");
      });
    }
    s.Get("/target", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("landed", "text/plain");
    });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(100, "text/plain",
                               [](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) {
                                   sink.write("0123456789", 10);
                                   return true;
                                 }
                                 return false;
                               });
    });
    ASSERT_TRUE(server_.start());

    network_ = GULNetwork::initWithReachabilityHost("collect.invalid", &reachability_.api());
    ASSERT_NE(network_, nullptr);
    callerQueue_ = makeSerialQueue("gul.network.test.caller");
  }

  void TearDown() override {
    network_.reset();
    server_.stop();
    home_env_.reset();
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }

  // Settles every transfer and queue: a second delivery would have arrived by then too.
  void waitFor(Answer& answer) {
    env_.runUntilIdle();
    EXPECT_EQ(answer.calls.load(), 1);
    EXPECT_TRUE(answer.onCallerQueue.load());
  }

  std::vector<SeenRequest> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  // Starts at the real time: the temporary files' ages are measured against the files' own
  // (real) write times.
  platform::TestEnvironment env_{static_cast<double>(std::time(nullptr))};
  std::string home_;
  std::optional<platform::ScopedEnvironmentForTesting> home_env_;
  std::string tempDir_;
  LoopbackHTTPServer server_;
  ReachabilityTestDouble reachability_;
  std::shared_ptr<GULNetwork> network_;
  QueuePtr callerQueue_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

TEST_F(GULNetworkTest, PostArrivesCompressedWithTheClientsHeaders) {
  HTTPHeaders headers{{"Content-Type", "text/plain"}, {"X-Caller", "yes"}};
  Answer answer;
  std::string id = network_->postURL(server_.url("/upload"), headers, bytes("hello measurement"),
                                     callerQueue_, false, recordInto(answer, callerQueue_));
  EXPECT_EQ(id.rfind("com.gul.network.background-upload-", 0), 0u) << id;
  EXPECT_TRUE(network_->hasUploadInProgress());
  waitFor(answer);
  EXPECT_FALSE(network_->hasUploadInProgress());
  ASSERT_EQ(answer.error, nullptr);
  ASSERT_NE(answer.response, nullptr);
  EXPECT_EQ(answer.response->statusCode, 200);
  EXPECT_EQ(text(answer.data), "stored");

  auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  const auto& req = requests[0];
  EXPECT_EQ(req.method, "POST");
  auto header = [&](const char* name) {
    auto it = req.headers.find(name);
    return it == req.headers.end() ? std::string("<none>") : it->second;
  };
  EXPECT_EQ(header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(header("Content-Encoding"), "gzip");
  EXPECT_EQ(header("X-Caller"), "yes");
  // The test server inflates gzip bodies itself, so the body it hands over is the payload; the
  // length on the wire is that of the compressed form.
  EXPECT_EQ(req.body, "hello measurement");
  const Bytes payload = bytes("hello measurement");
  auto compressed = GULGzip::gul_dataByGzippingData(payload, nullptr);
  ASSERT_TRUE(compressed.has_value());
  EXPECT_EQ(header("Content-Length"), std::to_string(compressed->size()));
}

TEST_F(GULNetworkTest, EmptyPayloadPostsAnEmptyBody) {
  Answer answer;
  network_->postURL(server_.url("/upload"), Bytes{}, callerQueue_, false,
                    recordInto(answer, callerQueue_));
  waitFor(answer);
  ASSERT_EQ(answer.error, nullptr);
  auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].body.empty());
  EXPECT_EQ(requests[0].headers.find("Content-Length")->second, "0");
}

TEST_F(GULNetworkTest, GetKeepsTheCallersHeaders) {
  HTTPHeaders headers{{"Content-Type", "text/plain"}, {"If-None-Match", "\"v1\""}};
  Answer answer;
  std::string id = network_->getURL(server_.url("/download"), headers, callerQueue_, false,
                                    recordInto(answer, callerQueue_));
  EXPECT_FALSE(id.empty());
  waitFor(answer);
  ASSERT_EQ(answer.error, nullptr);
  EXPECT_EQ(text(answer.data), "payload");
  auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].headers.find("Content-Type")->second, "text/plain");
  EXPECT_EQ(requests[0].headers.find("If-None-Match")->second, "\"v1\"");
  EXPECT_EQ(requests[0].headers.count("Content-Encoding"), 0u);
}

TEST_F(GULNetworkTest, MovedPermanentlyIsNotFollowedSeeOtherIs) {
  Answer refused;
  network_->postURL(server_.url("/r301"), bytes("x"), callerQueue_, false,
                    recordInto(refused, callerQueue_));
  waitFor(refused);
  ASSERT_NE(refused.response, nullptr);
  EXPECT_EQ(refused.response->statusCode, 301);
  EXPECT_EQ(refused.error, nullptr);

  Answer followed;
  network_->postURL(server_.url("/r303"), bytes("x"), callerQueue_, false,
                    recordInto(followed, callerQueue_));
  waitFor(followed);
  ASSERT_NE(followed.response, nullptr);
  EXPECT_EQ(followed.response->statusCode, 200);
  EXPECT_EQ(text(followed.data), "landed");
}

TEST_F(GULNetworkTest, BackgroundPostUploadsFromATemporaryFileAndCleansUp) {
  fs::create_directories(tempDir_);
  const std::string stale = tempDir_ + "/GULUpload_temp_stale";
  const std::string fresh = tempDir_ + "/GULUpload_temp_fresh";
  for (const auto& path : {stale, fresh})
    std::ofstream(path) << "old";
  fs::last_write_time(stale, fs::last_write_time(stale) - std::chrono::hours(2));

  Answer answer;
  std::string id = network_->postURL(server_.url("/upload"), bytes("background body"), callerQueue_,
                                     true, recordInto(answer, callerQueue_));
  ASSERT_FALSE(id.empty());
  waitFor(answer);
  ASSERT_EQ(answer.error, nullptr);
  auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].tempFileWhileUploading);
  EXPECT_FALSE(fs::exists(tempDir_ + "/GULUpload_temp_" + id));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(fresh));
  EXPECT_EQ(requests[0].body, "background body");
  EXPECT_EQ(requests[0].headers.find("Content-Encoding")->second, "gzip");
}

TEST_F(GULNetworkTest, BackgroundPostWithoutTemporaryDirectoryUploadsFromMemory) {
  // A file where the directory should be: the directory cannot be made.
  fs::create_directories(fs::path(tempDir_).parent_path());
  std::ofstream(tempDir_) << "in the way";
  Answer answer;
  network_->postURL(server_.url("/upload"), bytes("fallback"), callerQueue_, true,
                    recordInto(answer, callerQueue_));
  waitFor(answer);
  ASSERT_EQ(answer.error, nullptr);
  ASSERT_EQ(seen().size(), 1u);
  EXPECT_FALSE(seen()[0].tempFileWhileUploading);
}

TEST_F(GULNetworkTest, ConnectionResetMidBodyReportsTheError) {
  Answer answer;
  network_->getURL(server_.url("/broken"), std::nullopt, callerQueue_, false,
                   recordInto(answer, callerQueue_));
  waitFor(answer);
  ASSERT_NE(answer.error, nullptr);
  EXPECT_EQ(answer.error->domain, kURLErrorDomain);
  EXPECT_EQ(answer.error->code, kURLErrorNetworkConnectionLost);
  ASSERT_NE(answer.response, nullptr);
  EXPECT_EQ(answer.response->statusCode, 200);
}

TEST_F(GULNetworkTest, EmptyURLFailsOnceWithCodeOne) {
  ScopedLogCapture capture;
  Answer post;
  EXPECT_EQ(network_->postURL("", bytes("x"), callerQueue_, false, recordInto(post, callerQueue_)),
            "");
  waitFor(post);
  ASSERT_NE(post.error, nullptr);
  EXPECT_EQ(post.error->domain, kGULNetworkErrorDomain);
  EXPECT_EQ(post.error->code, 1);
  EXPECT_EQ(post.error->userInfo.at(Value("Context")), Value("Failed to create network request"));
  EXPECT_EQ(post.response, nullptr);

  Answer get;
  EXPECT_EQ(network_->getURL("", std::nullopt, callerQueue_, false, recordInto(get, callerQueue_)),
            "");
  waitFor(get);
  EXPECT_EQ(get.error->code, 1);
  GULLoggerFlushForTesting();
  // Each warning is written to the console and through the utility logger.
  EXPECT_EQ(capture.count("Failed to create network request. Code, error"), 4u);
}

TEST_F(GULNetworkTest, AnswerForAClientThatIsGoneIsDropped) {
  Answer answer;
  std::string id = network_->postURL(server_.url("/upload"), bytes("late"), callerQueue_, false,
                                     recordInto(answer, callerQueue_));
  ASSERT_FALSE(id.empty());
  network_.reset();
  // The transport lets go of itself (and its map entry) once its answer has been handled.
  env_.runUntilIdle();
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID(id), nullptr);
  EXPECT_EQ(answer.calls.load(), 0);
  EXPECT_EQ(seen().size(), 1u);
}

class CountingReachabilityDelegate : public GULNetworkReachabilityDelegate {
 public:
  int changes = 0;
  void reachabilityDidChange() override { ++changes; }
};

TEST_F(GULNetworkTest, ReachabilityFlagsDriveTheConnectedState) {
  auto delegate = std::make_shared<CountingReachabilityDelegate>();
  network_->setReachabilityDelegate(delegate);
  // The double reports "reachable" as soon as the checker schedules itself.
  MainLoop::instance().drain();
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_EQ(delegate->changes, 1);

  reachability_.setFlags(0);
  MainLoop::instance().drain();
  EXPECT_FALSE(network_->isNetworkConnected());
  reachability_.deliverAgain();
  MainLoop::instance().drain();
  EXPECT_EQ(delegate->changes, 2);

  reachability_.setFlags(kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired);
  MainLoop::instance().drain();
  EXPECT_FALSE(network_->isNetworkConnected()) << "a connection still has to be made";
  EXPECT_EQ(delegate->changes, 2);
  reachability_.setFlags(kReachabilityFlagsReachable);
  MainLoop::instance().drain();
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_EQ(delegate->changes, 3);

  network_.reset();
  EXPECT_EQ(reachability_.liveHandles(), 0);
}

TEST_F(GULNetworkTest, ClientFailsWhenReachabilityCannotStart) {
  reachability_.setFailSchedule(true);
  EXPECT_EQ(GULNetwork::initWithReachabilityHost("collect.invalid", &reachability_.api()), nullptr);
  EXPECT_EQ(GULNetwork::initWithReachabilityHost("", &reachability_.api()), nullptr);
}

using zevevidi_testing::RecordingLogger;

TEST_F(GULNetworkTest, LogLinesGoToTheDelegateOrTheFilteredFallback) {
  GULResetLoggerForTesting();
  GULSetLoggerLevel(GULLoggerLevelDebug);
  {
    ScopedLogCapture capture;
    network_->GULNetwork_logWithLevel_context(kGULNetworkLogLevelDebug,
                                              kGULNetworkMessageCodeNetwork000,
                                              "Uploading data. Host", Value("http://h/"));
    GULLoggerFlushForTesting();
    EXPECT_EQ(capture.count("Uploading data. Host"), 0u) << "debug lines need debug mode";

    network_->setIsDebugModeEnabled(true);
    network_->GULNetwork_logWithLevel_context(kGULNetworkLogLevelDebug,
                                              kGULNetworkMessageCodeNetwork000,
                                              "Uploading data. Host", Value("http://h/"));
    network_->GULNetwork_logWithLevel_contexts(
        kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession017, "", {Value(-1005), Value()});
    GULLoggerFlushForTesting();
    EXPECT_EQ(capture.count("<Ziriza/Utilities/Network/DEBUG> Uploading data. Host: http://h/"), 2u)
        << "once on the console, once through the utility logger";
    EXPECT_EQ(capture.count("[I-NET900000] <Ziriza/Utilities/Network/DEBUG> Uploading data."), 1u);
    EXPECT_EQ(capture.count("<Ziriza/Utilities/Network/ERROR> (Message was empty): -1005, (nil)"),
              2u);

    network_->setLoggerDelegate(nullptr);
    GULLoggerFlushForTesting();
    EXPECT_EQ(capture.count("Cannot set the network logger delegate"), 1u);
  }
  auto logger = std::make_shared<RecordingLogger>();
  network_->setLoggerDelegate(logger);
  Answer answer;
  network_->getURL(server_.url("/download"), std::nullopt, callerQueue_, false,
                   recordInto(answer, callerQueue_));
  waitFor(answer);
  std::lock_guard lock(logger->mutex);
  EXPECT_EQ(logger->lines,
            (std::vector<std::pair<int, std::string>>{{900001, "Downloading data. Host"}}));
  GULResetLoggerForTesting();
}

}  // namespace
