#include "tests/fakes/media_channel.h"

#include <stdexcept>

#include "platform/appkit/layer.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine.h"
#include "platform/engine/view_controller.h"
#include "platform/foundation/process_info.h"
#include "platform/media/pixel_buffer.h"
#include "platform/media/scripted_media.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {

namespace {

using platform::Value;
namespace media = platform::media;

const Value& argument(const flutter::MethodCall& call, const char* key) {
  static const Value null;
  if (auto map = call.arguments.ifMap()) {
    if (auto it = map->find(Value(key)); it != map->end()) return it->second;
  }
  return null;
}

std::string stringArgument(const flutter::MethodCall& call, const char* key) {
  const auto& v = argument(call, key);
  if (!v.isString()) throw std::invalid_argument(std::string("missing string \"") + key + "\"");
  return v.asString();
}

class MediaChannel : public flutter::Plugin {
 public:
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    auto factory =
        std::dynamic_pointer_cast<media::ScriptedMediaFactory>(media::defaultMediaFactory());
    if (!factory) {
      return result(flutter::Error::errorWithCode(
          "no-scripted-media", "the host runs without the scripted media double"));
    }
    answerTestCall(result, [&] { return handle(*factory, call); });
  }

 private:
  static Value handle(media::ScriptedMediaFactory& factory, const flutter::MethodCall& call) {
    if (call.method == "script") {
      if (!call.arguments.isMap()) throw std::invalid_argument("missing map of the medium");
      factory.script(stringArgument(call, "uri"),
                     media::ScriptedMedium::fromValue(call.arguments.asMap()));
      return true;
    }
    if (call.method == "setStatus") {
      auto status = stringArgument(call, "status");
      if (status != "ready" && status != "failed")
        throw std::invalid_argument("\"status\" must be \"ready\" or \"failed\"");
      return factory.setStatus(stringArgument(call, "uri"), status == "ready"
                                                                ? media::ItemStatus::ReadyToPlay
                                                                : media::ItemStatus::Failed);
    }
    if (call.method == "playToEnd") return factory.playToEnd(stringArgument(call, "uri"));
    if (call.method == "setBuffering") {
      const auto& likely = argument(call, "likelyToKeepUp");
      if (!likely.isBool()) throw std::invalid_argument("missing boolean \"likelyToKeepUp\"");
      platform::ValueMap script{{Value("loadedRanges"), argument(call, "loadedRanges")}};
      auto ranges = media::ScriptedMedium::fromValue(script).loadedRangesMs;
      return factory.setBuffering(stringArgument(call, "uri"), likely.asBool(), ranges);
    }
    if (call.method == "completeSeeks") return factory.completeSeeks(stringArgument(call, "uri"));
    if (call.method == "asked") return factory.asked(stringArgument(call, "uri"));
    throw std::out_of_range(call.method);
  }
};

class EngineChannel : public flutter::Plugin {
 public:
  explicit EngineChannel(flutter::Engine* engine) : engine_(engine) {}
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] { return handle(call); });
  }

 private:
  Value handle(const flutter::MethodCall& call) {
    if (call.method == "describePlatformView") return describePlatformView(call);
    if (call.method != "textureStats") throw std::out_of_range(call.method);
    const auto& id = argument(call, "textureId");
    if (!id.isInt()) throw std::invalid_argument("missing integer \"textureId\"");
    if (!engine_) throw std::invalid_argument("the registry is not the engine");
    auto frame =
        std::dynamic_pointer_cast<media::PixelBuffer>(engine_->latestFrameOfTexture(id.asInt()));
    Value width, height, firstPixel;
    if (frame) {
      width = static_cast<std::int64_t>(frame->width());
      height = static_cast<std::int64_t>(frame->height());
      if (frame->width() > 0 && frame->height() > 0) {
        const auto* p = frame->baseAddress();
        firstPixel = Value::list(
            {std::int64_t{p[0]}, std::int64_t{p[1]}, std::int64_t{p[2]}, std::int64_t{p[3]}});
      }
    }
    return Value::map({{"registered", engine_->isTextureRegistered(id.asInt())},
                       {"framesPulled", engine_->framesPulledFromTexture(id.asInt())},
                       {"width", width},
                       {"height", height},
                       {"firstPixel", firstPixel}});
  }
  // {"viewClass", "layerClass", "uri"} of a live platform view: the view's and its layer's
  // classes and the URI of the medium its player layer shows (null when it shows none).
  Value describePlatformView(const flutter::MethodCall& call) {
    const auto& id = argument(call, "id");
    if (!id.isInt()) throw std::invalid_argument("missing integer \"id\"");
    if (!engine_) throw std::invalid_argument("the registry is not the engine");
    auto view = engine_->platformViewWithId(id.asInt());
    if (!view) throw std::invalid_argument("no platform view " + std::to_string(id.asInt()));
    auto layer = view->layer();
    Value uri;
    if (auto playerLayer = std::dynamic_pointer_cast<platform::PlayerLayer>(layer)) {
      auto player = std::dynamic_pointer_cast<media::Player>(playerLayer->player());
      auto item = player ? player->currentItem() : nullptr;
      if (item && item->asset()) uri = item->asset()->url();
    }
    return Value::map(
        {{"viewClass", view->className()}, {"layerClass", layer->className()}, {"uri", uri}});
  }
  flutter::Engine* engine_;
};

}  // namespace

void installTestMediaBackend() {
  auto value = platform::ProcessInfo::processInfo().environmentValue(kTestMediaVariable);
  if (value == "scripted")
    media::setDefaultMediaFactory(std::make_shared<media::ScriptedMediaFactory>());
}

void registerMediaChannels(const flutter::PluginRegistrarPtr& registrar,
                           flutter::PluginRegistry& registry) {
  auto messenger = registrar->messenger();
  registrar->addMethodCallDelegate(
      std::make_shared<MediaChannel>(),
      flutter::MethodChannel::methodChannelWithName("lumora_test/media", messenger));
  // The registry is the view controller in the host (the engine itself in tests).
  flutter::Engine* engine = dynamic_cast<flutter::Engine*>(&registry);
  if (auto* controller = dynamic_cast<flutter::ViewController*>(&registry))
    engine = controller->engine().get();
  registrar->addMethodCallDelegate(
      std::make_shared<EngineChannel>(engine),
      flutter::MethodChannel::methodChannelWithName("lumora_test/engine", messenger));
}

}  // namespace lumora::testing
