// The engine's binary messenger: a map from channel name to message handler, and the way to
// send messages to the application's code.
//
// Every handler is entered on the main loop. The reply of a handler must be given exactly once
// (a second reply goes to the assertion handler and is dropped); a reply dropped without being
// called sends the empty reply, so the sender is never left waiting. A message to a channel
// without a handler gets the empty reply. Methods are thread-safe.
#pragma once

#include <functional>
#include <string>

#include "platform/core/value.h"

namespace flutter {

// Reply to one message; an empty payload is the null ("no") reply.
using BinaryReply = std::function<void(const platform::Bytes& reply)>;
// Handles one incoming message; `reply` must eventually be called once.
using BinaryMessageHandler = std::function<void(const platform::Bytes& message, BinaryReply reply)>;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;

  // Sends a message to the application's code. `callback` (may be empty) runs on the main loop
  // with the reply; with no application connected it gets the empty reply at once.
  virtual void sendOnChannel(const std::string& channel, const platform::Bytes& message,
                             BinaryReply callback = nullptr) = 0;
  // Installs `handler` for `channel`, replacing any previous one; an empty handler detaches.
  virtual void setMessageHandlerOnChannel(const std::string& channel,
                                          BinaryMessageHandler handler) = 0;
};

}  // namespace flutter
