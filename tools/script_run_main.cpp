// script-run: reads one JSON request per line (standard input or the file named), runs each in a
// fresh script runtime and writes one JSON answer per line (tools/script_run.h). With --program,
// runs the one Program message in FILE (its encoded bytes) instead.
//   script-run [--mock-clock] [--program FILE | FILE]
// --mock-clock runs on the mock clock, so only the instruction budget ends a long program.

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/dispatch/test_environment.h"
#include "tools/script_run.h"

int main(int argc, char** argv) {
  bool mockClock = false;
  bool programBytes = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mock-clock") {
      mockClock = true;
    } else if (arg == "--program") {
      programBytes = true;
    } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
      path = arg;
    } else {
      std::cerr << "usage: script-run [--mock-clock] [--program FILE | FILE]\n";
      return 2;
    }
  }
  std::unique_ptr<platform::TestEnvironment> environment;
  if (mockClock) environment = std::make_unique<platform::TestEnvironment>();

  if (programBytes) {
    std::ifstream bytesIn(path, std::ios::binary);
    if (path.empty() || !bytesIn) {
      std::cerr << "script-run: cannot read " << path << "\n";
      return 2;
    }
    const platform::Bytes bytes((std::istreambuf_iterator<char>(bytesIn)),
                                std::istreambuf_iterator<char>());
    std::cout << lumora::scriptrun::runProgramBytes(bytes).dump(
                     -1, ' ', false, nlohmann::json::error_handler_t::replace)
              << std::endl;
    return 0;
  }

  std::ifstream file;
  if (!path.empty()) {
    file.open(path);
    if (!file) {
      std::cerr << "script-run: cannot read " << path << "\n";
      return 2;
    }
  }
  std::istream& in = path.empty() ? std::cin : file;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    lumora::scriptrun::Json request;
    try {
      request = lumora::scriptrun::Json::parse(line);
    } catch (const std::exception& e) {
      std::cout << lumora::scriptrun::Json{{"inputError", e.what()}}.dump() << std::endl;
      continue;
    }
    lumora::scriptrun::Json answer = lumora::scriptrun::runRequest(request);
    if (request.is_object() && request.contains("id")) answer["id"] = request["id"];
    std::cout << answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  }
  return 0;
}
