#include "runner/main_options.h"

#include <cstdlib>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/process_info.h"

namespace lumora {

namespace {

constexpr const char* kSocketFlag = "--engine-socket";

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

MainOptions parseMainOptions(const std::vector<std::string>& arguments) {
  MainOptions options;
  const std::string socketFlag = kSocketFlag;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == socketFlag || a.rfind(socketFlag + "=", 0) == 0) {
      std::optional<std::string> path;
      options.socketGiven = true;
      if (a == socketFlag) {
        if (i + 1 < arguments.size()) path = arguments[++i];
      } else {
        path = a.substr(socketFlag.size() + 1);
      }
      // An empty path would silently mean "no socket": a host nobody can reach.
      if (!path || path->empty()) {
        if (!options.error) options.error = socketFlag + " needs a socket path";
      }
    } else {
      options.warnings.push_back("ignoring unknown " +
                                 std::string(a.rfind('-', 0) == 0 ? "option " : "argument ") +
                                 quoted(a) + " (see --help)");
    }
  }
  return options;
}

std::vector<std::string> environmentWarnings(const MainOptions& options) {
  std::vector<std::string> warnings;
  auto& info = platform::ProcessInfo::processInfo();
  if (auto socket = info.environmentValue("LUMORA_ENGINE_SOCKET");
      !options.socketGiven && (!socket || socket->empty())) {
    warnings.push_back(
        "no engine socket (--engine-socket PATH or LUMORA_ENGINE_SOCKET): no application can "
        "reach this host");
  }
  if (auto bundle = info.environmentValue("LUMORA_BUNDLE"); bundle && !bundle->empty()) {
    bool isDirectory = false;
    const bool exists = platform::FileManager::defaultManager().fileExists(*bundle, &isDirectory);
    if (!exists || !isDirectory) {
      const std::string& used = platform::Bundle::main()->bundlePath();
      const std::string folder = platform::kDefaultBundleFolderName;
      const bool defaultFolder =
          used.size() >= folder.size() &&
          used.compare(used.size() - folder.size(), folder.size(), folder) == 0;
      warnings.push_back("LUMORA_BUNDLE " + quoted(*bundle) + " is not a folder: using " +
                         (defaultFolder ? "the default bundle " + quoted(used)
                                        : std::string("the built-in defaults")) +
                         " instead");
    } else if (!platform::FileManager::defaultManager().fileExists(
                   platform::joinPath(*bundle, "Info.plist"))) {
      warnings.push_back("LUMORA_BUNDLE " + quoted(*bundle) +
                         " has no Info.plist: using it with an empty information dictionary");
    }
  }
  const std::string versionVariable = platform::kOperatingSystemVersionVariable;
  if (auto version = info.environmentValue(versionVariable);
      version && !platform::ProcessInfo::parseVersion(*version)) {
    warnings.push_back(versionVariable + " " + quoted(*version) +
                       " is not \"major[.minor[.patch]]\": using " +
                       info.operatingSystemVersionString() + " instead");
  }
  return warnings;
}

std::string usage(const std::string& program) {
  return "usage: " + program +
         " [--engine-socket PATH]\n"
         "\n"
         "Starts the Lumora host. With a socket path (or LUMORA_ENGINE_SOCKET) it listens there\n"
         "for the application-side peer (tools/lumora-peer) and logs \"listening on PATH\" once\n"
         "it is ready. SIGINT or SIGTERM ends it.\n"
         "\n"
         "  --engine-socket PATH   Unix socket to listen on (also --engine-socket=PATH)\n"
         "  -h, --help             print this help and exit\n"
         "\n"
         "Environment: LUMORA_ENGINE_SOCKET, LUMORA_HOME (state root), LUMORA_BUNDLE (main\n"
         "bundle folder), LUMORA_OS_VERSION (major.minor[.patch], default 14.0),\n"
         "LUMORA_LOG_SYSLOG=1 (log to syslog).\n"
         "\n"
         "Exit status: 0 after SIGINT or SIGTERM, 1 when the socket cannot be opened,\n"
         "2 for a wrong command line.\n";
}

}  // namespace lumora
