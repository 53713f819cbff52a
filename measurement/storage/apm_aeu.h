// APMAEU: the application-environment questions the measurement side asks (store build, sandbox
// receipt, device model), answered by the Zevevidi utilities. There is never a store build on
// this platform; tests make one with GULAppEnvironmentUtil::setFromAppStoreForTesting.
// Class operations; any thread.
#pragma once

#include <string>

#include "zevevidi/utilities/gul_app_environment_util.h"

class APMAEU {
 public:
  // Whether the application runs as a store distribution build.
  static bool isFAS() { return GULAppEnvironmentUtil::isFromAppStore(); }
  // Whether the application's store receipt is a sandbox receipt.
  static bool isASRS() { return GULAppEnvironmentUtil::isAppStoreReceiptSandbox(); }
  // The hardware model; empty when it cannot be read.
  static std::string deviceModel() { return GULAppEnvironmentUtil::deviceModel(); }
};
