// Test helpers of the installations tests: waiting for a promise under the mock-time environment, a
// fixed heartbeat logger, and a scripted installations service on 127.0.0.1 that records every
// request with the mock-clock time it arrived at. Test-only.
#pragma once

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/core/error.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/test_environment.h"
#include "platform/net/testing/loopback_http_server.h"
#include "platform/net/url_request.h"
#include "zevevidi/core/fir_heartbeat_logger.h"
#include "zevevidi/promises/fbl_promise.h"

namespace installations_testing {

// The failure reason of an error; "(no error)" for none.
inline std::string reasonOf(const platform::ErrorPtr& error) {
  if (!error) return "(no error)";
  auto it = error->userInfo.find(platform::Value(platform::kLocalizedFailureReasonKey));
  return it == error->userInfo.end() || !it->second.isString() ? "" : it->second.asString();
}

// Runs /usr/bin/python3 with `arguments` (already quoted for the shell) and parses what it prints
// as JSON; a discarded value when it fails.
inline nlohmann::json runPython(const std::string& arguments) {
  std::string output;
  FILE* pipe = ::popen(("/usr/bin/python3 " + arguments).c_str(), "r");
  if (!pipe) return nlohmann::json::value_t::discarded;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    output.append(buffer, n);
  if (::pclose(pipe) != 0) return nlohmann::json::value_t::discarded;
  return nlohmann::json::parse(output, nullptr, false);
}

template <class T> struct Settled {
  bool done = false;
  std::optional<T> value;
  platform::ErrorPtr error;
};

// Runs the mock-time environment until nothing is left in flight (queues, timers due, transfers)
// and returns how the promise settled; `done` is false when it never did.
template <class T>
Settled<T> waitFor(platform::TestEnvironment& env, const std::shared_ptr<FBLPromise<T>>& promise) {
  auto settled = std::make_shared<Settled<T>>();
  auto lock = std::make_shared<std::mutex>();
  promise->observeOnQueue(
      platform::mainQueue(),
      [settled, lock](const T& value) {
        std::lock_guard guard(*lock);
        settled->value = value;
        settled->done = true;
      },
      [settled, lock](const platform::ErrorPtr& error) {
        std::lock_guard guard(*lock);
        settled->error = error;
        settled->done = true;
      });
  env.runUntilIdle();
  std::lock_guard guard(*lock);
  return *settled;
}

class FixedHeartbeatLogger : public FIRHeartbeatLoggerProtocol {
 public:
  explicit FixedHeartbeatLogger(std::optional<std::string> header) : header_(std::move(header)) {}
  void log() override {}
  int heartbeatCodeForToday() override { return 0; }
  void asyncHeaderValueWithCompletionHandler(
      std::function<void(std::optional<std::string>)> completion) override {
    completion(header_);
  }
  std::optional<std::string> headerValue() override { return header_; }

 private:
  std::optional<std::string> header_;
};

struct RecordedRequest {
  std::string method;
  std::string path;  // as it arrived, escapes kept
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  double clockTime = 0;  // platform::Clock at arrival
  std::optional<std::string> header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (platform::equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
  }
};

struct ScriptedAnswer {
  int status = 200;
  std::string body;
};

// Answers every request from a queue of scripted answers for its kind (the last one repeats),
// else from the queue for every kind; 404 when there is none.
class FakeInstallationsService {
 public:
  enum class Kind { Any, Create, GenerateToken, Delete };

  FakeInstallationsService() {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      ScriptedAnswer answer{404, "{}"};
      {
        std::lock_guard lock(mutex_);
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.target.substr(0, request.target.find('?'));
        for (const auto& [key, value] : request.headers)
          recorded.headers.emplace_back(key, value);
        recorded.body = request.body;
        recorded.clockTime = platform::Clock::current().now();
        Kind kind = Kind::Delete;
        if (request.method == "POST") {
          kind = recorded.path.ends_with(":generate") ? Kind::GenerateToken : Kind::Create;
        }
        requests_.push_back(std::move(recorded));
        auto& queue = answers_[kind].empty() ? answers_[Kind::Any] : answers_[kind];
        if (!queue.empty()) {
          answer = queue.front();
          if (queue.size() > 1) queue.pop_front();
        }
      }
      response.status = answer.status;
      response.set_content(answer.body, "application/json");
    };
    server_.server().Post(".*", handler);
    server_.server().Delete(".*", handler);
    started_ = server_.start();
  }

  // The server stops before the recorded requests go: its handlers touch them.
  ~FakeInstallationsService() { server_.stop(); }

  bool started() const { return started_; }
  std::string baseURL() const { return server_.url(""); }

  void answer(std::vector<ScriptedAnswer> answers) { answer(Kind::Any, std::move(answers)); }
  void answer(Kind kind, std::vector<ScriptedAnswer> answers) {
    std::lock_guard lock(mutex_);
    answers_[kind].assign(answers.begin(), answers.end());
  }
  std::size_t requestCount(Kind kind) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& request : requests_) {
      const bool generate = request.path.ends_with(":generate");
      const Kind k = request.method != "POST" ? Kind::Delete
                     : generate               ? Kind::GenerateToken
                                              : Kind::Create;
      if (k == kind) ++count;
    }
    return count;
  }
  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

 private:
  platform::testing::LoopbackHTTPServer server_;
  bool started_ = false;
  mutable std::mutex mutex_;
  std::map<Kind, std::deque<ScriptedAnswer>> answers_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace installations_testing
