// The network path: whether the machine can reach the network and over which kinds of interface.
// Stands in for the platform's path monitor.
//
// A NetworkPathMonitor knows the current path from the moment it exists, calls its update
// handler on its queue once started (first with the path it starts with) and again whenever the
// path changes, and stops calling after cancel. Made by NetworkPathMonitor::create(), which tests
// replace. Thread-safe; the update handler runs on the queue given to start.
#pragma once

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
// reachability's watcher). The handler hears only of paths that differ from the last it heard.
class LinuxNetworkPathMonitor : public NetworkPathMonitor,
                                public std::enable_shared_from_this<LinuxNetworkPathMonitor> {
 public:
  explicit LinuxNetworkPathMonitor(std::string sysfs = "/sys");
  ~LinuxNetworkPathMonitor() override;
  void setPathUpdateHandler(UpdateHandler handler) override;
  void start(QueuePtr queue) override;
  void cancel() override;
  NetworkPath currentPath() const override;

 private:
  void deliver(const NetworkPath& path, bool onlyIfChanged);

  const std::string sysfs_;
  mutable std::mutex mutex_;  // guards everything below; never held while calling out
  UpdateHandler handler_;
  QueuePtr queue_;
  bool started_ = false;
  bool cancelled_ = false;
  std::optional<NetworkPath> lastDelivered_;
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
