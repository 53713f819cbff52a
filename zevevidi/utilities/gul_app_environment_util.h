// GULAppEnvironmentUtil: facts about the running process that decide behaviour (debug logging is
// restricted in store builds) and describe the process (device model, OS version, platform).
// Class operations only; values computed once are kept under once-only guards, everything else
// is asked afresh. Callable from any thread.
//
// GULNetworkInfo: the network type, which this platform answers with fixed values.
#pragma once

#include <optional>
#include <string>

class GULAppEnvironmentUtil {
 public:
  // Information-property-list switch that turns the receipt check off when it holds NO.
  static constexpr const char* kReceiptURLCheckEnabledKey =
      "ZevevidiAppStoreReceiptURLCheckEnabled";

  // YES only for an encrypted store build that is neither a simulator nor a sandbox receipt.
  static bool isFromAppStore();
  // Whether the main bundle's store receipt is a sandbox one: the receipt lives in the bundle's
  // "Receipt" folder, named "sandboxReceipt" for sandbox purchases and "receipt" otherwise.
  // Answers NO when the information property list turns the check off.
  static bool isAppStoreReceiptSandbox();
  static bool isSimulator() { return false; }
  static bool isAppExtension() { return false; }
  static bool isAppClip() { return false; }
  static bool supportsBackgroundURLSessionUploads() { return !isAppExtension() && !isAppClip(); }

  // Hardware model: "hw.model", else the machine field of uname. Computed once.
  static std::string deviceModel();
  static std::string deviceSimulatorModel();
  // "major.minor", plus ".patch" when the patch is not 0; "0.0" when unknown.
  static std::string systemVersion();
  static std::string applePlatform() { return "macos"; }
  static std::string appleDevicePlatform() { return applePlatform(); }
  static std::string deploymentType() { return "swiftpm"; }

  // Test support: makes isFromAppStore answer `answer` (none restores the real answer), so both
  // sides of the store-build rules can be exercised on an unencrypted test binary.
  static void setFromAppStoreForTesting(std::optional<bool> answer);
  // The answer tests asked for, if any (the measurement side's store-build test honours it too).
  static std::optional<bool> fromAppStoreOverrideForTesting();

  // The kernel value of that name as text; none when it is missing or empty.
  static std::optional<std::string> getSysctlEntry(const char* name);
};

// Whether the main executable carries an active encryption record (store builds do).
bool IsAppEncrypted();

class GULNetworkInfo {
 public:
  static int getNetworkType() { return -1; }
  static std::string getNetworkRadioType() { return ""; }
};
