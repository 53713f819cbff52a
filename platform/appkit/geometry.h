// Rectangles and sizes in screen points, origin at the bottom left. Plain value types.
#pragma once

namespace platform {

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
  Point origin;
  Size size;
  static Rect make(double x, double y, double width, double height) {
    return Rect{{x, y}, {width, height}};
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace platform
