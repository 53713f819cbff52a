// The test main fails a test during which the assertion handler reported a failure that no
// ScopedAssertionCapture took. A test of where uncaptured failures go (the log sink, say) reports
// them on purpose and says so here first.
#pragma once

#include <cstdint>

namespace platform::testing {

// The running test reports `count` more uncaptured assertion failures on purpose.
void expectUncapturedAssertionFailures(std::uint64_t count);

}  // namespace platform::testing
