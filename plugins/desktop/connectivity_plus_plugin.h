// The connectivity plugin: "dev.dovecresthalyard.plus/connectivity" answers "check" with the
// kinds of interface the machine reaches the network over ("wifi", "ethernet", "mobile",
// "other", or "none"); "dev.dovecresthalyard.plus/connectivity_status" sends the same list when
// the application listens and on every change of the network path.
//
// The provider watches the path with a NetworkPathMonitor started on the utility queue; its
// update handler is installed before the monitor starts and the monitor knows the kernel's state
// from the start, so the first event and a "check" right after a start or a cancel tell the real
// state. The plugin and its handlers live on the main thread; path updates arrive on the utility
// queue and are re-posted to the main queue.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/engine/channels.h"
#include "platform/engine/plugin_registrar.h"
#include "platform/net/network_path.h"

enum class ConnectivityType { none, wiredEthernet, wifi, cellular, other };

// The list the application sees for `path`.
std::vector<ConnectivityType> connectivityTypesForPath(const platform::NetworkPath& path);
const char* connectivityStatusName(ConnectivityType type);

class ConnectivityProvider {
 public:
  using UpdateHandler = std::function<void(const std::vector<ConnectivityType>&)>;
  virtual ~ConnectivityProvider() = default;
  virtual std::vector<ConnectivityType> currentConnectivityTypes() = 0;
  virtual void setConnectivityUpdateHandler(UpdateHandler handler) = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
};

// Over the network path monitor. Methods on the main thread; the handler is called on the
// utility queue.
class PathMonitorConnectivityProvider
    : public ConnectivityProvider,
      public std::enable_shared_from_this<PathMonitorConnectivityProvider> {
 public:
  static std::shared_ptr<PathMonitorConnectivityProvider> create();

  std::vector<ConnectivityType> currentConnectivityTypes() override;
  void setConnectivityUpdateHandler(UpdateHandler handler) override;
  void start() override;
  void stop() override;

 private:
  PathMonitorConnectivityProvider() = default;
  std::shared_ptr<platform::NetworkPathMonitor> ensurePathMonitor();

  platform::QueuePtr queue_ = platform::globalQueue(platform::QueuePriority::Utility);
  std::shared_ptr<platform::NetworkPathMonitor> pathMonitor_;  // null while stopped
  std::mutex handlerMutex_;                                    // guards handler_
  UpdateHandler handler_;
};

class ConnectivityPlusPlugin : public flutter::Plugin,
                               public flutter::StreamHandler,
                               public std::enable_shared_from_this<ConnectivityPlusPlugin> {
 public:
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);
  // Installs the plugin's update handler on `provider`.
  static std::shared_ptr<ConnectivityPlusPlugin>
  create(std::shared_ptr<ConnectivityProvider> provider);

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;
  std::optional<flutter::Error> onListenWithArguments(const platform::Value& arguments,
                                                      flutter::EventSink events) override;
  std::optional<flutter::Error> onCancelWithArguments(const platform::Value& arguments) override;

 private:
  explicit ConnectivityPlusPlugin(std::shared_ptr<ConnectivityProvider> provider)
      : provider_(std::move(provider)) {}
  // From any thread: sends `types` as one event from the main queue when someone listens then.
  void connectivityUpdateHandler(const std::vector<ConnectivityType>& types);

  std::shared_ptr<ConnectivityProvider> provider_;
  flutter::EventSink eventSink_;
};
