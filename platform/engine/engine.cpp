#include "platform/engine/engine.h"

#include <map>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/sequence_checker.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine_log.h"
#include "platform/engine/peer_connection.h"
#include "platform/engine/reply_once.h"

namespace flutter {

namespace {

// Textures and the frame thread that pulls their pixel buffers.
class FrameTextureRegistry : public TextureRegistry,
                             public std::enable_shared_from_this<FrameTextureRegistry> {
 public:
  FrameTextureRegistry() : frames_(platform::makeSerialQueue("io.lumora.engine.frames")) {}

  std::int64_t registerTexture(std::shared_ptr<Texture> texture) override {
    if (!LUMORA_CHECK(texture != nullptr, "registerTexture: no texture")) return 0;
    std::lock_guard<std::mutex> guard(mutex_);
    std::int64_t id = nextId_++;
    entries_[id].texture = std::move(texture);
    return id;
  }

  void textureFrameAvailable(std::int64_t textureId) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = entries_.find(textureId);
      // Notices arriving while a pull is already queued fold into that pull.
      if (it == entries_.end() || it->second.pullQueued) return;
      it->second.pullQueued = true;
    }
    std::weak_ptr<FrameTextureRegistry> weak = weak_from_this();
    frames_->async([weak, textureId] {
      if (auto self = weak.lock()) self->pull(textureId);
    });
  }

  void unregisterTexture(std::int64_t textureId) override {
    std::shared_ptr<Texture> texture;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = entries_.find(textureId);
      if (it == entries_.end()) return;
      texture = std::move(it->second.texture);
      entries_.erase(it);
    }
    // Queued behind any pull in progress, so the texture hears of it after its last frame.
    frames_->async([texture] {
      try {
        texture->onTextureUnregistered(*texture);
      } catch (const std::exception& e) {
        engineLog(std::string("texture unregistration callback failed: ") + e.what());
      } catch (...) {
        engineLog("texture unregistration callback failed");
      }
    });
  }

  PixelBufferPtr latestFrame(std::int64_t textureId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(textureId);
    return it == entries_.end() ? nullptr : it->second.latest;
  }

  bool contains(std::int64_t textureId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.count(textureId) != 0;
  }

  std::int64_t framesPulled(std::int64_t textureId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(textureId);
    return it == entries_.end() ? 0 : it->second.pulled;
  }

  void clear() {
    std::map<std::int64_t, Entry> entries;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      entries.swap(entries_);
    }
  }

 private:
  struct Entry {
    std::shared_ptr<Texture> texture;
    PixelBufferPtr latest;
    std::int64_t pulled = 0;
    bool pullQueued = false;
  };

  void pull(std::int64_t textureId) {
    std::shared_ptr<Texture> texture;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = entries_.find(textureId);
      if (it == entries_.end()) return;
      it->second.pullQueued = false;
      texture = it->second.texture;
    }
    PixelBufferPtr frame;
    try {
      frame = texture->copyPixelBuffer();
    } catch (const std::exception& e) {
      engineLog(std::string("copyPixelBuffer failed: ") + e.what());
      return;
    } catch (...) {
      engineLog("copyPixelBuffer failed");
      return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(textureId);
    if (it == entries_.end()) return;
    ++it->second.pulled;
    if (frame) it->second.latest = std::move(frame);
  }

  platform::QueuePtr frames_;
  mutable std::mutex mutex_;
  std::map<std::int64_t, Entry> entries_;
  std::int64_t nextId_ = 1;
};

class EngineRegistrar : public PluginRegistrar {
 public:
  EngineRegistrar(std::weak_ptr<Engine> engine, std::string key)
      : engine_(std::move(engine)), key_(std::move(key)) {}

