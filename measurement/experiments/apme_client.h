// APMEClient: one registered SDK's handle on the experiments manager. It reads that SDK's flags
// (activated snapshot, then launched, then the registered default), activates its latest
// fetched snapshot and tells whether the activated one is stale. The remote configuration of the
// measurement engine reaches it through the engine-facing APMExperimentClient interface.
//
// Holds its SDK property strongly and the manager and the delegate weakly: once the manager is
// gone every operation answers nothing, NO or does nothing. The delegate of an adapter made by
// the manager may be handed over to be kept alive (`retainDelegate`). Any thread except the
// manager's serial queue (its reads wait on that queue).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/apme_sdk_property.h"
#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_remote_config.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

class APMEClient;
class APMEManager;

// What an SDK hears from the experiments client. Every method optional: the defaults answer
// "not implemented", which is not the same as NO.
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
  // A new pending snapshot of the client's SDK is stored and may be activated. An SDK whose
  // delegate takes these notices activates its snapshots itself.
  virtual bool respondsToClientDidReceiveNewSnapshot() const { return false; }
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) {
    (void)client;
  }
  // The service reported an error for the client's SDK.
  virtual bool respondsToClientDidReceiveFetchError() const { return false; }
  virtual void client_didReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                           const platform::ErrorPtr& error) {
    (void)client;
    (void)error;
  }
  // Whether the client wants fetches now; none: not implemented (counts as YES).
  virtual std::optional<bool>
  shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) {
    (void)client;
    return std::nullopt;
  }
  // The queue of the notices; null: not implemented (the main queue).
  virtual platform::QueuePtr queue() const { return nullptr; }
};

class APMEClient : public APMExperimentClient, public std::enable_shared_from_this<APMEClient> {
 public:
  // None for a null property (830000) or no default flags (830001).
  static std::shared_ptr<APMEClient>
  initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                      std::optional<std::vector<std::shared_ptr<APMPBFlag>>> defaultFlags,
                      std::weak_ptr<APMEManager> manager);

  // The manager's value of that flag for this SDK; null for an empty name (830002).
  platform::Value valueForFlag(const std::string& flagName) const;
  // The same for a key that must be a string (830003 otherwise).
  platform::Value objectForKeyedSubscript(const platform::Value& key) const;
  // APMExperimentClient.
  bool activateLatestSnapshot(platform::ErrorPtr* error) override;
  std::optional<platform::Value> flagValue(const std::string& name) const override;

  // True when the activated snapshot is more than three days away from now.
  bool hasStaleSnapshot() const;
  void resetToDefaults();

  std::string SDKName() const { return SDKProperty_->name(); }
  std::vector<std::shared_ptr<APMPBFlag>> defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return SDKProperty_; }
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate);
  // Makes `delegate` the delegate and keeps it alive for the life of the client.
  void retainDelegate(std::shared_ptr<APMEExperimentObserverDelegate> delegate);

  APMEClient(std::shared_ptr<APMESDKProperty> property,
             std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
             std::weak_ptr<APMEManager> manager)
      : SDKProperty_(std::move(property)), defaultFlags_(std::move(defaultFlags)),
        manager_(std::move(manager)) {}

 private:
  const std::shared_ptr<APMESDKProperty> SDKProperty_;
  const std::vector<std::shared_ptr<APMPBFlag>> defaultFlags_;
  const std::weak_ptr<APMEManager> manager_;
  mutable std::mutex mutex_;  // guards the two delegate fields
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;
  std::shared_ptr<APMEExperimentObserverDelegate> retainedDelegate_;
};
