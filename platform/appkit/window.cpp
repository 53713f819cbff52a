#include "platform/appkit/window.h"

#include <atomic>

#include "platform/appkit/application.h"
#include "platform/appkit/screen.h"
#include "platform/foundation/notification_center.h"

namespace platform {

namespace {

std::int64_t nextWindowNumber() {
  static std::atomic<std::int64_t> counter{0};
  return ++counter;
}

}  // namespace

Window::Window(Rect contentRect, std::uint32_t styleMask, BackingStoreType /*backing*/,
               bool /*defer*/)
    : windowNumber_(nextWindowNumber()), frame_(contentRect), styleMask_(styleMask) {
  // The designated initialiser takes the content rectangle: the title bar comes on top.
  frame_.size.height += titleBarHeight();
  frameView_ = std::make_shared<View>(Rect{{0, 0}, frame_.size});
  if (styleMask_ & WindowStyleMaskTitled) buildTitleBar();
}

Window::~Window() = default;

void Window::buildTitleBar() {
  if (titlebarContainer_) return;
  double width = frame_.size.width;
  titlebarContainer_ = std::make_shared<View>(
      Rect::make(0, frame_.size.height - kTitleBarHeight, width, kTitleBarHeight));
  auto titlebar = std::make_shared<View>(Rect::make(0, 0, width, kTitleBarHeight));
  for (int i = 0; i < 3; ++i) {
    buttons_[i] = std::make_shared<WindowButtonView>(static_cast<WindowButton>(i),
                                                     Rect::make(7 + 20 * i, 6, 14, 16));
    titlebar->addSubview(buttons_[i]);
  }
  titlebarContainer_->addSubview(titlebar);
  frameView_->addSubview(titlebarContainer_);
}

void Window::attachRootView() {
  if (auto self = weak_from_this().lock()) frameView_->setHostWindow(self);
}

double Window::titleBarHeight() const {
  if (!(styleMask_ & WindowStyleMaskTitled)) return 0;
  if (styleMask_ & WindowStyleMaskFullSizeContentView) return 0;
  return kTitleBarHeight;
}

Rect Window::contentRectForFrameRect(Rect frame) const {
  frame.size.height -= titleBarHeight();
  if (frame.size.height < 0) frame.size.height = 0;
  return frame;
}

const Screen* Window::screen() const {
  if (const Screen* screen = Screen::screenForRect(frame_)) return screen;
  return Screen::mainScreen();
}

void Window::setFrame(Rect frame, bool display) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  Rect old = frame_;
  frame_ = frame;
  frameView_->setFrame(Rect{{0, 0}, frame.size});
  if (titlebarContainer_) {
    titlebarContainer_->setFrame(
        Rect::make(0, frame.size.height - kTitleBarHeight, frame.size.width, kTitleBarHeight));
  }
  if (contentView_) contentView_->setFrame(Rect{{0, 0}, contentRectForFrameRect(frame).size});
  if (display) ++displayCount_;
  // The platform's order: the size first, then the position.
  if (old.size != frame.size) notify(&WindowDelegate::windowDidResize, nullptr);
  if (old.origin != frame.origin) notify(&WindowDelegate::windowDidMove, nullptr);
}

void Window::setFrame(Rect frame, bool display, bool /*animate*/) {
  setFrame(frame, display);
}

void Window::setAspectRatio(Size ratio) {
  aspectRatio_ = ratio;
  contentAspectRatio_ = {};
}

void Window::setContentAspectRatio(Size ratio) {
  contentAspectRatio_ = ratio;
  aspectRatio_ = {};
}

void Window::setResizeIncrements(Size increments) {
  // The platform keeps either increments or a ratio: setting increments drops the ratio.
  resizeIncrements_ = increments;
  aspectRatio_ = {};
  contentAspectRatio_ = {};
}

void Window::setStyleMask(std::uint32_t mask) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  styleMask_ = mask;
  if (styleMask_ & WindowStyleMaskTitled) buildTitleBar();
  if (contentView_) contentView_->setFrame(Rect{{0, 0}, contentRectForFrameRect(frame_).size});
}

void Window::setContentViewController(ViewControllerPtr controller) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  attachRootView();
  if (contentView_) contentView_->removeFromSuperview();
  contentViewController_ = std::move(controller);
  contentView_ = contentViewController_ ? contentViewController_->view() : nullptr;
  if (contentView_) {
    // The window takes the size of its new content, keeping its origin.
    frame_.size = contentView_->frame().size;
    frame_.size.height += titleBarHeight();
    frameView_->setFrame(Rect{{0, 0}, frame_.size});
    contentView_->setFrame(Rect{{0, 0}, contentRectForFrameRect(frame_).size});
    frameView_->addSubview(contentView_);
  }
}

ViewPtr Window::standardWindowButton(WindowButton button) {
  attachRootView();
  int index = static_cast<int>(button);
  if (index < 0 || index > 2 || !(styleMask_ & WindowStyleMaskTitled)) return nullptr;
  return buttons_[index];
}

void Window::notify(void (WindowDelegate::*method)(Window&), const char* notification) {
  // Keep the window alive across the callbacks: a delegate may close it.
  auto keep = weak_from_this().lock();
  if (auto d = delegate_.lock()) ((*d).*method)(*this);
  if (notification) NotificationCenter::defaultCenter().postNotificationName(notification, this);
}

