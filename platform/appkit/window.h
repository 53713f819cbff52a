// A window of the simulated window server. Stands in for the platform's window class: a frame,
// a title, a content view controller whose view fills the window, visibility and close.
//
// Setting the content view controller resizes the window to the controller's view, as the
// platform does; callers that want to keep the frame set it back afterwards. Closing removes the
// window from the application, which may then terminate (last window closed). Windows are owned
// by the application's window list while open. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/geometry.h"
#include "platform/appkit/view.h"
#include "platform/dispatch/sequence_checker.h"

namespace platform {

// Style mask bits, as the platform spells them.
enum WindowStyleMask : std::uint32_t {
  WindowStyleMaskBorderless = 0,
  WindowStyleMaskTitled = 1 << 0,
  WindowStyleMaskClosable = 1 << 1,
  WindowStyleMaskMiniaturizable = 1 << 2,
  WindowStyleMaskResizable = 1 << 3,
};

enum class BackingStoreType { Buffered = 2 };

class Window : public std::enable_shared_from_this<Window> {
 public:
  Window(Rect contentRect, std::uint32_t styleMask, BackingStoreType backing, bool defer);
  virtual ~Window();

  // Called once the interface description that created the window has been loaded.
  virtual void awakeFromNib() {}

  Rect frame() const { return frame_; }
  // `display` asks for a redraw; the simulated server records the request.
  void setFrame(Rect frame, bool display);
  std::uint32_t styleMask() const { return styleMask_; }
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  ViewControllerPtr contentViewController() const { return contentViewController_; }
  void setContentViewController(ViewControllerPtr controller);
  ViewPtr contentView() const { return contentView_; }

  bool isVisible() const { return visible_; }
  void makeKeyAndOrderFront();
  void orderOut();
  // Hides the window and removes it from the application; the application terminates when it
  // was the last window and its delegate asks for that. Closing twice does nothing.
  void close();
  bool isClosed() const { return closed_; }
  // How many times the frame was set with display (diagnostics and tests).
  int displayCount() const { return displayCount_; }

 private:
  Rect frame_;
  std::uint32_t styleMask_;
  std::string title_;
  ViewControllerPtr contentViewController_;
  ViewPtr contentView_;
  bool visible_ = false;
  bool closed_ = false;
  int displayCount_ = 0;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};
using WindowPtr = std::shared_ptr<Window>;

}  // namespace platform
