// APMEExperimentRequestBuilder: the registered SDK properties (one per SDK name, a later
// registration replacing an earlier one) and the experiments request built from them. The
// application part says: platform "macos", the user's first preferred language lower-cased, the
// main bundle's identifier, whether this is a store build, and the experiments library version.
//
// One shared instance; thread-safe (one mutex guards the property map; the properties' own
// `proto` runs outside it).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/experiments/apme_sdk_property.h"
#include "measurement/messages/apmpb_wrappers.h"

class APMEExperimentRequestBuilder {
 public:
  static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();
  static std::shared_ptr<APMEExperimentRequestBuilder> init();

  // A null property is refused (880000).
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
  std::shared_ptr<APMPBAppProperty> appPropertyProto() const;
  // Field 1 the application part; field 2 every property's ClientProperty, in SDK-name order,
  // leaving out those without a diversion key (absent when none is left).
  std::shared_ptr<APMPBExperimentRequest> request() const;

  // Test support: forgets every property.
  void removeAllSDKPropertiesForTesting();

 private:
  mutable std::mutex mutex_;  // guards clientPropertyBySDKName_
  std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};
