#include "platform/net/url_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"
#include "platform/net/testing/loopback_http_server.h"

namespace platform {
namespace {

using platform::testing::LoopbackHTTPServer;

std::string text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
Bytes bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Records every delegate event, checks each runs on the main thread, and answers redirects and
// challenges as scripted.
class RecordingDelegate : public URLSessionDelegate {
 public:
  std::mutex mutex;
  Bytes data;
  int completions = 0;
  ErrorPtr error;
  bool offMainThread = false;
  std::vector<int> redirectStatuses;
  bool followRedirects = true;
  std::vector<ServerTrust> challenges;
  URLSessionAuthChallengeDisposition challengeAnswer =
      URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  std::string downloadedText;
  std::string downloadedPath;

  void note() {
    if (!MainLoop::isMainThread()) offMainThread = true;
  }
  void didReceiveData(URLSession&, URLSessionTask&, const Bytes& chunk) override {
    note();
    data.insert(data.end(), chunk.begin(), chunk.end());
  }
  void didFinishDownloadingToURL(URLSession&, URLSessionTask&, const std::string& path) override {
    note();
    downloadedPath = path;
    std::ifstream in(path);
    downloadedText.assign(std::istreambuf_iterator<char>(in), {});
  }
  void didCompleteWithError(URLSession&, URLSessionTask&, const ErrorPtr& e) override {
    note();
    ++completions;
    error = e;
  }
  void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse& response,
                                  const URLRequest& next, RedirectCompletion done) override {
    note();
    redirectStatuses.push_back(response.statusCode);
    if (followRedirects) {
      done(next);
    } else {
      done(std::nullopt);
    }
  }
  void didReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge& c,
                           ChallengeCompletion done) override {
    note();
    challenges.push_back(*c.serverTrust);
    done(challengeAnswer, URLCredential::credentialForTrust(c.serverTrust));
  }
};

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Get("/echo-headers", [](const httplib::Request& req, httplib::Response& res) {
      std::string out;
      for (const auto& name : {"X-Caller", "X-Session", "User-Agent"}) {
        out += std::string(name) + "=" + req.get_header_value(name) + "\n";
      }
      res.set_content(out, "text/plain");
    });
    s.Post("/echo-body", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method + ":" + req.get_header_value("Content-Length") + ":" + req.body,
                      "text/plain");
    });
    s.Delete("/item", [](const httplib::Request& req, httplib::Response& res) {
      res.status = 404;
      res.set_content(req.method, "text/plain");
    });
    for (int code : {301, 302, 303, 307, 308}) {
      s.Post("/r" + std::to_string(code), [code](const httplib::Request&, httplib::Response& res) {
        res.status = code;
        res.set_header("Location", "/target");
        res.set_content("moved", "text/plain");
      });
    }
    s.Get("/target", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("GET target" + req.body, "text/plain");
    });
    s.Post("/target", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("POST target " + req.body, "text/plain");
    });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      // Announces 100 bytes, sends 10, then drops the connection.
      res.set_content_provider(100, "text/plain",
                               [](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) {
                                   sink.write("0123456789", 10);
                                   return true;
                                 }
                                 return false;
                               });
    });
    s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      // A slow server: while it thinks, only the transfer thread has anything in flight.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      res.set_content("late", "text/plain");
    });
    s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(4096, 'x'), "text/plain");
    });
    ASSERT_TRUE(server_.start());
  }

  TestEnvironment env_;
  LoopbackHTTPServer server_;
};

struct Result {
  bool done = false;
  int calls = 0;
  Bytes data;
  HTTPURLResponsePtr response;
  ErrorPtr error;
  bool offMain = false;
};

URLSessionTaskPtr runDataTask(TestEnvironment& env, const URLSessionPtr& session,
                              const URLRequest& request, Result& result) {
  auto task = session->dataTaskWithRequest(
      request, [&result](const Bytes& d, const HTTPURLResponsePtr& r, ErrorPtr e) {
        if (!MainLoop::isMainThread()) result.offMain = true;
        ++result.calls;
        result.done = true;
        result.data = d;
        result.response = r;
        result.error = e;
      });
  if (task) task->resume();
  // Every completion, a second one included, has arrived once the environment is idle.
  env.runUntilIdle();
  EXPECT_TRUE(result.done);
  return task;
}

