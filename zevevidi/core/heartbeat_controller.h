// The front door of the daily heartbeats: records at most one heartbeat per GMT day per
// identifier (dated by the moment of the call) and flushes the stored heartbeats into a payload.
// FIRHeartbeatController is its object-facing face, one per app identifier.
//
// All storage work runs on the identifier's storage queue: log and flushAsync queue it, flush
// and flushHeartbeatFromToday wait for it (never call those from a task on that queue). The
// date provider runs on the caller's thread. No lock of its own; fields never change.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/core/value.h"
#include "zevevidi/core/heartbeat_storage.h"
#include "zevevidi/core/heartbeats_payload.h"

namespace DateStandardizer {
// Midnight GMT of the day holding `date`.
platform::Date standardize(platform::Date date);
}  // namespace DateStandardizer

class HeartbeatController {
 public:
  static constexpr std::int64_t kHeartbeatsStoreCapacity = 30;

  // Over the shared storage of `id`, dated by platform::Clock.
  explicit HeartbeatController(const std::string& id);
  HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage,
                      std::function<platform::Date()> dateProvider);

  void log(const std::string& agent);
  HeartbeatsPayload flush();
  // `completionHandler` runs once, on the storage queue.
  void flushAsync(std::function<void(HeartbeatsPayload)> completionHandler);
  HeartbeatsPayload flushHeartbeatFromToday();

 private:
  std::shared_ptr<HeartbeatStorageProtocol> storage_;
  std::function<platform::Date()> dateProvider_;
};

class FIRHeartbeatController {
 public:
  static std::shared_ptr<FIRHeartbeatController> initWithId(const std::string& id);
  explicit FIRHeartbeatController(std::shared_ptr<HeartbeatController> controller)
      : heartbeatController_(std::move(controller)) {}

  void log(const std::string& agent) { heartbeatController_->log(agent); }
  FIRHeartbeatsPayloadPtr flush();
  void flushAsyncWithCompletionHandler(std::function<void(FIRHeartbeatsPayloadPtr)> handler);
  FIRHeartbeatsPayloadPtr flushHeartbeatFromToday();

 private:
  std::shared_ptr<HeartbeatController> heartbeatController_;
};
