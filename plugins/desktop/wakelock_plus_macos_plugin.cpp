#include "plugins/desktop/wakelock_plus_macos_plugin.h"

#include "platform/engine/channels.h"

namespace {

constexpr const char* kReason = "Disabling display sleep";

}  // namespace

void WakelockPlusMacosPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto channel =
      flutter::MethodChannel::methodChannelWithName("wakelock_plus_macos", registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<WakelockPlusMacosPlugin>(), channel);
}

void WakelockPlusMacosPlugin::handleMethodCall(const flutter::MethodCall& call,
                                               flutter::MethodResult result) {
  if (call.method == "enabled") return result(wakelockEnabled_);
  if (call.method != "toggle") return result(flutter::MethodNotImplemented);
  const platform::Value* enable = call.arguments.find(platform::Value("enable"));
  if (!enable || !enable->isBool()) {
    return result(flutter::Error::errorWithCode("invalid-arguments",
                                                "toggle: argument \"enable\" must be a boolean"));
  }
  toggles_.push_back(Toggle{enable->asBool(), std::move(result)});
  settleNext();
}

void WakelockPlusMacosPlugin::settleNext() {
  while (!inFlight_ && !toggles_.empty()) {
    Toggle toggle = std::move(toggles_.front());
    toggles_.pop_front();
    if (!toggle.enable) {
      if (wakelockEnabled_) {
        platform::PowerAssertions::shared()->release(assertionID_);
        wakelockEnabled_ = false;
      }
      toggle.result(true);
      continue;
    }
    if (wakelockEnabled_) {
      toggle.result(true);
      continue;
    }
    inFlight_ = true;
    std::weak_ptr<WakelockPlusMacosPlugin> weak = weak_from_this();
    platform::PowerAssertions::shared()->create(
        platform::kPowerAssertionNoDisplaySleep, platform::kPowerAssertionLevelOn, kReason,
        [weak, result = std::move(toggle.result)](int status, platform::PowerAssertionID id) {
          auto self = weak.lock();
          if (!self) {
            // The plugin is gone (engine shut down): give the assertion back.
            if (status == platform::kPowerAssertionSuccess) {
              platform::PowerAssertions::shared()->release(id);
            }
            return result(true);
          }
          self->inFlight_ = false;
          if (status == platform::kPowerAssertionSuccess) {
            self->assertionID_ = id;
            self->wakelockEnabled_ = true;
          }
          result(true);
          self->settleNext();
        });
  }
}
