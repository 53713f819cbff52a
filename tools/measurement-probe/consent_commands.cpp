#include "tools/measurement-probe/consent_commands.h"

#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_environment_info.h"

namespace lumora::probe {

namespace {

// A settings object of the command, or none for null / an absent field.
std::optional<platform::ValueMap> settingsField(const Json& command, const char* name) {
  if (!command.contains(name) || command[name].is_null()) return std::nullopt;
  const platform::Value value = valueFromJson(command[name]);
  if (!value.isMap()) throw ProbeInputError(std::string("\"") + name + "\" must be an object");
  return value.asMap();
}

Json consentState() {
  using Util = APMConsentSettingsUtil;
  const auto personalization = Util::adPersonalization();
  return Json{
      {"signals", Util::consentSignals()},
      {"diagnostics", Util::consentDiagnostics()},
      {"source", Util::consentSource()},
      {"adStorageDenied", Util::isAdStorageDenied()},
      {"analyticsStorageDenied", Util::isAnalyticsStorageDenied()},
      {"adUserDataDenied", Util::isAdUserDataDenied()},
      {"adPersonalization", personalization ? Json(*personalization) : Json(nullptr)},
      {"description", Util::description()},
  };
}

}  // namespace

void registerConsentCommands(ProbeSession& session) {
  using Util = APMConsentSettingsUtil;
  // {"op":"consentSet","settings":{...}|null}: replaces the current settings.
  session.add("consentSet", [](const Json& command) {
    Util::setConsentSettings(settingsField(command, "settings"));
    return consentState();
  });
  // {"op":"consentUpdate","settings":{...},"source":N}: the facade's accepted update (the source
  // is optional: without it, a merge that keeps source and digits).
  session.add("consentUpdate", [](const Json& command) {
    const auto settings = settingsField(command, "settings");
    if (!settings) throw ProbeInputError("\"settings\" must be an object");
    if (command.contains("source"))
      Util::updateSettings(*settings, integerField(command, "source"));
    else
      Util::updateSettings(*settings);
    return consentState();
  });
  // {"op":"consentConfigure","defaults":...,"delegated":...,"regional":...}: the settings that
  // come with the measurement configuration (absent or null clears one).
  session.add("consentConfigure", [](const Json& command) {
    Util::setDefaultSettings(settingsField(command, "defaults"));
    Util::setDelegatedSettings(settingsField(command, "delegated"));
    Util::setRegionalDefaults(settingsField(command, "regional"));
    return consentState();
  });
  session.add("consentSource", [](const Json& command) {
    Util::setConsentSource(integerField(command, "source"));
    return consentState();
  });
  // {"op":"consentAccepts","source":N}: whether an update from that source would be accepted.
  session.add("consentAccepts", [](const Json& command) {
    const std::int64_t source = integerField(command, "source");
    return Json{{"equalPriority", Util::isConsentSourceEqualPriority(source)},
                {"accepted", Util::isConsentSourceHigherPriority(source)}};
  });
  session.add("consent", [](const Json&) { return consentState(); });
  session.add("consentFromPlist", [](const Json&) {
    return jsonFromValue(platform::Value(Util::consentSettingsFromPlist()));
  });
  session.add("environment", [](const Json&) {
    const auto info = APMEnvironmentInfo::sharedInstance();
    const auto language = info->userDefaultLanguage();
    const auto path = APMZirizaServiceFileUtil::zirizaServiceInfoPlistPath();
    const auto service = APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist();
    return Json{
        {"deviceModel", info->deviceModel()},
        {"osVersion", info->deviceOSVersion()},
        {"language", language ? Json(*language) : Json(nullptr)},
        {"timeZoneOffsetMinutes", info->timeZoneOffsetMinutes()},
        {"serviceFile", path ? Json(*path) : Json(nullptr)},
        {"serviceOptions", service ? jsonFromValue(platform::Value(*service)) : Json(nullptr)},
    };
  });
}

}  // namespace lumora::probe
