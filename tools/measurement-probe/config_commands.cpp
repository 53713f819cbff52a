#include "tools/measurement-probe/config_commands.h"

#include <memory>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/script/apmp_script_event_editing.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/foundation/file_manager.h"
#include "tools/measurement-probe/database_commands.h"

namespace lumora::probe {

namespace {

// A stand-in for the script runtime: it loads every program except the first `failures` ones.
class ProbeScriptedRuntime : public APMPEventEditing {
 public:
  explicit ProbeScriptedRuntime(std::shared_ptr<int> failuresLeft)
      : failuresLeft_(std::move(failuresLeft)) {}
  void setModuleCreator(ModuleCreator, const std::string&) override {}
  void loadProgram(const APMPBProgram&, platform::ErrorPtr* error) override {
    if (*failuresLeft_ > 0) {
      --*failuresLeft_;
      if (error) *error = platform::Error::make("MeasurementProbe", 1);
    }
  }
  bool handleEvent(const APMPEvent&, platform::ErrorPtr*) override { return false; }
  bool hasEdits() const override { return false; }
  bool hasCreatedEvents() const override { return false; }
  const APMPEventContext& eventContext() const override { return context_; }

 private:
  std::shared_ptr<int> failuresLeft_;
  APMPEventContext context_;
};

Json settingValue(APMRemoteConfig& config, const APMSettingSpec& spec) {
  switch (spec.kind) {
  case APMSettingKind::MillisToSeconds:
    return config.doubleSetting(spec.setting);
  case APMSettingKind::Bool:
    return config.boolSetting(spec.setting);
  default:
    if (spec.setting == APMSetting::MaxPSMStartCount) return config.maxPSMStartCount();
    return config.integerSetting(spec.setting);
  }
}

Json valueMapJson(const platform::ValueMap& map) {
  return jsonFromValue(platform::Value(map));
}

template <class T> Json optionalJson(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

std::shared_ptr<APMIdentity> identity() {
  auto shared = APMIdentity::sharedInstance();
  if (!shared) throw ProbeInputError("the identity has no persisted configuration");
  return shared;
}

// What the configuration in force holds besides its settings; worker queue.
Json configState() {
  auto config = APMRemoteConfig::current();
  Json services = Json::array();
  for (const auto& service : config->corePlatformServices())
    services.push_back(service);
  return Json{{"defaultInstance", config->isDefaultInstance()},
              {"version", config->version()},
              {"dataControls", config->dataControls()},
              {"consentDefaults", valueMapJson(config->consentDefaults())},
              {"consentDelegations", valueMapJson(config->consentDelegations())},
              {"regionalDefaults", valueMapJson(config->regionalDefaults())},
              {"corePlatformServices", services},
              {"isDMARegion", config->isDMARegion()},
              {"uploadSubdomain", config->uploadSubdomain()},
              {"uploadURL", config->uploadURL()},
              {"eventEditingLoaded", config->eventEditing() != nullptr},
              {"lastUpdate", config->lastRemoteConfigUpdateTimestamp()},
              {"isExpired", config->isExpired()}};
}

}  // namespace

void registerConfigCommands(ProbeSession& session) {
  // {"op":"settings"}: every setting getter of the configuration in force.
  session.add("settings", [](const Json&) {
    auto config = APMRemoteConfig::current();
    Json out = Json::object();
    for (const auto& spec : APMRemoteConfigSettings())
      out[spec.getter] = settingValue(*config, spec);
    out["maxInternalEventParameterValueLength"] = config->maxInternalEventParameterValueLength();
    out["customerTypeEnabled"] = config->customerTypeEnabled();
    out["sessionStitchingTokenFeatureEnabled"] = config->sessionStitchingTokenFeatureEnabled();
    return out;
  });
  // {"op":"remoteConfigOpen","appID":"..."}: the per-app instance over the open database; it
  // reads the stored configuration and becomes the configuration in force.
  session.add("remoteConfigOpen", [](const Json& command) {
    const std::string appID = stringField(command, "appID");
    return onDatabaseWorker([&] {
      auto database = openedDatabase();
      if (!database) throw ProbeInputError("the database is not open (databaseOpen)");
      auto config = APMRemoteConfig::initWithAppID(appID, database,
                                                   APMPersistedConfig::sharedInstance(), nullptr);
      if (!config) throw ProbeInputError("no remote configuration for that app ID");
      APMRemoteConfig::setCurrent(config);
      return Json{{"version", config->version()}};
    });
  });
  // {"op":"remoteConfigUpdate","file":"config.bin"}: a fetched configuration, as the core takes it.
  session.add("remoteConfigUpdate", [](const Json& command) {
    const std::string file = stringField(command, "file");
    platform::ErrorPtr readError;
    const auto bytes = platform::FileManager::defaultManager().contentsAtPath(file, &readError);
    if (!bytes) throw ProbeInputError("cannot read " + file);
    auto message = APMPBMeasurementConfig::initWithBuffer(*bytes);
    if (!message) throw ProbeInputError(file + " holds no MeasurementConfig message");
    auto config = APMRemoteConfig::current();
    return onDatabaseWorker([&] {
      const bool accepted = config->updateMeasurementConfig(message);
      return Json{{"accepted", accepted}, {"version", config->version()}};
    });
  });
  // {"op":"remoteConfigState"}: what the configuration in force holds besides its settings.
  session.add("remoteConfigState",
              [](const Json&) { return onDatabaseWorker([] { return configState(); }); });

  // {"op":"eventConfig","name":"_vs"}: the per-event answers for an internal event name.
  session.add("eventConfig", [](const Json& command) {
    const std::string name = stringField(command, "name");
    auto config = APMRemoteConfig::current();
    return Json{{"blocklisted", config->isEventBlocklisted(name)},
                {"customConversion", config->isEventCustomConversion(name)},
                {"hasSamplingRate", config->eventHasSamplingRate(name)},
                {"samplingRate", config->samplingRateForEvent(name)}};
  });
  // {"op":"remoteConfigURL","platform":"macos"}: the configuration fetch address.
  session.add("remoteConfigURL", [](const Json& command) {
    std::optional<std::string> platform;
    if (command.contains("platform") && !command["platform"].is_null())
      platform = stringField(command, "platform");
    return optionalJson(APMRemoteConfig::current()->remoteConfigURLWithPlatform(
        platform, APMIdentity::devAzerirerizeLibraryVersion(), APMPEventEditing::runtimeVersion()));
  });
  // {"op":"editingRuntime","failFirst":N}: registers a scripted runtime that fails the next N
  // programs; {"op":"editingRuntime","script":true} registers the script runtime the host
  // uses; {"op":"editingRuntime"} with neither unregisters it.
  session.add("editingRuntime", [](const Json& command) {
    if (command.value("script", false)) {
      APMPScriptEventEditingLoad();
      return Json(true);
    }
    if (!command.contains("failFirst")) {
      APMPEventEditing::registerFactory(nullptr);
      return Json(false);
    }
    auto failures = std::make_shared<int>(static_cast<int>(integerField(command, "failFirst")));
    APMPEventEditing::registerFactory(
        [failures] { return std::make_shared<ProbeScriptedRuntime>(failures); });
    return Json(true);
  });

  // {"op":"identity"}: the shared identity's identifiers and app facts.
  session.add("identity", [](const Json&) {
    auto id = identity();
    const auto persisted = APMPersistedConfig::sharedInstance();
    return Json{{"appID", optionalJson(id->appID())},
                {"appVersion", optionalJson(id->appVersion())},
                {"appVersionMajor", optionalJson(id->appVersionMajor())},
                {"appVersionMinor", optionalJson(id->appVersionMinor())},
                {"appVersionRelease", optionalJson(id->appVersionRelease())},
                {"appIDFromDUZ", optionalJson(id->appIDFromDUZ())},
                {"appInstanceID", optionalJson(id->appInstanceID())},
                {"persistedAppInstanceID", optionalJson(persisted->appInstanceID())},
                {"resettableDeviceID", optionalJson(id->resettableDeviceID())},
                {"hashedResettableDeviceID", optionalJson(id->hashedResettableDeviceID())},
                {"appleConsentStatus", id->appleConsentStatus()},
                {"appDataConsentStatus", id->appDataConsentStatus()},
                {"limitedAdTracking", id->limitedAdTracking()},
                {"libraryVersion", APMIdentity::devAzerirerizeLibraryVersion()}};
  });
  // {"op":"stitchingToken","session":N,"expired":false,"userID":false}
  session.add("stitchingToken", [](const Json& command) {
    return optionalJson(identity()->sessionStitchingTokenWithSessionNumber(
        integerField(command, "session"), boolField(command, "expired", false),
        boolField(command, "userID", false)));
  });
  session.add("diversionKey", [](const Json&) { return Json(identity()->diversionKey()); });
}

}  // namespace lumora::probe
