// The experiments manager and its fetch schedule through the real probe under the mock clock,
// against a loopback experiments service in this test process: one table of scenarios, each a
// few probe runs over one state root (a new run is a restart).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/net/testing/loopback_http_server.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;

constexpr double kStart = 1700000000;

std::string gzip(const std::string& plain) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, plain.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

class ExperimentManagerCommandsTest : public probe_testing::ProbeTest {
 protected:
  struct Answer {
    int status = 200;
    std::string body;
  };
  ExperimentManagerCommandsTest() {
    server_.server().Post("/sdk-exp", [this](const httplib::Request&, httplib::Response& out) {
      std::lock_guard lock(mutex_);
      ++hits_;
      Answer answer;
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.erase(answers_.begin());
      }
      out.status = answer.status;
      if (!answer.body.empty()) out.set_content(answer.body, "application/octet-stream");
    });
    EXPECT_TRUE(server_.start());
    environment_ = "LUMORA_EXPERIMENTS_URL=" + server_.url("");
  }
  // protoc's ExperimentResponse from its text form, gzipped.
  std::string encodedResponse(const std::string& text) {
    std::ofstream(scratch_ / "response.txt") << text;
    const std::string line = "protoc --encode=devazerirerize.ExperimentResponse -I '" +
                             std::filesystem::path(LUMORA_MESSAGES_PROTO).parent_path().string() +
                             "' '" + LUMORA_MESSAGES_PROTO + "' < '" + (scratch_ / "response.txt") +
                             "' > '" + (scratch_ / "response.bin") + "'";
    EXPECT_EQ(std::system(line.c_str()), 0);
    std::ifstream in(scratch_ / "response.bin", std::ios::binary);
    return gzip(std::string(std::istreambuf_iterator<char>(in), {}));
  }
  void script(std::vector<Answer> answers) {
    std::lock_guard lock(mutex_);
    answers_ = std::move(answers);
  }
  int hits() {
    std::lock_guard lock(mutex_);
    return hits_;
  }
  // One probe run (a process start at `start`); the replies' results.
  std::vector<json> probe(double start, const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    run_ = run("--mock-clock " + std::to_string(static_cast<long long>(start)) +
                   " -- -APMAnalyticsVerboseLoggingEnabled",
               lines);
    std::vector<json> out;
    for (const auto& reply : run_.replies())
      out.push_back(reply.contains("result") ? reply["result"] : reply);
    EXPECT_EQ(out.size(), commands.size()) << run_.log;
    out.resize(commands.size());
    return out;
  }
  bool reported(std::int64_t code) const {
    const auto codes = run_.reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  static json op(const std::string& action, json more = json::object()) {
    more["op"] = "exp-manager";
    more["action"] = action;
    return more;
  }
  static json advance(double seconds) { return json{{"op", "advance"}, {"seconds", seconds}}; }

  std::mutex mutex_;
  std::vector<Answer> answers_;
  int hits_ = 0;
  // Last, so it stops (and its handler, which uses the members above, ends) before they go.
  platform::testing::LoopbackHTTPServer server_;
  probe_testing::ProbeRun run_;
};

// Flags, activation, IDs, status and the fetch-error notice (answered off the manager's queue).
TEST_F(ExperimentManagerCommandsTest, FlagsIDsStatusAndNotices) {
  script({{200, encodedResponse(
                    "snapshots { sdk_name: \"app_measurement\" experiments { experiment_id: 4711 "
                    "flags { name: \"f\" int_value: 7 } } experiments { experiment_id: 0 flags { "
                    "name: \"g\" int_value: 3 } } } sdk_responses { sdk_name: \"app_measurement\" "
                    "status_code: 2 }")}});
  const json delegate = {{"readFlag", "f"}, {"queue", "own"}};
  const auto out =
      probe(kStart,
            {op("flag", {{"sdk", "app_measurement"}, {"flag", "f"}}),  // 0
             op("register",
                {{"sdk", "app_measurement"}, {"defaults", {{"f", true}}}, {"delegate", delegate}}),
             op("register", {{"sdk", "keyed"}, {"diversionKey", ""}}),  // 2
             op("flag", {{"sdk", "app_measurement"}, {"flag", "f"}}),   // 3
             op("start"),                                               // 4
             advance(10),                                               // 5
             op("state"),                                               // 6
             op("activate", {{"sdk", "app_measurement"}}),              // 7
             op("ids"),                                                 // 8
             op("flag", {{"sdk", "app_measurement"}, {"flag", "f"}}),   // 9
             op("flag", {{"sdk", "app_measurement"}, {"flag", "g"}}),   // 10
             op("status", {{"sdk", "app_measurement"}}),                // 11
             advance(259200),                                           // 12
             op("status", {{"sdk", "app_measurement"}}),                // 13
             advance(1),                                                // 14
             op("status", {{"sdk", "app_measurement"}}),                // 15
             op("activate", {{"sdk", "app_measurement"}}),              // 16
             op("reset"),                                               // 17
             op("ids")});                                               // 18
  // Before the registration step the SDK is unknown (800012); then YES reads as 1.
  EXPECT_EQ(out[0]["value"], nullptr);
  EXPECT_TRUE(reported(800012));
  EXPECT_EQ(out[3]["value"], 1);
  EXPECT_EQ(out[4]["alarm"], kStart + 10);
  EXPECT_EQ(out[6]["success"], kStart + 10);
  EXPECT_EQ(out[6]["alarm"], kStart + 10 + 14400);
  // Status 2 gives -3; the notice comes on the delegate's queue, whose flag read works.
  ASSERT_EQ(out[6]["notices"].size(), 2u) << out[6].dump();
  EXPECT_EQ(out[6]["notices"][0], json({{"notice", "fetchError"},
                                        {"sdk", "app_measurement"},
                                        {"code", -3},
                                        {"onManagerQueue", false},
                                        {"queue", "own"},
                                        {"flag", 1}}));
  EXPECT_EQ(out[6]["notices"][1]["notice"], "newSnapshot");
  EXPECT_EQ(out[6]["notices"][1]["onManagerQueue"], false);
  EXPECT_EQ(out[7]["activated"], true);
  // The launched experiment (0) is no ID; "keyed" has a diversion key (empty) and no snapshot.
  EXPECT_EQ(out[8]["experimentIDs"], json({4711}));
  EXPECT_EQ(out[9]["value"], 7);
  EXPECT_EQ(out[10]["value"], 3);
  EXPECT_EQ(out[11]["status"], 0);
  EXPECT_EQ(out[13]["status"], 0);  // exactly 259200 s
  EXPECT_EQ(out[15]["status"], 1);  // beyond
  EXPECT_EQ(out[16]["activated"], false);
  EXPECT_EQ(out[18]["experimentIDs"], json::array());
}

