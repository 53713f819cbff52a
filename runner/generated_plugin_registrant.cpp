#include "runner/generated_plugin_registrant.h"

#include "platform/log/log.h"
#include "platform/media/media.h"
#include "plugins/desktop/connectivity_plus_plugin.h"
#include "plugins/desktop/fpp_package_info_plus_plugin.h"
#include "plugins/desktop/screen_retriever_macos_plugin.h"
#include "plugins/desktop/url_launcher_plugin.h"
#include "plugins/desktop/wakelock_plus_macos_plugin.h"
#include "plugins/shared_preferences_foundation/shared_preferences_plugin.h"
#include "plugins/sqflite/sqflite_plugin.h"
#include "plugins/video_player/video_player_plugin.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"
#include "plugins/window_manager/window_manager_plugin.h"
#include "plugins/zevevidi_analytics/zevevidi_analytics_plugin.h"
#include "plugins/zevevidi_core/flt_zevevidi_core_plugin.h"
#include "runner/fvp_plugin.h"

// One include per registered plugin, in table order.

namespace lumora {

std::vector<PluginRegistration> generatedPluginTable() {
  // Keep the rows in position order; a plugin's row is added when its plugin exists.
  static const std::vector<PluginRegistration> table = {
      {1, "ConnectivityPlusPlugin", &ConnectivityPlusPlugin::registerWith},
      {2, "ZevevidiAnalyticsPlugin", &ZevevidiAnalyticsPlugin::registerWith},
      {3, "FLTZevevidiCorePlugin", &FLTZevevidiCorePlugin::registerWithRegistrar},
      {4, "FvpPlugin", &FvpPlugin::registerWithRegistrar},
      {5, "FPPPackageInfoPlusPlugin", &FPPPackageInfoPlusPlugin::registerWithRegistrar},
      {6, "ScreenRetrieverMacosPlugin", &ScreenRetrieverMacosPlugin::registerWith},
      {7, "SharedPreferencesPlugin", &shared_preferences::SharedPreferencesPlugin::registerWith},
      {8, "SqflitePlugin", &sqflite::SqflitePlugin::registerWithRegistrar},
      {9, "UrlLauncherPlugin", &UrlLauncherPlugin::registerWith},
      {10, "VideoPlayerPlugin", &video_player::VideoPlayerPlugin::registerWith},
      {11, "WakelockPlusMacosPlugin", &WakelockPlusMacosPlugin::registerWith},
      {12, "WebViewFlutterPlugin", &webview::WebViewFlutterPlugin::registerWith},
      {13, "WindowManagerPlugin", &window_manager::WindowManagerPlugin::registerWith},
  };
  // The video player plays through the process's media backend; without one its row is left
  // out (the host installs its backend before registration).
  const bool hasMedia = platform::media::defaultMediaFactory() != nullptr;
  std::vector<PluginRegistration> rows;
  for (const auto& row : table) {
    if (row.position == 10 && !hasMedia) continue;
    rows.push_back(row);
  }
  return rows;
}

void RegisterGeneratedPlugins(flutter::PluginRegistry& registry) {
  static const auto log = platform::Log::cached("com.lumora.runner", "registration");
  for (const auto& row : generatedPluginTable()) {
    // The registrar is released as soon as the entry returns; the engine keeps what it needs.
    row.registerWith(registry.registrarForPlugin(row.key));
    log->notice("registered plugin " + std::to_string(row.position) + " " + row.key);
  }
}

}  // namespace lumora
