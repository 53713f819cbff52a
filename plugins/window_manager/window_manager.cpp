#include "plugins/window_manager/window_manager.h"

#include <cmath>

#include "platform/appkit/application.h"
#include "platform/appkit/screen.h"
#include "platform/dispatch/queue.h"

namespace window_manager {

using platform::Application;
using platform::Rect;
using platform::Size;
using platform::Value;

namespace {

const Value* find(const WindowManager::Args& args, const char* key) {
  auto it = args.find(Value(key));
  return it == args.end() ? nullptr : &it->second;
}

}  // namespace

bool WindowManager::boolArg(const Args& args, const char* key) {
  const Value* v = find(args, key);
  if (!v || !v->isBool()) throw WindowManagerArgumentError(key, "a boolean");
  return v->asBool();
}

double WindowManager::numberArg(const Args& args, const char* key) {
  const Value* v = find(args, key);
  if (v && v->isInt()) return static_cast<double>(v->asInt());
  if (v && v->isDouble()) return v->asDouble();
  throw WindowManagerArgumentError(key, "a number");
}

std::int64_t WindowManager::integerArg(const Args& args, const char* key) {
  const Value* v = find(args, key);
  if (!v || !v->isInt()) throw WindowManagerArgumentError(key, "an integer");
  return v->asInt();
}

const std::string& WindowManager::stringArg(const Args& args, const char* key) {
  const Value* v = find(args, key);
  if (!v || !v->isString()) throw WindowManagerArgumentError(key, "a string");
  return v->asString();
}

void WindowManager::setMainWindow(platform::WindowPtr window) {
  mainWindow_ = std::move(window);
  if (mainWindow_) mainWindow_->setDelegate(shared_from_this());
}

void WindowManager::emit(const char* name) {
  if (onEvent) onEvent(name);
}

double WindowManager::firstScreenHeight() {
  const auto& screens = platform::Screen::screens();
  return screens.empty() ? 0 : screens.front().frame.size.height;
}

platform::ViewPtr WindowManager::titleBarContainer() const {
  auto button = mainWindow_->standardWindowButton(platform::WindowButton::Close);
  if (!button) return nullptr;
  auto parent = button->superview();
  return parent ? parent->superview() : nullptr;
}

void WindowManager::setStyleBit(std::uint32_t bit, bool on) {
  std::uint32_t mask = mainWindow_->styleMask();
  mainWindow_->setStyleMask(on ? (mask | bit) : (mask & ~bit));
}

// --- Simple operations.

std::int64_t WindowManager::getId() const {
  return mainWindow_->windowNumber();
}

void WindowManager::close() {
  mainWindow_->performClose();
}

void WindowManager::destroy() {
  Application::shared().terminate();
}

void WindowManager::focus() {
  Application::shared().activateIgnoringOtherApps(false);
  mainWindow_->makeKeyAndOrderFront();
}

void WindowManager::blur() {
  mainWindow_->orderBack();
}

void WindowManager::maximize() {
  if (!mainWindow_->isZoomed()) mainWindow_->zoom();
}

void WindowManager::unmaximize() {
  if (mainWindow_->isZoomed()) mainWindow_->zoom();
}

void WindowManager::minimize() {
  mainWindow_->miniaturize();
}

void WindowManager::restore() {
  mainWindow_->deminiaturize();
}

void WindowManager::setPreventClose(const Args& args) {
  isPreventClose_ = boolArg(args, "isPreventClose");
}

void WindowManager::setIsMaximizable(const Args& args) {
  isMaximizable_ = boolArg(args, "isMaximizable");
}

void WindowManager::setResizable(const Args& args) {
  setStyleBit(platform::WindowStyleMaskResizable, boolArg(args, "isResizable"));
}

void WindowManager::setMinimizable(const Args& args) {
  setStyleBit(platform::WindowStyleMaskMiniaturizable, boolArg(args, "isMinimizable"));
}

void WindowManager::setClosable(const Args& args) {
  setStyleBit(platform::WindowStyleMaskClosable, boolArg(args, "isClosable"));
}

void WindowManager::setMovable(const Args& args) {
  mainWindow_->setMovable(boolArg(args, "isMovable"));
}

std::string WindowManager::getTitle() const {
  return mainWindow_->title();
}

void WindowManager::setTitle(const Args& args) {
  mainWindow_->setTitle(stringArg(args, "title"));
}

double WindowManager::getOpacity() const {
  return mainWindow_->alphaValue();
}

void WindowManager::setOpacity(const Args& args) {
  mainWindow_->setAlphaValue(numberArg(args, "opacity"));
}

void WindowManager::setHasShadow(const Args& args) {
  mainWindow_->setHasShadow(boolArg(args, "hasShadow"));
  mainWindow_->invalidateShadow();
}

void WindowManager::setBadgeLabel(const Args& args) {
  Application::shared().dockTile().setBadgeLabel(stringArg(args, "label"));
}

void WindowManager::setSkipTaskbar(const Args& args) {
  Application::shared().setActivationPolicy(boolArg(args, "isSkipTaskbar")
                                                ? platform::ActivationPolicy::Accessory
                                                : platform::ActivationPolicy::Regular);
}

// --- Operations with an algorithm of their own.

void WindowManager::show() {
  mainWindow_->setIsVisible(true);
  platform::mainQueue()->async([window = mainWindow_] {
    window->makeKeyAndOrderFront();
    Application::shared().activateIgnoringOtherApps(true);
  });
}

void WindowManager::hide() {
  platform::mainQueue()->async([window = mainWindow_] { window->orderOut(); });
}

void WindowManager::startDragging() {
  platform::mainQueue()->async([window = mainWindow_] {
    // A drag needs the mouse-down that started it; without one nothing happens.
    if (Application::shared().hasCurrentMouseDown()) window->performWindowDrag();
  });
}

void WindowManager::setAsFrameless() {
  setStyleBit(platform::WindowStyleMaskFullSizeContentView, true);
  mainWindow_->setTitleVisibility(platform::WindowTitleVisibility::Hidden);
  mainWindow_->setOpaque(true);
  mainWindow_->setHasShadow(false);
  mainWindow_->setBackgroundColor(platform::Color::clearColor());
  if (mainWindow_->styleMask() & platform::WindowStyleMaskTitled) {
    // A window whose buttons are not where the platform puts them has no container to hide.
    if (auto container = titleBarContainer()) container->setHidden(true);
  }
}

void WindowManager::setFullScreen(const Args& args) {
  bool wanted = boolArg(args, "isFullScreen");
  bool now = (mainWindow_->styleMask() & platform::WindowStyleMaskFullScreen) != 0;
  if (wanted != now) mainWindow_->toggleFullScreen();
}

void WindowManager::setAspectRatio(const Args& args) {
  double ratio = numberArg(args, "aspectRatio");
  std::uint32_t mask = mainWindow_->styleMask();
  if (ratio > 0) {
    if (mask & platform::WindowStyleMaskFullSizeContentView) {
      mainWindow_->setAspectRatio(Size{ratio, 1.0});
    } else {
      mainWindow_->setContentAspectRatio(Size{ratio, 1.0});
    }
  } else {
    mainWindow_->setResizeIncrements(Size{1.0, 1.0});
  }
}

void WindowManager::setBackgroundColor(const Args& args) {
  const char* keys[] = {"backgroundColorA", "backgroundColorR", "backgroundColorG",
                        "backgroundColorB"};
  std::int64_t c[4];
  for (int i = 0; i < 4; ++i) {
    c[i] = integerArg(args, keys[i]);
    if (c[i] < 0 || c[i] > 255) throw WindowManagerArgumentError(keys[i], "an integer 0 to 255");
  }
  auto [a, r, g, b] = c;
  platform::Color color =
      (a == 0 && r == 0 && g == 0 && b == 0)
          ? platform::Color::clearColor()
          : platform::Color::colorWithRed(r / 255.0, g / 255.0, b / 255.0, a / 255.0);
  mainWindow_->setBackgroundColor(color);
}

Value WindowManager::getBounds() const {
  Rect frame = mainWindow_->frame();
  double h = firstScreenHeight();
  return Value::map({{"x", frame.origin.x},
                     {"y", h - frame.origin.y - frame.size.height},
                     {"width", frame.size.width},
                     {"height", frame.size.height}});
}

void WindowManager::setBounds(const Args& args) {
  const Value* animateValue = find(args, "animate");
  bool animate = animateValue && animateValue->isBool() && animateValue->asBool();
  auto optionalNumber = [&](const char* key) -> std::optional<double> {
    if (!find(args, key)) return std::nullopt;
    return numberArg(args, key);
  };
  auto x = optionalNumber("x");
  auto y = optionalNumber("y");
  auto width = optionalNumber("width");
  auto height = optionalNumber("height");

  Rect frame = mainWindow_->frame();
  if (width && height) {
    frame.origin.y += frame.size.height - *height;
    frame.size = Size{*width, *height};
  }
  if (x && y) {
    frame.origin.x = *x;
    frame.origin.y = firstScreenHeight() - *y - frame.size.height;
  }
  mainWindow_->setFrame(frame, true, animate);
}

void WindowManager::setMinimumSize(const Args& args) {
  float width = static_cast<float>(numberArg(args, "width"));
  float height = static_cast<float>(numberArg(args, "height"));
  mainWindow_->setMinSize(Size{width, height});
}

void WindowManager::setMaximumSize(const Args& args) {
  float width = static_cast<float>(numberArg(args, "width"));
  float height = static_cast<float>(numberArg(args, "height"));
  mainWindow_->setMaxSize(Size{width, height});
}

void WindowManager::setAlwaysOnTop(const Args& args) {
  bool onTop = boolArg(args, "isAlwaysOnTop");
  mainWindow_->setLevel(onTop ? platform::kFloatingWindowLevel : platform::kNormalWindowLevel);
  if (mainWindow_->isPanel()) setStyleBit(platform::WindowStyleMaskNonactivatingPanel, onTop);
}

void WindowManager::setTitleBarStyle(const Args& args) {
  const std::string& style = stringArg(args, "titleBarStyle");
  bool buttonsVisible = boolArg(args, "windowButtonVisibility");
  bool hidden = style == "hidden";
  mainWindow_->setTitleVisibility(hidden ? platform::WindowTitleVisibility::Hidden
                                         : platform::WindowTitleVisibility::Visible);
  mainWindow_->setTitlebarAppearsTransparent(hidden);
  setStyleBit(platform::WindowStyleMaskFullSizeContentView, hidden);
  mainWindow_->setOpaque(false);
  mainWindow_->setHasShadow(true);
  if (auto container = titleBarContainer()) container->setHidden(false);
  for (auto kind : {platform::WindowButton::Close, platform::WindowButton::Miniaturize,
                    platform::WindowButton::Zoom}) {
    if (auto button = mainWindow_->standardWindowButton(kind)) button->setHidden(!buttonsVisible);
  }
}

std::int64_t WindowManager::getTitleBarHeight() const {
  Rect frame = mainWindow_->frame();
  double height = frame.size.height - mainWindow_->contentRectForFrameRect(frame).size.height;
  return static_cast<std::int64_t>(std::trunc(height));
}

void WindowManager::setVisibleOnAllWorkspaces(const Args& args) {
  bool visible = boolArg(args, "visible");
  bool onFullScreen = boolArg(args, "visibleOnFullScreen");
  auto setBit = [](std::uint64_t behavior, std::uint64_t bit, bool on) {
    return on ? (behavior | bit) : (behavior & ~bit);
  };
  mainWindow_->setCollectionBehavior(setBit(mainWindow_->collectionBehavior(),
                                            platform::WindowCollectionBehaviorCanJoinAllSpaces,
                                            visible));
  mainWindow_->setCollectionBehavior(setBit(mainWindow_->collectionBehavior(),
                                            platform::WindowCollectionBehaviorFullScreenAuxiliary,
                                            onFullScreen));
}

void WindowManager::setBrightness(const Args& args) {
  bool dark = stringArg(args, "brightness") == "dark";
  mainWindow_->setAppearanceName(dark ? "VibrantDark" : "VibrantLight");
  mainWindow_->invalidateShadow();
}

void WindowManager::setIgnoreMouseEvents(const Args& args) {
  bool ignore = boolArg(args, "ignore");
  bool forward = boolArg(args, "forward");
  mainWindow_->setIgnoresMouseEvents(ignore);
  mainWindow_->setAcceptsMouseMovedEvents(ignore ? forward : false);
}

void WindowManager::setProgressBar(const Args& args) {
  double progress = numberArg(args, "progress");
  auto& tile = Application::shared().dockTile();
  auto content = tile.contentView();
  auto indicator =
      content && !content->subviews().empty()
          ? std::dynamic_pointer_cast<platform::ProgressIndicator>(content->subviews().back())
          : nullptr;
  if (!indicator) {
    // No content yet, or content someone else installed: build ours.
    auto imageView = std::make_shared<platform::ImageView>();
    imageView->setImage(Application::shared().applicationIconImage());
    tile.setContentView(imageView);
    indicator =
        std::make_shared<platform::ProgressIndicator>(Rect::make(0, 0, tile.size().width, 15));
    indicator->setStyle(platform::ProgressIndicatorStyle::Bar);
    indicator->setIndeterminate(false);
    indicator->setMinValue(0);
    indicator->setMaxValue(1);
    indicator->setHidden(false);
    imageView->addSubview(indicator);
  }
  if (progress < 0) {
    indicator->setHidden(true);
  } else {
    indicator->setHidden(false);
    if (progress > 1) {
      indicator->setIndeterminate(true);
      indicator->setDoubleValue(1);
    } else {
      // A known progress makes the bar determinate again, so the dock never shows an endless
      // bar while the application reports a value.
      indicator->setIndeterminate(false);
      indicator->setDoubleValue(progress);
    }
  }
  tile.display();
}

// --- Window delegate.

bool WindowManager::windowShouldClose(platform::Window&) {
  emit("close");
  return !isPreventClose_;
}

bool WindowManager::windowShouldZoom(platform::Window&, const Rect&) {
  emit("maximize");
  return isMaximizable_;
}

void WindowManager::windowDidResize(platform::Window& window) {
  emit("resize");
  bool zoomed = window.isZoomed();
  if (!isMaximized_ && zoomed) {
    isMaximized_ = true;
    emit("maximize");
  } else if (isMaximized_ && !zoomed) {
    isMaximized_ = false;
    emit("unmaximize");
  }
}

void WindowManager::windowDidEndLiveResize(platform::Window&) {
  emit("resized");
}

void WindowManager::windowWillMove(platform::Window&) {
  emit("move");
}

void WindowManager::windowDidMove(platform::Window&) {
  emit("moved");
}

void WindowManager::windowDidBecomeKey(platform::Window& window) {
  if (window.isPanel()) emit("focus");
}

void WindowManager::windowDidResignKey(platform::Window& window) {
  if (window.isPanel()) emit("blur");
}

void WindowManager::windowDidBecomeMain(platform::Window&) {
  emit("focus");
}

void WindowManager::windowDidResignMain(platform::Window&) {
  emit("blur");
}

void WindowManager::windowDidMiniaturize(platform::Window&) {
  emit("minimize");
}

void WindowManager::windowDidDeminiaturize(platform::Window&) {
  emit("restore");
}

void WindowManager::windowDidEnterFullScreen(platform::Window&) {
  emit("enter-full-screen");
}

void WindowManager::windowDidExitFullScreen(platform::Window&) {
  emit("leave-full-screen");
}

}  // namespace window_manager
