#include "plugins/desktop/fpp_package_info_plus_plugin.h"

#include <cmath>
#include <limits>

#include "platform/engine/channels.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/process_info.h"

using platform::Value;

void FPPPackageInfoPlusPlugin::registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar) {
  auto channel = flutter::MethodChannel::methodChannelWithName(
      "dev.dovecresthalyard.plus/package_info", registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<FPPPackageInfoPlusPlugin>(), channel);
}

void FPPPackageInfoPlusPlugin::handleMethodCall(const flutter::MethodCall& call,
                                                flutter::MethodResult result) {
  if (call.method != "getAll") return result(flutter::MethodNotImplemented);
  result(getAll());
}

bool FPPPackageInfoPlusPlugin::isRunningInSandbox() {
  return platform::ProcessInfo::processInfo()
      .environmentValue("APP_SANDBOX_CONTAINER_ID")
      .has_value();
}

std::optional<platform::Date> FPPPackageInfoPlusPlugin::getInstallDate() {
  if (!isRunningInSandbox()) return std::nullopt;
  auto& files = platform::FileManager::defaultManager();
  std::string documents = files.pathForDirectory(platform::SearchPathDirectory::Documents);
  if (documents.empty()) return std::nullopt;
  auto attributes = files.attributesOfItem(documents);
  if (!attributes) return std::nullopt;
  return attributes->creationDate;
}

std::optional<platform::Date> FPPPackageInfoPlusPlugin::getUpdateDate() {
  auto attributes = platform::FileManager::defaultManager().attributesOfItem(
      platform::Bundle::main()->bundlePath());
  if (!attributes) return std::nullopt;
  return attributes->modificationDate;
}

std::optional<std::string>
FPPPackageInfoPlusPlugin::getTimeMillisStringFromDate(std::optional<platform::Date> date) {
  if (!date) return std::nullopt;
  double millis = std::trunc(date->secondsSince1970 * 1000.0);
  // A date outside what 64 bits of milliseconds hold has no text (never an undefined cast).
  if (!std::isfinite(millis) || millis < -9.2e18 || millis > 9.2e18) return std::nullopt;
  return std::to_string(static_cast<std::int64_t>(millis));
}

Value FPPPackageInfoPlusPlugin::getAll() const {
  auto installTime = getTimeMillisStringFromDate(getInstallDate());
  auto updateTime = getTimeMillisStringFromDate(getUpdateDate());
  auto bundle = platform::Bundle::main();
  auto text = [&](const char* key) {
    Value v = bundle->objectForInfoDictionaryKey(key);
    return v.isString() ? v : Value();
  };
  Value appName = text("CFBundleDisplayName");
  if (appName.isNull()) appName = text("CFBundleName");
  auto optional = [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); };
  return Value::map({
      {"appName", appName},
      {"packageName", optional(bundle->bundleIdentifier())},
      {"version", text("CFBundleShortVersionString")},
      {"buildNumber", text("CFBundleVersion")},
      {"installerStore", Value()},
      {"installTime", optional(installTime ? installTime : updateTime)},
      {"updateTime", optional(updateTime)},
  });
}
