// The registration entry of the separate video framework that the host links. Nothing beyond
// the call is required of it: it records that it was called (and logs it). Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

class FvpPlugin {
 public:
  static void registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar);
  // How many times the entry has been called in this process.
  static int registrationCount();
};
