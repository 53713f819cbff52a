// Plugin registration: the registry (the view controller) hands each plugin a registrar under
// the plugin's key; through it the plugin reaches the messenger, the texture registry, the
// engine's view, platform-view registration, asset keys, and publishes a value other plugins
// may look up by key. Registration and every call here happen on the main thread.
//
// Ownership: the engine keeps registrars, published values, method-call delegates and view
// factories for its lifetime; a plugin keeps only what it needs from the registrar.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/appkit/view.h"
#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/method_codec.h"
#include "platform/engine/platform_view.h"
#include "platform/engine/texture_registry.h"

namespace flutter {

class MethodChannel;

// A plugin that answers a method channel (addMethodCallDelegate). Main loop.
class Plugin {
 public:
  virtual ~Plugin() = default;
  virtual void handleMethodCall(const MethodCall& call, MethodResult result) = 0;
  // The call as the channel decoded it, handed over: a plugin whose calls carry large arguments
  // overrides this to move them out instead of copying. By default it is answered as above.
  virtual void handleMethodCallTakingCall(MethodCall&& call, MethodResult result) {
    handleMethodCall(call, std::move(result));
  }
};
using PluginPtr = std::shared_ptr<Plugin>;

class PluginRegistrar {
 public:
  virtual ~PluginRegistrar() = default;

  virtual std::shared_ptr<BinaryMessenger> messenger() const = 0;
  virtual TextureRegistryPtr textures() const = 0;
  // The engine's view; null when the engine runs without a view.
  virtual platform::ViewPtr view() const = 0;
  // Makes `delegate` the handler of `channel` (calls reach delegate->handleMethodCall).
  virtual void addMethodCallDelegate(PluginPtr delegate,
                                     const std::shared_ptr<MethodChannel>& channel) = 0;
  virtual void registerViewFactory(PlatformViewFactoryPtr factory,
                                   const std::string& factoryId) = 0;
  // Makes `value` available to valuePublishedByPlugin under this registrar's key.
  virtual void publish(platform::ObjectPtr value) = 0;
  // The key of an asset in the application bundle.
  virtual std::string lookupKeyForAsset(const std::string& asset) const = 0;
  virtual std::string lookupKeyForAsset(const std::string& asset,
                                        const std::string& package) const = 0;
};
using PluginRegistrarPtr = std::shared_ptr<PluginRegistrar>;

class PluginRegistry {
 public:
  virtual ~PluginRegistry() = default;
  // The registrar for the plugin `pluginKey`. A key is given out once; asking again for the same
  // key is a programming error (reported) and returns the first registrar.
  virtual PluginRegistrarPtr registrarForPlugin(const std::string& pluginKey) = 0;
  // What the plugin `pluginKey` published, or null.
  virtual platform::ObjectPtr valuePublishedByPlugin(const std::string& pluginKey) const = 0;
};

}  // namespace flutter
