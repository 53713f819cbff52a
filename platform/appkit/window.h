// A window of the simulated window server. Stands in for the platform's window and panel
// classes: a frame in global points (bottom-left origin), a style mask, a title bar with the
// three standard buttons, a content view controller whose view fills the content area, the
// appearance properties the platform keeps (level, opacity, shadow, colours, aspect ratios,
// collection behaviour), key and main status, miniaturized and full-screen states, and a
// delegate that is told about changes in the platform's order.
//
// Frame changes tell the delegate `windowDidResize` when the size changed, then `windowDidMove`
// when the origin did; animated changes land at once. Zooming toggles between the screen's
// visible frame and the frame the window had before. `windowWillMove` and
// `windowDidEndLiveResize` come only from the simulated user actions (simulateDrag,
// simulateLiveResize). Key, main, miniaturize and full-screen changes also post the
// notifications named below on the default centre, with the window as object.
//
// Setting the content view controller resizes the window to the controller's view, as the
// platform does; callers that want to keep the frame set it back afterwards. Closing removes the
// window from the application, which may then terminate (last window closed). Windows are owned
// by the application's window list while open; the delegate is held weakly. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/controls.h"
#include "platform/appkit/geometry.h"
#include "platform/appkit/view.h"
#include "platform/dispatch/sequence_checker.h"

namespace platform {

struct Screen;

// Style mask bits, as the platform spells them.
enum WindowStyleMask : std::uint32_t {
  WindowStyleMaskBorderless = 0,
  WindowStyleMaskTitled = 1 << 0,
  WindowStyleMaskClosable = 1 << 1,
  WindowStyleMaskMiniaturizable = 1 << 2,
  WindowStyleMaskResizable = 1 << 3,
  WindowStyleMaskNonactivatingPanel = 1 << 7,
  WindowStyleMaskFullScreen = 1 << 14,
  WindowStyleMaskFullSizeContentView = 1 << 15,
};

// Collection behaviour bits.
enum WindowCollectionBehavior : std::uint64_t {
  WindowCollectionBehaviorCanJoinAllSpaces = 1 << 0,
  WindowCollectionBehaviorFullScreenAuxiliary = 1 << 8,
};

// Window levels.
inline constexpr std::int64_t kNormalWindowLevel = 0;
inline constexpr std::int64_t kFloatingWindowLevel = 3;

enum class WindowTitleVisibility { Visible = 0, Hidden = 1 };

enum class BackingStoreType { Buffered = 2 };

// Height of the title bar of a titled window without a full-size content view.
inline constexpr double kTitleBarHeight = 28;

inline constexpr const char* kWindowDidBecomeKeyNotification = "WindowDidBecomeKeyNotification";
inline constexpr const char* kWindowDidResignKeyNotification = "WindowDidResignKeyNotification";
inline constexpr const char* kWindowDidBecomeMainNotification = "WindowDidBecomeMainNotification";
inline constexpr const char* kWindowDidResignMainNotification = "WindowDidResignMainNotification";
inline constexpr const char* kWindowDidMiniaturizeNotification = "WindowDidMiniaturizeNotification";
inline constexpr const char* kWindowDidDeminiaturizeNotification =
    "WindowDidDeminiaturizeNotification";
inline constexpr const char* kWindowDidEnterFullScreenNotification =
    "WindowDidEnterFullScreenNotification";
inline constexpr const char* kWindowDidExitFullScreenNotification =
    "WindowDidExitFullScreenNotification";

class Window;

// What a window tells its delegate, and the two questions it asks. Defaults are the platform's.
class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  virtual bool windowShouldClose(Window&) { return true; }
  virtual bool windowShouldZoom(Window&, const Rect& /*toFrame*/) { return true; }
  virtual void windowDidResize(Window&) {}
  virtual void windowDidEndLiveResize(Window&) {}
  virtual void windowWillMove(Window&) {}
  virtual void windowDidMove(Window&) {}
  virtual void windowDidBecomeKey(Window&) {}
  virtual void windowDidResignKey(Window&) {}
  virtual void windowDidBecomeMain(Window&) {}
  virtual void windowDidResignMain(Window&) {}
  virtual void windowDidMiniaturize(Window&) {}
  virtual void windowDidDeminiaturize(Window&) {}
  virtual void windowDidEnterFullScreen(Window&) {}
  virtual void windowDidExitFullScreen(Window&) {}
};

