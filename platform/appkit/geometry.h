// Rectangles and sizes in screen points, origin at the bottom left. Plain value types.
#pragma once

#include <algorithm>

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
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  bool containsPoint(Point p) const {
    return p.x >= origin.x && p.x < maxX() && p.y >= origin.y && p.y < maxY();
  }
  // Area shared with `other` (0 when they do not overlap).
  double intersectionArea(const Rect& other) const {
    double w = std::min(maxX(), other.maxX()) - std::max(origin.x, other.origin.x);
    double h = std::min(maxY(), other.maxY()) - std::max(origin.y, other.origin.y);
    return (w > 0 && h > 0) ? w * h : 0;
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace platform
