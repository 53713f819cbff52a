// The preferences plugin's message interfaces: the options record, the plugin codec, the two
// host interfaces (the legacy one on the application's own preferences, the current one whose
// every call names its preferences through the options) and their channel set-up.
//
// One basic message channel per method, named "dev.flutter.pigeon.shared_preferences_foundation."
// + interface + "." + method (+ "." + suffix when one is given). Requests are argument lists;
// replies are [result] or [code, message, details]. Handlers run on the main loop; the
// messenger keeps the implementations alive.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/standard_codec.h"
#include "plugins/pigeon/pigeon_values.h"

namespace shared_preferences {

// Which preferences a current-interface call works on: a suite, or (none) the application's.
class SharedPreferencesPigeonOptions : public pigeon::PigeonRecord {
 public:
  explicit SharedPreferencesPigeonOptions(std::optional<std::string> suiteName = std::nullopt)
      : suiteName(std::move(suiteName)) {}
  static std::shared_ptr<SharedPreferencesPigeonOptions> fromList(const platform::ValueList& list);
  platform::ValueList toList() const override;
  std::string className() const override { return "SharedPreferencesPigeonOptions"; }

  std::optional<std::string> suiteName;
};

// The codec shared by every channel of both interfaces (options under type byte 129).
class MessagesPigeonCodec {
 public:
  static std::shared_ptr<const flutter::StandardMessageCodec> shared();
};

using AllowList = std::optional<std::vector<std::string>>;

// Implemented by the plugin; failures are thrown (pigeon::PigeonError for chosen replies).
class LegacyUserDefaultsApi {
 public:
  virtual ~LegacyUserDefaultsApi() = default;
  virtual void remove(const std::string& key) = 0;
  virtual void setBool(const std::string& key, bool value) = 0;
  virtual void setDouble(const std::string& key, double value) = 0;
  virtual void setValue(const std::string& key, const platform::Value& value) = 0;
  virtual platform::ValueMap getAll(const std::string& prefix, const AllowList& allowList) = 0;
  virtual bool clear(const std::string& prefix, const AllowList& allowList) = 0;
};

class UserDefaultsApi {
 public:
  virtual ~UserDefaultsApi() = default;
  virtual void set(const std::string& key, const platform::Value& value,
                   const SharedPreferencesPigeonOptions& options) = 0;
  virtual void clear(const AllowList& allowList, const SharedPreferencesPigeonOptions& options) = 0;
  virtual platform::ValueMap getAll(const AllowList& allowList,
                                    const SharedPreferencesPigeonOptions& options) = 0;
  virtual std::optional<platform::Value>
  getValue(const std::string& key, const SharedPreferencesPigeonOptions& options) = 0;
  virtual std::vector<std::string> getKeys(const AllowList& allowList,
                                           const SharedPreferencesPigeonOptions& options) = 0;
};

// Creates the interface's channels on `messenger` in method order and installs handlers that
// call `api`; a null `api` detaches the handlers.
struct LegacyUserDefaultsApiSetup {
  static void setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                    std::shared_ptr<LegacyUserDefaultsApi> api,
                    const std::string& messageChannelSuffix = "");
};

struct UserDefaultsApiSetup {
  static void setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                    std::shared_ptr<UserDefaultsApi> api,
                    const std::string& messageChannelSuffix = "");
};

}  // namespace shared_preferences
