// The displays of the simulated window server. Stands in for the platform's screen class and
// the global mouse location. Frames are in global points with the origin at the bottom left of
// the first screen; the visible frame leaves out the menu bar (and a dock, when one is set).
//
// The default layout is one 1920x1080 screen, number 1, named "Simulated Display", whose top 25
// points are the menu bar. Replacing the layout posts kApplicationDidChangeScreenParameters
// Notification on the default notification centre. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/appkit/geometry.h"

namespace platform {

inline constexpr const char* kApplicationDidChangeScreenParametersNotification =
    "ApplicationDidChangeScreenParametersNotification";

struct Screen {
  Rect frame;
  Rect visibleFrame;
  std::int64_t number = 0;
  std::string localizedName;
  double backingScaleFactor = 1;

  // Every screen, the first at the origin of global coordinates.
  static const std::vector<Screen>& screens();
  // The screen holding the key window, else the first screen; null with no screen at all.
  static const Screen* mainScreen();
  // The screen `rect` overlaps most, else null.
  static const Screen* screenForRect(const Rect& rect);

  // Replaces the layout and posts the screen-parameters notification.
  static void setScreens(std::vector<Screen> screens);
  // The default single-display layout.
  static std::vector<Screen> defaultScreens();

  friend bool operator==(const Screen&, const Screen&) = default;
};

// The mouse pointer in global coordinates (bottom-left origin).
Point mouseLocation();
void setMouseLocation(Point location);

}  // namespace platform
