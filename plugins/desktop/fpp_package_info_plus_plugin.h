// The package information plugin: "dev.dovecresthalyard.plus/package_info" answers "getAll" with
// the application's name, identifier, version, build number and its install and update times,
// read from the main bundle and the file system. Keeps no state. Main thread.
#pragma once

#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/plugin_registrar.h"

class FPPPackageInfoPlusPlugin : public flutter::Plugin {
 public:
  static void registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar);

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;

  // The "getAll" map: exactly seven keys, absent values null.
  platform::Value getAll() const;

  // True when the environment names a sandbox container (whatever its value).
  static bool isRunningInSandbox();
  // Inside a sandbox, the birth time of the Documents folder; otherwise none.
  static std::optional<platform::Date> getInstallDate();
  // The main bundle's modification time.
  static std::optional<platform::Date> getUpdateDate();
  // Milliseconds since 1970, truncated toward zero, as decimal text.
  static std::optional<std::string> getTimeMillisStringFromDate(std::optional<platform::Date> date);
};