TEST_F(URLSessionTest, RunUntilIdleWaitsForATransferInFlight) {
  auto session = URLSession::sessionWithConfiguration({}, nullptr, mainQueue());
  Result r;
  runDataTask(env_, session, URLRequest::withURL(server_.url("/slow")), r);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(text(r.data), "late");
}

TEST_F(URLSessionTest, HeadersFromRequestWinOverSessionHeaders) {
  auto config = URLSessionConfiguration::defaultSessionConfiguration();
  config.HTTPAdditionalHeaders.set("X-Session", "session");
  config.HTTPAdditionalHeaders.set("X-Caller", "session-value");
  auto session = URLSession::sessionWithConfiguration(config, nullptr, mainQueue());
  auto request = URLRequest::withURL(server_.url("/echo-headers"));
  request.headers.set("x-caller", "mine");
  // A value that would split the request is never sent.
  request.headers.set("X-Injected", "a\r\nX-Evil: 1");
  Result r;
  runDataTask(env_, session, request, r);
  ASSERT_EQ(r.error, nullptr);
  ASSERT_NE(r.response, nullptr);
  EXPECT_EQ(r.response->statusCode, 200);
  EXPECT_NE(text(r.data).find("X-Caller=mine\n"), std::string::npos) << text(r.data);
  EXPECT_NE(text(r.data).find("X-Session=session\n"), std::string::npos);
  EXPECT_EQ(r.calls, 1);
  EXPECT_FALSE(r.offMain);
}

TEST_F(URLSessionTest, BodiesAndMethodsReachTheServer) {
  auto session = URLSession::sessionWithConfiguration({}, nullptr, mainQueue());
  auto post = URLRequest::withURL(server_.url("/echo-body"));
  post.httpMethod = "POST";
  post.httpBody = bytes("payload");
  // A wrong length from the caller must not corrupt the framing.
  post.headers.set("Content-Length", "999");
  Result r;
  runDataTask(env_, session, post, r);
  ASSERT_EQ(r.error, nullptr);
  EXPECT_EQ(text(r.data), "POST:7:payload");

  auto del = URLRequest::withURL(server_.url("/item"));
  del.httpMethod = "DELETE";
  Result d;
  runDataTask(env_, session, del, d);
  ASSERT_EQ(d.error, nullptr) << "an HTTP error status is an answer, not a transport error";
  EXPECT_EQ(d.response->statusCode, 404);
  EXPECT_EQ(text(d.data), "DELETE");
}

TEST_F(URLSessionTest, RedirectsAreDecidedByTheDelegate) {
  struct Case {
    int status;
    bool follow;
    int wantStatus;
    std::string wantBody;
  };
  const Case cases[] = {
      {301, false, 301, "moved"},     {301, true, 200, "GET target"},
      {303, true, 200, "GET target"}, {307, true, 200, "POST target body"},
      {308, false, 308, "moved"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->followRedirects = c.follow;
    auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
    auto request = URLRequest::withURL(server_.url("/r" + std::to_string(c.status)));
    request.httpMethod = "POST";
    auto task = session->uploadTaskWithRequest(request, bytes("body"));
    task->resume();
    env_.runUntilIdle();
    ASSERT_TRUE(delegate->completions > 0);
    EXPECT_EQ(delegate->error, nullptr);
    EXPECT_EQ(delegate->redirectStatuses, std::vector<int>{c.status});
    ASSERT_NE(task->response(), nullptr);
    EXPECT_EQ(task->response()->statusCode, c.wantStatus);
    EXPECT_EQ(text(delegate->data), c.wantBody);
    EXPECT_FALSE(delegate->offMainThread);
    session->finishTasksAndInvalidate();
  }
}

TEST_F(URLSessionTest, ConnectionLostMidBodyReportsResponseAndError) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
  auto task = session->dataTaskWithRequest(URLRequest::withURL(server_.url("/broken")));
  task->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  ASSERT_NE(delegate->error, nullptr);
  EXPECT_EQ(delegate->error->domain, kURLErrorDomain);
  EXPECT_EQ(delegate->error->code, kURLErrorNetworkConnectionLost);
  ASSERT_NE(task->response(), nullptr);
  EXPECT_EQ(task->response()->statusCode, 200);
  EXPECT_EQ(task->response()->expectedContentLength, 100);
  EXPECT_EQ(delegate->completions, 1);

  Result r;
  runDataTask(env_, session, URLRequest::withURL(server_.url("/broken")), r);
  ASSERT_NE(r.error, nullptr);
  EXPECT_EQ(r.error->code, kURLErrorNetworkConnectionLost);
  ASSERT_NE(r.response, nullptr);
  EXPECT_TRUE(r.data.empty()) << "a truncated body is never handed over as the answer";
}

