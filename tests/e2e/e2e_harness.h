// Helpers of the end-to-end tests: start a real host process on a fresh engine socket (with its
// own LUMORA_HOME), drive it with lumora-peer, read its log, and stop it.
//
// A Host owns its process and its temporary folder; the destructor stops the host (SIGTERM,
// then SIGKILL if it does not end) and removes the folder. Test thread only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumora::e2e {

// Paths of the built programs.
std::string hostExecutable();      // build/runner/lumora
std::string testHostExecutable();  // build/tests/e2e/lumora-test-host (with the test plugin)
std::string peerExecutable();      // build/tools/lumora-peer

struct HostOptions {
  std::string executable = hostExecutable();
  std::vector<std::string> arguments;
  // Added to (or replacing in) the inherited environment. LUMORA_HOME defaults to a folder
  // inside the host's temporary folder.
  std::map<std::string, std::string> environment;
};

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const std::string& socketPath() const { return socketPath_; }
  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path home() const { return directory_ / "home"; }
  // Everything the host wrote to standard error (its log) so far.
  std::string log() const;
  // Log lines containing `text`, in order.
  std::vector<std::string> logLines(const std::string& text) const;
  // True when a sanitizer build of the host reported an error (data race, leak, ...).
  bool logHasSanitizerReport() const { return log().find("Sanitizer") != std::string::npos; }

  // Sends `signal` and waits (up to `timeoutSeconds`) for the exit; returns the exit status, or
  // none when the host did not exit (it is then killed) or died from a signal.
  std::optional<int> stop(int signal, double timeoutSeconds = 10);
  bool isRunning();
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path directory_;
  std::string socketPath_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
};

struct PeerRun {
  int exitCode = -1;
  std::vector<nlohmann::json> lines;  // every JSON line lumora-peer printed, in order
  std::string errors;                 // its standard error
  // The lines with this "op" (and, when given, this "channel").
  std::vector<nlohmann::json> withOp(const std::string& op, const std::string& channel = "") const;
};

// Runs lumora-peer against `host` with `commands` (one JSON line each) and collects its output.
PeerRun runPeer(const Host& host, const std::vector<nlohmann::json>& commands,
                double timeoutSeconds = 30);

}  // namespace lumora::e2e
