#include "plugins/desktop/connectivity_plus_plugin.h"

using platform::InterfaceKind;
using platform::Value;

std::vector<ConnectivityType> connectivityTypesForPath(const platform::NetworkPath& path) {
  std::vector<ConnectivityType> types;
  if (path.satisfied) {
    // The loopback kind is not asked about.
    const std::pair<InterfaceKind, ConnectivityType> order[] = {
        {InterfaceKind::Wifi, ConnectivityType::wifi},
        {InterfaceKind::Cellular, ConnectivityType::cellular},
        {InterfaceKind::WiredEthernet, ConnectivityType::wiredEthernet},
        {InterfaceKind::Other, ConnectivityType::other},
    };
    for (const auto& [kind, type] : order) {
      if (path.usesInterfaceType(kind)) types.push_back(type);
    }
  }
  if (types.empty()) types.push_back(ConnectivityType::none);
  return types;
}

const char* connectivityStatusName(ConnectivityType type) {
  switch (type) {
  case ConnectivityType::none:
    return "none";
  case ConnectivityType::wiredEthernet:
    return "ethernet";
  case ConnectivityType::wifi:
    return "wifi";
  case ConnectivityType::cellular:
    return "mobile";
  case ConnectivityType::other:
    return "other";
  }
  return "none";
}

namespace {

Value statusNames(const std::vector<ConnectivityType>& types) {
  Value names = Value::emptyList();
  for (auto type : types)
    names.asList().push_back(connectivityStatusName(type));
  return names;
}

}  // namespace

std::shared_ptr<PathMonitorConnectivityProvider> PathMonitorConnectivityProvider::create() {
  std::shared_ptr<PathMonitorConnectivityProvider> provider(new PathMonitorConnectivityProvider());
  // A monitor runs from creation on.
  provider->ensurePathMonitor();
  return provider;
}

std::shared_ptr<platform::NetworkPathMonitor> PathMonitorConnectivityProvider::ensurePathMonitor() {
  if (pathMonitor_) return pathMonitor_;
  auto monitor = platform::NetworkPathMonitor::create();
  std::weak_ptr<PathMonitorConnectivityProvider> weak = weak_from_this();
  // The handler goes in before the monitor starts, so its first path is not lost.
  monitor->setPathUpdateHandler([weak](const platform::NetworkPath& path) {
    auto self = weak.lock();
    if (!self) return;
    UpdateHandler handler;
    {
      std::lock_guard<std::mutex> guard(self->handlerMutex_);
      handler = self->handler_;
    }
    if (handler) handler(connectivityTypesForPath(path));
  });
  monitor->start(queue_);
  pathMonitor_ = monitor;
  return monitor;
}

std::vector<ConnectivityType> PathMonitorConnectivityProvider::currentConnectivityTypes() {
  return connectivityTypesForPath(ensurePathMonitor()->currentPath());
}

void PathMonitorConnectivityProvider::setConnectivityUpdateHandler(UpdateHandler handler) {
  std::lock_guard<std::mutex> guard(handlerMutex_);
  handler_ = std::move(handler);
}

void PathMonitorConnectivityProvider::start() {
  ensurePathMonitor();
}

void PathMonitorConnectivityProvider::stop() {
  if (!pathMonitor_) return;
  pathMonitor_->cancel();
  pathMonitor_.reset();
}

void ConnectivityPlusPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto messenger = registrar->messenger();
  auto channel = flutter::MethodChannel::methodChannelWithName(
      "dev.dovecresthalyard.plus/connectivity", messenger);
  flutter::EventChannel events("dev.dovecresthalyard.plus/connectivity_status", messenger);
  auto plugin = create(PathMonitorConnectivityProvider::create());
  events.setStreamHandler(plugin);
  registrar->addMethodCallDelegate(plugin, channel);
}

std::shared_ptr<ConnectivityPlusPlugin>
ConnectivityPlusPlugin::create(std::shared_ptr<ConnectivityProvider> provider) {
  std::shared_ptr<ConnectivityPlusPlugin> plugin(new ConnectivityPlusPlugin(provider));
  // The engine's channels own the plugin; the provider only reaches it while it lives, so the two
  // do not keep each other alive past the engine.
  std::weak_ptr<ConnectivityPlusPlugin> weak = plugin;
  provider->setConnectivityUpdateHandler([weak](const std::vector<ConnectivityType>& types) {
    if (auto self = weak.lock()) self->connectivityUpdateHandler(types);
  });
  return plugin;
}

void ConnectivityPlusPlugin::connectivityUpdateHandler(const std::vector<ConnectivityType>& types) {
  std::weak_ptr<ConnectivityPlusPlugin> weak = weak_from_this();
  platform::mainQueue()->async([weak, types] {
    auto self = weak.lock();
    if (self && self->eventSink_) self->eventSink_(statusNames(types));
  });
}

void ConnectivityPlusPlugin::handleMethodCall(const flutter::MethodCall& call,
                                              flutter::MethodResult result) {
  if (call.method != "check") return result(flutter::MethodNotImplemented);
  result(statusNames(provider_->currentConnectivityTypes()));
}

std::optional<flutter::Error>
ConnectivityPlusPlugin::onListenWithArguments(const Value&, flutter::EventSink events) {
  eventSink_ = std::move(events);
  provider_->start();
  connectivityUpdateHandler(provider_->currentConnectivityTypes());
  return std::nullopt;
}

std::optional<flutter::Error> ConnectivityPlusPlugin::onCancelWithArguments(const Value&) {
  provider_->stop();
  eventSink_ = nullptr;
  return std::nullopt;
}
