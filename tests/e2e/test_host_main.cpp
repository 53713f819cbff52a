// Process entry of lumora-test-host: the host plus the test-only plugin, which is registered
// right after the generated registrations under the key "LumoraTestPlugin". With
// LUMORA_TEST_MEDIA=scripted the host plays media through the scripted double; otherwise through
// GStreamer, as the product host does. With LUMORA_TEST_ANALYTICS=off the app registry finds an
// analytics class that starts nothing: analytics asks the installations component for the
// identifier at start and again at every change, and the installations tests count only the
// requests they cause themselves.
#include <cstdlib>
#include <memory>

#include "platform/foundation/class_registry.h"
#include "platform/foundation/process_info.h"
#include "platform/media_gstreamer/gstreamer_media.h"
#include "runner/main_flutter_window.h"
#include "runner/main_interface.h"
#include "tests/fakes/ads_channel.h"
#include "tests/fakes/lumora_test_plugin.h"
#include "tests/fakes/media_channel.h"
#include "tests/fakes/webkit_channel.h"
#include "zevevidi/core/fir_configuration.h"

namespace {

class InertAnalytics : public DIDErizevizoClass {
 public:
  void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration>, FIROptionsPtr) override {}
};

}  // namespace

int main(int argc, char** argv) {
  // Registered before the host's own analytics class, which then leaves the name alone.
  if (platform::ProcessInfo::processInfo().environmentValue("LUMORA_TEST_ANALYTICS") == "off") {
    platform::ClassRegistry::shared().registerClass<DIDErizevizoClass>(
        kDIDErizevizoClassName, std::make_shared<InertAnalytics>());
  }
  // The scripted attribution-token provider (LUMORA_TEST_ATTRIBUTION_TOKEN).
  lumora::testing::installScriptedAttributionProvider();
  // The scripted media double, when a test asks for it (LUMORA_TEST_MEDIA=scripted).
  lumora::testing::installTestMediaBackend();
  if (!platform::media::defaultMediaFactory())
    platform::media::setDefaultMediaFactory(
        std::make_shared<platform::media::GStreamerMediaFactory>());
  lumora::MainFlutterWindow::setAdditionalRegistrant([](flutter::PluginRegistry& registry) {
    auto registrar = registry.registrarForPlugin("LumoraTestPlugin");
    lumora::testing::LumoraTestPlugin::registerWithRegistrar(registrar);
    lumora::testing::registerWebKitChannel(registrar, registry);
    lumora::testing::registerMediaChannels(registrar, registry);
    lumora::testing::registerAdsChannel(registrar);
  });
  std::exit(lumora::lumoraMain(argc, argv));
}
