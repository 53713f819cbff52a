// The engine's end of the peer socket: listens on a Unix stream socket, accepts one application
// peer at a time and relays frames between it and the engine.
//
// Frame, both directions, little-endian:
//   u32 length of the rest | u8 kind (1 message, 2 reply) | u32 id | u16 name length | name |
//   payload
// A reply carries its message's id and an empty name; an empty payload is the null reply. A
// malformed frame closes that connection only; the listener keeps accepting. When the peer goes
// away every message it has not answered gets the empty reply.
//
// One I/O thread of its own reads and accepts; writes come from any thread under a lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/engine.h"

namespace flutter {

// Frames larger than this are refused as malformed.
inline constexpr std::uint32_t kMaxPeerFrameLength = 64u << 20;

enum class PeerFrameKind : std::uint8_t { Message = 1, Reply = 2 };

struct PeerFrame {
  PeerFrameKind kind = PeerFrameKind::Message;
  std::uint32_t id = 0;
  std::string channel;
  platform::Bytes payload;
};

// Appends the encoded frame to `out`.
void encodePeerFrame(const PeerFrame& frame, platform::Bytes& out);

// Result of trying to take one frame from the front of a buffer.
enum class PeerFrameParse { Complete, NeedMore, Malformed };
// On Complete, `frame` is filled and `consumed` bytes may be dropped from the buffer.
PeerFrameParse parsePeerFrame(const std::uint8_t* data, std::size_t length, PeerFrame& frame,
                              std::size_t& consumed);

class PeerConnection : public ApplicationEndpoint,
                       public std::enable_shared_from_this<PeerConnection> {
 public:
  // Handles a message from the peer; `reply` is called once from any thread.
  using MessageSink =
      std::function<void(std::string channel, platform::Bytes message, BinaryReply reply)>;

  PeerConnection(std::string socketPath, MessageSink sink);
  ~PeerConnection() override;

  // Binds and listens (replacing a stale socket file); false when that fails (logged).
  bool start();
  // Closes the connection and the listener, answers pending messages with the empty reply and
  // removes the socket file. Idempotent.
  void stop();
  bool isConnected() const;

  bool deliverToApplication(const std::string& channel, const platform::Bytes& message,
                            BinaryReply reply) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace flutter
