#include "platform/appkit/screen.h"

#include "platform/appkit/application.h"
#include "platform/foundation/notification_center.h"

namespace platform {

namespace {

struct ServerState {
  std::vector<Screen> screens = Screen::defaultScreens();
  Point mouse{960, 540};
};

ServerState& state() {
  static ServerState* s = new ServerState();
  return *s;
}

}  // namespace

std::vector<Screen> Screen::defaultScreens() {
  Screen screen;
  screen.frame = Rect::make(0, 0, 1920, 1080);
  // The menu bar takes the top 25 points.
  screen.visibleFrame = Rect::make(0, 0, 1920, 1055);
  screen.number = 1;
  screen.localizedName = "Simulated Display";
  return {screen};
}

const std::vector<Screen>& Screen::screens() {
  return state().screens;
}

const Screen* Screen::screenForRect(const Rect& rect) {
  const Screen* best = nullptr;
  double bestArea = 0;
  for (const auto& screen : state().screens) {
    double area = screen.frame.intersectionArea(rect);
    if (area > bestArea) {
      bestArea = area;
      best = &screen;
    }
  }
  return best;
}

const Screen* Screen::mainScreen() {
  const auto& all = state().screens;
  if (all.empty()) return nullptr;
  if (auto key = Application::shared().keyWindow()) {
    if (const Screen* screen = screenForRect(key->frame())) return screen;
  }
  return &all.front();
}

void Screen::setScreens(std::vector<Screen> screens) {
  state().screens = std::move(screens);
  NotificationCenter::defaultCenter().postNotificationName(
      kApplicationDidChangeScreenParametersNotification, &Application::shared());
}

Point mouseLocation() {
  return state().mouse;
}

void setMouseLocation(Point location) {
  state().mouse = location;
}

}  // namespace platform
