#include "tests/e2e/e2e_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lumora::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  // The host must not pick up a socket from the test's own environment.
  env.erase("LUMORA_ENGINE_SOCKET");
  for (const auto& [k, v] : overrides)
    env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env)
    out.push_back(k + "=" + v);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings)
    out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::optional<int> waitFor(pid_t pid, double timeoutSeconds, bool* exited) {
  auto deadline = Clock::now() + std::chrono::milliseconds(int(timeoutSeconds * 1000));
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      *exited = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return std::nullopt;
    }
    if (Clock::now() >= deadline) {
      *exited = false;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string hostExecutable() {
  return LUMORA_E2E_HOST;
}
std::string testHostExecutable() {
  return LUMORA_E2E_TEST_HOST;
}
std::string peerExecutable() {
  return LUMORA_E2E_PEER;
}

Host::Host(HostOptions options) : Host(std::move(options), std::string()) {}

Host::Host(HostOptions options, std::string socketPath) {
  char pattern[] = "/tmp/lumora-e2e-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  std::filesystem::create_directories(home());
  socketPath_ = socketPath.empty() ? (directory_ / "engine.sock").string() : socketPath;
  if (!options.environment.count("LUMORA_HOME")) {
    options.environment["LUMORA_HOME"] = home().string();
  }
  std::vector<std::string> argv = {options.executable, "--engine-socket", socketPath_};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> env = mergedEnvironment(options.environment);
  std::string logPath = (directory_ / "host.log").string();
  auto argvPointers = pointers(argv);
  auto envPointers = pointers(env);
  pid_ = ::fork();
  if (pid_ == 0) {
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execve(argvPointers[0], argvPointers.data(), envPointers.data());
    ::_exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

Host::~Host() {
  if (isRunning()) stop(SIGTERM, 10);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

bool Host::isRunning() {
  if (pid_ < 0 || exitStatus_ || pid_ == 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  return true;
}

std::optional<int> Host::stop(int signal, double timeoutSeconds) {
  if (!isRunning()) {
    if (exitStatus_ && *exitStatus_ >= 0) return exitStatus_;
    return std::nullopt;
  }
  ::kill(pid_, signal);
  bool exited = false;
  auto status = waitFor(pid_, timeoutSeconds, &exited);
  if (!exited) {
    ::kill(pid_, SIGKILL);
    waitFor(pid_, 10, &exited);
    exitStatus_ = -1;
    return std::nullopt;
  }
  exitStatus_ = status.value_or(-1);
  return status;
}

std::optional<int> Host::waitForExit(double timeoutSeconds) {
  if (isRunning()) {
    bool exited = false;
    auto status = waitFor(pid_, timeoutSeconds, &exited);
    if (!exited) return std::nullopt;
    exitStatus_ = status.value_or(-1);
  }
  if (exitStatus_ && *exitStatus_ >= 0) return exitStatus_;
  return std::nullopt;
}

std::string Host::log() const {
  std::ifstream in(directory_ / "host.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Host::logLines(const std::string& text) const {
  std::vector<std::string> out;
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) out.push_back(line);
  }
  return out;
}

std::vector<nlohmann::json> PeerRun::withOp(const std::string& op,
                                            const std::string& channel) const {
  std::vector<nlohmann::json> out;
  for (const auto& line : lines) {
    if (line.value("op", "") != op) continue;
    if (!channel.empty() && line.value("channel", "") != channel) continue;
    out.push_back(line);
  }
  return out;
}

namespace {
std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

bool waitForStoredMeasurementEvent(const std::string& database, const std::string& name,
                                   double timeoutSeconds) {
  const std::string command =
      "sqlite3 -batch " + shellQuoted("file:" + database + "?nolock=1&mode=ro") + " " +
      shellQuoted("SELECT count(*) FROM raw_events WHERE name = " + shellQuoted(name)) +
      " 2>/dev/null";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::access(database.c_str(), F_OK) == 0) {
      std::string out;
      if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[64];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
          out.append(buffer, n);
        if (::pclose(pipe) == 0 && !out.empty() && out != "0\n") return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

PeerRun runPeer(const Host& host, const std::vector<nlohmann::json>& commands,
                double timeoutSeconds) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv = {peerExecutable(), "--socket", host.socketPath(),
                                   "--connect-timeout", "10"};
  auto argvPointers = pointers(argv);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argvPointers[0], argvPointers.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  std::string input;
  for (const auto& c : commands)
    input += c.dump() + "\n";
  // Small scripts fit the pipe; write everything, then close so the peer sees the end.
  std::size_t written = 0;
  while (written < input.size()) {
    ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(in[1]);

  std::string stdoutText, stderrText;
  auto deadline = Clock::now() + std::chrono::milliseconds(int(timeoutSeconds * 1000));
  bool outOpen = true, errOpen = true;
  while ((outOpen || errOpen) && Clock::now() < deadline) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (::poll(fds, 2, 50) <= 0) continue;
    char chunk[4096];
    if (outOpen && fds[0].revents) {
      ssize_t n = ::read(out[0], chunk, sizeof chunk);
      if (n <= 0)
        outOpen = false;
      else
        stdoutText.append(chunk, n);
    }
    if (errOpen && fds[1].revents) {
      ssize_t n = ::read(err[0], chunk, sizeof chunk);
      if (n <= 0)
        errOpen = false;
      else
        stderrText.append(chunk, n);
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  PeerRun run;
  bool exited = false;
  auto status = waitFor(pid, outOpen ? 0 : 10, &exited);
  if (!exited) {
    ::kill(pid, SIGKILL);
    waitFor(pid, 10, &exited);
    stderrText += "\n(lumora-peer timed out and was killed)";
  }
  run.exitCode = status.value_or(-1);
  run.errors = stderrText;
  std::istringstream lines(stdoutText);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    try {
      run.lines.push_back(nlohmann::json::parse(line));
    } catch (const std::exception&) {
      run.lines.push_back(nlohmann::json{{"op", "unparsable"}, {"text", line}});
    }
  }
  return run;
}

namespace {

nlohmann::json parseLine(const std::string& line) {
  try {
    return nlohmann::json::parse(line);
  } catch (const std::exception&) {
    return nlohmann::json{{"op", "unparsable"}, {"text", line}};
  }
}

}  // namespace

PeerSession::PeerSession(const Host& host) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv = {peerExecutable(), "--socket", host.socketPath(),
                                   "--connect-timeout", "10"};
  auto argvPointers = pointers(argv);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argvPointers[0], argvPointers.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (pid_ < 0) throw std::runtime_error("fork failed");
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

PeerSession::~PeerSession() {
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid_ > 0) {
    bool exited = false;
    waitFor(pid_, 0, &exited);
    if (!exited) {
      ::kill(pid_, SIGKILL);
      waitFor(pid_, 10, &exited);
    }
  }
}

bool PeerSession::write(const nlohmann::json& command) {
  if (in_ < 0) return false;
  const std::string text = command.dump() + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(in_, text.data() + written, text.size() - written);
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool PeerSession::pump(int waitMs) {
  if (out_ < 0 && err_ < 0) return false;
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, waitMs) <= 0) return true;
  char chunk[4096];
  if (out_ >= 0 && fds[0].revents) {
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
    } else {
      pending_.append(chunk, n);
      for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty()) run_.lines.push_back(parseLine(line));
      }
    }
  }
  if (err_ >= 0 && fds[1].revents) {
    ssize_t n = ::read(err_, chunk, sizeof chunk);
    if (n <= 0) {
      ::close(err_);
      err_ = -1;
    } else {
      run_.errors.append(chunk, n);
    }
  }
  return true;
}

std::optional<nlohmann::json>
PeerSession::readUntil(const std::function<bool(const nlohmann::json&)>& matches,
                       double timeoutSeconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(int(timeoutSeconds * 1000));
  for (;;) {
    taken_.resize(run_.lines.size(), false);
    for (std::size_t i = 0; i < run_.lines.size(); ++i) {
      if (!taken_[i] && matches(run_.lines[i])) {
        taken_[i] = true;
        return run_.lines[i];
      }
    }
    if (Clock::now() >= deadline || !pump(50)) return std::nullopt;
  }
}

std::optional<nlohmann::json> PeerSession::readOp(const std::string& op, const std::string& channel,
                                                  double timeoutSeconds) {
  return readUntil(
      [&](const nlohmann::json& line) {
        return line.value("op", "") == op &&
               (channel.empty() || line.value("channel", "") == channel);
      },
      timeoutSeconds);
}

PeerRun PeerSession::finish(double timeoutSeconds) {
  if (in_ >= 0) {
    ::close(in_);
    in_ = -1;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(int(timeoutSeconds * 1000));
  while (Clock::now() < deadline && pump(50)) {
  }
  if (!pending_.empty()) {
    run_.lines.push_back(parseLine(pending_));
    pending_.clear();
  }
  bool exited = false;
  auto status = waitFor(pid_, out_ < 0 ? 10 : 0, &exited);
  if (!exited) {
    ::kill(pid_, SIGKILL);
    waitFor(pid_, 10, &exited);
    run_.errors += "\n(lumora-peer timed out and was killed)";
  }
  pid_ = -1;
  run_.exitCode = status.value_or(-1);
  return run_;
}

}  // namespace lumora::e2e
