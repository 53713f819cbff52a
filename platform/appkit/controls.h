// Small pieces of the simulated window server: colours, images, image views, progress
// indicators, the standard window buttons and the application's dock tile. They only hold the
// state the platform's classes would show; nothing is drawn. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/view.h"

namespace platform {

// A colour in device RGB, components 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;
  static Color clearColor() { return Color{}; }
  static Color colorWithRed(double r, double g, double b, double a) { return Color{r, g, b, a}; }
  static Color windowBackgroundColor() { return Color{0.93, 0.93, 0.93, 1}; }
  friend bool operator==(const Color&, const Color&) = default;
};

// An image known by name (the application icon, for instance).
struct Image {
  std::string name;
  Size size;
};
using ImagePtr = std::shared_ptr<const Image>;

class ImageView : public View {
 public:
  using View::View;
  std::string className() const override { return "ImageView"; }
  ImagePtr image() const { return image_; }
  void setImage(ImagePtr image) { image_ = std::move(image); }

 private:
  ImagePtr image_;
};

enum class ProgressIndicatorStyle { Bar = 0, Spinning = 1 };

class ProgressIndicator : public View {
 public:
  using View::View;
  std::string className() const override { return "ProgressIndicator"; }
  ProgressIndicatorStyle style() const { return style_; }
  void setStyle(ProgressIndicatorStyle style) { style_ = style; }
  bool isIndeterminate() const { return indeterminate_; }
  void setIndeterminate(bool indeterminate) { indeterminate_ = indeterminate; }
  double minValue() const { return minValue_; }
  void setMinValue(double value) { minValue_ = value; }
  double maxValue() const { return maxValue_; }
  void setMaxValue(double value) { maxValue_ = value; }
  double doubleValue() const { return value_; }
  void setDoubleValue(double value) { value_ = value; }

 private:
  ProgressIndicatorStyle style_ = ProgressIndicatorStyle::Bar;
  bool indeterminate_ = true;
  double minValue_ = 0;
  double maxValue_ = 100;
  double value_ = 0;
};

// The close, miniaturize and zoom buttons of a titled window.
enum class WindowButton { Close = 0, Miniaturize = 1, Zoom = 2 };

class WindowButtonView : public View {
 public:
  WindowButtonView(WindowButton kind, Rect frame) : View(frame), kind_(kind) {}
  std::string className() const override { return "WindowButton"; }
  WindowButton kind() const { return kind_; }

 private:
  WindowButton kind_;
};

// The application's tile in the dock: an optional content view drawn in place of the icon and
// a badge label. `display` records a redraw.
class DockTile {
 public:
  Size size() const { return Size{128, 128}; }
  ViewPtr contentView() const { return contentView_; }
  void setContentView(ViewPtr view) { contentView_ = std::move(view); }
  const std::string& badgeLabel() const { return badgeLabel_; }
  void setBadgeLabel(std::string label) { badgeLabel_ = std::move(label); }
  void display() { ++displayCount_; }
  int displayCount() const { return displayCount_; }

 private:
  ViewPtr contentView_;
  std::string badgeLabel_;
  int displayCount_ = 0;
};

}  // namespace platform
