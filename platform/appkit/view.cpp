#include "platform/appkit/view.h"

#include <algorithm>

namespace platform {

void View::addSubview(std::shared_ptr<View> view) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  view->superview_ = weak_from_this();
  subviews_.push_back(std::move(view));
}

void View::removeFromSuperview() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto& siblings = parent->subviews_;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [this](const std::shared_ptr<View>& v) { return v.get() == this; }),
                 siblings.end());
}

std::shared_ptr<Window> View::window() const {
  // Iterative walk: view trees can be deep and this is asked often.
  const View* view = this;
  std::shared_ptr<View> holder;
  while (view) {
    if (auto window = view->hostWindow_.lock()) return window;
    holder = view->superview_.lock();
    view = holder.get();
  }
  return nullptr;
}

ViewPtr ViewController::view() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!view_) view_ = loadView();
  return view_;
}

ViewPtr ViewController::loadView() {
  return std::make_shared<View>(Rect::make(0, 0, 800, 600));
}

LayerPtr View::layer() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!layer_) layer_ = makeBackingLayer();
  return layer_;
}

}  // namespace platform
