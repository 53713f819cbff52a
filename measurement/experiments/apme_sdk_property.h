// APMESDKProperty: how an SDK registers with the experiments client (its name, version,
// application ID, diversion key and custom properties) and how it appears in the experiments
// request (`proto`, a ClientProperty message).
//
// A property without a diversion key of its own borrows the measurement identity's persisted
// five-character key when the request is built; an SDK that has a key (even an empty one)
// contributes no experiment IDs to the measurement bundles (apme_manager.h).
//
// Thread-safe: one mutex guards the settable fields; the delegate is called without it. Held by
// shared pointer; the delegate is held weakly.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/value.h"

class APMESDKProperty;

// Every method optional: the default answers "not implemented".
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  // Custom properties computed when the request is built; they win over the stored ones of the
  // same key. None: not implemented.
  virtual std::optional<std::map<std::string, std::string>>
  dynamicCustomPropertiesForSDKProperty(const APMESDKProperty& property) {
    (void)property;
    return std::nullopt;
  }
};

class APMESDKProperty {
 public:
  // None, with 860000, for a name that is not a string.
  static std::shared_ptr<APMESDKProperty> initWithName(const platform::Value& name);

  const std::string& name() const { return name_; }
  std::int64_t version() const;
  void setVersion(std::int64_t version);
  std::optional<std::string> appID() const;
  void setAppID(std::optional<std::string> appID);
  // None: no key of its own (the identity's is used for the request).
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> diversionKey);
  std::map<std::string, std::string> customProperties() const;
  void setCustomProperties(std::map<std::string, std::string> customProperties);
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate);

  // The ClientProperty message of the experiments request: name, "<key>-<name>", version,
  // application ID (when set) and the custom properties (when any, in key order). None, with
  // 860001, when no diversion key can be found.
  std::shared_ptr<APMPBClientProperty> proto() const;

  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

 private:
  const std::string name_;
  mutable std::mutex mutex_;  // guards the fields below
  std::int64_t version_ = 0;
  std::optional<std::string> appID_;
  std::optional<std::string> diversionKey_;
  std::map<std::string, std::string> customProperties_;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};
