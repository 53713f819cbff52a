#include "measurement/storage/apm_aeu.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "platform/foundation/bundle.h"

namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kExecutableFileType = 2;
constexpr std::uint32_t kEncryptionInfo32 = 33;
constexpr std::uint32_t kEncryptionInfo64 = 44;

std::uint32_t word(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The main executable's header bytes. Enough for the load commands of any real header.
std::vector<std::uint8_t> mainExecutableHeader() {
  std::ifstream in("/proc/self/exe", std::ios::binary);
  if (!in) return {};
  std::vector<std::uint8_t> bytes(64 * 1024);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::mutex gEncryptedMutex;  // guards the two values below
bool gEncryptedComputed = false;
bool gEncrypted = false;

bool executableIsEncrypted() {
  std::lock_guard lock(gEncryptedMutex);
  if (!gEncryptedComputed) {
    const auto header = mainExecutableHeader();
    gEncrypted = APMAEU::executableHeaderIsEncrypted(header.data(), header.size());
    gEncryptedComputed = true;
  }
  return gEncrypted;
}

}  // namespace

bool APMAEU::executableHeaderIsEncrypted(const std::uint8_t* bytes, std::size_t size) {
  if (!bytes || size < 28) return false;
  const std::uint32_t magic = word(bytes);
  if (magic != kMagic32 && magic != kMagic64) return false;
  const bool is64 = magic == kMagic64;
  const std::size_t headerSize = is64 ? 32 : 28;
  if (size < headerSize || word(bytes + 12) != kExecutableFileType) return false;
  const std::uint32_t commandCount = word(bytes + 16);
  const std::uint32_t wanted = is64 ? kEncryptionInfo64 : kEncryptionInfo32;
  std::size_t offset = headerSize;
  for (std::uint32_t i = 0; i < commandCount; ++i) {
    if (size - offset < 8) return false;
    const std::uint32_t command = word(bytes + offset);
    const std::uint32_t commandSize = word(bytes + offset + 4);
    if (commandSize < 8 || commandSize > size - offset) return false;
    if (command == wanted) {
      // The crypt identifier is the command's fifth 32-bit word.
      if (commandSize < 20) return false;
      return word(bytes + offset + 16) != 0;
    }
    offset += commandSize;
  }
  return false;
}

std::optional<std::string> APMAEU::appStoreRURL() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return std::nullopt;
  return appStoreRURLForBundle(*bundle);
}

std::optional<std::string> APMAEU::appStoreRURLForBundle(const platform::Bundle& bundle) {
  const platform::Value check =
      bundle.objectForInfoDictionaryKey(APMIsAppStoreReceiptURLEnabledPlistKey);
  // Only a number (a property-list boolean is one) counts: the text "NO" is not a switch.
  if (check.isBool() && !check.asBool()) return std::nullopt;
  if (check.isInt() || check.isDouble()) {
    double enabled = 1;
    if (check.toDouble(&enabled) && enabled == 0) return std::nullopt;
  }
  return bundle.appStoreReceiptURL();
}

bool APMAEU::isASRS() {
  const auto url = appStoreRURL();
  return url && std::filesystem::path(*url).filename() == "sandboxReceipt";
}

bool APMAEU::isASRSForBundle(const platform::Bundle& bundle) {
  const auto url = appStoreRURLForBundle(bundle);
  return url && std::filesystem::path(*url).filename() == "sandboxReceipt";
}

bool APMAEU::isAEX() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const std::string& path = bundle->bundlePath();
  constexpr std::string_view suffix = ".appex";
  return path.size() >= suffix.size() && path.ends_with(suffix);
}

bool APMAEU::isFAS() {
  if (const auto forced = GULAppEnvironmentUtil::fromAppStoreOverrideForTesting()) return *forced;
  auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  // Asked for every stored event. The answer rests on the main bundle alone (its information
  // dictionary and its files, which do not change under a running application), so it is
  // worked out once per main bundle. Leaked: pool threads may ask while the process exits.
  struct Answer {
    std::mutex mutex;  // guards the two below
    std::shared_ptr<const platform::Bundle> bundle;
    bool fromStore = false;
  };
  static auto* answer = new Answer();
  {
    std::lock_guard lock(answer->mutex);
    if (answer->bundle == bundle) return answer->fromStore;
  }
  const bool fromStore = isFASForBundle(*bundle);
  std::lock_guard lock(answer->mutex);
  answer->bundle = bundle;
  answer->fromStore = fromStore;
  return fromStore;
}

bool APMAEU::isFASForBundle(const platform::Bundle& bundle) {
  const bool encrypted = executableIsEncrypted();
  if (isNOD() || isASRSForBundle(bundle)) return false;
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::path(bundle.bundlePath()) / "SC_Info", ec)) {
    return true;
  }
  if (!encrypted) return false;
  const auto profile = bundle.pathForResource("embedded", "mobileprovision");
  return !profile || profile->empty();
}
