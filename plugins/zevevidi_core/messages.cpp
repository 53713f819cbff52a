#include "plugins/zevevidi_core/messages.h"

#include "plugins/pigeon/pigeon_channel.h"
#include "plugins/pigeon/pigeon_codec.h"
#include "plugins/pigeon/pigeon_error.h"

using platform::Value;
using platform::ValueList;

namespace {

Value fieldValue(const CoreZevevidiOptions::Field& f) {
  return f ? Value(*f) : Value();
}

}  // namespace

std::shared_ptr<CoreZevevidiOptions>
CoreZevevidiOptions::makeWithApiKey(Field apiKey, Field appId, Field messagingSenderId,
                                    Field projectId, Field authDomain, Field databaseURL,
                                    Field storageBucket, Field measurementId, Field trackingId,
                                    Field deepLinkURLScheme, Field androidClientId,
                                    Field iosClientId, Field iosBundleId, Field appGroupId) {
  auto o = std::make_shared<CoreZevevidiOptions>();
  o->apiKey = std::move(apiKey);
  o->appId = std::move(appId);
  o->messagingSenderId = std::move(messagingSenderId);
  o->projectId = std::move(projectId);
  o->authDomain = std::move(authDomain);
  o->databaseURL = std::move(databaseURL);
  o->storageBucket = std::move(storageBucket);
  o->measurementId = std::move(measurementId);
  o->trackingId = std::move(trackingId);
  o->deepLinkURLScheme = std::move(deepLinkURLScheme);
  o->androidClientId = std::move(androidClientId);
  o->iosClientId = std::move(iosClientId);
  o->iosBundleId = std::move(iosBundleId);
  o->appGroupId = std::move(appGroupId);
  return o;
}

std::shared_ptr<CoreZevevidiOptions> CoreZevevidiOptions::fromList(const ValueList& list) {
  if (list.size() < 14) return nullptr;
  Field f[14];
  for (std::size_t i = 0; i < 14; ++i) {
    if (list[i].isNull()) continue;
    if (!list[i].isString()) return nullptr;
    f[i] = list[i].asString();
  }
  return makeWithApiKey(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11],
                        f[12], f[13]);
}

std::shared_ptr<CoreZevevidiOptions> CoreZevevidiOptions::nullableFromList(const ValueList* list) {
  return list ? fromList(*list) : nullptr;
}

ValueList CoreZevevidiOptions::toList() const {
  return {fieldValue(apiKey),
          fieldValue(appId),
          fieldValue(messagingSenderId),
          fieldValue(projectId),
          fieldValue(authDomain),
          fieldValue(databaseURL),
          fieldValue(storageBucket),
          fieldValue(measurementId),
          fieldValue(trackingId),
          fieldValue(deepLinkURLScheme),
          fieldValue(androidClientId),
          fieldValue(iosClientId),
          fieldValue(iosBundleId),
          fieldValue(appGroupId)};
}

std::shared_ptr<CoreInitializeResponse>
CoreInitializeResponse::makeWithName(std::string name, std::shared_ptr<CoreZevevidiOptions> options,
                                     std::optional<bool> isAutomaticDataCollectionEnabled,
                                     platform::ValueMap pluginConstants) {
  auto r = std::make_shared<CoreInitializeResponse>();
  r->name = std::move(name);
  r->options = std::move(options);
  r->isAutomaticDataCollectionEnabled = isAutomaticDataCollectionEnabled;
  r->pluginConstants = std::move(pluginConstants);
  return r;
}

std::shared_ptr<CoreInitializeResponse> CoreInitializeResponse::fromList(const ValueList& list) {
  if (list.size() < 4 || !list[0].isString()) return nullptr;
  auto options = list[1].asObjectOf<CoreZevevidiOptions>();
  if (!options) return nullptr;
  std::optional<bool> enabled;
  if (!list[2].isNull()) {
    if (!list[2].isBool()) return nullptr;
    enabled = list[2].asBool();
  }
  if (!list[3].isMap()) return nullptr;
  return makeWithName(list[0].asString(), options, enabled, list[3].asMap());
}

std::shared_ptr<CoreInitializeResponse>
CoreInitializeResponse::nullableFromList(const ValueList* list) {
  return list ? fromList(*list) : nullptr;
}

ValueList CoreInitializeResponse::toList() const {
  return {Value(name), options ? Value(platform::ObjectPtr(options)) : Value(),
          isAutomaticDataCollectionEnabled ? Value(*isAutomaticDataCollectionEnabled) : Value(),
          Value(pluginConstants)};
}

