// The facade's opened-URL entry points: opened URLs and user activities reach the core's campaign
// handling on the facade's serial queue, where the open-URL listener also lives.
#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"
#include "platform/dispatch/clock.h"

namespace {

using Listener = std::function<void(const std::string&)>;

// The open-URL listener; touched on the facade serial queue only.
Listener& openURLListener() {
  static Listener* listener = new Listener;
  return *listener;
}

std::shared_ptr<ZEVOveverizuru> engine() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

}  // namespace

void APMAnalytics::handleOpenURL(const std::string& url) {
  const double time = platform::Clock::current().now();
  ZEVOveverizuru::handleSZTMDebugModeWithURL(url);
  dispatchAsyncOnSerialQueue([url, time] {
    if (auto core = engine()) core->handleNonFirstOpenEventURL(url, time);
    // What the listener throws is logged by the queue's boundary.
    if (const auto& listener = openURLListener()) listener(url);
  });
}

void APMAnalytics::handleUserActivity(std::optional<APMUserActivity> activity) {
  const double time = platform::Clock::current().now();
  dispatchAsyncOnSerialQueue([activity = std::move(activity), time] {
    const auto link = ZEVOveverizuru::deepLinkFromUserActivity(activity ? &*activity : nullptr);
    if (!link || link->empty()) return;
    if (auto core = engine()) core->handleNonFirstOpenEventURL(*link, time);
  });
}

void APMAnalytics::setOpenURLListener(std::function<void(const std::string&)> listener) {
  dispatchAsyncOnSerialQueue(
      [listener = std::move(listener)]() mutable { openURLListener() = std::move(listener); });
}
