// A fake measurement service on 127.0.0.1 for the end-to-end tests: it answers the
// configuration GET ("/config/app/<app ID>"), the upload POST ("/a"), the advertising services'
// deferred-deep-link GET and a data-set POST ("/psm..." for on-device conversion client
// doubles) from scripted answers
// and keeps every request it saw, with its headers and its body (gunzipped when the request
// said "Content-Encoding: gzip").
//
// The server runs on a thread of its own from construction to destruction; every method may be
// called from any thread (one mutex guards the script and the record).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace lumora::fakes {

class FakeMeasurementService {
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

  FakeMeasurementService();
  ~FakeMeasurementService();
  FakeMeasurementService(const FakeMeasurementService&) = delete;
  FakeMeasurementService& operator=(const FakeMeasurementService&) = delete;

  // "http://127.0.0.1:<port>"; empty when the server could not listen.
  std::string baseURL() const;

  // Answers used in order; once used up, `fallback` answers (404 for the configuration, 204 for
  // uploads unless changed).
  void scriptConfig(std::vector<Answer> answers, Answer fallback = Answer{404, {}, {}});
  void scriptUpload(std::vector<Answer> answers, Answer fallback = Answer{204, {}, {}});

  // The deferred-deep-link GET (404 once used up unless changed) and the data-set POST (500).
  static constexpr const char* kDeepLinkPath = "/adsvc/conversion/app/deeplink";
  void scriptDeepLink(std::vector<Answer> answers, Answer fallback = Answer{404, {}, {}});
  void scriptDataSet(std::vector<Answer> answers, Answer fallback = Answer{500, {}, {}});

  std::vector<Request> requests() const;
  // Waits up to `timeoutSeconds` until `done` holds for the requests seen so far.
  bool waitFor(const std::function<bool(const std::vector<Request>&)>& done,
               double timeoutSeconds) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Inflates a gzip stream; false when it is not one.
bool gunzip(const std::string& in, std::string* out);

}  // namespace lumora::fakes
