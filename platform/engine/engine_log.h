// Diagnostics of the engine stand-in: one line per event on standard error, prefixed
// "[engine]". Secrets never go through here. Thread-safe.
#pragma once

#include <string_view>

namespace flutter {

void engineLog(std::string_view line);

}  // namespace flutter
