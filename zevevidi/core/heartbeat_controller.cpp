#include "zevevidi/core/heartbeat_controller.h"

#include "platform/dispatch/clock.h"
#include "platform/foundation/date_format.h"

using platform::Date;

Date DateStandardizer::standardize(Date date) {
  return platform::startOfDayGMT(date);
}

HeartbeatController::HeartbeatController(const std::string& id)
    : HeartbeatController(HeartbeatStorage::getInstance(id),
                          [] { return Date{platform::Clock::current().now()}; }) {}

HeartbeatController::HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage,
                                         std::function<Date()> dateProvider)
    : storage_(std::move(storage)), dateProvider_([provider = std::move(dateProvider)] {
        return DateStandardizer::standardize(provider());
      }) {}

void HeartbeatController::log(const std::string& agent) {
  // Dated now, on the caller's thread, not when the queued step runs.
  const Date date = dateProvider_();
  storage_->readAndWriteAsync([agent, date](std::optional<HeartbeatsBundle> stored) {
    HeartbeatsBundle bundle =
        stored ? std::move(*stored) : HeartbeatsBundle(kHeartbeatsStoreCapacity);
    std::vector<TimePeriod> due;
    for (const auto& [period, last] : bundle.lastAddedHeartbeatDates) {
      if (date.secondsSince1970 - last.secondsSince1970 >= timeInterval(period)) {
        due.push_back(period);
      }
    }
    if (!due.empty()) bundle.append(Heartbeat{agent, date, due, 0});
    return std::optional<HeartbeatsBundle>(std::move(bundle));
  });
}

namespace {

// Empties the ring but keeps the last-date cache, so a flush never allows a second heartbeat
// on the same day.
std::optional<HeartbeatsBundle> resetTransform(std::optional<HeartbeatsBundle> stored) {
  if (!stored) return std::nullopt;
  return HeartbeatsBundle(HeartbeatController::kHeartbeatsStoreCapacity,
                          stored->lastAddedHeartbeatDates);
}

HeartbeatsPayload payloadOf(const GetAndSetResult& result) {
  if (!result.ok || !result.previous) return HeartbeatsPayload::emptyPayload();
  return result.previous->makeHeartbeatsPayload();
}

}  // namespace

HeartbeatsPayload HeartbeatController::flush() {
  return payloadOf(storage_->getAndSet(resetTransform));
}

void HeartbeatController::flushAsync(std::function<void(HeartbeatsPayload)> completionHandler) {
  storage_->getAndSetAsync(resetTransform,
                           [handler = std::move(completionHandler)](GetAndSetResult result) {
                             if (handler) handler(payloadOf(result));
                           });
}

HeartbeatsPayload HeartbeatController::flushHeartbeatFromToday() {
  const Date today = dateProvider_();
  std::optional<Heartbeat> removed;
  storage_->readAndWriteSync([&](std::optional<HeartbeatsBundle> stored) {
    if (!stored) return std::optional<HeartbeatsBundle>();
    removed = stored->removeHeartbeat(today);
    return stored;
  });
  return removed ? removed->makeHeartbeatsPayload() : HeartbeatsPayload::emptyPayload();
}

std::shared_ptr<FIRHeartbeatController> FIRHeartbeatController::initWithId(const std::string& id) {
  return std::make_shared<FIRHeartbeatController>(std::make_shared<HeartbeatController>(id));
}

FIRHeartbeatsPayloadPtr FIRHeartbeatController::flush() {
  return std::make_shared<FIRHeartbeatsPayload>(heartbeatController_->flush());
}

void FIRHeartbeatController::flushAsyncWithCompletionHandler(
    std::function<void(FIRHeartbeatsPayloadPtr)> handler) {
  heartbeatController_->flushAsync([handler = std::move(handler)](HeartbeatsPayload payload) {
    if (handler) handler(std::make_shared<FIRHeartbeatsPayload>(std::move(payload)));
  });
}

FIRHeartbeatsPayloadPtr FIRHeartbeatController::flushHeartbeatFromToday() {
  return std::make_shared<FIRHeartbeatsPayload>(heartbeatController_->flushHeartbeatFromToday());
}
