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

LinuxNetworkPathMonitor::LinuxNetworkPathMonitor(std::string sysfs) : sysfs_(std::move(sysfs)) {}

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
  return networkPathFromRoutes(currentDefaultRouteInterfaces(), sysfs_);
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
    if (auto self = weak.lock()) self->deliver(self->currentPath(), true);
  });
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!cancelled_) watcher_ = std::move(watcher);
  }
  deliver(currentPath(), false);
}

void LinuxNetworkPathMonitor::cancel() {
  std::unique_ptr<RouteChangeWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    cancelled_ = true;
    watcher = std::move(watcher_);
  }
}

void LinuxNetworkPathMonitor::deliver(const NetworkPath& path, bool onlyIfChanged) {
  UpdateHandler handler;
  QueuePtr queue;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelled_ || !started_) return;
    if (onlyIfChanged && lastDelivered_ == path) return;
    lastDelivered_ = path;
    handler = handler_;
    queue = queue_;
  }
  if (!handler || !queue) return;
  std::weak_ptr<LinuxNetworkPathMonitor> weak = weak_from_this();
  queue->async([weak, handler, path] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      if (self->cancelled_) return;
    }
    handler(path);
  });
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
