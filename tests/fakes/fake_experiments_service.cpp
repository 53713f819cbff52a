#include "tests/fakes/fake_experiments_service.h"

#include <httplib.h>
#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace lumora::fakes {

struct FakeExperimentsService::State {
  httplib::Server server;
  std::thread thread;
  int port = -1;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::deque<Answer> answers;
  Answer fallback{200, {}, {}};
  std::vector<Request> requests;
};

FakeExperimentsService::FakeExperimentsService() : state_(std::make_unique<State>()) {
  State* s = state_.get();
  s->server.Post("/sdk-exp", [s](const httplib::Request& in, httplib::Response& out) {
    Request request;
    request.method = in.method;
    request.path = in.path;
    for (const auto& [key, value] : in.headers)
      request.headers.emplace(key, value);
    request.body = in.body;
    if (strcasecmp(in.get_header_value("Content-Encoding").c_str(), "gzip") == 0) {
      request.bodyWasGzip = true;
      // The server library may have inflated the body already; one that still starts with the
      // gzip magic bytes is inflated here.
      const bool magic = in.body.size() >= 2 && static_cast<unsigned char>(in.body[0]) == 0x1f &&
                         static_cast<unsigned char>(in.body[1]) == 0x8b;
      std::string plain;
      if (magic && gunzip(in.body, &plain)) {
        request.body = std::move(plain);
      } else if (magic) {
        request.bodyDecodeFailed = true;
      }
    }
    Answer answer;
    {
      std::lock_guard lock(s->mutex);
      s->requests.push_back(std::move(request));
      if (s->answers.empty()) {
        answer = s->fallback;
      } else {
        answer = s->answers.front();
        s->answers.pop_front();
      }
      s->changed.notify_all();
    }
    out.status = answer.status;
    for (const auto& [key, value] : answer.headers)
      out.set_header(key, value);
    if (!answer.body.empty()) out.set_content(answer.body, "application/octet-stream");
  });
  s->port = s->server.bind_to_any_port("127.0.0.1");
  if (s->port > 0) {
    s->thread = std::thread([s] { s->server.listen_after_bind(); });
    for (int i = 0; i < 5000 && !s->server.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

FakeExperimentsService::~FakeExperimentsService() {
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::string FakeExperimentsService::baseURL() const {
  if (state_->port <= 0) return {};
  return "http://127.0.0.1:" + std::to_string(state_->port);
}

void FakeExperimentsService::script(std::vector<Answer> answers, Answer fallback) {
  std::lock_guard lock(state_->mutex);
  state_->answers.assign(answers.begin(), answers.end());
  state_->fallback = std::move(fallback);
}

std::vector<FakeExperimentsService::Request> FakeExperimentsService::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

bool FakeExperimentsService::waitFor(const std::function<bool(const std::vector<Request>&)>& done,
                                     double timeoutSeconds) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                  [&] { return done(state_->requests); });
}

}  // namespace lumora::fakes
