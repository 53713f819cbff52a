// Process entry of lumora-test-host: the host plus the test-only plugin, which is registered
// right after the generated registrations under the key "LumoraTestPlugin". With
// LUMORA_TEST_MEDIA=scripted the host plays media through the scripted double; otherwise through
// GStreamer, as the product host does.
#include <cstdlib>
#include <memory>

#include "platform/media_gstreamer/gstreamer_media.h"
#include "runner/main_flutter_window.h"
#include "runner/main_interface.h"
#include "tests/fakes/lumora_test_plugin.h"
#include "tests/fakes/media_channel.h"
#include "tests/fakes/webkit_channel.h"

int main(int argc, char** argv) {
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
  });
  std::exit(lumora::lumoraMain(argc, argv));
}
