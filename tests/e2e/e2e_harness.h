// Helpers of the end-to-end tests: start a real host process on a fresh engine socket (with its
// own LUMORA_HOME), drive it with lumora-peer, read its log, and stop it.
//
// A Host owns its process and its temporary folder; the destructor stops the host (SIGTERM,
// then SIGKILL if it does not end) and removes the folder. Test thread only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
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
  // A host on the engine socket `socketPath` instead of "engine.sock" in its temporary folder.
  Host(HostOptions options, std::string socketPath);
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
  // Waits (up to `timeoutSeconds`) for the host to exit by itself; its exit status, or none when
  // it is still running or died from a signal.
  std::optional<int> waitForExit(double timeoutSeconds = 10);
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

// Waits up to `timeoutSeconds` until the measurement database at `database` holds a raw event
// named `name`; false when none came. The engine's store has no busy time-out (a write that meets
// a reader's lock fails at once and the event is lost), so the running host's file is read
// without taking any lock, and a read that meets a half-written file or no tables means "not yet".
bool waitForStoredMeasurementEvent(const std::string& database, const std::string& name,
                                   double timeoutSeconds = 30);

// Runs lumora-peer against `host` with `commands` (one JSON line each) and collects its output.
PeerRun runPeer(const Host& host, const std::vector<nlohmann::json>& commands,
                double timeoutSeconds = 30);

// An interactive lumora-peer: commands are written one at a time, so a later command can use
// what an earlier answer said (an identifier learned at run time). Every line read is kept.
// The destructor kills a peer still running. Test thread only.
class PeerSession {
 public:
  explicit PeerSession(const Host& host);
  ~PeerSession();
  PeerSession(const PeerSession&) = delete;
  PeerSession& operator=(const PeerSession&) = delete;

  // Writes one command line; false when the peer no longer reads.
  bool write(const nlohmann::json& command);
  // The first line not returned before that satisfies `matches`, reading more output until one
  // does or `timeoutSeconds` pass (none). Every line read is kept in lines().
  std::optional<nlohmann::json> readUntil(const std::function<bool(const nlohmann::json&)>& matches,
                                          double timeoutSeconds = 10);
  // The next line with this "op" (and, when given, this "channel").
  std::optional<nlohmann::json> readOp(const std::string& op, const std::string& channel = "",
                                       double timeoutSeconds = 10);
  // Closes the peer's input and collects the rest of its output, as runPeer does.
  PeerRun finish(double timeoutSeconds = 30);
  const std::vector<nlohmann::json>& lines() const { return run_.lines; }

 private:
  // Reads what is available within `waitMs`; false at the end of both outputs.
  bool pump(int waitMs);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_;      // standard output after the last complete line
  std::vector<bool> taken_;  // per line: already returned by readUntil
  PeerRun run_;
};

}  // namespace lumora::e2e
