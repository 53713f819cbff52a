// Diagnostics of the engine stand-in, written to the log under subsystem "com.lumora.engine".
// Secrets never go through here. Thread-safe.
#pragma once

#include <string_view>

namespace flutter {

void engineLog(std::string_view line);
// Failures the user must act on (the socket cannot be opened, a peer was cut off).
void engineError(std::string_view line);

}  // namespace flutter
