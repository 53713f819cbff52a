// The web view's real engine on Linux: WebKitGTK, shown in a top-level GTK window of its own
// (800x600), since the host has no native main window. GTK and WebKitGTK live on the main
// thread: their signals arrive through GLib's default main context, which the main loop drives.
// GTK's and WebKitGTK's headers stay inside this library.
#pragma once

#include <memory>
#include <string>

#include "platform/webkit/web_engine.h"
#include "platform/webkit/website_data_store.h"

namespace platform::webkit {

// Whether the engine can run in this process, and on what.
struct WebKitGtkStart {
  bool started = false;
  std::string reason;   // why not, when not started
  std::string version;  // "2.50.6"
  std::string display;  // the display GTK opened
};

// Starts GTK on the display named by DISPLAY or WAYLAND_DISPLAY, with GLib's default main context
// run by the main loop. Main thread; once per process (later calls answer the first outcome).
WebKitGtkStart startWebKitGtk();

// The engine factory; only after startWebKitGtk() succeeded.
std::shared_ptr<WebEngineFactory> makeWebKitGtkEngineFactory();

// Cookies and website data of the engine's default data manager (the one every web view of the
// factory uses); only after startWebKitGtk() succeeded. The engine keeps no modification dates:
// fetched records carry none (0), and removal since a date clears what the engine changed in
// the time span from that date to now, except cookies, which the engine cannot clear by time:
// those are dated here (set through us, or reported changed by the engine) and deleted one by one.
std::shared_ptr<WebsiteDataBackend> makeWebKitGtkWebsiteDataBackend();

// The product host's choice at start-up: with a display where GTK starts, installs the factory
// and the default data store's backend, and logs the notice "web view engine: WebKitGTK <version>
// on <display>"; otherwise keeps the simulated engine and records why (simulatedEngineReason),
// which the web view plugin's warning names when it registers. Returns whether the real engine was
// installed. Main thread.
bool installWebKitGtkEngineWhereDisplayed();

}  // namespace platform::webkit
