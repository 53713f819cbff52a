#include "tests/fuzz/script_program_generator.h"

#include <gtest/gtest.h>

#include <unicode/utypes.h>

#include <chrono>
#include <cstdio>

#include "measurement/script/apmp_context.h"
#include "measurement/script/apmp_runtime_value.h"

namespace {

// Runs generated programs through decoding, a fresh runtime and the conversion out, on the real
// clock. A sanitizer build turns any memory or undefined-behaviour fault into a failure; the
// checks here catch wrong bookkeeping: an error code outside the runtime's table, a count past
// the budget, a program that answers differently when run again.
TEST(ScriptProgramGeneratorTest, GeneratedProgramsRunWithinTheirBounds) {
  constexpr int kPrograms = 2000;
  const auto start = std::chrono::steady_clock::now();
  int ran = 0;
  int failed = 0;
  int regexFailures = 0;
  for (std::uint64_t seed = 1; seed <= kPrograms; ++seed) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) break;
    const platform::Bytes bytes = lumora::fuzz::generateScriptProgram(seed);
    ASSERT_EQ(bytes, lumora::fuzz::generateScriptProgram(seed)) << "seed " << seed;
    const auto outcome = lumora::fuzz::runScriptProgram(bytes.data(), bytes.size());
    ASSERT_TRUE(outcome.decoded) << "seed " << seed;
    if (outcome.errorDomain == APMPRegexErrorDomain) {
      // A pattern that does not compile or runs past its bounds: one of ICU's regex errors.
      EXPECT_TRUE(outcome.errorCode >= U_REGEX_ERROR_START &&
                  outcome.errorCode < U_REGEX_ERROR_LIMIT)
          << "seed " << seed << " ICU code " << outcome.errorCode;
      ++regexFailures;
    } else {
      EXPECT_TRUE(outcome.errorCode == 0 || (outcome.errorCode >= 2 && outcome.errorCode <= 18))
          << "seed " << seed << " code " << outcome.errorCode;
    }
    // Both roads end with a code of the runtime's or the editing domain's range, or ICU's.
    for (const int code : {outcome.editingLoadErrorCode, outcome.editingEventErrorCode}) {
      EXPECT_TRUE(code == 0 || (code >= 2 && code <= 18) ||
                  (code >= U_REGEX_ERROR_START && code < U_REGEX_ERROR_LIMIT))
          << "seed " << seed << " editing code " << code;
    }
    EXPECT_TRUE(outcome.conversionErrorCode == 0 || outcome.conversionErrorCode == 4 ||
                outcome.conversionErrorCode == 5 || outcome.conversionErrorCode == 10 ||
                outcome.conversionErrorCode == 18)
        << "seed " << seed << " code " << outcome.conversionErrorCode;
    EXPECT_LE(outcome.instructions, APMPInstructionCountHardLimit) << "seed " << seed;
    // Runs that end by the budget or the deadline may stop at another place the second time.
    if (outcome.errorCode != APMPErrorLimit) {
      const auto again = lumora::fuzz::runScriptProgram(bytes.data(), bytes.size());
      EXPECT_EQ(again.errorCode, outcome.errorCode) << "seed " << seed;
      EXPECT_EQ(again.instructions, outcome.instructions) << "seed " << seed;
      EXPECT_EQ(again.result, outcome.result) << "seed " << seed;
    }
    ++ran;
    if (outcome.errorCode != 0) ++failed;
  }
  // How many fit in the 60 s depends on the build and the machine's load (a thread-sanitizer
  // build on a busy machine runs under a hundred, each looping program ending at the one-second
  // deadline), so no floor beyond having run some.
  EXPECT_GT(ran, 0);
  // The generator writes mostly well-formed programs: not every one may fail.
  EXPECT_LT(failed, ran);
  std::printf("%d programs, %d failed, %d of them by a pattern\n", ran, failed, regexFailures);
}

TEST(ScriptProgramGeneratorTest, BytesThatAreNoProgramAreRefused) {
  const std::uint8_t garbage[] = {0x0a, 0xff, 0xff, 0xff, 0xff, 0x0f};
  EXPECT_FALSE(lumora::fuzz::runScriptProgram(garbage, sizeof garbage).decoded);
}

}  // namespace
