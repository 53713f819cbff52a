#include "platform/appkit/workspace.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/dispatch/pending_work.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"

namespace platform {

namespace {

std::mutex g_sharedMutex;
std::shared_ptr<Workspace> g_shared;

using SteadyClock = std::chrono::steady_clock;

// Reaps a child left running past its deadline once it ends, so no zombie stays behind.
void reapLater(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// The .desktop file `name` under the XDG data directories, as a file URL.
std::optional<URL> desktopFile(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  auto& info = ProcessInfo::processInfo();
  std::vector<std::string> roots;
  auto home = info.environmentValue("XDG_DATA_HOME");
  if (home && !home->empty()) {
    roots.push_back(*home);
  } else if (auto h = info.environmentValue("HOME"); h && !h->empty()) {
    roots.push_back(*h + "/.local/share");
  }
  auto dirs = info.environmentValue("XDG_DATA_DIRS");
  std::string list = (dirs && !dirs->empty()) ? *dirs : "/usr/local/share:/usr/share";
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) roots.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  for (const auto& root : roots) {
    std::error_code ec;
    std::filesystem::path file = std::filesystem::path(root) / "applications" / name;
    if (std::filesystem::is_regular_file(file, ec)) return URL::fileURLWithPath(file.string());
  }
  return std::nullopt;
}

// `name` found on the snapshot's PATH (a name holding "/" is taken as it is); empty when no
// executable file of that name is there.
std::string findExecutable(const std::string& name, const Environment& environment) {
  if (name.find('/') != std::string::npos) return name;
  std::string list = environment.value("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = end > start ? list.substr(start, end - start) : ".";
    std::string candidate = dir + "/" + name;
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return "";
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

}  // namespace

std::shared_ptr<Workspace> Workspace::shared() {
  std::lock_guard<std::mutex> guard(g_sharedMutex);
  if (!g_shared) g_shared = std::make_shared<XdgWorkspace>();
  return g_shared;
}

void Workspace::setShared(std::shared_ptr<Workspace> workspace) {
  std::lock_guard<std::mutex> guard(g_sharedMutex);
  g_shared = std::move(workspace);
}

ChildProcessResult runChildProcess(const std::vector<std::string>& argv, double timeoutSeconds,
                                   bool captureOutput, bool stopAtDeadline) {
  ChildProcessResult result;
  if (argv.empty()) return result;
  // The child sees the process's environment snapshot, and is looked up on its PATH.
  auto environment = Environment::current();
  std::string program = findExecutable(argv[0], *environment);
  if (program.empty()) return result;
  std::vector<std::string> assignments;
  for (const auto& [name, value] : environment->variables())
    assignments.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& a : assignments)
    envp.push_back(a.data());
  envp.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (captureOutput) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (captureOutput) ::close(pipeFds[1]);
  if (spawned != 0) {
    if (captureOutput) ::close(pipeFds[0]);
    return result;
  }
  result.started = true;
  auto deadline = SteadyClock::now() + std::chrono::duration<double>(timeoutSeconds);
  auto remainingMs = [&] {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  };
  if (captureOutput) {
    char buffer[4096];
    while (true) {
      pollfd p{pipeFds[0], POLLIN, 0};
      int ready = ::poll(&p, 1, remainingMs());
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;  // deadline
      ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of output
      if (result.output.size() < 64 * 1024) result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
  }
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      result.finished = true;
      result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
    if (r < 0 && errno != EINTR) return result;
    if (remainingMs() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (stopAtDeadline) ::kill(pid, SIGKILL);
  reapLater(pid);
  return result;
}

XdgWorkspace::XdgWorkspace(double timeoutSeconds) : timeout_(timeoutSeconds) {}

void XdgWorkspace::openURL(const URL& url, std::function<void(bool)> done) {
  auto pending = std::make_shared<PendingWork>();
  globalQueue(QueuePriority::Default)
      ->async([text = url.absoluteString(), timeout = timeout_, done = std::move(done), pending] {
        auto run = runChildProcess({"xdg-open", text}, timeout, false, false);
        // Still running at the deadline: the desktop took the URL and is busy opening it.
        bool opened = run.started && (!run.finished || run.exitStatus == 0);
        mainQueue()->async([done, opened, pending] {
          if (done) done(opened);
          pending->done();
        });
      });
}

void XdgWorkspace::urlForApplicationToOpenURL(const URL& url,
                                              std::function<void(std::optional<URL>)> done) {
  auto pending = std::make_shared<PendingWork>();
  globalQueue(QueuePriority::Default)
      ->async([url, timeout = timeout_, done = std::move(done), pending] {
        auto start = SteadyClock::now();
        auto left = [&] {
          return timeout - std::chrono::duration<double>(SteadyClock::now() - start).count();
        };
        std::optional<URL> application;
        std::string type = "x-scheme-handler/" + url.scheme();
        bool haveType = true;
        if (url.isFileURL()) {
          auto run =
              runChildProcess({"xdg-mime", "query", "filetype", url.path()}, left(), true, true);
          type = firstLine(run.output);
          haveType = run.finished && run.exitStatus == 0 && !type.empty();
        }
        if (haveType && left() > 0) {
          auto run = runChildProcess({"xdg-mime", "query", "default", type}, left(), true, true);
          if (run.finished && run.exitStatus == 0) application = desktopFile(firstLine(run.output));
        }
        mainQueue()->async([done, application, pending] {
          if (done) done(application);
          pending->done();
        });
      });
}

void WorkspaceTestDouble::openURL(const URL& url, std::function<void(bool)> done) {
  bool opens;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    opened_.push_back(url.absoluteString());
    opens = opens_;
  }
  mainQueue()->async([done = std::move(done), opens] { done(opens); });
}

void WorkspaceTestDouble::urlForApplicationToOpenURL(const URL& url,
                                                     std::function<void(std::optional<URL>)> done) {
  std::optional<URL> application;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    queried_.push_back(url.absoluteString());
    application = application_;
  }
  mainQueue()->async([done = std::move(done), application] { done(application); });
}

void WorkspaceTestDouble::setOpens(bool opens) {
  std::lock_guard<std::mutex> guard(mutex_);
  opens_ = opens;
}

void WorkspaceTestDouble::setApplication(std::optional<URL> application) {
  std::lock_guard<std::mutex> guard(mutex_);
  application_ = std::move(application);
}

std::vector<std::string> WorkspaceTestDouble::opened() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return opened_;
}

std::vector<std::string> WorkspaceTestDouble::queried() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return queried_;
}

}  // namespace platform
