#include "measurement/experiments/apme_experiment_request_builder.h"

#include "measurement/experiments/apme_manager.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_environment_info.h"
#include "platform/foundation/bundle.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace field = apmpb_field;

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMEExperimentRequestBuilder>(init());
  return *shared;
}

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::init() {
  return std::make_shared<APMEExperimentRequestBuilder>();
}

void APMEExperimentRequestBuilder::addSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMEManager::monitor()->logWithLevel(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  std::lock_guard lock(mutex_);
  clientPropertyBySDKName_[property->name()] = property;
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
  auto message = APMPBAppProperty::initWithMessageInfo();
  if (!message) return nullptr;
  NANOSetString(message.get(), field::AppProperty::kPlatform, "macos");
  if (const auto language = APMEnvironmentInfo::sharedInstance()->userDefaultLanguage()) {
    NANOSetString(message.get(), field::AppProperty::kLanguage, *language);
  }
  if (const auto bundle = platform::Bundle::main()) {
    if (const auto identifier = bundle->bundleIdentifier()) {
      NANOSetString(message.get(), field::AppProperty::kBundleId, *identifier);
    }
  }
  NANOSetBool(message.get(), field::AppProperty::kFromAppStore,
              GULAppEnvironmentUtil::isFromAppStore());
  NANOSetInt64(message.get(), field::AppProperty::kClientVersion, APMEManager::version());
  return message;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  std::map<std::string, std::shared_ptr<APMESDKProperty>> properties;
  {
    std::lock_guard lock(mutex_);
    properties = clientPropertyBySDKName_;
  }
  auto message = APMPBExperimentRequest::initWithMessageInfo();
  if (!message) return nullptr;
  if (auto app = appPropertyProto()) {
    NANOSetMessage(message.get(), field::ExperimentRequest::kAppProperty, app.get());
  }
  platform::ValueList clients;
  for (const auto& [name, property] : properties) {
    if (auto proto = property->proto()) clients.emplace_back(platform::ObjectPtr(std::move(proto)));
  }
  if (!clients.empty()) {
    NANOSetArray(message.get(), field::ExperimentRequest::kClientProperties, &clients);
  }
  return message;
}

void APMEExperimentRequestBuilder::removeAllSDKPropertiesForTesting() {
  std::lock_guard lock(mutex_);
  clientPropertyBySDKName_.clear();
}
