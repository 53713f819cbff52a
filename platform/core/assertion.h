// The one place programming errors (broken preconditions) go. Release builds log and carry on,
// debug builds abort, and tests can capture failures to check that misuse is detected.
// Thread-safe: failures may be reported from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct AssertionFailure {
  std::string file;
  int line = 0;
  std::string message;
};

// Reports a broken precondition. Returns normally unless the active policy aborts.
void assertionFailure(const char* file, int line, std::string message);

// Captures every failure reported while it lives (on any thread) instead of logging or aborting.
// Captures nest; the innermost wins.
class ScopedAssertionCapture {
 public:
  ScopedAssertionCapture();
  ~ScopedAssertionCapture();
  ScopedAssertionCapture(const ScopedAssertionCapture&) = delete;
  ScopedAssertionCapture& operator=(const ScopedAssertionCapture&) = delete;

  std::vector<AssertionFailure> failures() const;
  std::size_t count() const;
  void clear();

 private:
  friend void assertionFailure(const char*, int, std::string);
  struct State;
  State* state_;
  ScopedAssertionCapture* previous_;
};

// How many failures went uncaptured (logged, or fatal) since the process started. The test
// main fails a test during which this grows: in release builds such a failure only logs.
std::uint64_t uncapturedAssertionFailureCount();

// Where non-captured failures are written (default: stderr). The log facility installs itself
// here so assertion lines reach the unified-log stand-in.
void setAssertionSink(std::function<void(const AssertionFailure&)> sink);

}  // namespace platform

// Checks a precondition; on failure reports it and evaluates to false so callers can bail out:
//   if (!LUMORA_CHECK(index < size, "index out of range")) return {};
#define LUMORA_CHECK(cond, message)                                                                \
  ((cond) ? true : (::platform::assertionFailure(__FILE__, __LINE__, (message)), false))
#define LUMORA_ASSERT(cond, message) ((void)LUMORA_CHECK(cond, message))
