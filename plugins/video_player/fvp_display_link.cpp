#include "plugins/video_player/fvp_display_link.h"

#include "platform/appkit/screen.h"
#include "platform/appkit/window.h"
#include "platform/dispatch/main_loop.h"
#include "platform/foundation/process_info.h"

namespace video_player {

FVPCoreVideoDisplayLink::FVPCoreVideoDisplayLink(
    const std::shared_ptr<FVPViewProvider>& viewProvider, std::function<void()> callback)
    : viewProvider_(viewProvider) {
  displayLinkSource_ = std::make_shared<platform::DataAddSource>(
      platform::mainQueue(), [callback = std::move(callback)](std::uint64_t) {
        if (callback) callback();
      });
  displayLink_ = platform::CoreVideoDisplayLink::createWithActiveDisplays();
  if (displayLink_) {
    // The link's thread only counts the tick; the main loop runs the callback.
    std::weak_ptr<platform::DataAddSource> source = displayLinkSource_;
    displayLink_->setOutputCallback([source] {
      if (auto s = source.lock()) s->add(1);
    });
  }
}

FVPCoreVideoDisplayLink::~FVPCoreVideoDisplayLink() {
  if (displayLink_) displayLink_->stop();
  displayLink_.reset();
  displayLinkSource_->cancel();
}

bool FVPCoreVideoDisplayLink::running() const {
  return displayLink_ && displayLink_->isRunning();
}

void FVPCoreVideoDisplayLink::setRunning(bool running) {
  if (!displayLink_ || running == displayLink_->isRunning()) return;
  if (!running) {
    displayLink_->stop();
    return;
  }
  // Views belong to the main thread: the link follows the window's screen when started there
  // (the simulated server has one display, which a link starts on anyway).
  if (platform::MainLoop::isMainThread()) {
    auto provider = viewProvider_.lock();
    auto view = provider ? provider->view() : nullptr;
    auto window = view ? view->window() : nullptr;
    if (window) displayLink_->setCurrentDisplay(platform::SimulatedDisplay::kDisplayNumber);
  }
  displayLink_->start();
}

double FVPCoreVideoDisplayLink::duration() const {
  std::int64_t period = 0;
  std::int32_t scale = 0;
  if (!displayLink_ || !displayLink_->getCurrentTime(&period, &scale) || scale == 0) return 0;
  return static_cast<double>(period) / static_cast<double>(scale);
}

FVPCADisplayLink::FVPCADisplayLink(const std::shared_ptr<FVPViewProvider>& /*viewProvider*/,
                                   std::function<void()> callback)
    : displayLink_(std::make_unique<platform::MainLoopDisplayLink>(std::move(callback))) {
  displayLink_->setPaused(true);
}

FVPCADisplayLink::~FVPCADisplayLink() {
  displayLink_->invalidate();
}

bool FVPCADisplayLink::running() const {
  return !displayLink_->isPaused();
}

void FVPCADisplayLink::setRunning(bool running) {
  displayLink_->setPaused(!running);
}

double FVPCADisplayLink::duration() const {
  return displayLink_->duration();
}

std::shared_ptr<FVPDisplayLink>
DefaultDisplayLinkFactory::displayLink(const std::shared_ptr<FVPViewProvider>& viewProvider,
                                       std::function<void()> callback) {
  if (platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 0, 0}))
    return std::make_shared<FVPCADisplayLink>(viewProvider, std::move(callback));
  return std::make_shared<FVPCoreVideoDisplayLink>(viewProvider, std::move(callback));
}

}  // namespace video_player
