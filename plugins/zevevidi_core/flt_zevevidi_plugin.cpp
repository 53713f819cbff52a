#include "plugins/zevevidi_core/flt_zevevidi_plugin.h"

#include <atomic>

#include "platform/core/error.h"

std::string FLTZevevidiPlugin::zevevidiAppNameFromDartName(const std::string& name) {
  return name == kFLTZevevidiDefaultAppNameDart ? kFIRDefaultAppName : name;
}

std::string FLTZevevidiPlugin::zevevidiAppNameFromIosName(const std::string& name) {
  return name == kFIRDefaultAppName ? kFLTZevevidiDefaultAppNameDart : name;
}

FIRAppPtr FLTZevevidiPlugin::zevevidiAppNamed(const std::string& dartName) {
  auto apps = FIRApp::allApps();
  if (!apps) return nullptr;
  auto it = apps->find(zevevidiAppNameFromDartName(dartName));
  return it == apps->end() ? nullptr : it->second;
}

flutter::Error FLTZevevidiPlugin::createFlutterErrorFromCode(
    const std::string& code, const std::optional<std::string>& message,
    const std::optional<platform::ValueMap>& details, const platform::ErrorPtr& error) {
  platform::ValueMap all = details.value_or(platform::ValueMap{});
  if (error) {
    all[platform::Value("nativeErrorCode")] = platform::Value(std::to_string(error->code));
    all[platform::Value("nativeErrorMessage")] = platform::Value(error->localizedDescription());
  }
  return flutter::Error{code, message, platform::Value(std::move(all))};
}

FLTZevevidiPluginRegistry& FLTZevevidiPluginRegistry::sharedInstance() {
  static auto* registry = new FLTZevevidiPluginRegistry();
  return *registry;
}

void FLTZevevidiPluginRegistry::registerZevevidiPlugin(const FLTZevevidiPluginPtr& plugin) {
  if (!plugin) return;
  std::lock_guard<std::mutex> lock(mutex_);
  registeredPlugins_[plugin->flutterChannelName()] = plugin;
}

std::map<std::string, FLTZevevidiPluginPtr> FLTZevevidiPluginRegistry::registeredPlugins() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registeredPlugins_;
}

void FLTZevevidiPluginRegistry::resetForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  registeredPlugins_.clear();
}

platform::ValueMap FLTZevevidiPluginRegistry::pluginConstantsForFIRApp(const FIRAppPtr& app) {
  platform::ValueMap constants;
  for (const auto& [channel, plugin] : registeredPlugins()) {
    constants[platform::Value(channel)] = platform::Value(plugin->pluginConstantsForFIRApp(app));
  }
  return constants;
}

void FLTZevevidiPluginRegistry::didReinitializeZevevidiCore(std::function<void()> completion) {
  auto plugins = registeredPlugins();
  if (plugins.empty()) {
    if (completion) completion();
    return;
  }
  struct Count {
    std::atomic<std::size_t> finished{0};
    std::size_t total = 0;
    std::function<void()> completion;
  };
  auto count = std::make_shared<Count>();
  count->total = plugins.size();
  count->completion = std::move(completion);
  for (const auto& [channel, plugin] : plugins) {
    plugin->didReinitializeZevevidiCore([count] {
      if (++count->finished == count->total && count->completion) count->completion();
    });
  }
}
