#include "plugins/video_player/fvp_event_bridge.h"

namespace video_player {

using platform::Value;

std::shared_ptr<FVPEventBridge>
FVPEventBridge::initWithMessenger(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                  const std::string& channelName) {
  std::shared_ptr<FVPEventBridge> bridge(
      new FVPEventBridge(flutter::EventChannel::eventChannelWithName(channelName, messenger)));
  bridge->eventChannel_->setStreamHandler(bridge);
  return bridge;
}

std::optional<flutter::Error> FVPEventBridge::onListenWithArguments(const Value&,
                                                                    flutter::EventSink events) {
  eventSink_ = std::move(events);
  if (queuedEvents_) {
    auto queued = std::move(*queuedEvents_);
    queuedEvents_->clear();
    for (auto& event : queued)
      eventSink_(std::move(event));
  }
  return std::nullopt;
}

std::optional<flutter::Error> FVPEventBridge::onCancelWithArguments(const Value&) {
  eventSink_ = nullptr;
  queuedEvents_.reset();
  return std::nullopt;
}

void FVPEventBridge::sendOrQueue(flutter::StreamEvent event) {
  if (eventSink_) {
    eventSink_(std::move(event));
  } else if (queuedEvents_) {
    queuedEvents_->push_back(std::move(event));
  }
}

void FVPEventBridge::videoPlayerDidInitializeWithDuration(std::int64_t durationMs, double width,
                                                          double height) {
  sendOrQueue(Value::map(
      {{"event", "initialized"}, {"duration", durationMs}, {"width", width}, {"height", height}}));
}

void FVPEventBridge::videoPlayerDidErrorWithMessage(const std::string& message) {
  sendOrQueue(flutter::Error::errorWithCode("VideoError", message));
}

void FVPEventBridge::videoPlayerDidComplete() {
  sendOrQueue(Value::map({{"event", "completed"}}));
}

void FVPEventBridge::videoPlayerDidStartBuffering() {
  sendOrQueue(Value::map({{"event", "bufferingStart"}}));
}

void FVPEventBridge::videoPlayerDidEndBuffering() {
  sendOrQueue(Value::map({{"event", "bufferingEnd"}}));
}

void FVPEventBridge::videoPlayerDidUpdateBufferRegions(
    const std::vector<std::pair<std::int64_t, std::int64_t>>& regions) {
  platform::ValueList values;
  for (const auto& [start, duration] : regions)
    values.push_back(Value::list({start, duration}));
  sendOrQueue(Value::map({{"event", "bufferingUpdate"}, {"values", Value(std::move(values))}}));
}

void FVPEventBridge::videoPlayerDidSetPlaying(bool playing) {
  sendOrQueue(Value::map({{"event", "isPlayingStateUpdate"}, {"isPlaying", playing}}));
}

void FVPEventBridge::videoPlayerWasDisposed() {
  eventChannel_->setStreamHandler(nullptr);
}

}  // namespace video_player
