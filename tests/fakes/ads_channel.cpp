#include "tests/fakes/ads_channel.h"

#include <stdexcept>
#include <string>

#include "measurement/reporters/apm_ad_exposure_reporter.h"
#include "measurement/reporters/apm_search_ad_reporter.h"
#include "platform/engine/channels.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/process_info.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {
namespace {

class ScriptedAttribution : public APMAttributionTokenClass {
 public:
  ScriptedAttribution(std::string token, std::optional<std::string> error)
      : token_(std::move(token)), error_(std::move(error)) {}
  std::string attributionTokenWithError(platform::ErrorPtr* error) override {
    if (!error_) return token_;
    *error = std::make_shared<platform::Error>(
        "lumora_test.attribution", 1,
        platform::ValueMap{
            {platform::Value(platform::kLocalizedDescriptionKey), platform::Value(*error_)}});
    return {};
  }

 private:
  const std::string token_;
  const std::optional<std::string> error_;
};

class AdsChannel : public flutter::Plugin {
 public:
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] {
      const std::string* id = call.arguments.ifString();
      if (call.method != "begin" && call.method != "end") throw std::out_of_range(call.method);
      if (!id) throw std::invalid_argument(call.method + ": the argument must be an ad unit id");
      const auto reporter = APMAdExposureReporter::sharedInstance();
      if (call.method == "begin") {
        reporter->beginAdUnitExposure(*id);
      } else {
        reporter->endAdUnitExposure(*id);
      }
      return platform::Value(true);
    });
  }
};

}  // namespace

void installScriptedAttributionProvider() {
  const auto& info = platform::ProcessInfo::processInfo();
  const auto token = info.environmentValue("LUMORA_TEST_ATTRIBUTION_TOKEN");
  if (!token) return;
  platform::ClassRegistry::shared().registerClass<APMAttributionTokenClass>(
      APMAttributionClassName, std::make_shared<ScriptedAttribution>(
                                   *token, info.environmentValue("LUMORA_TEST_ATTRIBUTION_ERROR")));
}

void registerAdsChannel(const flutter::PluginRegistrarPtr& registrar) {
  registrar->addMethodCallDelegate(
      std::make_shared<AdsChannel>(),
      flutter::MethodChannel::methodChannelWithName("lumora_test/ads", registrar->messenger()));
}

}  // namespace lumora::testing
