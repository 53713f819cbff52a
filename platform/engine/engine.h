// The engine stand-in: the in-process binary messenger, the plugin registry with its registrars,
// the texture registry and the platform-view registry, and the link to the application's code
// (the peer socket of the project, or an in-process driver in unit tests).
//
// Created and used on the main thread (handlers run on the main loop); sendOnChannel,
// setMessageHandlerOnChannel, dispatchFromApplication and the texture registry are thread-safe.
// Owned by a shared pointer (the view controller or a test); registrars, channels and plugin
// objects live as long as the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/view.h"
#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/dart_project.h"
#include "platform/engine/plugin_registrar.h"
#include "platform/engine/texture_registry.h"

namespace flutter {

// The application side of the engine: receives host-to-application messages.
class ApplicationEndpoint {
 public:
  virtual ~ApplicationEndpoint() = default;
  // Delivers one message; returns false when no application is connected (the engine then
  // gives the empty reply itself). When it returns true, `reply` will be called exactly once,
  // from any thread.
  virtual bool deliverToApplication(const std::string& channel, const platform::Bytes& message,
                                    BinaryReply reply) = 0;
};

class Engine : public BinaryMessenger,
               public PluginRegistry,
               public std::enable_shared_from_this<Engine> {
 public:
  // Makes an engine; `run` must be called before the peer socket listens.
  static std::shared_ptr<Engine> create(DartProject project = DartProject());
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts listening on the project's engine socket, if it names one. Returns false (logged at
  // error level) when the socket cannot be opened; the engine then serves no peer.
  bool run();
  // Stops the peer connection; pending host-to-application messages get the empty reply.
  void shutDown();

  // BinaryMessenger. Replies to sendOnChannel arrive on the main loop.
  void sendOnChannel(const std::string& channel, const platform::Bytes& message,
                     BinaryReply callback = nullptr) override;
  void setMessageHandlerOnChannel(const std::string& channel,
                                  BinaryMessageHandler handler) override;

  // PluginRegistry.
  PluginRegistrarPtr registrarForPlugin(const std::string& pluginKey) override;
  platform::ObjectPtr valuePublishedByPlugin(const std::string& pluginKey) const override;

  // An application-to-host message: queued to the main loop, handed to the channel's handler
  // (empty reply without one). `reply` is called exactly once, from any thread.
  void dispatchFromApplication(std::string channel, platform::Bytes message, BinaryReply reply);

  // Where host-to-application messages go; null disconnects (messages then get the empty reply).
  void setApplicationEndpoint(std::shared_ptr<ApplicationEndpoint> endpoint);

  TextureRegistryPtr textures() const;
  // The most recent frame pulled from a texture, and how many frames were pulled (tests).
  PixelBufferPtr latestFrameOfTexture(std::int64_t textureId) const;
  std::int64_t framesPulledFromTexture(std::int64_t textureId) const;
  bool isTextureRegistered(std::int64_t textureId) const;

  void registerViewFactory(PlatformViewFactoryPtr factory, const std::string& factoryId);
  // The platform view created under `viewId`, or null.
  platform::ViewPtr platformViewWithId(std::int64_t viewId) const;

  // The view the engine draws into (set by the view controller).
  platform::ViewPtr view() const;
  void setView(platform::ViewPtr view);

  // What a registrar's publish stores for valuePublishedByPlugin.
  void publishValue(const std::string& pluginKey, platform::ObjectPtr value);

  const DartProject& project() const;
  // True when a peer is connected to the engine socket.
  bool isPeerConnected() const;

 private:
  explicit Engine(DartProject project);
  void installPlatformViewChannel();
  void handlePlatformViewCall(const MethodCall& call, MethodResult result);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
using EnginePtr = std::shared_ptr<Engine>;

}  // namespace flutter
