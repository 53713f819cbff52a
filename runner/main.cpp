// Process entry of the host.
#include <cstdlib>
#include <memory>

#include "platform/media_gstreamer/gstreamer_media.h"
#include "platform/webkit_gtk/webkit_gtk_engine.h"
#include "runner/main_interface.h"

int main(int argc, char** argv) {
  // Media plays through GStreamer (installed before the plugins register, so the video player
  // joins).
  platform::media::setDefaultMediaFactory(
      std::make_shared<platform::media::GStreamerMediaFactory>());
  // Web views render with WebKitGTK where there is a display; otherwise the simulated engine
  // answers the same calls (both logged).
  platform::webkit::installWebKitGtkEngineWhereDisplayed();
  std::exit(lumora::lumoraMain(argc, argv));
}
