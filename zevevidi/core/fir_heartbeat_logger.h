// FIRHeartbeatLogger: the per-app front of the heartbeat controller. `log` records today's
// heartbeat stamped with the current user agent; the header calls flush the stored heartbeats
// into the value of the heartbeat request header for the installations requests.
//
// No lock of its own: storage work is serialised by the controller on its storage queue, and
// asynchronous completions run there. The provider is swapped atomically.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "zevevidi/core/heartbeat_controller.h"

// What installations and the app registry need of a heartbeat logger.
class FIRHeartbeatLoggerProtocol {
 public:
  virtual ~FIRHeartbeatLoggerProtocol() = default;
  virtual void log() = 0;
  // 0 when today has no stored heartbeat, else 2 (the heartbeat is taken out).
  virtual int heartbeatCodeForToday() = 0;
  virtual void asyncHeaderValueWithCompletionHandler(
      std::function<void(std::optional<std::string>)> completion) = 0;
  virtual std::optional<std::string> headerValue() = 0;
};

using FIRUserAgentProvider = std::function<std::string()>;

// None for an empty payload, else its header value.
std::optional<std::string>
FIRHeaderValueFromHeartbeatsPayload(const FIRHeartbeatsPayloadPtr& payload);

class FIRHeartbeatLogger : public FIRHeartbeatLoggerProtocol {
 public:
  explicit FIRHeartbeatLogger(const std::string& appID);
  FIRHeartbeatLogger(const std::string& appID, FIRUserAgentProvider userAgentProvider);
  // For tests: over a given controller.
  FIRHeartbeatLogger(std::shared_ptr<FIRHeartbeatController> controller,
                     FIRUserAgentProvider userAgentProvider);

  // A provider answering FIRApp::zevevidiUserAgent().
  static FIRUserAgentProvider currentUserAgentProvider();

  void log() override;
  int heartbeatCodeForToday() override;
  void asyncHeaderValueWithCompletionHandler(
      std::function<void(std::optional<std::string>)> completion) override;
  std::optional<std::string> headerValue() override;
  FIRHeartbeatsPayloadPtr flushHeartbeatsIntoPayload();
  void flushHeartbeatsIntoPayloadWithCompletionHandler(
      std::function<void(FIRHeartbeatsPayloadPtr)> completion);

  FIRUserAgentProvider userAgentProvider() const;
  void setUserAgentProvider(FIRUserAgentProvider provider);

 private:
  std::shared_ptr<FIRHeartbeatController> heartbeatController_;
  mutable std::mutex providerMutex_;
  FIRUserAgentProvider userAgentProvider_;
};