  std::shared_ptr<BinaryMessenger> messenger() const override { return engine_.lock(); }
  TextureRegistryPtr textures() const override {
    auto engine = engine_.lock();
    return engine ? engine->textures() : nullptr;
  }
  platform::ViewPtr view() const override {
    LUMORA_CHECK_SEQUENCE(mainThread_);
    auto engine = engine_.lock();
    return engine ? engine->view() : nullptr;
  }
  void addMethodCallDelegate(PluginPtr delegate,
                             const std::shared_ptr<MethodChannel>& channel) override {
    LUMORA_CHECK_SEQUENCE(mainThread_);
    if (!LUMORA_CHECK(delegate && channel, "addMethodCallDelegate: missing delegate or channel")) {
      return;
    }
    channel->setOwningMethodCallHandler([delegate](MethodCall&& call, MethodResult result) {
      delegate->handleMethodCallTakingCall(std::move(call), std::move(result));
    });
  }
  void registerViewFactory(PlatformViewFactoryPtr factory, const std::string& factoryId) override {
    LUMORA_CHECK_SEQUENCE(mainThread_);
    if (auto engine = engine_.lock()) engine->registerViewFactory(std::move(factory), factoryId);
  }
  void publish(platform::ObjectPtr value) override;
  std::string lookupKeyForAsset(const std::string& asset) const override {
    return DartProject::lookupKeyForAsset(asset);
  }
  std::string lookupKeyForAsset(const std::string& asset,
                                const std::string& package) const override {
    return DartProject::lookupKeyForAsset(asset, package);
  }

 private:
  std::weak_ptr<Engine> engine_;
  std::string key_;
  platform::SequenceChecker mainThread_{platform::SequenceChecker::kMainThread};
};

}  // namespace

struct Engine::Impl {
  explicit Impl(DartProject p) : project(std::move(p)) {}

  DartProject project;
  mutable std::mutex mutex;
  std::map<std::string, std::shared_ptr<const BinaryMessageHandler>> handlers;
  std::shared_ptr<ApplicationEndpoint> endpoint;
  std::map<std::string, PluginRegistrarPtr> registrars;
  std::map<std::string, platform::ObjectPtr> published;
  std::map<std::string, PlatformViewFactoryPtr> viewFactories;
  std::map<std::int64_t, platform::ViewPtr> platformViews;
  platform::ViewPtr view;
  std::shared_ptr<FrameTextureRegistry> textures = std::make_shared<FrameTextureRegistry>();
  std::shared_ptr<PeerConnection> peer;
  // The registry side (registrars, published values, view factories, the view) is main-thread
  // only; messaging is thread-safe.
  platform::SequenceChecker mainThread{platform::SequenceChecker::kMainThread};
};

void EngineRegistrar::publish(platform::ObjectPtr value) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto engine = engine_.lock();
  if (!engine) return;
  engine->publishValue(key_, std::move(value));
}

Engine::Engine(DartProject project) : impl_(std::make_unique<Impl>(std::move(project))) {}

Engine::~Engine() {
  shutDown();
}

std::shared_ptr<Engine> Engine::create(DartProject project) {
  std::shared_ptr<Engine> engine(new Engine(std::move(project)));
  engine->installPlatformViewChannel();
  return engine;
}

bool Engine::run() {
  const std::string& path = impl_->project.engineSocketPath();
  if (path.empty()) return true;
  std::weak_ptr<Engine> weak = weak_from_this();
  auto peer = std::make_shared<PeerConnection>(
      path, [weak](std::string channel, platform::Bytes message, BinaryReply reply) {
        if (auto engine = weak.lock()) {
          engine->dispatchFromApplication(std::move(channel), std::move(message), std::move(reply));
        } else {
          reply({});
        }
      });
  if (!peer->start()) return false;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->peer = peer;
    impl_->endpoint = peer;
  }
  engineLog("listening on " + path);
  return true;
}

void Engine::shutDown() {
  std::shared_ptr<PeerConnection> peer;
  std::map<std::string, std::shared_ptr<const BinaryMessageHandler>> handlers;
  std::map<std::string, PluginRegistrarPtr> registrars;
  std::map<std::string, platform::ObjectPtr> published;
  std::map<std::string, PlatformViewFactoryPtr> factories;
  std::map<std::int64_t, platform::ViewPtr> views;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    peer = std::move(impl_->peer);
    impl_->endpoint.reset();
    // Handlers capture plugin objects, which may hold the messenger: dropping them here breaks
    // those ownership cycles.
    handlers.swap(impl_->handlers);
    registrars.swap(impl_->registrars);
    published.swap(impl_->published);
    factories.swap(impl_->viewFactories);
    views.swap(impl_->platformViews);
  }
  if (peer) peer->stop();
  impl_->textures->clear();
  // The maps are destroyed here, outside the lock: destructors may call back into the engine.
}