class Window : public std::enable_shared_from_this<Window> {
 public:
  Window(Rect contentRect, std::uint32_t styleMask, BackingStoreType backing, bool defer);
  virtual ~Window();

  // Called once the interface description that created the window has been loaded.
  virtual void awakeFromNib() {}
  // Panels differ from windows in a few rules (they never become main).
  virtual bool isPanel() const { return false; }
  virtual bool canBecomeMainWindow() const { return true; }

  std::int64_t windowNumber() const { return windowNumber_; }

  // --- Frame and geometry.
  Rect frame() const { return frame_; }
  // `display` asks for a redraw; the simulated server records the request.
  void setFrame(Rect frame, bool display);
  // The animated form lands at once.
  void setFrame(Rect frame, bool display, bool animate);
  // The content area of a window with frame `frame`: the frame less the title bar.
  Rect contentRectForFrameRect(Rect frame) const;
  // Title-bar height for the current style (0 when untitled or with a full-size content view).
  double titleBarHeight() const;
  // The screen the window overlaps most, else the main screen; null with no screen.
  const Screen* screen() const;
  Size minSize() const { return minSize_; }
  void setMinSize(Size size) { minSize_ = size; }
  Size maxSize() const { return maxSize_; }
  void setMaxSize(Size size) { maxSize_ = size; }
  // Frame aspect ratio; {0, 0} when none. Setting resize increments clears both ratios.
  Size aspectRatio() const { return aspectRatio_; }
  void setAspectRatio(Size ratio);
  Size contentAspectRatio() const { return contentAspectRatio_; }
  void setContentAspectRatio(Size ratio);
  Size resizeIncrements() const { return resizeIncrements_; }
  void setResizeIncrements(Size increments);

