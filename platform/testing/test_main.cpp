// Entry point of every unit-test binary. Tests run on the process main thread, which is also the
// thread the main loop belongs to, so tests can pump the main queue directly.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // Worker threads of the dispatch pool outlive the tests that started them; a death test that
  // merely forked could inherit a lock one of them held. Re-running the binary for each death
  // test avoids that.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
