// Registration of every plugin with the engine, in one fixed order. Main thread, once, from the
// main window's set-up.
#pragma once

#include <string>
#include <vector>

#include "platform/engine/plugin_registrar.h"

namespace lumora {

// One row of the registration table.
struct PluginRegistration {
  // Position in the full table (1 to 13); rows of plugins not built yet are absent, and the
  // positions of the others do not move.
  int position;
  // The registrar key: the plugin's class name.
  const char* key;
  // The plugin's class-level registration entry.
  void (*registerWith)(const flutter::PluginRegistrarPtr& registrar);
};

// The table, in registration order: the rows of the plugins this process can serve now (the
// video player's needs a media backend, see platform::media::defaultMediaFactory).
std::vector<PluginRegistration> generatedPluginTable();

// For each row in order: asks `registry` for a registrar under the row's key, passes it to the
// row's entry and lets it go; logs "registered plugin <position> <key>" after each.
void RegisterGeneratedPlugins(flutter::PluginRegistry& registry);

}  // namespace lumora
