// The network path: whether the machine can reach the network and over which kinds of interface.
// Stands in for the platform's path monitor.
//
// A NetworkPathMonitor knows the current path from the moment it exists, calls its update
// handler on its queue once started (first with the path it starts with) and again whenever the
// path changes, and stops calling after cancel. Made by NetworkPathMonitor::create(), which tests
// replace. Thread-safe; the update handler runs on the queue given to start.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/net/routes.h"

namespace platform {

struct NetworkPath {
  bool satisfied = false;
  // Kinds of the interfaces the path uses, each once, in the order found.
  std::vector<InterfaceKind> interfaceKinds;
  bool usesInterfaceType(InterfaceKind kind) const;
  friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

// The path the routing rule gives: satisfied exactly when a usable default route exists (as for
// host reachability); the interfaces are those routes' interfaces, their kinds read under `sysfs`.
NetworkPath networkPathFromRoutes(const std::vector<std::string>& defaultRouteInterfaces,
                                  const std::string& sysfs);

class NetworkPathMonitor {
 public:
  using UpdateHandler = std::function<void(const NetworkPath&)>;

  virtual ~NetworkPathMonitor() = default;
  virtual void setPathUpdateHandler(UpdateHandler handler) = 0;
  virtual void start(QueuePtr queue) = 0;
  virtual void cancel() = 0;
  virtual NetworkPath currentPath() const = 0;

  using Factory = std::function<std::shared_ptr<NetworkPathMonitor>()>;
  static std::shared_ptr<NetworkPathMonitor> create();
  // Replaces what create() makes (null restores the Linux default).
  static void setFactory(Factory factory);
};

// The Linux default: the kernel's routes and sysfs, changes from rtnetlink (shared with host
// reachability's watcher). The handler hears only of paths that differ from the last it heard,
// one call at a time and in the order the changes were seen, also on a concurrent queue (so the
// last call always carries the latest state).
class LinuxNetworkPathMonitor : public NetworkPathMonitor,
                                public std::enable_shared_from_this<LinuxNetworkPathMonitor> {
 public:
  // Interfaces with a usable default route; currentDefaultRouteInterfaces unless tests say.
  using RouteSource = std::function<std::vector<std::string>()>;

  explicit LinuxNetworkPathMonitor(std::string sysfs = "/sys", RouteSource routes = nullptr);
  ~LinuxNetworkPathMonitor() override;
  void setPathUpdateHandler(UpdateHandler handler) override;
  void start(QueuePtr queue) override;
  void cancel() override;
  NetworkPath currentPath() const override;

  // The kernel reported a change (the watcher calls this; tests stand in for the kernel).
  void routesChanged() { deliver(true); }

 private:
  // Reads the path now and, unless it is the one last delivered (`onlyIfChanged`), queues it.
  void deliver(bool onlyIfChanged);
  void drain();

  const std::string sysfs_;
  const RouteSource routes_;
  mutable std::mutex mutex_;  // guards everything below; never held while calling out
  UpdateHandler handler_;
  QueuePtr queue_;
  bool started_ = false;
  bool cancelled_ = false;
  std::optional<NetworkPath> lastDelivered_;
  std::deque<NetworkPath> pending_;  // paths to hand to the handler, oldest first
  bool draining_ = false;            // a drain task is queued or running
  std::unique_ptr<RouteChangeWatcher> watcher_;
};

// A scriptable monitor: tests push paths.
class NetworkPathMonitorTestDouble : public NetworkPathMonitor {
 public:
  void setPathUpdateHandler(UpdateHandler handler) override;
  void start(QueuePtr queue) override;
  void cancel() override;
  NetworkPath currentPath() const override;

  // Sets the path and, while started, delivers it.
  void push(NetworkPath path);
  bool isStarted() const;
  int starts() const;

 private:
  mutable std::mutex mutex_;
  NetworkPath path_;
  UpdateHandler handler_;
  QueuePtr queue_;
  bool started_ = false;
  int starts_ = 0;
};

}  // namespace platform
