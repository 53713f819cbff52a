// A fake experiments service on 127.0.0.1 for the end-to-end tests: it answers the experiments
// fetch (POST "/sdk-exp") from scripted answers and keeps every request it saw, with its headers
// and its body (gunzipped when the request said "Content-Encoding: gzip").
//
// The server runs on a thread of its own from construction to destruction; every method may be
// called from any thread (one mutex guards the script and the record).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/fake_measurement_service.h"

namespace lumora::fakes {

class FakeExperimentsService {
 public:
  using Answer = FakeMeasurementService::Answer;
  using Request = FakeMeasurementService::Request;

  FakeExperimentsService();
  ~FakeExperimentsService();
  FakeExperimentsService(const FakeExperimentsService&) = delete;
  FakeExperimentsService& operator=(const FakeExperimentsService&) = delete;

  // "http://127.0.0.1:<port>"; empty when the server could not listen.
  std::string baseURL() const;
  // Answers used in order; once used up, `fallback` answers (200 with no body unless changed).
  void script(std::vector<Answer> answers, Answer fallback = Answer{200, {}, {}});

  std::vector<Request> requests() const;
  // Waits up to `timeoutSeconds` until `done` holds for the requests seen so far.
  bool waitFor(const std::function<bool(const std::vector<Request>&)>& done,
               double timeoutSeconds) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumora::fakes
