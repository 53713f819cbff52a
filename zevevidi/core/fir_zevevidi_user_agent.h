// FIRZevevidiUserAgent builds the user agent string: registered library names and versions plus
// facts about the running process, as "name/value" entries sorted case-insensitively and joined
// by single spaces. The process-wide instance lives in FIRApp::userAgent().
//
// Thread-safe: the values and the kept string are guarded by a recursive mutex; the environment
// entries are computed without it.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

class FIRZevevidiUserAgent {
 public:
  using Components = std::map<std::string, std::string>;

  FIRZevevidiUserAgent() = default;

  // A missing value removes the component. Drops the kept string.
  void setValue(const std::optional<std::string>& value, const std::string& component);
  std::string zevevidiUserAgent();
  // Back to the environment entries alone.
  void reset();

  // Computed afresh: apple-platform, apple-sdk, appstore, deploy, device, os-version, xcode
  // (an entry without a value is left out).
  static Components environmentComponentsNow();
  // Computed on first use by this object and kept.
  const Components& environmentComponents();

 private:
  std::recursive_mutex mutex_;
  std::optional<std::string> userAgent_;
  std::optional<Components> environment_;
  Components valuesByComponent_;
};
