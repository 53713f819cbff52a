// Carries one player's events to the application's code on the event channel
// "flutter.dev/videoPlayer/videoEvents<player id>". Events raised before anyone listens are kept
// and delivered, in order, at "listen"; after "cancel" nothing is kept any more (a later
// "listen" only gets new events). Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/channels.h"
#include "plugins/video_player/fvp_video_player.h"

namespace video_player {

class FVPEventBridge : public FVPVideoEventListener,
                       public flutter::StreamHandler,
                       public std::enable_shared_from_this<FVPEventBridge> {
 public:
  // Makes the bridge the channel's stream handler.
  static std::shared_ptr<FVPEventBridge>
  initWithMessenger(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                    const std::string& channelName);

  // flutter::StreamHandler.
  std::optional<flutter::Error> onListenWithArguments(const platform::Value& arguments,
                                                      flutter::EventSink events) override;
  std::optional<flutter::Error> onCancelWithArguments(const platform::Value& arguments) override;

  // FVPVideoEventListener.
  void videoPlayerDidInitializeWithDuration(std::int64_t durationMs, double width,
                                            double height) override;
  void videoPlayerDidErrorWithMessage(const std::string& message) override;
  void videoPlayerDidComplete() override;
  void videoPlayerDidStartBuffering() override;
  void videoPlayerDidEndBuffering() override;
  void videoPlayerDidUpdateBufferRegions(
      const std::vector<std::pair<std::int64_t, std::int64_t>>& regions) override;
  void videoPlayerDidSetPlaying(bool playing) override;
  void videoPlayerWasDisposed() override;

  void sendOrQueue(flutter::StreamEvent event);

 private:
  explicit FVPEventBridge(std::shared_ptr<flutter::EventChannel> channel)
      : eventChannel_(std::move(channel)) {}

  std::shared_ptr<flutter::EventChannel> eventChannel_;
  flutter::EventSink eventSink_;
  // Absent after a cancel.
  std::optional<std::vector<flutter::StreamEvent>> queuedEvents_{std::in_place};
};

}  // namespace video_player
