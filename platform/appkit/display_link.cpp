#include "platform/appkit/display_link.h"

#include <atomic>
#include <cmath>
#include <utility>

namespace platform {

namespace {
std::atomic<double>& period() {
  static std::atomic<double> value{1.0 / 60.0};
  return value;
}

// A timer ticking at the display's period on `queue`, calling `callback`.
std::unique_ptr<Timer> makeTicker(const QueuePtr& queue,
                                  const std::shared_ptr<std::function<void()>>& callback) {
  double p = SimulatedDisplay::refreshPeriod();
  return std::make_unique<Timer>(queue, p, p, [callback] {
    if (*callback) (*callback)();
  });
}
}  // namespace

double SimulatedDisplay::refreshPeriod() {
  return period().load();
}

void SimulatedDisplay::setRefreshPeriod(double seconds) {
  if (seconds > 0 && std::isfinite(seconds)) period().store(seconds);
}

std::unique_ptr<CoreVideoDisplayLink> CoreVideoDisplayLink::createWithActiveDisplays() {
  return std::unique_ptr<CoreVideoDisplayLink>(new CoreVideoDisplayLink());
}

CoreVideoDisplayLink::CoreVideoDisplayLink()
    : queue_(makeSerialQueue("com.lumora.display-link")),
      callback_(std::make_shared<std::function<void()>>()) {}

CoreVideoDisplayLink::~CoreVideoDisplayLink() {
  stop();
}

void CoreVideoDisplayLink::setOutputCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  // A new function object: a tick in progress keeps the old one.
  callback_ = std::make_shared<std::function<void()>>(std::move(callback));
}

bool CoreVideoDisplayLink::setCurrentDisplay(std::int64_t displayNumber) {
  return displayNumber == SimulatedDisplay::kDisplayNumber;
}

void CoreVideoDisplayLink::start() {
  std::lock_guard lock(mutex_);
  if (timer_) return;
  timer_ = makeTicker(queue_, callback_);
}

void CoreVideoDisplayLink::stop() {
  std::unique_ptr<Timer> timer;
  {
    std::lock_guard lock(mutex_);
    timer = std::move(timer_);
  }
  if (timer) timer->cancel();
}

bool CoreVideoDisplayLink::isRunning() const {
  std::lock_guard lock(mutex_);
  return timer_ != nullptr;
}

bool CoreVideoDisplayLink::getCurrentTime(std::int64_t* videoRefreshPeriod,
                                          std::int32_t* videoTimeScale) const {
  // Microsecond time scale, as a display reports it.
  constexpr std::int32_t kScale = 1000000;
  double p = SimulatedDisplay::refreshPeriod();
  if (videoRefreshPeriod) *videoRefreshPeriod = std::llround(p * kScale);
  if (videoTimeScale) *videoTimeScale = kScale;
  return true;
}

MainLoopDisplayLink::MainLoopDisplayLink(std::function<void()> callback)
    : callback_(std::make_shared<std::function<void()>>(std::move(callback))) {}

MainLoopDisplayLink::~MainLoopDisplayLink() {
  invalidate();
}

bool MainLoopDisplayLink::isPaused() const {
  std::lock_guard lock(mutex_);
  return timer_ == nullptr;
}

void MainLoopDisplayLink::setPaused(bool paused) {
  std::unique_ptr<Timer> stopped;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ || paused == (timer_ == nullptr)) return;
    if (paused) {
      stopped = std::move(timer_);
    } else {
      timer_ = makeTicker(mainQueue(), callback_);
    }
  }
  if (stopped) stopped->cancel();
}

double MainLoopDisplayLink::duration() const {
  return SimulatedDisplay::refreshPeriod();
}

void MainLoopDisplayLink::invalidate() {
  std::unique_ptr<Timer> stopped;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    stopped = std::move(timer_);
  }
  if (stopped) stopped->cancel();
}

}  // namespace platform
