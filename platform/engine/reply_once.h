// Guards a reply so it is delivered exactly once. A second call goes to the assertion handler
// and is dropped; when every copy of the guarded reply is dropped without a call, the empty
// reply is sent, so the other side never waits forever. Thread-safe.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/engine/binary_messenger.h"

namespace flutter {

class ReplyOnce {
 public:
  ReplyOnce(std::string channel, BinaryReply target)
      : channel_(std::move(channel)), target_(std::move(target)) {}
  ~ReplyOnce();
  ReplyOnce(const ReplyOnce&) = delete;
  ReplyOnce& operator=(const ReplyOnce&) = delete;

  // Sends `reply` unless a reply was already sent (then reports the misuse).
  void reply(const platform::Bytes& reply);
  bool hasReplied() const { return replied_.load(); }

  // A BinaryReply that forwards to `state`.
  static BinaryReply wrap(const std::shared_ptr<ReplyOnce>& state) {
    return [state](const platform::Bytes& bytes) { state->reply(bytes); };
  }

 private:
  std::string channel_;
  BinaryReply target_;
  std::atomic<bool> replied_{false};
};

}  // namespace flutter
