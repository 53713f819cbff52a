// libFuzzer target: every input is decoded as a Program message, run in a fresh script runtime,
// and its result converted out (built with -DLUMORA_FUZZ=ON and clang; see the README).

#include <cstddef>
#include <cstdint>

#include "tests/fuzz/script_program_generator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lumora::fuzz::runScriptProgram(data, size);
  return 0;
}
