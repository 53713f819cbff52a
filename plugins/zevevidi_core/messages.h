// The core plugin's generated message interfaces: the options and initialise-response records,
// the plugin codec (options under type byte 129, response under 130), the two host interfaces
// and their channel set-up on "dev.flutter.pigeon.zevevidi_core_platform_interface.<api>.<method>".
//
// Handlers run on the main loop; each completion must be called exactly once (now or later).
// The messenger keeps the implementations alive.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/error.h"
#include "platform/engine/standard_codec.h"
#include "plugins/pigeon/pigeon_values.h"

inline constexpr const char* kZevevidiCorePackage = "zevevidi_core_platform_interface";

// The 14 option strings, each possibly absent, in wire order.
class CoreZevevidiOptions : public pigeon::PigeonRecord {
 public:
  using Field = std::optional<std::string>;

  static std::shared_ptr<CoreZevevidiOptions>
  makeWithApiKey(Field apiKey, Field appId, Field messagingSenderId, Field projectId,
                 Field authDomain, Field databaseURL, Field storageBucket, Field measurementId,
                 Field trackingId, Field deepLinkURLScheme, Field androidClientId,
                 Field iosClientId, Field iosBundleId, Field appGroupId);
  // Null when the list is shorter than 14 or an element is neither null nor a string.
  static std::shared_ptr<CoreZevevidiOptions> fromList(const platform::ValueList& list);
  static std::shared_ptr<CoreZevevidiOptions> nullableFromList(const platform::ValueList* list);
  platform::ValueList toList() const override;
  std::string className() const override { return "CoreZevevidiOptions"; }

  Field apiKey, appId, messagingSenderId, projectId, authDomain, databaseURL, storageBucket,
      measurementId, trackingId, deepLinkURLScheme, androidClientId, iosClientId, iosBundleId,
      appGroupId;
};

class CoreInitializeResponse : public pigeon::PigeonRecord {
 public:
  static std::shared_ptr<CoreInitializeResponse>
  makeWithName(std::string name, std::shared_ptr<CoreZevevidiOptions> options,
               std::optional<bool> isAutomaticDataCollectionEnabled,
               platform::ValueMap pluginConstants);
  // Null when the list is short or a field has another type.
  static std::shared_ptr<CoreInitializeResponse> fromList(const platform::ValueList& list);
  static std::shared_ptr<CoreInitializeResponse> nullableFromList(const platform::ValueList* list);
  platform::ValueList toList() const override;
  std::string className() const override { return "CoreInitializeResponse"; }

  std::string name;
  std::shared_ptr<CoreZevevidiOptions> options;
  std::optional<bool> isAutomaticDataCollectionEnabled;
  platform::ValueMap pluginConstants;
};

// The codec shared by the six channels.
std::shared_ptr<const flutter::StandardMessageCodec> nullGetMessagesCodec();

using FLTVoidCompletion = std::function<void(const std::optional<flutter::Error>& error)>;
using FLTResponseCompletion = std::function<void(std::shared_ptr<CoreInitializeResponse> result,
                                                 const std::optional<flutter::Error>& error)>;
using FLTResponseListCompletion =
    std::function<void(std::vector<std::shared_ptr<CoreInitializeResponse>> result,
                       const std::optional<flutter::Error>& error)>;

class ZevevidiCoreHostApi {
 public:
  virtual ~ZevevidiCoreHostApi() = default;
  virtual void initializeApp(const std::string& appName,
                             const CoreZevevidiOptions& initializeAppRequest,
                             FLTResponseCompletion completion) = 0;
  virtual void initializeCore(FLTResponseListCompletion completion) = 0;
  virtual void optionsFromResource(FLTResponseCompletion completion) = 0;
};

class ZevevidiAppHostApi {
 public:
  virtual ~ZevevidiAppHostApi() = default;
  virtual void setAutomaticDataCollectionEnabled(const std::string& appName, bool enabled,
                                                 FLTVoidCompletion completion) = 0;
  virtual void setAutomaticResourceManagementEnabled(const std::string& appName, bool enabled,
                                                     FLTVoidCompletion completion) = 0;
  // The "delete" method.
  virtual void deleteApp(const std::string& appName, FLTVoidCompletion completion) = 0;
};

// A null `api` removes the handlers. A non-empty suffix is appended as "." + suffix.
void SetUpZevevidiCoreHostApi(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                              std::shared_ptr<ZevevidiCoreHostApi> api);
void SetUpZevevidiCoreHostApiWithSuffix(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                        std::shared_ptr<ZevevidiCoreHostApi> api,
                                        const std::string& messageChannelSuffix);
void SetUpZevevidiAppHostApi(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                             std::shared_ptr<ZevevidiAppHostApi> api);
void SetUpZevevidiAppHostApiWithSuffix(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                       std::shared_ptr<ZevevidiAppHostApi> api,
                                       const std::string& messageChannelSuffix);
