// Views and view controllers of the simulated window server. Stand in for the platform's view
// and view-controller classes. A view has a frame, subviews, a hidden flag and knows the window
// it is shown in (through its ancestors); a controller owns one view. Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/geometry.h"
#include "platform/appkit/layer.h"
#include "platform/dispatch/sequence_checker.h"

namespace platform {

class Window;

class View : public std::enable_shared_from_this<View> {
 public:
  explicit View(Rect frame = {}) : frame_(frame) {}
  virtual ~View() = default;

  Rect frame() const { return frame_; }
  virtual void setFrame(Rect frame) { frame_ = frame; }
  // Name of the class for diagnostics and scripted window-server queries.
  virtual std::string className() const { return "View"; }

  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }

  void addSubview(std::shared_ptr<View> view);
  void removeFromSuperview();
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  std::shared_ptr<View> superview() const { return superview_.lock(); }

  // The window showing this view: the one whose content (or frame) view is this view or one of
  // its ancestors; null when the view is in no window.
  std::shared_ptr<Window> window() const;
  // The view's backing layer, made on first use (by makeBackingLayer).
  LayerPtr layer();

  // Set by the window on the root view of its hierarchy.
  void setHostWindow(const std::shared_ptr<Window>& window) { hostWindow_ = window; }

 protected:
  // The layer a layer-backed view of this class gets: a plain layer unless a subclass says.
  virtual LayerPtr makeBackingLayer() { return std::make_shared<Layer>(); }

 private:
  Rect frame_;
  bool hidden_ = false;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<View> superview_;
  std::weak_ptr<Window> hostWindow_;
  LayerPtr layer_;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};
using ViewPtr = std::shared_ptr<View>;

class ViewController {
 public:
  virtual ~ViewController() = default;
  // The controller's view, made by loadView on first use.
  ViewPtr view();
  bool isViewLoaded() const { return view_ != nullptr; }

 protected:
  // Makes the view; the default is a plain 800x600 view.
  virtual ViewPtr loadView();

 private:
  ViewPtr view_;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};
using ViewControllerPtr = std::shared_ptr<ViewController>;

}  // namespace platform
