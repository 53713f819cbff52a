// The test main's guard, checked from outside: this binary runs itself on one hidden test and
// reads what it printed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "platform/core/assertion.h"

namespace {

struct ChildRun {
  bool passed = false;
  std::string output;
};

ChildRun runHiddenTest(const std::string& name) {
  std::array<char, 4096> self{};
  const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  EXPECT_GT(length, 0);
  const std::string command = std::string(self.data()) +
                              " --gtest_also_run_disabled_tests --gtest_filter=TestMainSelfTest." +
                              name + " 2>&1";
  ChildRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return run;
  }
  std::array<char, 4096> buffer{};
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    run.output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  run.passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

TEST(TestMainTest, AnUncapturedAssertionFailureFailsItsTest) {
  ChildRun run = runHiddenTest("DISABLED_ReportsAFailure");
  EXPECT_FALSE(run.passed) << run.output;
  EXPECT_NE(run.output.find("self-test precondition"), std::string::npos) << run.output;
#ifdef NDEBUG
  // Release builds carry on after the failure: the guard fails the test at its end.
  EXPECT_NE(run.output.find("uncaptured failure(s) during this test where 0 were expected"),
            std::string::npos)
      << run.output;
#endif
}

TEST(TestMainTest, ACapturedAssertionFailureDoesNot) {
  ChildRun run = runHiddenTest("DISABLED_CapturesAFailure");
  EXPECT_TRUE(run.passed) << run.output;
}

TEST(TestMainSelfTest, DISABLED_ReportsAFailure) {
  platform::assertionFailure(__FILE__, __LINE__, "self-test precondition");
}

TEST(TestMainSelfTest, DISABLED_CapturesAFailure) {
  platform::ScopedAssertionCapture capture;
  platform::assertionFailure(__FILE__, __LINE__, "self-test precondition");
  EXPECT_EQ(capture.count(), 1u);
}

}  // namespace
