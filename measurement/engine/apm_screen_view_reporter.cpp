#include "measurement/engine/apm_screen_view_reporter.h"

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/class_registry.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

bool isValidScreenValue(const std::string& text, APMDataTypeValidator::Code* failure = nullptr) {
  APMDataTypeValidator::Code ignored = 0;
  return APMDataTypeValidator::isValidScreenParameterValue(platform::Value(text),
                                                           failure ? failure : &ignored);
}

// The core's session reporter once the core has started its components; none before.
std::shared_ptr<APMSessionReporter> sessionReporter() {
  if (!ZEVOveverizuru::hasSharedInstance()) return nullptr;
  const auto core = ZEVOveverizuru::sharedInstance();
  if (!core || !core->didInitializeComponents()) return nullptr;
  return core->sessionReporter();
}

std::shared_ptr<APMAdExposureReporterClass> adExposureReporter() {
  return platform::ClassRegistry::shared().lookup<APMAdExposureReporterClass>(
      APMAdExposureReporterClassName);
}

bool efficientEngagementReporting() {
  const auto config = APMRemoteConfig::current();
  return config && config->boolSetting(APMSetting::EfficientEngagementReportingEnabled);
}

const APMScreen* pointer(const std::optional<APMScreen>& screen) {
  return screen ? &*screen : nullptr;
}

}  // namespace

platform::ValueMap APMScreenParameters(const APMScreen& screen) {
  platform::ValueMap parameters{{platform::Value("_si"), platform::Value(screen.instanceID)}};
  if (!screen.className || screen.className->empty()) {
    report(3, 31014, "Screen class name is empty");
  } else {
    APMDataTypeValidator::Code failure = 0;
    if (!isValidScreenValue(*screen.className, &failure)) {
      report(3, 31015, "Screen class name is invalid. Error code",
             {platform::Value(static_cast<std::int64_t>(failure))});
      return parameters;
    }
    parameters[platform::Value("_sc")] = platform::Value(*screen.className);
  }
  if (screen.name && isValidScreenValue(*screen.name)) {
    parameters[platform::Value("_sn")] = platform::Value(*screen.name);
  }
  return parameters;
}

platform::ValueMap APMPreviousScreenParameters(const APMScreen& screen) {
  platform::ValueMap parameters{{platform::Value("_pi"), platform::Value(screen.instanceID)}};
  if (screen.className && !screen.className->empty() && isValidScreenValue(*screen.className)) {
    parameters[platform::Value("_pc")] = platform::Value(*screen.className);
  }
  if (screen.name && isValidScreenValue(*screen.name)) {
    parameters[platform::Value("_pn")] = platform::Value(*screen.name);
  }
  return parameters;
}

bool APMIsScreenReportingEnabled() {
  return false;
}

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  static const std::shared_ptr<APMScreenViewReporter> shared = [] {
    auto reporter = std::make_shared<APMScreenViewReporter>();
    reporter->subscribe();
    return reporter;
  }();
  return shared;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(platform::makeSerialQueue(APMScreenViewReporterQueueLabel)),
      currentScreenInstanceID_(static_cast<std::uint64_t>(APMNumericUtil::randomInt64())) {}

APMScreenViewReporter::~APMScreenViewReporter() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(didBecomeActiveToken_);
  center.removeObserver(willResignActiveToken_);
  center.removeObserver(didResignKeyToken_);
}

void APMScreenViewReporter::subscribe() {
  // The observers hold the reporter weakly: it outlives them in the product, but a test's own
  // instance may not.
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  didBecomeActiveToken_ =
      center.addObserverForName(APMApplicationDidBecomeActiveNotification(), nullptr,
                                [weak](const platform::Notification& notification) {
                                  if (auto self = weak.lock())
                                    self->handleApplicationDidBecomeActive(notification);
                                });
  willResignActiveToken_ =
      center.addObserverForName(APMApplicationWillResignActiveNotification(), nullptr,
                                [weak](const platform::Notification& notification) {
                                  if (auto self = weak.lock())
                                    self->handleApplicationWillResignActive(notification);
                                });
  // Observed as the application's own reporter does; a window losing key status changes nothing.
  didResignKeyToken_ = center.addObserverForName(APMApplicationWindowDidResignKeyNotification(),
                                                 nullptr, [](const platform::Notification&) {});
}

