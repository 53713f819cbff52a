#include "zevevidi/core/fir_zevevidi_user_agent.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/foundation/bundle.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

std::optional<std::string> infoString(const char* key) {
  auto value = platform::Bundle::main()->objectForInfoDictionaryKey(key);
  if (!value.isString() || value.asString().empty()) return std::nullopt;
  return value.asString();
}

// Case-insensitive order, with the exact text breaking ties so the order is total.
bool lessCaseInsensitive(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char c) { return std::tolower(c); };
  bool less = std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
  bool greater = std::lexicographical_compare(
      b.begin(), b.end(), a.begin(), a.end(),
      [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
  if (less || greater) return less;
  return a < b;
}

}  // namespace

FIRZevevidiUserAgent::Components FIRZevevidiUserAgent::environmentComponentsNow() {
  Components c;
  c["apple-platform"] = GULAppEnvironmentUtil::applePlatform();
  if (auto sdk = infoString("DTSDKBuild")) c["apple-sdk"] = *sdk;
  c["appstore"] = GULAppEnvironmentUtil::isFromAppStore() ? "true" : "false";
  c["deploy"] = GULAppEnvironmentUtil::deploymentType();
  auto device = GULAppEnvironmentUtil::deviceModel();
  if (!device.empty()) c["device"] = device;
  auto os = GULAppEnvironmentUtil::systemVersion();
  if (!os.empty()) c["os-version"] = os;
  if (auto xcode = infoString("DTXcodeBuild")) c["xcode"] = *xcode;
  return c;
}

const FIRZevevidiUserAgent::Components& FIRZevevidiUserAgent::environmentComponents() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!environment_) environment_ = environmentComponentsNow();
  return *environment_;
}

void FIRZevevidiUserAgent::setValue(const std::optional<std::string>& value,
                                    const std::string& component) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (value) {
    valuesByComponent_[component] = *value;
  } else {
    valuesByComponent_.erase(component);
  }
  userAgent_.reset();
}

std::string FIRZevevidiUserAgent::zevevidiUserAgent() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (userAgent_) return *userAgent_;
  Components all = valuesByComponent_;
  for (const auto& [name, value] : environmentComponents())
    all[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : all)
    entries.push_back(name + "/" + value);
  std::sort(entries.begin(), entries.end(), lessCaseInsensitive);
  std::string text;
  for (const auto& e : entries) {
    if (!text.empty()) text += ' ';
    text += e;
  }
  userAgent_ = text;
  return text;
}

void FIRZevevidiUserAgent::reset() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  valuesByComponent_ = environmentComponents();
  userAgent_.reset();
}
