#include "measurement/engine/apm_session_reporter.h"

#include <cmath>
#include <limits>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_value.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

namespace {

constexpr double kMaxEngagementSeconds = 3600;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

std::mutex gSinkMutex;
APMSessionReporter::InternalUserPropertySink gSink;

// Seconds to whole units, truncated toward zero; out-of-range values saturate instead of being
// undefined.
std::int64_t truncatedInt64(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLimit = 9223372036854775807.0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

double settingSeconds(APMSetting setting) {
  const auto config = APMRemoteConfig::current();
  return config ? config->doubleSetting(setting) : APMRemoteConfigSetting(setting).defaultValue;
}
bool settingSwitch(APMSetting setting) {
  const auto config = APMRemoteConfig::current();
  return config ? config->boolSetting(setting) : APMRemoteConfigSetting(setting).defaultValue != 0;
}
bool efficientEngagementReporting() {
  return settingSwitch(APMSetting::EfficientEngagementReportingEnabled);
}

void addScreenParameters(platform::ValueMap& parameters, const platform::ValueMap& screen) {
  for (const auto& [key, value] : screen)
    parameters[key] = value;
}

}  // namespace

void APMSessionReporter::setInternalUserPropertySinkForTesting(InternalUserPropertySink sink) {
  std::lock_guard lock(gSinkMutex);
  gSink = std::move(sink);
}

std::shared_ptr<APMSessionReporter>
APMSessionReporter::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!persistedConfig) return nullptr;
  return std::make_shared<APMSessionReporter>(std::move(persistedConfig));
}

APMSessionReporter::APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {
  // A timeout handed over before start wins once, then it is used up.
  const auto handedOver = persistedConfig_->sessionTimeoutValue();
  double handedOverSeconds = 0;
  if (handedOver.isNumber() && handedOver.toDouble(&handedOverSeconds)) {
    timeoutSessionInterval_ = std::max(0.0, handedOverSeconds);
    persistedConfig_->setSessionTimeoutValue(platform::Value());
  } else {
    timeoutSessionInterval_ = settingSeconds(APMSetting::SessionDefaultTimeoutInterval);
  }
  const double now = currentUptime();
  engagementStartUptime_ = now;
  freerideEngagementStartUptime_ = now;
  userEngagementTimer_ =
      APMAlarm::initWithDispatchQueue(platform::mainQueue(), APMSessionReporterEngagementTimerName);
}

// The alarm cancels a pending firing when it goes; its block holds this reporter weakly.
APMSessionReporter::~APMSessionReporter() = default;

void APMSessionReporter::onMainQueue(std::function<void(APMSessionReporter&)> body) {
  if (platform::mainQueue()->isCurrent()) {
    body(*this);
    return;
  }
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  platform::mainQueue()->async([weak, body = std::move(body)] {
    if (auto self = weak.lock()) body(*self);
  });
}

void APMSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_ = enabled;
  if (!enabled) {
    cancelEngagementTimer();
  } else if (APMIsAppActive()) {
    onMainQueue([](APMSessionReporter& self) {
      if (!self.userEngagementTimer_->hasActiveTimer()) self.rescheduleUserEngagementTimer();
    });
  }
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0 || std::isnan(seconds)) {
    report(3, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  timeoutSessionInterval_ = seconds;
}

bool APMSessionReporter::isSessionExpired() {
  const double last = persistedConfig_->lastSessionActivityClockTime();
  return std::fabs(currentClockTime() - last) > timeoutSessionInterval_;
}

bool APMSessionReporter::shouldStartNewSession() {
  return APMIsAppActive() && isSessionExpired();
}

bool APMSessionReporter::extendSession() {
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  const std::int64_t number = persistedConfig_->sessionNumber();
  persistedConfig_->setSessionNumber(
      number == std::numeric_limits<std::int64_t>::max() ? number : number + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::shared_ptr<APMUserAttribute>
APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return APMUserAttribute::initWithOrigin("auto", "_sid", APMValue(truncatedInt64(timestamp)),
                                          timestamp);
}

std::shared_ptr<APMUserAttribute> APMSessionReporter::sessionNumberProperty() {
  return APMUserAttribute::initWithOrigin(
      "auto", "_sno", APMValue(persistedConfig_->sessionNumber()), currentClockTime());
}

void APMSessionReporter::setSessionID(const platform::Value& sessionID,
                                      const platform::Value& sessionNumber) {
  InternalUserPropertySink sink;
  {
    std::lock_guard lock(gSinkMutex);
    sink = gSink;
  }
  if (!sink) {
    sink = [](const platform::Value& value, const std::string& name, const std::string& origin) {
      APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
    };
  }
  sink(sessionID, "_sid", "auto");
  sink(sessionNumber, "_sno", "auto");
}

void APMSessionReporter::logSessionStartEvent() {
  if (!APMIsAppActive()) {
    report(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!reportingEnabled_) return;
  updatePropertiesForNewSessionStart();
  const platform::Value sid(truncatedInt64(currentClockTime()));
  const platform::Value sno(persistedConfig_->sessionNumber());
  setSessionID(sid, sno);
  APMAnalytics::logInternalEventWithOrigin(
      "auto", "_s", {{platform::Value("_sid"), sid}, {platform::Value("_sno"), sno}});
}

void APMSessionReporter::logUserEngagementEvent() {
  logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

double APMSessionReporter::engagementTimeLocked(double now) const {
  return now -
         (efficientEngagementReporting() ? freerideEngagementStartUptime_ : engagementStartUptime_);
}

double APMSessionReporter::incurredEngagementTime() {
  double time;
  {
    std::lock_guard lock(uptimeMutex_);
    time = engagementTimeLocked(currentUptime());
  }
  if (time < 0) {
    report(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    time = 0;
  }
  return time;
}

std::int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen,
                                                                           bool isRedundant) {
  if (!APMIsAppActive()) {
    report(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = efficientEngagementReporting();
  std::int64_t ms = 0;
  if (reportingEnabled_) {
    const double seconds = std::min(incurredEngagementTime(), kMaxEngagementSeconds);
    ms = truncatedInt64(seconds * 1000);
    platform::ValueMap parameters{{platform::Value("_et"), platform::Value(ms)}};
    if (screen) addScreenParameters(parameters, APMScreenParameters(*screen));
    if (isRedundant && efficient)
      parameters[platform::Value("_fr")] = platform::Value(std::int64_t{1});
    APMAnalytics::logInternalEventWithOrigin("auto", "_e", parameters);
  }
  {
    std::lock_guard lock(uptimeMutex_);
    engagementStartUptime_ = currentUptime();
    if (!isRedundant && efficient) freerideEngagementStartUptime_ = engagementStartUptime_;
  }
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return ms;
}

void APMSessionReporter::handleAppDidBecomeActive() {
  {
    std::lock_guard lock(uptimeMutex_);
    engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
  }
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && reportingEnabled_) {
    setSessionID(platform::Value(), platform::Value());
    logSessionStartEvent();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const APMScreen* screen) {
  logEngagementEventAndReturnTimeWithScreen(screen, false);
  cancelEngagementTimer();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMScreen* previous,
                                                         const APMScreen*) {
  if (!previous || incurredEngagementTime() < 1) return;
  if (!efficientEngagementReporting()) {
    logEngagementEventAndReturnTimeWithScreen(previous, false);
  } else if (!settingSwitch(APMSetting::RedundantEngagementRemovalEnabled)) {
    logEngagementEventAndReturnTimeWithScreen(previous, true);
  }
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  timerArmed_ = true;
  onMainQueue([](APMSessionReporter& self) {
    std::weak_ptr<APMSessionReporter> weak = self.weak_from_this();
    self.userEngagementTimer_->runAfterDelay(
        settingSeconds(APMSetting::SessionEventUserEngagementInterval), [weak] {
          platform::NotificationCenter::defaultCenter().postNotificationName(
              kAPMSessionReporterEngagementTimerDidFire);
          if (auto reporter = weak.lock()) reporter->logUserEngagementEvent();
        });
  });
}

void APMSessionReporter::cancelEngagementTimer() {
  timerArmed_ = false;
  onMainQueue([](APMSessionReporter& self) { self.userEngagementTimer_->cancel(); });
}

bool APMSessionReporter::hasScheduledEngagementTimer() const {
  return timerArmed_;
}

std::int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!efficientEngagementReporting()) return 0;
  double time;
  {
    std::lock_guard lock(uptimeMutex_);
    const double now = currentUptime();
    time = now - freerideEngagementStartUptime_;
    freerideEngagementStartUptime_ = now;
  }
  if (time < 0) {
    report(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    time = 0;
  }
  return truncatedInt64(time * 1000);
}

double APMSessionReporter::currentUptime() {
  return platform::Clock::current().uptime();
}

double APMSessionReporter::currentClockTime() {
  return platform::Clock::current().now();
}

std::shared_ptr<APMEvent> APMCreateSessionStartEvent(const platform::Value& sessionNumber,
                                                     bool appInBackground, double timestamp) {
  platform::ValueMap parameters{
      {platform::Value("_sid"), platform::Value(truncatedInt64(timestamp))}};
  if (const auto number = APMValue::valueFromObject(sessionNumber)) {
    parameters[platform::Value("_sno")] = number->value();
  }
  if (appInBackground) {
    parameters[platform::Value("_aib")] = platform::Value(std::int64_t{1});
  } else {
    addScreenParameters(parameters, APMScreenViewReporter::sharedInstance()->screenParameters());
  }
  return APMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, std::move(parameters));
}