// The schedule across process starts: each row is one run over the same state root.
TEST_F(ExperimentManagerCommandsTest, FetchScheduleAcrossStarts) {
  struct Step {
    const char* what;
    double start;  // seconds after kStart at which the run starts
    std::vector<Answer> answers;
    std::vector<json> commands;
    double expectedAlarm;  // seconds after kStart; 0: none
    int expectedHits;      // in total so far
  };
  const json wanting = {{"sdk", "app_measurement"}};
  const json refusing = {{"sdk", "app_measurement"}, {"delegate", {{"shouldFetch", false}}}};
  const std::vector<Step> steps = {
      {"first start: 10 s, then 4 h",
       0,
       {{200, ""}},
       {op("register", wanting), op("start"), advance(10)},
       10 + 14400,
       1},
      {"start 1 h after the success: 3 h later",
       3610,
       {},
       {op("register", wanting), op("start")},
       10 + 14400,
       1},
      {"start 5 h after it: after 10 s",
       18010,
       {},
       {op("register", wanting), op("start")},
       18010 + 10,
       1},
      {"a delegate's NO postpones 4 h",
       30000,
       {},
       {op("register", refusing), op("start"), advance(10)},
       30010 + 14400,
       1},
      {"503 holds 12 h",
       50000,
       {{503, ""}},
       {op("register", wanting), op("start"), advance(10)},
       50010 + 43200,
       2},
      {"and across a restart", 51000, {}, {op("register", wanting), op("start")}, 50010 + 43200, 2},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    script(step.answers);
    auto commands = step.commands;
    commands.push_back(op("state"));
    const auto out = probe(kStart + step.start, commands);
    const json& state = out.back();
    if (step.expectedAlarm == 0) {
      EXPECT_EQ(state["alarm"], nullptr) << state.dump();
    } else {
      EXPECT_EQ(state["alarm"], kStart + step.expectedAlarm) << state.dump();
    }
    EXPECT_EQ(hits(), step.expectedHits);
  }
}

TEST_F(ExperimentManagerCommandsTest, RetryLadderThenSilenceThenTenSecondsAfterTheNextStart) {
  script(std::vector<Answer>(8, Answer{500, ""}));
  const json wanting = {{"sdk", "app_measurement"}};
  // No success yet: the retries count from the creation of the task manager.
  auto out = probe(kStart, {op("register", wanting), op("start"), advance(10), op("state"),
                            advance(113400 + 3600), op("state")});
  EXPECT_EQ(out[3]["alarm"], kStart + 1800);
  EXPECT_EQ(out[3]["failure"], kStart + 10);
  EXPECT_EQ(hits(), 7);  // 10, then 1800, 5400, 12600, 27000, 55800, 113400
  EXPECT_EQ(out[5]["alarm"], nullptr);
  EXPECT_TRUE(reported(820024));
  out = probe(kStart + 200000, {op("register", wanting), op("start")});
  EXPECT_EQ(out[1]["alarm"], kStart + 200000 + 10);
}

// Two answers the client must survive: a 204 without a body is a success with nothing in it;
// a reply that would inflate beyond 16 MiB fails its inflation (820023) and also counts as a
// success without snapshots.
TEST_F(ExperimentManagerCommandsTest, EmptyAndOversizedRepliesAreSuccessesWithoutSnapshots) {
  script({{204, ""}, {200, gzip(std::string(std::size_t{17} << 20, '\0'))}});
  const json delegate = {{"sdk", "app_measurement"}, {"delegate", json::object()}};
  const auto out =
      probe(kStart, {op("register", delegate), op("start"), advance(10), op("state"),
                     advance(14400), op("state"), op("activate", {{"sdk", "app_measurement"}})});
  EXPECT_EQ(out[3]["success"], kStart + 10);
  EXPECT_EQ(out[3]["notices"], json::array());
  EXPECT_EQ(out[5]["success"], kStart + 10 + 14400);
  EXPECT_EQ(out[5]["notices"], json::array());
  EXPECT_TRUE(reported(820023));
  EXPECT_EQ(out[6]["activated"], false);
  EXPECT_EQ(hits(), 2);
}

}  // namespace
