#include "platform/appkit/window.h"

#include "platform/appkit/application.h"

namespace platform {

Window::Window(Rect contentRect, std::uint32_t styleMask, BackingStoreType /*backing*/,
               bool /*defer*/)
    : frame_(contentRect), styleMask_(styleMask) {}

Window::~Window() = default;

void Window::setFrame(Rect frame, bool display) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  frame_ = frame;
  if (contentView_) contentView_->setFrame(Rect{{0, 0}, frame.size});
  if (display) ++displayCount_;
}

void Window::setContentViewController(ViewControllerPtr controller) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  contentViewController_ = std::move(controller);
  contentView_ = contentViewController_ ? contentViewController_->view() : nullptr;
  if (contentView_) {
    // The window takes the size of its new content, keeping its origin.
    frame_.size = contentView_->frame().size;
    contentView_->setFrame(Rect{{0, 0}, frame_.size});
  }
}

void Window::makeKeyAndOrderFront() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_) return;
  visible_ = true;
  Application::shared().addWindow(shared_from_this());
}

void Window::orderOut() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  visible_ = false;
}

void Window::close() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (closed_) return;
  // The application's list may hold the last reference.
  auto keep = shared_from_this();
  closed_ = true;
  visible_ = false;
  Application::shared().windowDidClose(*this);
}

}  // namespace platform