  // --- Style and appearance.
  std::uint32_t styleMask() const { return styleMask_; }
  void setStyleMask(std::uint32_t mask);
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  WindowTitleVisibility titleVisibility() const { return titleVisibility_; }
  void setTitleVisibility(WindowTitleVisibility v) { titleVisibility_ = v; }
  bool titlebarAppearsTransparent() const { return titlebarTransparent_; }
  void setTitlebarAppearsTransparent(bool transparent) { titlebarTransparent_ = transparent; }
  std::int64_t level() const { return level_; }
  void setLevel(std::int64_t level) { level_ = level; }
  std::uint64_t collectionBehavior() const { return collectionBehavior_; }
  void setCollectionBehavior(std::uint64_t behavior) { collectionBehavior_ = behavior; }
  double alphaValue() const { return alphaValue_; }
  void setAlphaValue(double alpha) { alphaValue_ = alpha; }
  bool hasShadow() const { return hasShadow_; }
  void setHasShadow(bool shadow) { hasShadow_ = shadow; }
  void invalidateShadow() { ++shadowInvalidations_; }
  int shadowInvalidations() const { return shadowInvalidations_; }
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque) { opaque_ = opaque; }
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color color) { backgroundColor_ = color; }
  // Appearance by name; empty is the system's.
  const std::string& appearanceName() const { return appearanceName_; }
  void setAppearanceName(std::string name) { appearanceName_ = std::move(name); }
  bool isMovable() const { return movable_; }
  void setMovable(bool movable) { movable_ = movable; }
  bool ignoresMouseEvents() const { return ignoresMouseEvents_; }
  void setIgnoresMouseEvents(bool ignores) { ignoresMouseEvents_ = ignores; }
  bool acceptsMouseMovedEvents() const { return acceptsMouseMoved_; }
  void setAcceptsMouseMovedEvents(bool accepts) { acceptsMouseMoved_ = accepts; }

  // --- Views.
  ViewControllerPtr contentViewController() const { return contentViewController_; }
  void setContentViewController(ViewControllerPtr controller);
  ViewPtr contentView() const { return contentView_; }
  // A standard button of a titled window, null otherwise. Buttons sit two views below the
  // title-bar container: container > title bar > button.
  ViewPtr standardWindowButton(WindowButton button);

  // --- Delegate.
  std::shared_ptr<WindowDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<WindowDelegate>& delegate) { delegate_ = delegate; }

  // --- Ordering, key and main.
  bool isVisible() const { return visible_; }
  void setIsVisible(bool visible);
  void makeKeyAndOrderFront();
  void orderOut();
  void orderBack();
  bool isKeyWindow() const;
  bool isMainWindow() const;
  void makeKeyWindow();
  void resignKeyWindow();
  void makeMainWindow();
  void resignMainWindow();

  // --- States.
  bool isZoomed() const;
  // Asks the delegate, then toggles between the visible frame and the previous frame.
  void zoom();
  bool isMiniaturized() const { return miniaturized_; }
  void miniaturize();
  void deminiaturize();
  // Enters (frame = the screen's frame) or leaves full screen.
  void toggleFullScreen();
  // Asks the delegate whether to close, then closes unless refused.
  void performClose();
  // Hides the window and removes it from the application; the application terminates when it
  // was the last window and its delegate asks for that. Closing twice does nothing.
  void close();
  bool isClosed() const { return closed_; }
  // Starts a window drag with the current mouse-down event (tells the delegate it will move).
  void performWindowDrag();
  int windowDragCount() const { return dragCount_; }

  // --- Simulated user actions: what the person at the window server does.
  // A live resize to `frame`: one frame change, then windowDidEndLiveResize.
  void simulateLiveResize(Rect frame);
  // A drag of the title bar to `origin`: windowWillMove, then the frame change.
  void simulateDrag(Point origin);

  // How many times the frame was set with display (diagnostics and tests).
  int displayCount() const { return displayCount_; }

 private:
  void buildTitleBar();
  void attachRootView();
  void notify(void (WindowDelegate::*method)(Window&), const char* notification);

  std::int64_t windowNumber_;
  Rect frame_;
  std::uint32_t styleMask_;
  std::string title_;
  ViewControllerPtr contentViewController_;
  ViewPtr frameView_;  // root of the window's views: the title bar and the content view
  ViewPtr contentView_;
  ViewPtr titlebarContainer_;
  ViewPtr buttons_[3];
  std::weak_ptr<WindowDelegate> delegate_;
  Size minSize_;
  Size maxSize_{1e9, 1e9};
  Size aspectRatio_;
  Size contentAspectRatio_;
  Size resizeIncrements_{1, 1};
  WindowTitleVisibility titleVisibility_ = WindowTitleVisibility::Visible;
  bool titlebarTransparent_ = false;
  std::int64_t level_ = kNormalWindowLevel;
  std::uint64_t collectionBehavior_ = 0;
  double alphaValue_ = 1;
  bool hasShadow_ = true;
  int shadowInvalidations_ = 0;
  bool opaque_ = true;
  Color backgroundColor_ = Color::windowBackgroundColor();
  std::string appearanceName_;
  bool movable_ = true;
  bool ignoresMouseEvents_ = false;
  bool acceptsMouseMoved_ = false;
  bool visible_ = false;
  bool closed_ = false;
  bool miniaturized_ = false;
  std::optional<Rect> userFrame_;        // the frame before zooming
  std::optional<Rect> fullScreenFrame_;  // the frame before full screen
  int displayCount_ = 0;
  int dragCount_ = 0;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};
using WindowPtr = std::shared_ptr<Window>;

// A panel: a window that never becomes main.
class Panel : public Window {
 public:
  using Window::Window;
  bool isPanel() const override { return true; }
  bool canBecomeMainWindow() const override { return false; }
};

}  // namespace platform
