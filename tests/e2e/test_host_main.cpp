// Process entry of lumora-test-host: the host plus the test-only plugin, which is registered
// right after the generated registrations under the key "LumoraTestPlugin".
#include <cstdlib>

#include "runner/main_flutter_window.h"
#include "runner/main_interface.h"
#include "tests/fakes/lumora_test_plugin.h"
#include "tests/fakes/webkit_channel.h"

int main(int argc, char** argv) {
  lumora::MainFlutterWindow::setAdditionalRegistrant([](flutter::PluginRegistry& registry) {
    auto registrar = registry.registrarForPlugin("LumoraTestPlugin");
    lumora::testing::LumoraTestPlugin::registerWithRegistrar(registrar);
    lumora::testing::registerWebKitChannel(registrar, registry);
  });
  std::exit(lumora::lumoraMain(argc, argv));
}
