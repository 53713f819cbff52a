// A fake measurement service on 127.0.0.1 for the end-to-end tests: it answers the
// configuration GET ("/config/app/<app ID>") and the upload POST ("/a") from scripted answers
// and keeps every request it saw (see ScriptedHTTPService).
#pragma once

#include <vector>

#include "tests/fakes/scripted_http_service.h"

namespace lumora::fakes {

class FakeMeasurementService : public ScriptedHTTPService {
 public:
  FakeMeasurementService()
      : ScriptedHTTPService({{"GET", R"(/config/app/.*)", Answer{404, {}, {}}},
                             {"POST", "/a", Answer{204, {}, {}}}}) {}

  // Answers used in order; once used up, `fallback` answers (404 for the configuration, 204 for
  // uploads unless changed).
  void scriptConfig(std::vector<Answer> answers, Answer fallback = Answer{404, {}, {}}) {
    script(0, std::move(answers), std::move(fallback));
  }
  void scriptUpload(std::vector<Answer> answers, Answer fallback = Answer{204, {}, {}}) {
    script(1, std::move(answers), std::move(fallback));
  }
};

}  // namespace lumora::fakes