void Engine::sendOnChannel(const std::string& channel, const platform::Bytes& message,
                           BinaryReply callback) {
  // Replies reach the caller on the main loop, exactly once.
  BinaryReply onMain = [callback](const platform::Bytes& reply) {
    if (!callback) return;
    platform::MainLoop::instance().post([callback, reply] {
      try {
        callback(reply);
      } catch (const std::exception& e) {
        engineLog(std::string("reply callback threw: ") + e.what());
      } catch (...) {
        engineLog("reply callback threw");
      }
    });
  };
  auto once = std::make_shared<ReplyOnce>(channel, std::move(onMain));
  std::shared_ptr<ApplicationEndpoint> endpoint;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    endpoint = impl_->endpoint;
  }
  if (!endpoint || !endpoint->deliverToApplication(channel, message, ReplyOnce::wrap(once))) {
    once->reply({});
  }
}

void Engine::setMessageHandlerOnChannel(const std::string& channel, BinaryMessageHandler handler) {
  std::shared_ptr<const BinaryMessageHandler> previous;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    auto it = impl_->handlers.find(channel);
    if (it != impl_->handlers.end()) {
      previous = std::move(it->second);
      impl_->handlers.erase(it);
    }
    if (handler) {
      impl_->handlers[channel] = std::make_shared<const BinaryMessageHandler>(std::move(handler));
    }
  }
  // `previous` is released outside the lock: its captures may call back into the engine.
}

void Engine::dispatchFromApplication(std::string channel, platform::Bytes message,
                                     BinaryReply reply) {
  auto once = std::make_shared<ReplyOnce>(channel, std::move(reply));
  std::weak_ptr<Engine> weak = weak_from_this();
  platform::MainLoop::instance().post(
      [weak, channel = std::move(channel), message = std::move(message), once] {
        auto engine = weak.lock();
        std::shared_ptr<const BinaryMessageHandler> handler;
        if (engine) {
          std::lock_guard<std::mutex> guard(engine->impl_->mutex);
          auto it = engine->impl_->handlers.find(channel);
          if (it != engine->impl_->handlers.end()) handler = it->second;
        }
        if (!handler) {
          once->reply({});
          return;
        }
        try {
          (*handler)(message, ReplyOnce::wrap(once));
        } catch (const std::exception& e) {
          engineLog("handler on channel \"" + channel + "\" threw: " + e.what());
          if (!once->hasReplied()) once->reply({});
        } catch (...) {
          engineLog("handler on channel \"" + channel + "\" threw");
          if (!once->hasReplied()) once->reply({});
        }
      });
}

void Engine::setApplicationEndpoint(std::shared_ptr<ApplicationEndpoint> endpoint) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->endpoint = std::move(endpoint);
}

PluginRegistrarPtr Engine::registrarForPlugin(const std::string& pluginKey) {
  LUMORA_CHECK_SEQUENCE(impl_->mainThread);
  std::lock_guard<std::mutex> guard(impl_->mutex);
  auto it = impl_->registrars.find(pluginKey);
  if (it != impl_->registrars.end()) {
    platform::assertionFailure(__FILE__, __LINE__,
                               "registrarForPlugin: key \"" + pluginKey + "\" already in use");
    return it->second;
  }
  auto registrar = std::make_shared<EngineRegistrar>(weak_from_this(), pluginKey);
  impl_->registrars[pluginKey] = registrar;
  return registrar;
}

platform::ObjectPtr Engine::valuePublishedByPlugin(const std::string& pluginKey) const {
  LUMORA_CHECK_SEQUENCE(impl_->mainThread);
  std::lock_guard<std::mutex> guard(impl_->mutex);
  auto it = impl_->published.find(pluginKey);
  return it == impl_->published.end() ? nullptr : it->second;
}

void Engine::publishValue(const std::string& pluginKey, platform::ObjectPtr value) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->published[pluginKey] = std::move(value);
}

TextureRegistryPtr Engine::textures() const {
  return impl_->textures;
}

PixelBufferPtr Engine::latestFrameOfTexture(std::int64_t textureId) const {
  return impl_->textures->latestFrame(textureId);
}