TEST_F(URLSessionTest, TransportFailuresUseThePlatformCodes) {
  int closedPort = server_.port();
  server_.stop();
  struct Case {
    std::string url;
    std::int64_t code;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", kURLErrorCannotConnectToHost},
      {"ftp://127.0.0.1/file", kURLErrorUnsupportedURL},
      {"not a url", kURLErrorBadURL},
  };
  auto session = URLSession::sessionWithConfiguration({}, nullptr, mainQueue());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    Result r;
    runDataTask(env_, session, URLRequest::withURL(c.url), r);
    ASSERT_NE(r.error, nullptr);
    EXPECT_EQ(r.error->domain, kURLErrorDomain);
    EXPECT_EQ(r.error->code, c.code);
    EXPECT_EQ(r.response, nullptr);
    EXPECT_EQ(r.calls, 1);
  }
}

TEST_F(URLSessionTest, OversizedBodyIsRefused) {
  auto config = URLSessionConfiguration::defaultSessionConfiguration();
  config.maximumResponseBytes = 1000;
  auto session = URLSession::sessionWithConfiguration(config, nullptr, mainQueue());
  Result r;
  runDataTask(env_, session, URLRequest::withURL(server_.url("/big")), r);
  ASSERT_NE(r.error, nullptr);
  EXPECT_EQ(r.error->code, kURLErrorDataLengthExceedsMaximum);
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelled) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
  auto task = session->dataTaskWithRequest(URLRequest::withURL(server_.url("/big")));
  task->cancel();  // before it ever ran
  task->cancel();
  task->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  EXPECT_EQ(delegate->completions, 1);
  ASSERT_NE(delegate->error, nullptr);
  EXPECT_EQ(delegate->error->code, kURLErrorCancelled);
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
}

TEST_F(URLSessionTest, DownloadHandsOverAFileThatIsRemovedAfterwards) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
  auto task = session->downloadTaskWithRequest(URLRequest::withURL(server_.url("/big")));
  task->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  EXPECT_EQ(delegate->error, nullptr);
  EXPECT_EQ(delegate->downloadedText, std::string(4096, 'x'));
  EXPECT_TRUE(delegate->data.empty());
  ASSERT_FALSE(delegate->downloadedPath.empty());
  EXPECT_NE(::access(delegate->downloadedPath.c_str(), F_OK), 0);
}

TEST_F(URLSessionTest, BackgroundSessionUploadsFromFileOnly) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::backgroundSessionConfiguration("bg-1"), delegate, mainQueue());
  auto request = URLRequest::withURL(server_.url("/echo-body"));
  request.httpMethod = "POST";
  EXPECT_EQ(session->uploadTaskWithRequest(request, bytes("x")), nullptr);
  EXPECT_EQ(session->dataTaskWithRequest(request), nullptr);
  EXPECT_EQ(URLSession::sessionWithConfiguration(
                URLSessionConfiguration::backgroundSessionConfiguration(""), nullptr, nullptr),
            nullptr);

  char path[] = "/tmp/lumora-upload-test-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "from file", 9), 9);
  ::close(fd);
  auto task = session->uploadTaskWithRequestFromFile(request, path);
  ASSERT_NE(task, nullptr);
  task->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  ::unlink(path);
  EXPECT_EQ(delegate->error, nullptr);
  EXPECT_EQ(text(delegate->data), "POST:9:from file");
}

