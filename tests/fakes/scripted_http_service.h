// A loopback HTTP server for the end-to-end tests: each route (a method and a path pattern)
// answers from its own scripted queue, then from its fallback, and every request is kept with
// its query, headers and body (gunzipped when the request said "Content-Encoding: gzip").
//
// The server runs on a thread of its own from construction to destruction; every method may be
// called from any thread (one mutex guards the scripts and the record).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace lumora::fakes {

class ScriptedHTTPService {
 public:
  struct Answer {
    int status = 204;
    std::string body;
    std::map<std::string, std::string> headers;
  };
  struct Request {
    std::string method;
    std::string path;
    std::string target;  // path and query as sent, escapes kept
    std::map<std::string, std::string> query;
    std::multimap<std::string, std::string> headers;  // names as the client sent them
    std::string body;                                 // gunzipped when it was gzip-encoded
    bool bodyWasGzip = false;
    bool bodyDecodeFailed = false;
    std::string header(const std::string& name) const;  // "" when absent (any case)
  };
  struct Route {
    std::string method;   // "GET" or "POST"
    std::string pattern;  // the path, as a regular expression
    Answer fallback;
  };

  explicit ScriptedHTTPService(std::vector<Route> routes);
  ~ScriptedHTTPService();
  ScriptedHTTPService(const ScriptedHTTPService&) = delete;
  ScriptedHTTPService& operator=(const ScriptedHTTPService&) = delete;

  // "http://127.0.0.1:<port>"; empty when the server could not listen.
  std::string baseURL() const;
  // Answers of route `route` (its index), used in order; once used up, `fallback` answers.
  void script(std::size_t route, std::vector<Answer> answers, Answer fallback);

  std::vector<Request> requests() const;
  // Waits up to `timeoutSeconds` until `done` holds for the requests seen so far.
  bool waitFor(const std::function<bool(const std::vector<Request>&)>& done,
               double timeoutSeconds) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumora::fakes
