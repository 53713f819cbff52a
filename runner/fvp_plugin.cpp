#include "runner/fvp_plugin.h"

#include <atomic>

#include "platform/log/log.h"

namespace {
std::atomic<int> g_registrations{0};
}  // namespace

void FvpPlugin::registerWithRegistrar(const flutter::PluginRegistrarPtr& /*registrar*/) {
  ++g_registrations;
  platform::Log::cached("com.lumora.fvp", "plugin")->info("registerWithRegistrar called");
}

int FvpPlugin::registrationCount() {
  return g_registrations.load();
}