bool Window::isKeyWindow() const {
  return Application::shared().keyWindow().get() == this;
}

bool Window::isMainWindow() const {
  return Application::shared().focusedMainWindow().get() == this;
}

void Window::makeKeyWindow() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_ || isKeyWindow()) return;
  auto self = weak_from_this().lock();
  if (!self) return;
  if (auto previous = Application::shared().keyWindow()) previous->resignKeyWindow();
  Application::shared().setKeyWindow(self);
  notify(&WindowDelegate::windowDidBecomeKey, kWindowDidBecomeKeyNotification);
}

void Window::resignKeyWindow() {
  if (!isKeyWindow()) return;
  Application::shared().setKeyWindow(nullptr);
  notify(&WindowDelegate::windowDidResignKey, kWindowDidResignKeyNotification);
}

void Window::makeMainWindow() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_ || !canBecomeMainWindow() || isMainWindow()) return;
  auto self = weak_from_this().lock();
  if (!self) return;
  if (auto previous = Application::shared().focusedMainWindow()) previous->resignMainWindow();
  Application::shared().setFocusedMainWindow(self);
  notify(&WindowDelegate::windowDidBecomeMain, kWindowDidBecomeMainNotification);
}

void Window::resignMainWindow() {
  if (!isMainWindow()) return;
  Application::shared().setFocusedMainWindow(nullptr);
  notify(&WindowDelegate::windowDidResignMain, kWindowDidResignMainNotification);
}

void Window::setIsVisible(bool visible) {
  if (!visible) return orderOut();
  if (closed_) return;
  visible_ = true;
  Application::shared().addWindow(shared_from_this());
}

void Window::makeKeyAndOrderFront() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_) return;
  if (miniaturized_) deminiaturize();
  visible_ = true;
  Application::shared().addWindow(shared_from_this());
  Application::shared().orderFront(*this);
  makeKeyWindow();
  makeMainWindow();
}

void Window::orderOut() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  visible_ = false;
  resignKeyWindow();
  resignMainWindow();
}

void Window::orderBack() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  // Key and main status stay as they are.
  if (closed_) return;
  visible_ = true;
  Application::shared().addWindow(shared_from_this());
  Application::shared().orderBack(*this);
}

bool Window::isZoomed() const {
  const Screen* s = screen();
  return s && frame_ == s->visibleFrame;
}

void Window::zoom() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  const Screen* s = screen();
  if (!s) return;
  bool zoomed = isZoomed();
  Rect target = zoomed ? userFrame_.value_or(frame_) : s->visibleFrame;
  if (auto d = delegate_.lock()) {
    auto keep = weak_from_this().lock();
    if (!d->windowShouldZoom(*this, target)) return;
  }
  if (!zoomed) userFrame_ = frame_;
  setFrame(target, true);
}

void Window::miniaturize() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (miniaturized_ || closed_) return;
  miniaturized_ = true;
  resignKeyWindow();
  resignMainWindow();
  notify(&WindowDelegate::windowDidMiniaturize, kWindowDidMiniaturizeNotification);
}

void Window::deminiaturize() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!miniaturized_) return;
  miniaturized_ = false;
  notify(&WindowDelegate::windowDidDeminiaturize, kWindowDidDeminiaturizeNotification);
}

void Window::toggleFullScreen() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (styleMask_ & WindowStyleMaskFullScreen) {
    styleMask_ &= ~static_cast<std::uint32_t>(WindowStyleMaskFullScreen);
    setFrame(fullScreenFrame_.value_or(frame_), true);
    fullScreenFrame_.reset();
    notify(&WindowDelegate::windowDidExitFullScreen, kWindowDidExitFullScreenNotification);
    return;
  }
  const Screen* s = screen();
  if (!s) return;
  fullScreenFrame_ = frame_;
  styleMask_ |= WindowStyleMaskFullScreen;
  setFrame(s->frame, true);
  notify(&WindowDelegate::windowDidEnterFullScreen, kWindowDidEnterFullScreenNotification);
}

void Window::performClose() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_) return;
  if (auto d = delegate_.lock()) {
    auto keep = weak_from_this().lock();
    if (!d->windowShouldClose(*this)) return;
  }
  close();
}

void Window::close() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_) return;
  // The application's list may hold the last reference.
  auto keep = weak_from_this().lock();
  resignKeyWindow();
  resignMainWindow();
  closed_ = true;
  visible_ = false;
  Application::shared().windowDidClose(*this);
}

void Window::performWindowDrag() {
  if (closed_ || !movable_) return;
  ++dragCount_;
  notify(&WindowDelegate::windowWillMove, nullptr);
}

void Window::simulateLiveResize(Rect frame) {
  if (closed_) return;
  setFrame(frame, true);
  notify(&WindowDelegate::windowDidEndLiveResize, nullptr);
}

void Window::simulateDrag(Point origin) {
  if (closed_ || !movable_) return;
  notify(&WindowDelegate::windowWillMove, nullptr);
  setFrame(Rect{origin, frame_.size}, true);
}

}  // namespace platform
