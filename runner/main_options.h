// The host's command line and start-up settings, checked before anything starts: what the
// process was asked to do, and a line for every setting that is ignored and what is used
// instead. Plain functions; main thread, before the application loads.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumora {

struct MainOptions {
  // --help / -h: print usage() and exit 0.
  bool help = false;
  // --engine-socket was given (with a path, or else `error` says so).
  bool socketGiven = false;
  // A command line the host cannot run with; it exits with kExitUsage.
  std::optional<std::string> error;
  // Settings that are ignored, each saying what is used instead.
  std::vector<std::string> warnings;
};

// Exit statuses of the host.
inline constexpr int kExitStartFailed = 1;  // the engine socket cannot be opened
inline constexpr int kExitUsage = 2;        // the command line is wrong

// `arguments` starts with the program name.
MainOptions parseMainOptions(const std::vector<std::string>& arguments);

// Warnings about the process environment: LUMORA_BUNDLE and LUMORA_OS_VERSION, and no engine
// socket at all when the command line named none.
std::vector<std::string> environmentWarnings(const MainOptions& options);

std::string usage(const std::string& program);

}  // namespace lumora