std::int64_t Engine::framesPulledFromTexture(std::int64_t textureId) const {
  return impl_->textures->framesPulled(textureId);
}

bool Engine::isTextureRegistered(std::int64_t textureId) const {
  return impl_->textures->contains(textureId);
}

void Engine::registerViewFactory(PlatformViewFactoryPtr factory, const std::string& factoryId) {
  LUMORA_CHECK_SEQUENCE(impl_->mainThread);
  if (!LUMORA_CHECK(factory != nullptr, "registerViewFactory: no factory")) return;
  std::lock_guard<std::mutex> guard(impl_->mutex);
  if (impl_->viewFactories.count(factoryId)) {
    platform::assertionFailure(__FILE__, __LINE__,
                               "registerViewFactory: \"" + factoryId + "\" already registered");
    return;
  }
  impl_->viewFactories[factoryId] = std::move(factory);
}

platform::ViewPtr Engine::platformViewWithId(std::int64_t viewId) const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  auto it = impl_->platformViews.find(viewId);
  return it == impl_->platformViews.end() ? nullptr : it->second;
}

platform::ViewPtr Engine::view() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->view;
}

void Engine::setView(platform::ViewPtr view) {
  LUMORA_CHECK_SEQUENCE(impl_->mainThread);
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->view = std::move(view);
}

const DartProject& Engine::project() const {
  return impl_->project;
}

bool Engine::isPeerConnected() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->peer && impl_->peer->isConnected();
}

void Engine::installPlatformViewChannel() {
  std::weak_ptr<Engine> weak = weak_from_this();
  // The messenger is held weakly by the handler through `weak`; the channel handle is temporary.
  MethodChannel channel("flutter/platform_views", shared_from_this());
  channel.setMethodCallHandler([weak](const MethodCall& call, MethodResult result) {
    auto engine = weak.lock();
    if (!engine) return result(MethodNotImplemented);
    engine->handlePlatformViewCall(call, std::move(result));
  });
}

void Engine::handlePlatformViewCall(const MethodCall& call, MethodResult result) {
  auto invalid = [&](const std::string& key) {
    result(Error{"invalid-arguments", "missing or invalid argument \"" + key + "\"", {}});
  };
  if (call.method == "create") {
    const platform::Value* id = call.arguments.find("id");
    const platform::Value* viewType = call.arguments.find("viewType");
    if (!id || !id->isInt()) return invalid("id");
    if (!viewType || !viewType->isString()) return invalid("viewType");
    const platform::Value* params = call.arguments.find("params");
    PlatformViewFactoryPtr factory;
    {
      std::lock_guard<std::mutex> guard(impl_->mutex);
      auto it = impl_->viewFactories.find(viewType->asString());
      if (it != impl_->viewFactories.end()) factory = it->second;
      if (impl_->platformViews.count(id->asInt())) {
        return result(Error{"recreating_view",
                            "a view with id " + std::to_string(id->asInt()) + " already exists",
                            {}});
      }
    }
    if (!factory) {
      return result(Error{"unregistered_view_type",
                          "no view factory registered for \"" + viewType->asString() + "\"",
                          {}});
    }
    platform::Value arguments;
    if (auto codec = factory->createArgsCodec(); codec && params && params->isBytes()) {
      std::string error;
      auto decoded = codec->decode(params->asBytes(), &error);
      if (!decoded) return invalid("params");
      arguments = std::move(*decoded);
    }
    platform::ViewPtr view = factory->createWithViewIdentifier(id->asInt(), arguments);
    {
      std::lock_guard<std::mutex> guard(impl_->mutex);
      impl_->platformViews[id->asInt()] = view;
    }
    return result(platform::Value());
  }
  if (call.method == "dispose") {
    const platform::Value& id = call.arguments;
    if (!id.isInt()) return invalid("id");
    std::lock_guard<std::mutex> guard(impl_->mutex);
    if (!impl_->platformViews.erase(id.asInt())) {
      return result(Error{"unknown_view", "no view with id " + std::to_string(id.asInt()), {}});
    }
    return result(platform::Value());
  }
  result(MethodNotImplemented);
}

}  // namespace flutter
