// The workspace: opens URLs with the desktop's preferred application and names the application
// that would open one. Stands in for the platform's workspace.
//
// Workspace::shared() is the process's implementation (by default XdgWorkspace), replaceable for
// tests. Both operations answer through `done` on the main queue; callers may ask from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/url.h"

namespace platform {

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Opens `url`; `done` gets whether the desktop opened it.
  virtual void openURL(const URL& url, std::function<void(bool opened)> done) = 0;
  // `done` gets the file URL of the application (its .desktop file) that would open `url`.
  virtual void
  urlForApplicationToOpenURL(const URL& url,
                             std::function<void(std::optional<URL> application)> done) = 0;

  static std::shared_ptr<Workspace> shared();
  // Installs `workspace` as shared() (null restores the default).
  static void setShared(std::shared_ptr<Workspace> workspace);
};

// The Linux default: the desktop's standard opener `xdg-open <url>` and
// `xdg-mime query default x-scheme-handler/<scheme>` (for a file URL, the default application of
// its type from `xdg-mime query filetype <path>`), the answer looked up as a .desktop file under
// the XDG data directories. The tools run as child processes without a shell, found on PATH,
// waited for on a thread of their own for at most `timeoutSeconds`: an opener still running then
// counts as opened (it is left to finish), a query as no application (it is stopped).
class XdgWorkspace : public Workspace {
 public:
  explicit XdgWorkspace(double timeoutSeconds = 5);
  void openURL(const URL& url, std::function<void(bool opened)> done) override;
  void
  urlForApplicationToOpenURL(const URL& url,
                             std::function<void(std::optional<URL> application)> done) override;

 private:
  double timeout_;
};

// A recording stand-in with scripted answers.
class WorkspaceTestDouble : public Workspace {
 public:
  void openURL(const URL& url, std::function<void(bool opened)> done) override;
  void
  urlForApplicationToOpenURL(const URL& url,
                             std::function<void(std::optional<URL> application)> done) override;

  void setOpens(bool opens);
  void setApplication(std::optional<URL> application);
  std::vector<std::string> opened() const;   // URL texts handed to openURL, in order
  std::vector<std::string> queried() const;  // URL texts asked about, in order

 private:
  mutable std::mutex mutex_;
  bool opens_ = true;
  std::optional<URL> application_;
  std::vector<std::string> opened_;
  std::vector<std::string> queried_;
};

// Runs `argv` without a shell, standard input from /dev/null, and waits at most `timeoutSeconds`.
// argv[0] is looked up on the PATH of the process's environment snapshot (foundation's
// Environment), which is also the child's environment; a program not found is not started.
// Blocks the calling thread: call it off the main loop.
struct ChildProcessResult {
  bool started = false;
  bool finished = false;  // false: still running at the deadline
  int exitStatus = -1;    // when finished normally
  std::string output;     // standard output, when asked for
};
ChildProcessResult runChildProcess(const std::vector<std::string>& argv, double timeoutSeconds,
                                   bool captureOutput, bool stopAtDeadline);

}  // namespace platform
