#include "tests/fakes/scripted_http_service.h"

#include <httplib.h>
#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/testing/gunzip.h"

namespace lumora::fakes {

std::string ScriptedHTTPService::Request::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return {};
}

struct ScriptedHTTPService::State {
  struct Queue {
    std::deque<Answer> answers;
    Answer fallback;
  };

  httplib::Server server;
  std::thread thread;
  int port = -1;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Queue> queues;  // one per route
  std::vector<Request> requests;

  // Records `in` and takes the next answer of route `route`.
  Answer take(const httplib::Request& in, std::size_t route) {
    Request request;
    request.method = in.method;
    request.path = in.path;
    request.target = in.target;
    for (const auto& [key, value] : in.params)
      request.query[key] = value;
    for (const auto& [key, value] : in.headers)
      request.headers.emplace(key, value);
    request.body = in.body;
    if (strcasecmp(in.get_header_value("Content-Encoding").c_str(), "gzip") == 0) {
      request.bodyWasGzip = true;
      // The server library may have inflated the body already; a body that still starts with
      // the gzip magic bytes is inflated here.
      const bool magic = in.body.size() >= 2 && static_cast<unsigned char>(in.body[0]) == 0x1f &&
                         static_cast<unsigned char>(in.body[1]) == 0x8b;
      std::optional<std::string> plain = magic ? platform::testing::gunzip(in.body) : std::nullopt;
      if (plain) {
        request.body = std::move(*plain);
      } else if (magic) {
        request.bodyDecodeFailed = true;
      }
    }
    std::lock_guard lock(mutex);
    requests.push_back(std::move(request));
    changed.notify_all();
    Queue& queue = queues[route];
    if (queue.answers.empty()) return queue.fallback;
    Answer answer = std::move(queue.answers.front());
    queue.answers.pop_front();
    return answer;
  }

  static void answer(const Answer& a, httplib::Response& response) {
    response.status = a.status;
    for (const auto& [key, value] : a.headers)
      response.set_header(key, value);
    if (!a.body.empty()) response.set_content(a.body, "application/octet-stream");
  }
};

ScriptedHTTPService::ScriptedHTTPService(std::vector<Route> routes)
    : state_(std::make_unique<State>()) {
  State* s = state_.get();
  for (std::size_t i = 0; i < routes.size(); ++i) {
    s->queues.push_back(State::Queue{{}, routes[i].fallback});
    const auto handler = [s, i](const httplib::Request& in, httplib::Response& out) {
      State::answer(s->take(in, i), out);
    };
    if (routes[i].method == "GET") {
      s->server.Get(routes[i].pattern, handler);
    } else {
      s->server.Post(routes[i].pattern, handler);
    }
  }
  s->port = s->server.bind_to_any_port("127.0.0.1");
  if (s->port > 0) {
    s->thread = std::thread([s] { s->server.listen_after_bind(); });
    for (int i = 0; i < 5000 && !s->server.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

ScriptedHTTPService::~ScriptedHTTPService() {
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::string ScriptedHTTPService::baseURL() const {
  if (state_->port <= 0) return {};
  return "http://127.0.0.1:" + std::to_string(state_->port);
}

void ScriptedHTTPService::script(std::size_t route, std::vector<Answer> answers, Answer fallback) {
  std::lock_guard lock(state_->mutex);
  State::Queue& queue = state_->queues.at(route);
  queue.answers.assign(std::make_move_iterator(answers.begin()),
                       std::make_move_iterator(answers.end()));
  queue.fallback = std::move(fallback);
}

std::vector<ScriptedHTTPService::Request> ScriptedHTTPService::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

bool ScriptedHTTPService::waitFor(const std::function<bool(const std::vector<Request>&)>& done,
                                  double timeoutSeconds) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                  [&] { return done(state_->requests); });
}

}  // namespace lumora::fakes
