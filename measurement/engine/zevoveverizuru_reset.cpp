// Data reset, application-state notifications and the network log relay. The reset and the
// foreground/background handling are not built yet: a reset answers false (the facade keeps its
// retry keys for the next start), and only the did-finish-launching subscription exists.
#include "measurement/engine/zevoveverizuru.h"

#include <mutex>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"

bool ZEVOveverizuru::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>&) {
  return false;
}
bool ZEVOveverizuru::wipeoutAnalyticsDataAndResetComponents() {
  return false;
}

void ZEVOveverizuru::subscribeForAppDidFinishLaunchingNotifications() {
  static std::mutex mutex;
  static bool subscribed = false;
  {
    std::lock_guard lock(mutex);
    if (subscribed) return;
    subscribed = true;
  }
  platform::NotificationCenter::defaultCenter().addObserverForName(
      APMApplicationDidFinishLaunchingNotification(), nullptr,
      [](const platform::Notification& notification) {
        handleAppDidFinishLaunching(notification);
      });
}
void ZEVOveverizuru::handleAppDidFinishLaunching(const platform::Notification& notification) {
  // The screen-view reporter exists before the launch's activation, so it sees it.
  APMScreenViewReporter::sharedInstance();
  handleStoredURLAfterAppLaunchWithNotification(notification);
}
void ZEVOveverizuru::subscribeForAppForegroundBackgroundNotifications() {}
void ZEVOveverizuru::handleAppDidBecomeActiveEvent(const platform::Notification&) {}
void ZEVOveverizuru::handleAppWillResignActiveEvent(const platform::Notification&) {}
void ZEVOveverizuru::handleAppWillEnterForegroundNotification(const platform::Notification&) {}

void ZEVOveverizuru::GULNetwork_logWithLevel_contexts(GULNetworkLogLevel, GULNetworkMessageCode,
                                                      const std::string&,
                                                      const std::vector<platform::Value>&) {}
void ZEVOveverizuru::GULNetwork_logWithLevel_context(GULNetworkLogLevel, GULNetworkMessageCode,
                                                     const std::string&, const platform::Value&) {}
void ZEVOveverizuru::GULNetwork_logWithLevel(GULNetworkLogLevel, GULNetworkMessageCode,
                                             const std::string&) {}
