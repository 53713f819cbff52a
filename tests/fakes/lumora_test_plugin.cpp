#include "tests/fakes/lumora_test_plugin.h"

#include <atomic>
#include <stdexcept>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/channels.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "tests/fakes/lumora_test_installations.h"
#include "tests/fakes/store_channel.h"
#include "tests/fakes/window_server_channel.h"

namespace lumora::testing {

namespace {

constexpr const char* kPackage = "lumora_test";
constexpr const char* kHostApi = "LumoraTestHostApi";

class TestState : public flutter::StreamHandler, public flutter::Plugin {
 public:
  void noteThread() {
    if (!platform::MainLoop::isMainThread()) ++offMain;
  }

  std::optional<flutter::Error> onListenWithArguments(const platform::Value&,
                                                      flutter::EventSink events) override {
    noteThread();
    sink = std::move(events);
    return std::nullopt;
  }
  std::optional<flutter::Error> onCancelWithArguments(const platform::Value&) override {
    noteThread();
    sink = nullptr;
    return std::nullopt;
  }
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    noteThread();
    if (call.method == "ping") return result(platform::Value("pong"));
    result(flutter::MethodNotImplemented);
  }

  std::atomic<int> offMain{0};
  flutter::EventSink sink;
};

}  // namespace

void LumoraTestPlugin::registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar) {
  auto messenger = registrar->messenger();
  auto state = std::make_shared<TestState>();
  auto codec = flutter::StandardMessageCodec::sharedInstance();
  auto setUp = [&](const char* method, pigeon::MethodHandler handler) {
    pigeon::setUpMethod(messenger, codec, pigeon::channelName(kPackage, kHostApi, method), method,
                        [state, handler](const pigeon::Arguments& a, pigeon::Responder r) {
                          state->noteThread();
                          handler(a, std::move(r));
                        });
  };
  setUp("voidMethod", [](const pigeon::Arguments&, pigeon::Responder r) { r.success(); });
  setUp("throwingMethod", [](const pigeon::Arguments&, pigeon::Responder) {
    throw std::runtime_error("thrown by the test plugin");
  });
  setUp("echoString",
        [](const pigeon::Arguments& a, pigeon::Responder r) { r.success(a.string(0)); });
  setUp("handlersOnMainThread", [state](const pigeon::Arguments&, pigeon::Responder r) {
    r.success(state->offMain.load() == 0);
  });
  setUp("emitEvents", [state](const pigeon::Arguments& a, pigeon::Responder r) {
    std::int64_t count = a.integer(0);
    std::int64_t sent = 0;
    for (std::int64_t i = 0; state->sink && i < count; ++i, ++sent) {
      state->sink(platform::Value("event " + std::to_string(i)));
    }
    r.success(sent);
  });
  std::weak_ptr<flutter::BinaryMessenger> weakMessenger = messenger;
  setUp("askApplication", [weakMessenger, codec](const pigeon::Arguments& a, pigeon::Responder r) {
    pigeon::callApplication(weakMessenger.lock(), codec,
                            pigeon::channelName(kPackage, "LumoraTestFlutterApi", "ask"),
                            {a.string(0)}, true, [r](pigeon::CallResult result) {
                              if (result.isSuccess()) return r.success(result.value);
                              r.failure(*result.error);
                            });
  });

  setUpInstallationsMethods(messenger, codec);

  flutter::EventChannel("lumora_test/events", messenger).setStreamHandler(state);
  registrar->addMethodCallDelegate(
      state, flutter::MethodChannel::methodChannelWithName("lumora_test/methods", messenger));
  registerWindowServerChannel(registrar);
  registerStoreChannel(registrar);
}

}  // namespace lumora::testing
