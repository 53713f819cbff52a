#include "tests/fakes/webkit_channel.h"

#include <map>
#include <stdexcept>

#include "platform/engine/channels.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {

namespace {

using platform::Value;

class WebKitChannel : public flutter::Plugin {
 public:
  explicit WebKitChannel(std::shared_ptr<webview::ProxyApiRegistrar> registrar)
      : registrar_(std::move(registrar)) {}

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] { return handle(call); });
  }

 private:
  static const Value& argument(const flutter::MethodCall& call, const char* key) {
    static const Value null;
    if (auto map = call.arguments.ifMap()) {
      if (auto it = map->find(Value(key)); it != map->end()) return it->second;
    }
    return null;
  }
  static std::int64_t identifier(const flutter::MethodCall& call) {
    const auto& v = argument(call, "identifier");
    if (!v.isInt()) throw std::invalid_argument("missing integer \"identifier\"");
    return v.asInt();
  }

  Value handle(const flutter::MethodCall& call) {
    auto& manager = registrar_->instanceManager();
    if (call.method == "announce") {
      auto object = std::make_shared<platform::webkit::NativeObject>();
      registrar_->announce(object);
      auto id = manager.identifierWithStrongReference(object);
      if (!id) return Value();  // calls toward the application are ignored: nothing registered
      kept_[*id] = object;
      return Value(*id);
    }
    if (call.method == "dropNative") {
      auto it = kept_.find(identifier(call));
      if (it == kept_.end()) return Value(false);
      auto object = std::move(it->second);
      kept_.erase(it);
      object.reset();  // dies here unless the instance manager still holds it
      return Value(true);
    }
    if (call.method == "ignoreCallsToDart") {
      const auto& flag = argument(call, "flag");
      if (!flag.isBool()) throw std::invalid_argument("missing boolean \"flag\"");
      registrar_->setIgnoreCallsToDart(flag.asBool());
      return Value(true);
    }
    if (call.method == "describe") {
      const auto id = identifier(call);
      auto object = manager.instance(id);
      return Value::map({{"registered", Value(object != nullptr)},
                         {"alive", Value(object != nullptr || kept_.count(id) != 0)},
                         {"heldStrongly", Value(manager.isHeldStrongly(id))},
                         {"keptNatively", Value(kept_.count(id) != 0)},
                         {"className", object ? Value(object->className()) : Value()}});
    }
    throw std::out_of_range(call.method);
  }

  std::shared_ptr<webview::ProxyApiRegistrar> registrar_;
  // The engine's own references, by the identifier the object was announced under.
  std::map<std::int64_t, std::shared_ptr<platform::webkit::NativeObject>> kept_;
};

}  // namespace

void registerWebKitChannel(const flutter::PluginRegistrarPtr& registrar,
                           const flutter::PluginRegistry& registry) {
  auto plugin = std::dynamic_pointer_cast<webview::WebViewFlutterPlugin>(
      registry.valuePublishedByPlugin(webview::WebViewFlutterPlugin::kKey));
  if (!plugin) return;
  registrar->addMethodCallDelegate(
      std::make_shared<WebKitChannel>(plugin->proxyApiRegistrar()),
      flutter::MethodChannel::methodChannelWithName("lumora_test/webkit", registrar->messenger()));
}

}  // namespace lumora::testing
