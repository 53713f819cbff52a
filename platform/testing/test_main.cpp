// Entry point of every unit-test binary. Tests run on the process main thread, which is also the
// thread the main loop belongs to, so tests can pump the main queue directly.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/core/assertion.h"
#include "platform/testing/assertion_guard.h"

namespace {

std::uint64_t g_expected = 0;  // uncaptured failures the running test announced

// Fails a test during which the assertion handler reported a failure nobody captured. Debug
// builds abort on such a failure anyway; release builds only log it, and without this a broken
// precondition would pass unnoticed there. Tests that expect a failure capture it with
// platform::ScopedAssertionCapture.
class UncapturedAssertionGuard : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    g_expected = 0;
    before_ = platform::uncapturedAssertionFailureCount();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    const std::uint64_t reported = platform::uncapturedAssertionFailureCount() - before_;
    EXPECT_EQ(reported, g_expected)
        << "the assertion handler reported " << reported << " uncaptured failure(s) during this "
        << "test where " << g_expected << " were expected (see the log above)";
  }

 private:
  std::uint64_t before_ = 0;
};

}  // namespace

void platform::testing::expectUncapturedAssertionFailures(std::uint64_t count) {
  g_expected += count;
}

int main(int argc, char** argv) {
  // Worker threads of the dispatch pool outlive the tests that started them; a death test that
  // merely forked could inherit a lock one of them held. Re-running the binary for each death
  // test avoids that.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::InitGoogleTest(&argc, argv);
  // Appended last, so its end-of-test check runs before the result is printed.
  testing::UnitTest::GetInstance()->listeners().Append(new UncapturedAssertionGuard);
  return RUN_ALL_TESTS();
}
