// A fake experiments service on 127.0.0.1 for the end-to-end tests: it answers the experiments
// fetch (POST "/sdk-exp") from scripted answers and keeps every request it saw (see
// ScriptedHTTPService).
#pragma once

#include <vector>

#include "tests/fakes/scripted_http_service.h"

namespace lumora::fakes {

class FakeExperimentsService : public ScriptedHTTPService {
 public:
  FakeExperimentsService() : ScriptedHTTPService({{"POST", "/sdk-exp", Answer{200, {}, {}}}}) {}

  // Answers used in order; once used up, `fallback` answers (200 with no body unless changed).
  void script(std::vector<Answer> answers, Answer fallback = Answer{200, {}, {}}) {
    ScriptedHTTPService::script(0, std::move(answers), std::move(fallback));
  }
};

}  // namespace lumora::fakes