void APMScreenViewReporter::trackScreenWithParameters(const platform::ValueMap& parameters,
                                                      double timestamp) {
  if (isInactive()) {
    report(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  std::optional<std::string> name;
  std::optional<std::string> screenClass;
  const auto nameIt = parameters.find(platform::Value("screen_name"));
  if (nameIt != parameters.end()) {
    APMDataTypeValidator::Code failure = 0;
    if (!nameIt->second.isString() ||
        !APMDataTypeValidator::isValidScreenParameterValue(nameIt->second, &failure)) {
      report(3, 31027, "Received invalid name for screen", {nameIt->second});
      return;
    }
    name = nameIt->second.asString();
  }
  const auto classIt = parameters.find(platform::Value("screen_class"));
  if (classIt != parameters.end()) {
    APMDataTypeValidator::Code failure = 0;
    if (!classIt->second.isString() ||
        !APMDataTypeValidator::isValidScreenParameterValue(classIt->second, &failure)) {
      report(3, 31028, "Received invalid class for screen", {classIt->second});
      return;
    }
    screenClass = classIt->second.asString();
  }

  auto next = APMScreen::initWithName(name, screenClass, incrementScreenInstanceID());
  next.isManuallyTracked = true;
  next.eventTimestamp = timestamp;
  report(7, 31029, "Logging screen view with screen name and screen class",
         {name ? platform::Value(*name) : platform::Value(),
          screenClass ? platform::Value(*screenClass) : platform::Value()});

  std::optional<APMScreen> previous;
  queue_->sync([&] {
    previous = currentScreen_;
    currentScreen_ = next;
  });

  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, previous, next, parameters] {
    const auto self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(previous, next);
    const std::string eventName = "screen_view";
    platform::ValueMap eventParameters =
        APMNormalizedParametersForParametersAndEventName(parameters, &eventName, true, false)
            .value_or(platform::ValueMap{});
    eventParameters.erase(platform::Value("screen_name"));
    eventParameters.erase(platform::Value("screen_class"));
    self->logViewScreenEventWithPreviousScreen(previous, next, eventParameters);
  });
}

platform::ValueMap APMScreenViewReporter::screenParameters() {
  if (isInactive()) return {};
  platform::ValueMap parameters;
  onQueue([&] {
    if (!currentScreen_ || !allowScreenParameters_) return;
    parameters[platform::Value("_si")] = platform::Value(currentScreen_->instanceID);
    if (currentScreen_->className && !currentScreen_->className->empty()) {
      parameters[platform::Value("_sc")] = platform::Value(*currentScreen_->className);
    }
    if (currentScreen_->name && !currentScreen_->name->empty()) {
      parameters[platform::Value("_sn")] = platform::Value(*currentScreen_->name);
    }
  });
  return parameters;
}

bool APMScreenViewReporter::getScreenName(std::optional<std::string>* name,
                                          std::optional<std::string>* screenClass) {
  bool found = false;
  onQueue([&] {
    if (!currentScreen_ || (!currentScreen_->name && !currentScreen_->className)) return;
    if (name) *name = currentScreen_->name;
    if (screenClass) *screenClass = currentScreen_->className;
    found = true;
  });
  return found;
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>&,
                                          const std::optional<std::string>&) {
  report(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::optional<APMScreen>& previous, const APMScreen& next) {
  if (!isAppActive_ || !allowPostScreenDidChangeNotification_) return;
  if (previous) {
    if (const auto reporter = sessionReporter()) {
      reporter->handleScreenDidChangeFromScreen(&*previous, &next);
    }
  }
  if (const auto adExposure = adExposureReporter()) {
    adExposure->handleScreenDidChangeFromScreen(pointer(previous), &next);
  }
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const std::optional<APMScreen>& previous, const std::optional<APMScreen>& next,
    const platform::ValueMap& parameters) {
  if (!next || !allowScreenViewEvent_) return;
  if (isInactive()) {
    report(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  platform::ValueMap eventParameters = parameters;
  for (auto& [key, value] : APMScreenParameters(*next))
    eventParameters[key] = value;
  if (previous) {
    for (auto& [key, value] : APMPreviousScreenParameters(*previous))
      eventParameters[key] = value;
    if (efficientEngagementReporting()) {
      if (const auto reporter = sessionReporter()) {
        const std::int64_t ms = reporter->cutFreerideEngagementTimeMillis();
        if (ms > 0) eventParameters[platform::Value("_et")] = platform::Value(ms);
      }
    }
  }
  eventParameters[platform::Value("_mst")] = platform::Value(std::int64_t{1});
  previousScreen_ = next;
  if (next->isManuallyTracked) {
    APMAnalytics::logInternalEventWithOrigin("app", "_vs", next->eventTimestamp, eventParameters);
  } else {
    APMAnalytics::logInternalEventWithOrigin("auto", "_vs", eventParameters);
  }
}

void APMScreenViewReporter::handleApplicationDidBecomeActive(const platform::Notification&) {
  isAppActive_ = true;
  appHasBeenInitialized_ = true;
  if (const auto reporter = sessionReporter()) reporter->handleAppDidBecomeActive();
  if (const auto adExposure = adExposureReporter()) adExposure->handleAppDidBecomeActive();
}

void APMScreenViewReporter::handleApplicationWillResignActive(const platform::Notification&) {
  // The flag stays set: once active, the application counts as active for the rest of the run.
  if (const auto reporter = sessionReporter())
    reporter->handleAppWillResignActiveWithScreen(nullptr);
  if (const auto adExposure = adExposureReporter()) {
    adExposure->handleAppWillResignActiveWithScreen(nullptr);
  }
}

void APMScreenViewReporter::onQueue(const std::function<void()>& body) {
  // Events logged from the queue itself (the "_vs" road) read the screen in place.
  if (queue_->isCurrent()) {
    body();
  } else {
    queue_->sync(body);
  }
}

std::int64_t APMScreenViewReporter::incrementScreenInstanceID() {
  return static_cast<std::int64_t>(currentScreenInstanceID_.fetch_add(1) + 1);
}

void APMScreenViewReporter::resetForTesting() {
  queue_->sync([&] {
    currentScreen_.reset();
    previousScreen_.reset();
  });
  isAppActive_ = false;
  appHasBeenInitialized_ = false;
}
