// script-run: reads one JSON request per line (standard input or the file named), runs each in a
// fresh script runtime and writes one JSON answer per line (tools/script_run.h). With --program,
// runs the one Program message in FILE (its encoded bytes) instead.
// With --edit-config or --edit-program, loads the first program of the MeasurementConfig in FILE
// (with its settings) or the Program in FILE into an editing object, prints the load's answer,
// then handles one event per line of standard input (tools/script_run_editing.h).
//   script-run [--mock-clock] [--program FILE | --edit-config FILE | --edit-program FILE | FILE]
// --mock-clock runs on the mock clock, so only the instruction budget ends a long program.

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/dispatch/test_environment.h"
#include "tools/script_run.h"
#include "tools/script_run_editing.h"

namespace {

std::string dump(const lumora::scriptrun::Json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int runEditing(const platform::Bytes& bytes, bool config) {
  using namespace lumora::scriptrun;
  const EditingInput input =
      config ? editingInputFromConfigBytes(bytes) : editingInputFromProgramBytes(bytes);
  if (!input.program) {
    std::cout << Json{{"inputError", config ? "no program in a MeasurementConfig"
                                            : "the bytes are not a Program message"}}
                     .dump()
              << std::endl;
    return 1;
  }
  EditingSession session(input.settings);
  Json load = session.load(*input.program);
  load["programs"] = input.programCount;
  load["callbacks"] = session.callbacks();
  std::cout << dump(Json{{"load", load}}) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json answer;
    try {
      answer = session.handle(Json::parse(line));
    } catch (const std::exception& e) {
      answer = Json{{"inputError", e.what()}};
    }
    std::cout << dump(answer) << std::endl;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool mockClock = false;
  bool programBytes = false;
  bool editConfig = false;
  bool editProgram = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mock-clock") {
      mockClock = true;
    } else if (arg == "--program") {
      programBytes = true;
    } else if (arg == "--edit-config") {
      editConfig = true;
    } else if (arg == "--edit-program") {
      editProgram = true;
    } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
      path = arg;
    } else {
      std::cerr << "usage: script-run [--mock-clock] [--program FILE | --edit-config FILE | "
                   "--edit-program FILE | FILE]\n";
      return 2;
    }
  }
  std::unique_ptr<platform::TestEnvironment> environment;
  if (mockClock) environment = std::make_unique<platform::TestEnvironment>();

  if (programBytes || editConfig || editProgram) {
    std::ifstream bytesIn(path, std::ios::binary);
    if (path.empty() || !bytesIn) {
      std::cerr << "script-run: cannot read " << path << "\n";
      return 2;
    }
    const platform::Bytes bytes((std::istreambuf_iterator<char>(bytesIn)),
                                std::istreambuf_iterator<char>());
    if (editConfig || editProgram) return runEditing(bytes, editConfig);
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
