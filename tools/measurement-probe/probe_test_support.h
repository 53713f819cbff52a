// Test support of the probe's tests: runs the real measurement-probe binary over a fresh state
// root with a list of command lines and gathers its output lines and its log. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace probe_testing {

struct ProbeRun {
  std::vector<nlohmann::json> lines;
  std::string log;
  // The replies to commands, in order (reports left out).
  std::vector<nlohmann::json> replies() const {
    std::vector<nlohmann::json> out;
    for (const auto& line : lines) {
      if (line.value("op", "") != "report") out.push_back(line);
    }
    return out;
  }
  std::vector<std::int64_t> reportedCodes() const {
    std::vector<std::int64_t> codes;
    for (const auto& line : lines) {
      if (line.value("op", "") == "report") codes.push_back(line["code"].get<std::int64_t>());
    }
    return codes;
  }
};

class ProbeTest : public testing::Test {
 protected:
  ProbeRun run(const std::string& options, const std::vector<std::string>& commands) {
    {
      std::ofstream input(scratch_ / "input");
      for (const auto& command : commands)
        input << command << "\n";
    }
    const std::string line = environment_ + " LUMORA_HOME='" + home() +
                             "' '" LUMORA_MEASUREMENT_PROBE "' " + options + " < '" +
                             (scratch_ / "input") + "' > '" + (scratch_ / "output") + "' 2> '" +
                             (scratch_ / "log") + "'";
    EXPECT_EQ(std::system(line.c_str()), 0);
    ProbeRun result;
    std::ifstream output(scratch_ / "output");
    for (std::string text; std::getline(output, text);)
      result.lines.push_back(nlohmann::json::parse(text));
    std::ifstream log(scratch_ / "log");
    std::stringstream all;
    all << log.rdbuf();
    result.log = all.str();
    return result;
  }
  std::string home() const { return scratch_ / "home"; }

  platform::ScratchDirForTesting scratch_;
  // Variable assignments put before the probe's command line ("TZ=UTC-5:30 LANGUAGE=en_US").
  std::string environment_;
};

}  // namespace probe_testing
