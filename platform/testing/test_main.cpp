// Entry point of every unit-test binary. Tests run on the process main thread, which is also the
// thread the main loop belongs to, so tests can pump the main queue directly.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
