// The application side of an engine inside the same process, for unit tests: sends messages,
// method calls and event-channel requests to the host's handlers, records what the host sends
// to the application and answers it as scripted (default: the empty reply).
//
// Main thread only, except that host replies may arrive from any thread. The blocking helpers
// pump the main loop until the reply arrives, so handlers that answer later (from other queues,
// through the main queue) are covered; they give up after `timeoutSeconds` of real time.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine.h"
#include "platform/engine/method_codec.h"
#include "platform/engine/standard_codec.h"

namespace flutter {

class InProcessDriver : public ApplicationEndpoint,
                        public std::enable_shared_from_this<InProcessDriver> {
 public:
  // Becomes `engine`'s application side.
  static std::shared_ptr<InProcessDriver> attach(const EnginePtr& engine);
  ~InProcessDriver() override;

  // Application to host, raw. `onReply` runs on whatever thread the host replied from.
  void send(const std::string& channel, const platform::Bytes& message,
            std::function<void(const platform::Bytes&)> onReply);
  std::optional<platform::Bytes> sendAndWait(const std::string& channel,
                                             const platform::Bytes& message,
                                             double timeoutSeconds = 10);
  // A basic message with `codec`; nullopt when no reply came or it did not decode.
  std::optional<platform::Value>
  sendMessage(const std::string& channel, const platform::Value& message,
              MessageCodecPtr codec = StandardMessageCodec::sharedInstance(),
              double timeoutSeconds = 10);
  // A method call; nullopt when no reply came or it did not decode.
  std::optional<MethodResponse> invokeMethod(
      const std::string& channel, const std::string& method, const platform::Value& arguments = {},
      MethodCodecPtr codec = StandardMethodCodec::sharedInstance(), double timeoutSeconds = 10);
  // Event channels: "listen" / "cancel"; afterwards messages the host sends on `channel` are
  // decoded as events (see events()).
  std::optional<MethodResponse>
  listen(const std::string& channel, const platform::Value& arguments = {},
         MethodCodecPtr codec = StandardMethodCodec::sharedInstance());
  std::optional<MethodResponse>
  cancel(const std::string& channel, const platform::Value& arguments = {},
         MethodCodecPtr codec = StandardMethodCodec::sharedInstance());
  std::vector<StreamEvent> events(const std::string& channel) const;

  // Host to application.
  struct Incoming {
    std::string channel;
    platform::Bytes message;
  };
  std::vector<Incoming> received() const;
  // Scripted answer for messages on `channel`; an empty function restores the empty reply.
  void setAnswer(const std::string& channel,
                 std::function<platform::Bytes(const platform::Bytes& message)> answer);

  // Stops being the engine's application side.
  void detach();

  bool deliverToApplication(const std::string& channel, const platform::Bytes& message,
                            BinaryReply reply) override;

 private:
  InProcessDriver() = default;
  std::weak_ptr<Engine> engine_;
  mutable std::mutex mutex_;
  std::vector<Incoming> received_;
  // Shared, so a delivery takes its answer without copying what the answer holds.
  using Answer = std::function<platform::Bytes(const platform::Bytes&)>;
  std::map<std::string, std::shared_ptr<const Answer>> answers_;
  std::map<std::string, MethodCodecPtr> listening_;
  std::map<std::string, std::vector<StreamEvent>> events_;
};

}  // namespace flutter