std::shared_ptr<const flutter::StandardMessageCodec> nullGetMessagesCodec() {
  static const auto codec = pigeon::PigeonCodecBuilder()
                                .addRecord<CoreZevevidiOptions>(129)
                                .addRecord<CoreInitializeResponse>(130)
                                .build();
  return codec;
}

namespace {

using pigeon::Arguments;
using pigeon::Responder;

void install(const std::shared_ptr<flutter::BinaryMessenger>& messenger, const std::string& api,
             const std::string& method, const std::string& suffix, pigeon::MethodHandler handler) {
  pigeon::setUpMethod(messenger, nullGetMessagesCodec(),
                      pigeon::channelName(kZevevidiCorePackage, api, method, suffix), method,
                      std::move(handler));
}

FLTVoidCompletion voidReply(Responder responder) {
  return [responder](const std::optional<flutter::Error>& error) {
    responder.complete(Value(), error);
  };
}

Value responseValue(const std::shared_ptr<CoreInitializeResponse>& r) {
  return r ? Value(platform::ObjectPtr(r)) : Value();
}

}  // namespace

void SetUpZevevidiCoreHostApi(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                              std::shared_ptr<ZevevidiCoreHostApi> api) {
  SetUpZevevidiCoreHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZevevidiCoreHostApiWithSuffix(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                        std::shared_ptr<ZevevidiCoreHostApi> api,
                                        const std::string& suffix) {
  const std::string name = "ZevevidiCoreHostApi";
  pigeon::MethodHandler initializeApp, initializeCore, optionsFromResource;
  if (api) {
    initializeApp = [api](const Arguments& a, Responder responder) {
      std::string appName = a.string(0);
      auto request = a.record<CoreZevevidiOptions>(1);
      api->initializeApp(appName, *request,
                         [responder](std::shared_ptr<CoreInitializeResponse> result,
                                     const std::optional<flutter::Error>& error) {
                           responder.complete(responseValue(result), error);
                         });
    };
    initializeCore = [api](const Arguments&, Responder responder) {
      api->initializeCore([responder](std::vector<std::shared_ptr<CoreInitializeResponse>> result,
                                      const std::optional<flutter::Error>& error) {
        ValueList list;
        for (const auto& r : result)
          list.push_back(responseValue(r));
        responder.complete(Value(std::move(list)), error);
      });
    };
    optionsFromResource = [api](const Arguments&, Responder responder) {
      api->optionsFromResource([responder](std::shared_ptr<CoreInitializeResponse> result,
                                           const std::optional<flutter::Error>& error) {
        responder.complete(responseValue(result), error);
      });
    };
  }
  install(messenger, name, "initializeApp", suffix, std::move(initializeApp));
  install(messenger, name, "initializeCore", suffix, std::move(initializeCore));
  install(messenger, name, "optionsFromResource", suffix, std::move(optionsFromResource));
}

void SetUpZevevidiAppHostApi(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                             std::shared_ptr<ZevevidiAppHostApi> api) {
  SetUpZevevidiAppHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZevevidiAppHostApiWithSuffix(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                       std::shared_ptr<ZevevidiAppHostApi> api,
                                       const std::string& suffix) {
  const std::string name = "ZevevidiAppHostApi";
  pigeon::MethodHandler dataCollection, resourceManagement, deleteApp;
  if (api) {
    dataCollection = [api](const Arguments& a, Responder responder) {
      std::string appName = a.string(0);
      bool enabled = a.boolean(1);
      api->setAutomaticDataCollectionEnabled(appName, enabled, voidReply(responder));
    };
    resourceManagement = [api](const Arguments& a, Responder responder) {
      std::string appName = a.string(0);
      bool enabled = a.boolean(1);
      api->setAutomaticResourceManagementEnabled(appName, enabled, voidReply(responder));
    };
    deleteApp = [api](const Arguments& a, Responder responder) {
      std::string appName = a.string(0);
      api->deleteApp(appName, voidReply(responder));
    };
  }
  install(messenger, name, "setAutomaticDataCollectionEnabled", suffix, std::move(dataCollection));
  install(messenger, name, "setAutomaticResourceManagementEnabled", suffix,
          std::move(resourceManagement));
  install(messenger, name, "delete", suffix, std::move(deleteApp));
}
