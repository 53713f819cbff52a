// script-program-seeds: writes the programs of fixture tables (JSON lines with "program", or a
// "request" whose "edit" has one) as encoded Program messages, one file per program, to seed the
// fuzz target.
//   script-program-seeds OUTDIR TABLE.jsonl...

#include <fstream>
#include <iostream>
#include <string>

#include "tools/script_run.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: script-program-seeds OUTDIR TABLE.jsonl...\n";
    return 2;
  }
  const std::string outDir = argv[1];
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i]);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      try {
        const auto row = lumora::scriptrun::Json::parse(line);
        // An editing table's row holds its program inside the request.
        const auto& program = row.contains("request") ? row.at("request").at("edit").at("program")
                                                      : row.at("program");
        const auto bytes = lumora::scriptrun::programFromJson(program)->protoBuffer();
        if (!bytes) continue;
        std::ofstream out(outDir + "/seed-" + std::to_string(written++), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes->data()),
                  static_cast<std::streamsize>(bytes->size()));
      } catch (const std::exception& e) {
        std::cerr << argv[i] << ": " << e.what() << "\n";
      }
    }
  }
  std::cout << written << " seeds\n";
  return 0;
}
