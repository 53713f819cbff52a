// A fake measurement service on 127.0.0.1 for the end-to-end tests: it answers the
// configuration GET ("/config/app/<app ID>"), the upload POST ("/a"), the advertising services'
// deferred-deep-link GET and a data-set POST ("/psm..." for on-device conversion client
// doubles) from scripted answers and keeps every request it saw (see ScriptedHTTPService).
#pragma once

#include <vector>

#include "tests/fakes/scripted_http_service.h"

namespace lumora::fakes {

class FakeMeasurementService : public ScriptedHTTPService {
 public:
  FakeMeasurementService()
      : ScriptedHTTPService({{"GET", R"(/config/app/.*)", Answer{404, {}, {}}},
                             {"POST", "/a", Answer{204, {}, {}}},
                             {"GET", kDeepLinkPath, Answer{404, {}, {}}},
                             {"POST", R"(/psm(/.*)?)", Answer{500, {}, {}}}}) {}

  // Answers used in order; once used up, `fallback` answers (404 for the configuration, 204 for
  // uploads unless changed).
  void scriptConfig(std::vector<Answer> answers, Answer fallback = Answer{404, {}, {}}) {
    script(0, std::move(answers), std::move(fallback));
  }
  void scriptUpload(std::vector<Answer> answers, Answer fallback = Answer{204, {}, {}}) {
    script(1, std::move(answers), std::move(fallback));
  }

  // The deferred-deep-link GET (404 once used up unless changed) and the data-set POST (500).
  static constexpr const char* kDeepLinkPath = "/adsvc/conversion/app/deeplink";
  void scriptDeepLink(std::vector<Answer> answers, Answer fallback = Answer{404, {}, {}}) {
    script(2, std::move(answers), std::move(fallback));
  }
  void scriptDataSet(std::vector<Answer> answers, Answer fallback = Answer{500, {}, {}}) {
    script(3, std::move(answers), std::move(fallback));
  }
};

}  // namespace lumora::fakes
