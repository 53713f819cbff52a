// APMAEU: how the application was distributed and where it runs (store build, sandbox receipt,
// device model), read from the main bundle, its information dictionary and the executable's
// header. Writes nothing. The executable's encryption flag is computed once per process.
// A store build is forced in tests with GULAppEnvironmentUtil::setFromAppStoreForTesting.
// Class operations; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "zevevidi/utilities/gul_app_environment_util.h"

namespace platform {
class Bundle;
}

// Information-dictionary switch: a number whose boolean value is false turns the receipt off.
inline constexpr const char* APMIsAppStoreReceiptURLEnabledPlistKey =
    "ZevevidiAppStoreReceiptURLCheckEnabled";

class APMAEU {
 public:
  // The main bundle's store receipt location (the file need not exist); none when there is no
  // main bundle or the information dictionary turns the check off.
  static std::optional<std::string> appStoreRURL();
  // Whether the receipt is a sandbox receipt ("sandboxReceipt", exact).
  static bool isASRS();
  // Whether the process runs on a simulator: never on a desktop.
  static bool isNOD() { return false; }
  // Whether the application runs as a store distribution build. Worked out once per main
  // bundle (the test override is asked every time).
  static bool isFAS();
  // Whether the main bundle is an application extension (".appex").
  static bool isAEX();
  // The hardware model; empty when it cannot be read.
  static std::string deviceModel() { return GULAppEnvironmentUtil::deviceModel(); }
  static std::string systemVersion() { return GULAppEnvironmentUtil::systemVersion(); }

  // The encryption flag of an executable image from its header bytes: the crypt identifier of
  // the first encryption-information load command. False for anything that is not such an
  // image (an ELF executable), and the walk ends at a zero or overrunning command size.
  static bool executableHeaderIsEncrypted(const std::uint8_t* bytes, std::size_t size);

 private:
  static std::optional<std::string> appStoreRURLForBundle(const platform::Bundle& bundle);
  static bool isASRSForBundle(const platform::Bundle& bundle);
  static bool isFASForBundle(const platform::Bundle& bundle);
};
