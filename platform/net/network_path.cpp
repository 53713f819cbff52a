#include "platform/net/network_path.h"

#include <algorithm>

namespace platform {

namespace {

std::mutex g_factoryMutex;
NetworkPathMonitor::Factory g_factory;

}  // namespace

bool NetworkPath::usesInterfaceType(InterfaceKind kind) const {
  return std::find(interfaceKinds.begin(), interfaceKinds.end(), kind) != interfaceKinds.end();
}

NetworkPath networkPathFromRoutes(const std::vector<std::string>& defaultRouteInterfaces,
                                  const std::string& sysfs) {
  NetworkPath path;
  path.satisfied = !defaultRouteInterfaces.empty();
  for (const auto& name : defaultRouteInterfaces) {
    InterfaceKind kind = interfaceKind(sysfs, name);
    if (!path.usesInterfaceType(kind)) path.interfaceKinds.push_back(kind);
  }
  return path;
}

std::shared_ptr<NetworkPathMonitor> NetworkPathMonitor::create() {
  Factory factory;
  {
    std::lock_guard<std::mutex> guard(g_factoryMutex);
    factory = g_factory;
  }
  if (factory) return factory();
  return std::make_shared<LinuxNetworkPathMonitor>();
}

void NetworkPathMonitor::setFactory(Factory factory) {
  std::lock_guard<std::mutex> guard(g_factoryMutex);
  g_factory = std::move(factory);
}

LinuxNetworkPathMonitor::LinuxNetworkPathMonitor(std::string sysfs, RouteSource routes)
    : sysfs_(std::move(sysfs)),
      routes_(routes ? std::move(routes) : RouteSource(currentDefaultRouteInterfaces)) {}

LinuxNetworkPathMonitor::~LinuxNetworkPathMonitor() {
  // Stop the watcher outside the lock: its last call may be waiting for the lock.
  std::unique_ptr<RouteChangeWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    watcher = std::move(watcher_);
  }
}

NetworkPath LinuxNetworkPathMonitor::currentPath() const {
  // Always the kernel's state now, also before the first update was delivered.
  return networkPathFromRoutes(routes_(), sysfs_);
}

void LinuxNetworkPathMonitor::setPathUpdateHandler(UpdateHandler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

void LinuxNetworkPathMonitor::start(QueuePtr queue) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (started_ || cancelled_ || !queue) return;
    started_ = true;
    queue_ = std::move(queue);
  }
  std::weak_ptr<LinuxNetworkPathMonitor> weak = weak_from_this();
  auto watcher = std::make_unique<RouteChangeWatcher>([weak] {
    if (auto self = weak.lock()) self->routesChanged();
  });
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!cancelled_) watcher_ = std::move(watcher);
  }
  deliver(false);
}

void LinuxNetworkPathMonitor::cancel() {
  std::unique_ptr<RouteChangeWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    cancelled_ = true;
    pending_.clear();
    watcher = std::move(watcher_);
  }
}

void LinuxNetworkPathMonitor::deliver(bool onlyIfChanged) {
  QueuePtr queue;
  {
    // Reading and queueing under one lock keeps the queue in the order of the readings, so a
    // reading taken before a change never lands after the change's.
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelled_ || !started_ || !queue_) return;
    NetworkPath path = currentPath();
    if (onlyIfChanged && lastDelivered_ == path) return;
    lastDelivered_ = path;
    pending_.push_back(std::move(path));
    if (draining_) return;  // the running drain takes it
    draining_ = true;
    queue = queue_;
  }
  std::weak_ptr<LinuxNetworkPathMonitor> weak = weak_from_this();
  queue->async([weak] {
    if (auto self = weak.lock()) self->drain();
  });
}

void LinuxNetworkPathMonitor::drain() {
  // One drain at a time hands the paths over in order, even on a concurrent queue.
  for (;;) {
    NetworkPath path;
    UpdateHandler handler;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (cancelled_ || pending_.empty()) {
        pending_.clear();
        draining_ = false;
        return;
      }
      path = std::move(pending_.front());
      pending_.pop_front();
      handler = handler_;
    }
    if (handler) handler(path);
  }
}

void NetworkPathMonitorTestDouble::setPathUpdateHandler(UpdateHandler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

void NetworkPathMonitorTestDouble::start(QueuePtr queue) {
  NetworkPath path;
  UpdateHandler handler;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (started_) return;
    started_ = true;
    ++starts_;
    queue_ = std::move(queue);
    path = path_;
    handler = handler_;
  }
  if (handler && queue_) queue_->async([handler, path] { handler(path); });
}

void NetworkPathMonitorTestDouble::cancel() {
  std::lock_guard<std::mutex> guard(mutex_);
  started_ = false;
}

NetworkPath NetworkPathMonitorTestDouble::currentPath() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return path_;
}

void NetworkPathMonitorTestDouble::push(NetworkPath path) {
  UpdateHandler handler;
  QueuePtr queue;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    path_ = path;
    if (!started_) return;
    handler = handler_;
    queue = queue_;
  }
  if (handler && queue) queue->async([handler, path] { handler(path); });
}

bool NetworkPathMonitorTestDouble::isStarted() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return started_;
}

int NetworkPathMonitorTestDouble::starts() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return starts_;
}

}  // namespace platform
