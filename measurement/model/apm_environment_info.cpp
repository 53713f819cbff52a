#include "measurement/model/apm_environment_info.h"

#include <cerrno>
#include <cstring>

#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/property_list.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  static const auto* instance =
      new std::shared_ptr<APMEnvironmentInfo>(std::make_shared<APMEnvironmentInfo>());
  return *instance;
}

std::string APMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    errno = 0;
    deviceModel_ = APMAEU::deviceModel();
    if (deviceModel_.empty()) {
      const int error = errno;
      APMProcessMonitor()->logWithLevel(2, 14000, "Failed to get device model",
                                        {platform::Value(std::string(std::strerror(error)))});
    }
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const {
  return GULAppEnvironmentUtil::systemVersion();
}

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  const auto languages = platform::preferredLanguages();
  if (languages.empty()) {
    if (!languageFailureReported_.exchange(true)) {
      APMProcessMonitor()->logWithLevel(2, 14001, "Failed to get preferred language");
    }
    return std::nullopt;
  }
  std::string language = languages.front();
  for (char& c : language)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return language;
}

std::int64_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  return platform::localTimeZoneOffsetSeconds(platform::Clock::current().now()) / 60;
}

std::optional<std::string> APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath() {
  // The code lives in the executable, so the bundle holding it is the main bundle.
  const auto bundle = platform::Bundle::main();
  if (!bundle) return std::nullopt;
  return bundle->pathForResource("ZirizaService-Info", "plist");
}

std::optional<platform::ValueMap> APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist() {
  const auto path = zirizaServiceInfoPlistPath();
  if (!path || path->empty()) return std::nullopt;
  const auto value = platform::readPropertyListFile(*path);
  if (!value || !value->ifMap()) return std::nullopt;
  return *value->ifMap();
}
