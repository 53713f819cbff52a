// The "lumora_test/window_server" method channel of lumora-test-host: it plays the person and
// the displays at the simulated window server, and describes what the server shows.
//
//   "setScreens" {"screens": [{"x","y","width","height", "visibleX","visibleY","visibleWidth",
//                "visibleHeight", "number", "name"}]}     replaces the layout -> true
//   "setMouseLocation" {"x","y"}                          -> true
//   "setFrame" {"x","y","width","height"}                 places the main window -> true
//   "click" {"button": "close" | "zoom" | "miniaturize"}  a title-bar button -> true
//   "liveResize" {"x","y","width","height"}               a live resize ending there -> true
//   "drag" {"x","y"}                                      a title-bar drag to that origin -> true
//   "key" / "main" {"value": bool}                        key or main status changes -> true
//   "mouseDown" {"value": bool}                           holds or releases the button -> true
//   "describe"                                            {"window", "dockTile", "application",
//                                                          "screens"}
// Frames are in global points with the origin at the bottom left. Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

void registerWindowServerChannel(const flutter::PluginRegistrarPtr& registrar);

}  // namespace lumora::testing
