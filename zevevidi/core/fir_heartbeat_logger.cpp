#include "zevevidi/core/fir_heartbeat_logger.h"

#include "zevevidi/core/fir_app.h"

std::optional<std::string>
FIRHeaderValueFromHeartbeatsPayload(const FIRHeartbeatsPayloadPtr& payload) {
  if (!payload || payload->isEmpty()) return std::nullopt;
  return payload->headerValue();
}

FIRHeartbeatLogger::FIRHeartbeatLogger(const std::string& appID)
    : FIRHeartbeatLogger(appID, currentUserAgentProvider()) {}

FIRHeartbeatLogger::FIRHeartbeatLogger(const std::string& appID,
                                       FIRUserAgentProvider userAgentProvider)
    : FIRHeartbeatLogger(FIRHeartbeatController::initWithId(appID), std::move(userAgentProvider)) {}

FIRHeartbeatLogger::FIRHeartbeatLogger(std::shared_ptr<FIRHeartbeatController> controller,
                                       FIRUserAgentProvider userAgentProvider)
    : heartbeatController_(std::move(controller)),
      userAgentProvider_(userAgentProvider ? std::move(userAgentProvider)
                                           : currentUserAgentProvider()) {}

FIRUserAgentProvider FIRHeartbeatLogger::currentUserAgentProvider() {
  return [] { return FIRApp::zevevidiUserAgent(); };
}

FIRUserAgentProvider FIRHeartbeatLogger::userAgentProvider() const {
  std::lock_guard<std::mutex> lock(providerMutex_);
  return userAgentProvider_;
}

void FIRHeartbeatLogger::setUserAgentProvider(FIRUserAgentProvider provider) {
  std::lock_guard<std::mutex> lock(providerMutex_);
  userAgentProvider_ = std::move(provider);
}

void FIRHeartbeatLogger::log() {
  auto provider = userAgentProvider();
  heartbeatController_->log(provider ? provider() : std::string());
}

FIRHeartbeatsPayloadPtr FIRHeartbeatLogger::flushHeartbeatsIntoPayload() {
  return heartbeatController_->flush();
}

void FIRHeartbeatLogger::flushHeartbeatsIntoPayloadWithCompletionHandler(
    std::function<void(FIRHeartbeatsPayloadPtr)> completion) {
  heartbeatController_->flushAsyncWithCompletionHandler(std::move(completion));
}

std::optional<std::string> FIRHeartbeatLogger::headerValue() {
  return FIRHeaderValueFromHeartbeatsPayload(flushHeartbeatsIntoPayload());
}

void FIRHeartbeatLogger::asyncHeaderValueWithCompletionHandler(
    std::function<void(std::optional<std::string>)> completion) {
  flushHeartbeatsIntoPayloadWithCompletionHandler(
      [completion = std::move(completion)](FIRHeartbeatsPayloadPtr payload) {
        if (completion) completion(FIRHeaderValueFromHeartbeatsPayload(payload));
      });
}

int FIRHeartbeatLogger::heartbeatCodeForToday() {
  auto payload = heartbeatController_->flushHeartbeatFromToday();
  return payload && !payload->isEmpty() ? 2 : 0;
}
