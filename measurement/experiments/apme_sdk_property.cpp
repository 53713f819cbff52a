#include "measurement/experiments/apme_sdk_property.h"

#include "measurement/experiments/apme_manager.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_identity.h"

namespace field = apmpb_field;

std::shared_ptr<APMESDKProperty> APMESDKProperty::initWithName(const platform::Value& name) {
  const std::string* text = name.ifString();
  if (!text) {
    APMEManager::monitor()->logWithLevel(1, 860000, "Cannot init SDK property with invalid name",
                                         {name});
    return nullptr;
  }
  return std::make_shared<APMESDKProperty>(*text);
}

std::int64_t APMESDKProperty::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}
void APMESDKProperty::setVersion(std::int64_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}
std::optional<std::string> APMESDKProperty::appID() const {
  std::lock_guard lock(mutex_);
  return appID_;
}
void APMESDKProperty::setAppID(std::optional<std::string> appID) {
  std::lock_guard lock(mutex_);
  appID_ = std::move(appID);
}
std::optional<std::string> APMESDKProperty::diversionKey() const {
  std::lock_guard lock(mutex_);
  return diversionKey_;
}
void APMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
  std::lock_guard lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}
std::map<std::string, std::string> APMESDKProperty::customProperties() const {
  std::lock_guard lock(mutex_);
  return customProperties_;
}
void APMESDKProperty::setCustomProperties(std::map<std::string, std::string> customProperties) {
  std::lock_guard lock(mutex_);
  customProperties_ = std::move(customProperties);
}
std::shared_ptr<APMESDKPropertyProviderDelegate> APMESDKProperty::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}
void APMESDKProperty::setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  std::string key = diversionKey().value_or("");
  if (key.empty()) {
    if (const auto identity = APMIdentity::sharedInstance()) key = identity->diversionKey();
  }
  if (key.empty()) {
    APMEManager::monitor()->logWithLevel(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  auto message = APMPBClientProperty::initWithMessageInfo();
  if (!message) return nullptr;
  NANOSetString(message.get(), field::ClientProperty::kName, name_);
  NANOSetString(message.get(), field::ClientProperty::kDiversionKey, key + "-" + name_);
  NANOSetInt64(message.get(), field::ClientProperty::kVersion, version());
  if (const auto app = appID()) NANOSetString(message.get(), field::ClientProperty::kAppId, *app);

  auto properties = customProperties();
  if (const auto provider = delegate()) {
    if (auto dynamic = provider->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [name, value] : *dynamic)
        properties[name] = std::move(value);
    }
  }
  if (!properties.empty()) {
    platform::ValueList list;
    for (const auto& [name, value] : properties) {
      auto custom = APMPBCustomProperty::initWithMessageInfo();
      if (!custom) continue;
      NANOSetString(custom.get(), field::CustomProperty::kName, name);
      NANOSetString(custom.get(), field::CustomProperty::kValue, value);
      list.emplace_back(platform::ObjectPtr(std::move(custom)));
    }
    NANOSetArray(message.get(), field::ClientProperty::kCustomProperties, &list);
  }
  return message;
}