TEST_F(URLSessionTest, InvalidatedSessionMakesNoTasksAndReleasesItsDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
  auto task = session->dataTaskWithRequest(URLRequest::withURL(server_.url("/big")));
  task->resume();
  session->finishTasksAndInvalidate();
  EXPECT_EQ(session->dataTaskWithRequest(URLRequest::withURL(server_.url("/big"))), nullptr);
  EXPECT_NE(session->delegate(), nullptr) << "a running task still reports to the delegate";
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  EXPECT_EQ(delegate->error, nullptr);
  EXPECT_EQ(session->delegate(), nullptr);
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

class URLSessionTLSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumora-tls-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    cert_ = dir_ + "/cert.pem";
    key_ = dir_ + "/key.pem";
    ASSERT_TRUE(testing::writeSelfSignedCertificate(cert_, key_));
    server_ = std::make_unique<LoopbackHTTPServer>(
        std::make_unique<httplib::SSLServer>(cert_.c_str(), key_.c_str()));
    server_->server().Get("/secret", [this](const httplib::Request&, httplib::Response& res) {
      served_ = true;
      res.set_content("secret", "text/plain");
    });
    ASSERT_TRUE(server_->start());
  }
  void TearDown() override {
    server_.reset();
    ::unlink(cert_.c_str());
    ::unlink(key_.c_str());
    ::rmdir(dir_.c_str());
  }

  std::string dir_, cert_, key_;
  TestEnvironment env_;
  std::unique_ptr<LoopbackHTTPServer> server_;
  std::atomic<bool> served_{false};
};

TEST_F(URLSessionTLSTest, UntrustedServerIsNeverTalkedTo) {
  struct Case {
    URLSessionAuthChallengeDisposition answer;
    std::int64_t code;
  };
  const Case cases[] = {
      {URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, kURLErrorCancelled},
      {URLSessionAuthChallengeDisposition::PerformDefaultHandling,
       kURLErrorServerCertificateUntrusted},
      // Vouching for an untrusted server does not make it trusted.
      {URLSessionAuthChallengeDisposition::UseCredential, kURLErrorServerCertificateUntrusted},
  };
  for (const auto& c : cases) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->challengeAnswer = c.answer;
    auto session = URLSession::sessionWithConfiguration({}, delegate, mainQueue());
    session->dataTaskWithRequest(URLRequest::withURL(server_->url("/secret", "https")))->resume();
    env_.runUntilIdle();
    ASSERT_TRUE(delegate->completions > 0);
    ASSERT_NE(delegate->error, nullptr);
    EXPECT_EQ(delegate->error->code, c.code);
    ASSERT_EQ(delegate->challenges.size(), 1u);
    EXPECT_FALSE(delegate->challenges[0].trusted);
    EXPECT_EQ(delegate->challenges[0].host, "127.0.0.1");
    EXPECT_TRUE(delegate->data.empty());
  }
  EXPECT_FALSE(served_);
}

TEST_F(URLSessionTLSTest, TrustedServerIsAskedAboutAndCanStillBeRefused) {
  auto config = URLSessionConfiguration::defaultSessionConfiguration();
  config.additionalTrustedCertificatesFile = cert_;
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration(config, delegate, mainQueue());
  session->dataTaskWithRequest(URLRequest::withURL(server_->url("/secret", "https")))->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  EXPECT_EQ(delegate->error, nullptr);
  EXPECT_EQ(text(delegate->data), "secret");
  ASSERT_EQ(delegate->challenges.size(), 1u);
  EXPECT_TRUE(delegate->challenges[0].trusted);

  served_ = false;
  delegate->challengeAnswer = URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  delegate->completions = 0;
  session->dataTaskWithRequest(URLRequest::withURL(server_->url("/secret", "https")))->resume();
  env_.runUntilIdle();
  ASSERT_TRUE(delegate->completions > 0);
  ASSERT_NE(delegate->error, nullptr);
  EXPECT_EQ(delegate->error->code, kURLErrorCancelled);
  EXPECT_FALSE(served_) << "a cancelled challenge stops the request before it is sent";
}

}  // namespace
}  // namespace platform
